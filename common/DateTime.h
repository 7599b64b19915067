#pragma once

// Instants as Qt shows them.

#include "common/FloorDiv.h"

#include <QDateTime>

#include <cstdint>

namespace common {

// An instant (nanoseconds since the epoch) as a local QDateTime, floored to the
// millisecond: an instant before a boundary never shows as past it, before the epoch too.
inline QDateTime toDateTime(std::int64_t instant)
{
    return QDateTime::fromMSecsSinceEpoch(floorDiv<std::int64_t>(instant, 1'000'000));
}

} // namespace common
