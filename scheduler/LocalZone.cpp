#include "scheduler/LocalZone.h"

#include <cstdlib>
#include <string>

const date::time_zone* ZoneFromTzValue(const char* tz)
{
    if (tz == nullptr)
        return nullptr;
    std::string name(tz);
    if (!name.empty() && name.front() == ':')
        name.erase(0, 1);
    const auto zoneinfo = name.find("zoneinfo/");
    if (!name.empty() && name.front() == '/' && zoneinfo != std::string::npos)
        name.erase(0, zoneinfo + 9);
    if (name.empty())
        return nullptr;
    try {
        return date::locate_zone(name);
    } catch (const std::exception&) {
        return nullptr;
    }
}

const date::time_zone* LocalZone()
{
    static const date::time_zone* const zone = []() -> const date::time_zone* {
        if (const date::time_zone* fromTz = ZoneFromTzValue(std::getenv("TZ")))
            return fromTz;
        try {
            return date::current_zone();
        } catch (const std::exception&) {
            return date::locate_zone("Etc/UTC");
        }
    }();
    return zone;
}
