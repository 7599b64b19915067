#include "AppResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void initAppResources()
{
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered)
}
