#include "ServiceWizardContext.h"

#include "scheduler/TaskStorage.h"

WizardContext ServiceWizardContext(TaskStorage& storage)
{
    WizardContext context;
    context.core = storage.Core();
    context.storedTasks = [&storage] {
        std::vector<const TaskInfo*> tasks;
        for (const auto& task : storage.Tasks())
            tasks.push_back(task.get());
        return tasks;
    };
    context.nextRun = [](const TaskInfo& task, Instant now) { return task.NextRun(now); };
    context.canRunOnlyOnWorkingDays = [](const TaskInfo& task) { return task.CanRunOnlyOnWorkingDays(); };
    return context;
}
