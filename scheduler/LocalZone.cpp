#include "scheduler/LocalZone.h"

#include "common/RegularFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

using std::chrono::seconds;

// When in a year a change happens, as the rule writes it: "Mm.w.d" (day d of week w of
// month m, 5 = the last), "Jn" (day n of 1 to 365, 29 February never counted) or "n"
// (day n from 0, 29 February counted); at `time` of local wall-clock time.
struct RuleDay
{
    enum class Kind
    {
        MonthWeekDay,
        JulianNoLeap,
        Julian,
    };
    Kind kind = Kind::MonthWeekDay;
    int month = 0;
    int week = 0;
    int weekday = 0;
    int day = 0;
    seconds time{2 * 3600};
};

// The rule at the end of a zone's file: standard time, and daylight-saving time between
// two days of each year.
struct ZoneRule
{
    seconds standardOffset{0};
    seconds dstOffset{0};
    std::string standardName;
    std::string dstName;
    RuleDay dstStart;
    RuleDay dstEnd;
};

class RuleReader
{
public:
    explicit RuleReader(const std::string& text)
        : text_(text)
    {}

    std::optional<ZoneRule> Read()
    {
        ZoneRule rule;
        if (!Name(rule.standardName) || !Offset(rule.standardOffset))
            return std::nullopt;
        // Without daylight-saving time the last listed offset goes on, as the database has it.
        if (at_ == text_.size() || !Name(rule.dstName))
            return std::nullopt;
        rule.dstOffset = rule.standardOffset + seconds{3600};
        if (at_ < text_.size() && text_[at_] != ',' && !Offset(rule.dstOffset))
            return std::nullopt;
        if (!Take(',') || !ChangeDay(rule.dstStart) || !Take(',') || !ChangeDay(rule.dstEnd) || at_ != text_.size())
            return std::nullopt;
        return rule;
    }

private:
    bool Take(char c)
    {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool Name(std::string& out)
    {
        const std::size_t from = at_;
        if (Take('<')) {
            const std::size_t close = text_.find('>', at_);
            if (close == std::string::npos)
                return false;
            out = text_.substr(at_, close - at_);
            at_ = close + 1;
            return true;
        }
        while (at_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[at_])))
            ++at_;
        out = text_.substr(from, at_ - from);
        return out.size() >= 3;
    }

    bool Number(int& out, int maximum)
    {
        const std::size_t from = at_;
        out = 0;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])) && at_ - from < 4)
            out = out * 10 + (text_[at_++] - '0');
        return at_ > from && out <= maximum;
    }

    // [+-]hh[:mm[:ss]], hours up to 167.
    bool Duration(seconds& out)
    {
        const bool negative = Take('-');
        if (!negative)
            Take('+');
        int h = 0;
        int m = 0;
        int s = 0;
        if (!Number(h, 167))
            return false;
        if (Take(':') && (!Number(m, 59) || (Take(':') && !Number(s, 59))))
            return false;
        out = seconds{(negative ? -1 : 1) * (h * 3600 + m * 60 + s)};
        return true;
    }

    // The rule writes the offset west of Greenwich; the database keeps it east.
    bool Offset(seconds& out)
    {
        seconds west{0};
        if (!Duration(west))
            return false;
        out = -west;
        return true;
    }

    bool ChangeDay(RuleDay& out)
    {
        if (Take('M')) {
            out.kind = RuleDay::Kind::MonthWeekDay;
            if (!Number(out.month, 12) || out.month < 1 || !Take('.') || !Number(out.week, 5) || out.week < 1 ||
                !Take('.') || !Number(out.weekday, 6))
                return false;
        } else if (Take('J')) {
            out.kind = RuleDay::Kind::JulianNoLeap;
            if (!Number(out.day, 365) || out.day < 1)
                return false;
        } else {
            out.kind = RuleDay::Kind::Julian;
            if (!Number(out.day, 365))
                return false;
        }
        return !Take('/') || Duration(out.time);
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// The rule from the end of the zone's file ("TZif" version 2 and later), if it has one
// with daylight-saving time.
std::optional<ZoneRule> ReadRule(const date::time_zone* zone)
{
    for (const char* folder : {"/usr/share/zoneinfo/", "/etc/zoneinfo/"}) {
        const common::FileRead file = common::ReadRegularFile(std::string(folder) + zone->name());
        if (file.state != common::FileRead::State::Read)
            continue;
        const std::string& bytes = file.bytes;
        if (bytes.size() < 6 || bytes.compare(0, 4, "TZif") != 0 || bytes[4] < '2' || bytes.back() != '\n')
            return std::nullopt;
        const std::size_t start = bytes.rfind('\n', bytes.size() - 2);
        if (start == std::string::npos)
            return std::nullopt;
        return RuleReader(bytes.substr(start + 1, bytes.size() - start - 2)).Read();
    }
    return std::nullopt;
}

// Each zone's rule, read once; the entries are never removed, so their addresses stay.
const ZoneRule* RuleOf(const date::time_zone* zone)
{
    // Most lookups ask for the zone the thread asked for last.
    thread_local const date::time_zone* lastZone = nullptr;
    thread_local const ZoneRule* lastRule = nullptr;
    if (zone == lastZone)
        return lastRule;
    static std::mutex mutex;
    static std::map<const date::time_zone*, std::unique_ptr<ZoneRule>> rules;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = rules.find(zone);
    if (found == rules.end()) {
        std::optional<ZoneRule> rule = ReadRule(zone);
        found = rules.emplace(zone, rule ? std::make_unique<ZoneRule>(std::move(*rule)) : nullptr).first;
    }
    lastZone = zone;
    lastRule = found->second.get();
    return lastRule;
}

// The local day on which the rule's change falls in `year`.
date::local_days DayIn(const RuleDay& rule, date::year year)
{
    using namespace date;
    switch (rule.kind) {
    case RuleDay::Kind::JulianNoLeap:
        return local_days{year / January / 1} + days{rule.day - 1 + (year.is_leap() && rule.day >= 60 ? 1 : 0)};
    case RuleDay::Kind::Julian:
        return local_days{year / January / 1} + days{rule.day};
    case RuleDay::Kind::MonthWeekDay:
        break;
    }
    const month m{static_cast<unsigned>(rule.month)};
    const weekday wd{static_cast<unsigned>(rule.weekday)};
    if (rule.week == 5)
        return local_days{year / m / wd[last]};
    return local_days{year / m / wd[static_cast<unsigned>(rule.week)]};
}

// The instant of each change the rule makes in `year`: into daylight-saving time (wall
// clock in standard time) and out of it (wall clock in daylight-saving time).
struct Change
{
    date::sys_seconds at;
    bool intoDst;
};

date::sys_info InfoFromRule(const ZoneRule& rule, const date::sys_info& lastListed, date::sys_seconds t)
{
    const auto y = date::year_month_day{date::floor<date::days>(t)}.year();
    std::array<Change, 6> changes;
    std::size_t n = 0;
    for (auto year = y - date::years{1}; year <= y + date::years{1}; ++year) {
        const auto start = DayIn(rule.dstStart, year) + rule.dstStart.time;
        const auto end = DayIn(rule.dstEnd, year) + rule.dstEnd.time;
        changes[n++] = {date::sys_seconds{start.time_since_epoch() - rule.standardOffset}, true};
        changes[n++] = {date::sys_seconds{end.time_since_epoch() - rule.dstOffset}, false};
    }
    std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.at < b.at; });
    // The last change at or before `t`; `t` lies in the middle year, so one always is.
    std::size_t current = 0;
    while (current + 1 < changes.size() && changes[current + 1].at <= t)
        ++current;
    date::sys_info info;
    info.begin = std::max(changes[current].at, lastListed.begin);
    info.end = current + 1 < changes.size() ? changes[current + 1].at : date::sys_seconds::max();
    const bool dst = changes[current].intoDst;
    info.offset = dst ? rule.dstOffset : rule.standardOffset;
    info.save = date::floor<std::chrono::minutes>(dst ? rule.dstOffset - rule.standardOffset : seconds{0});
    info.abbrev = dst ? rule.dstName : rule.standardName;
    return info;
}

