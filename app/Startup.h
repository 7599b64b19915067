#pragma once

// The whole start-up of the scheduler process: the single-instance guard, the names the
// program gives itself, the help key, Qt's Russian texts, the task storage service, the
// main window and the event loop. Returns the process's exit status: 0 for a second
// start, which only wakes the running instance; 1 when the store's lock cannot be used
// or is held by a process this start cannot reach, or when the task storage service
// cannot start; otherwise the event loop's result.
int RunScheduler(int& argc, char** argv);
