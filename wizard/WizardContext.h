#pragma once

// What the task wizard needs from the program around it. The application fills it from
// the task storage service; the wizard itself knows no service.

#include "model/TaskInfo.h"
#include "repository/Vadro.h"

#include <functional>
#include <memory>
#include <vector>

struct WizardContext
{
    // The repository core, shared with the service: connection tests and folder browsing.
    std::shared_ptr<vadro::ICore> core;
    // The stored tasks, asked for when the user removes a connection that some use.
    // The pointers are valid during the call only.
    std::function<std::vector<const TaskInfo*>()> storedTasks;
    // The schedule computation: the next run strictly after `now`, and whether the
    // working-days option may be on for the task as it stands.
    std::function<Instant(const TaskInfo& task, Instant now)> nextRun;
    std::function<bool(const TaskInfo& task)> canRunOnlyOnWorkingDays;
    // The current instant; the trigger page's preview of runs starts from it.
    std::function<Instant()> now = CurrentInstant;
};
