#pragma once

// The commands of kalvor-tasks. They read the store file straight through the store
// parser, never through the task storage service, so nothing is armed, no log is opened
// and the store itself is never written. Each command writes its report to `out` and
// its complaints to `err`, one UTF-8 line each, and answers the process's exit status.

#include "model/TaskInfo.h"

#include <date/tz.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace tasks_tool {

enum ExitStatus : int
{
    kOk = 0,
    // validate found a task that a load drops; or the store is damaged (list, status and
    // validate still show what the program loads of it).
    kProblemsFound = 1,
    kUsage = 2,
    // A file that is missing, cannot be read or cannot be written.
    kFileError = 3,
};

// One line per task that a load keeps: position, next run in nanoseconds, next run as
// local time in `zone`, name ("never" for both times when it never runs again).
int List(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out, std::FILE* err);

// One line per task that a load keeps, with what the program keeps of its runs: position,
// next run as local time in `zone` ("never"), start of the last run as local time ("-"
// before the first), its outcome ("ok", "failed", "running" or "-"), and the name with
// backslash, tab, line feed and carriage return written as \\, \t, \n and \r.
int Status(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out,
           std::FILE* err);

// One line per `task` element that a load drops (position and reason) and one per value
// of a kept task that the schedule cannot use (position and "warning: " and the value);
// kOk when no task is dropped and the store is not damaged.
int Validate(const std::filesystem::path& store, std::FILE* out, std::FILE* err);

// Writes the tasks that a load keeps into `output` as the program's save would. Refuses
// an output that is the store file itself, under whatever name, and an output whose lock
// another process holds (the store of a running scheduler).
int Repair(const std::filesystem::path& store, const std::filesystem::path& output, std::FILE* out, std::FILE* err);

// run, stop, pause or resume (`verb`) of the task that `task` names: its position as list
// prints it, or its exact name when no other task has it. With a scheduler running for the
// store the request goes to it over its socket, and the reply is printed; without one,
// pause and resume change the store under its lock, and run and stop fail with kFileError.
// kProblemsFound when the request was refused or could not be delivered.
int Control(const std::string& verb, const std::string& task, const std::filesystem::path& store, std::FILE* out,
            std::FILE* err);

} // namespace tasks_tool
