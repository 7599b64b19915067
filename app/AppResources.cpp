#include "AppResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterResources()
{
    Q_INIT_RESOURCE(resources);
}

void InitAppResources()
{
    static const bool registered = (RegisterResources(), true);
    Q_UNUSED(registered)
}
