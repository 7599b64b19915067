#pragma once

#include <date/tz.h>

// The local time zone of the process, the one place every part of the program takes it
// from. When TZ names a zone of the time-zone database (with or without a leading colon,
// or as a path under a zoneinfo directory) that zone is used, so the schedule agrees with
// Qt's and the C library's local times; otherwise the system's zone, and UTC when even
// that cannot be read. Worked out once per process.
const date::time_zone* LocalZone();

// The zone that a TZ value names, or null when it names none.
const date::time_zone* ZoneFromTzValue(const char* tz);

// The zone's offsets as the C library's and Qt's local times apply them. The database
// reads the changes a zone's file lists (up to 2037) and leaves out the rule written at
// the file's end, which goes on from there (daylight-saving time by month, week and day);
// these apply that rule to instants and local times past the last listed change.
// Thread-safe; they answer as zone->get_info() does everywhere else.
date::sys_info ZoneInfo(const date::time_zone* zone, date::sys_seconds t);
date::local_info ZoneInfo(const date::time_zone* zone, date::local_seconds t);
