#pragma once

// The program's one way to the console: a logging category per layer. The programs set the
// message pattern to the bare message, so the lines on standard error are the texts alone.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcModel)
Q_DECLARE_LOGGING_CATEGORY(lcExecution)
Q_DECLARE_LOGGING_CATEGORY(lcScheduler)
Q_DECLARE_LOGGING_CATEGORY(lcWizard)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcTools)

namespace common {

// Lines on standard error carry the message alone, as the programs have always written them.
void UseBareMessages();

} // namespace common
