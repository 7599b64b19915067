#pragma once

// The wizard's view of the task storage service: its core, its stored tasks and the
// scheduler's computation of runs. The window hands it to every wizard it opens.

#include "wizard/WizardContext.h"

class TaskStorage;

WizardContext ServiceWizardContext(TaskStorage& storage);
