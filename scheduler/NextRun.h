#pragma once

// When a task runs next. Pure functions of the record, `now` and a zone; TaskInfo's own
// NextRun and working-days operations call them with LocalZone().

#include "model/TaskInfo.h"

#include <date/tz.h>

namespace schedule {

// The next run strictly after `now` (or the starting point while that lies ahead of
// `now`), or kNeverInstant when there is none. Defined for every instant and every field
// value: numbers that name no weekday, month or day are passed over, and past its start
// a record with an interval below 1 or without a usable day never runs. With the
// working-days flag (where CanRunOnlyOnWorkingDays allows it; otherwise the flag is
// ignored) no run falls on Saturday or Sunday: when none of the runs in the next five
// years falls on Monday to Friday, the task never runs. Never throws for a record with
// a trigger.
Instant NextRun(const TaskInfo& task, Instant now, const date::time_zone* zone);

// Whether the working-days option may be on: daily triggers only, and for a start on a
// Saturday or Sunday only when the interval is not a multiple of 7.
bool CanRunOnlyOnWorkingDays(const TaskInfo& task, const date::time_zone* zone);

// 0 = Sunday ... 6 = Saturday, of the local day that holds `t`.
int LocalWeekday(Instant t, const date::time_zone* zone);

} // namespace schedule
