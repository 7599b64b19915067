#include "common/Logging.h"

// The categories are never destroyed: the service's worker and the backup threads may still
// report while static objects are torn down after main returns.
#define KALVOR_LOGGING_CATEGORY(function, name)                                                                        \
    const QLoggingCategory& function()                                                                                 \
    {                                                                                                                  \
        static const QLoggingCategory* category = new QLoggingCategory(name);                                          \
        return *category;                                                                                              \
    }

KALVOR_LOGGING_CATEGORY(lcModel, "kalvor.model")
KALVOR_LOGGING_CATEGORY(lcExecution, "kalvor.execution")
KALVOR_LOGGING_CATEGORY(lcScheduler, "kalvor.scheduler")
KALVOR_LOGGING_CATEGORY(lcWizard, "kalvor.wizard")
KALVOR_LOGGING_CATEGORY(lcApp, "kalvor.app")
KALVOR_LOGGING_CATEGORY(lcTools, "kalvor.tools")

namespace common {

void UseBareMessages()
{
    qSetMessagePattern(QStringLiteral("%{message}"));
}

} // namespace common