// The period after a zone's last listed change ends at the far end of the calendar.
bool IsOpenEnded(const date::sys_info& info)
{
    constexpr date::sys_seconds kFarAhead{date::sys_days{date::year{10000} / date::January / 1}};
    return info.end >= kFarAhead;
}

} // namespace

date::sys_info ZoneInfo(const date::time_zone* zone, date::sys_seconds t)
{
    date::sys_info info = zone->get_info(t);
    if (!IsOpenEnded(info))
        return info;
    // A schedule asks about nearby instants again and again: the period last worked out
    // by this thread is kept.
    thread_local const date::time_zone* lastZone = nullptr;
    thread_local date::sys_info last;
    if (zone == lastZone && last.begin <= t && t < last.end)
        return last;
    const ZoneRule* rule = RuleOf(zone);
    if (rule == nullptr)
        return info;
    last = InfoFromRule(*rule, info, t);
    lastZone = zone;
    return last;
}

date::local_info ZoneInfo(const date::time_zone* zone, date::local_seconds t)
{
    date::local_info info = zone->get_info(t);
    if (info.result != date::local_info::unique || !IsOpenEnded(info.first))
        return info;
    const ZoneRule* rule = RuleOf(zone);
    if (rule == nullptr)
        return info;
    // A local time maps to an instant through each offset that holds there.
    const auto through = [&](seconds offset) {
        const date::sys_info at = ZoneInfo(zone, date::sys_seconds{t.time_since_epoch() - offset});
        return std::make_pair(at, at.offset == offset);
    };
    const auto [standard, standardHolds] = through(rule->standardOffset);
    const auto [dst, dstHolds] = through(rule->dstOffset);
    info = {};
    if (standardHolds && dstHolds && standard.begin != dst.begin) {
        info.result = date::local_info::ambiguous;
        info.first = standard.begin < dst.begin ? standard : dst;
        info.second = standard.begin < dst.begin ? dst : standard;
    } else if (standardHolds || dstHolds) {
        info.result = date::local_info::unique;
        info.first = standardHolds ? standard : dst;
    } else {
        // In the gap: through the smaller offset the instant lies past the change.
        info.result = date::local_info::nonexistent;
        info.second = rule->standardOffset < rule->dstOffset ? standard : dst;
        info.first = ZoneInfo(zone, info.second.begin - seconds{1});
    }
    return info;
}

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
