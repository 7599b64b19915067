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
