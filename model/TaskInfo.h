#pragma once

// One scheduled task: what it is called, when it runs and what it does. A plain value
// type: copies are deep and share nothing.
//
// The schedule operations (NextRun, CanRunOnlyOnWorkingDays, SetRunOnlyOnWorkingDays)
// need the time-zone database and are defined in the scheduler library
// (scheduler/NextRun.cpp), which links this one; Log needs the task storage service and
// is defined beside it (scheduler/TaskStorage.cpp).

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

// Nanoseconds since 1970-01-01T00:00:00 UTC on the system clock.
using Instant = std::int64_t;
// The largest instant: a timer armed with it never fires.
constexpr Instant kNeverInstant = INT64_MAX;
constexpr Instant kNanosPerSecond = 1'000'000'000;
constexpr Instant kNanosPerMilli = 1'000'000;

// The system clock's current instant.
Instant CurrentInstant();

// 0 = Sunday ... 6 = Saturday.
using Weekday = std::uint8_t;
using MonthOfYear = std::uint8_t;
using DayOfMonth = std::uint8_t;

struct DailyTrigger
{
    std::int64_t repeat_interval = 1; // days
    bool operator==(const DailyTrigger& o) const { return repeat_interval == o.repeat_interval; }
};

struct WeeklyTrigger
{
    std::int64_t repeat_interval = 1; // weeks
    std::set<Weekday> weekdays;
    bool operator==(const WeeklyTrigger& o) const
    {
        return repeat_interval == o.repeat_interval && weekdays == o.weekdays;
    }
};

struct MonthlyTrigger
{
    std::int64_t repeat_interval = 1; // months of 2 629 746 s
    std::vector<MonthOfYear> months;
    std::vector<DayOfMonth> days;
    bool operator==(const MonthlyTrigger& o) const
    {
        return repeat_interval == o.repeat_interval && months == o.months && days == o.days;
    }
};

using Trigger = std::variant<DailyTrigger, WeeklyTrigger, MonthlyTrigger>;

enum ExportFormat : std::int32_t
{
    DXF = 0,
    MIF = 1,
    PNR = 2,
    DWG = 3,
    IFC = 4,
};

// Path text -> modification time seen at the last run that covered it.
using ModificationTimes = std::map<std::wstring, Instant>;

struct BackupAction
{
    boost::uuids::uuid connection_id{};
    std::wstring source_path;
    std::wstring destination_path;
    // Dated versions the destination keeps (0-999); 0 keeps one copy updated in place.
    std::uint32_t keep_versions = 0;
    bool operator==(const BackupAction& o) const
    {
        return connection_id == o.connection_id && source_path == o.source_path &&
               destination_path == o.destination_path && keep_versions == o.keep_versions;
    }
};

struct ExportAction
{
    boost::uuids::uuid connection_id{};
    // Any int32 value fits; one outside the enumerators has no word (model/ExportFormats.h).
    ExportFormat format = DXF;
    std::wstring project_path;
    std::wstring output_path;
    std::wstring scheme_code;
    std::wstring scheme_name;
    std::wstring ifc_version = L"4.0";
    std::wstring ifc_mapping_code;
    std::wstring ifc_mapping_name;
    bool only_changed_documents = true;
    ModificationTimes modification_times;
    bool operator==(const ExportAction& o) const;
};

struct CommandAction
{
    std::filesystem::path executable;
    std::filesystem::path working_directory;
    std::wstring arguments;
    bool operator==(const CommandAction& o) const
    {
        return executable == o.executable && working_directory == o.working_directory && arguments == o.arguments;
    }
};

struct CheckAction
{
    std::wstring ids_file;
    std::wstring ifc_file;
    bool ifc_file_mode = true;
    bool ids_file_mode = true;
    bool only_changed_documents = true;
    ModificationTimes modification_times;
    bool operator==(const CheckAction& o) const;
};

using Action = std::variant<BackupAction, ExportAction, CommandAction, CheckAction>;

enum class RunOutcome : std::uint8_t
{
    None,
    Running,
    Succeeded,
    Failed,
    // The program stopped while a command it had started went on: how it ended is not known.
    Unknown,
    // The user stopped it.
    Stopped,
};

constexpr int kMaxRetryCount = 10;
constexpr int kMaxRetryIntervalMinutes = 1440;

// The task's last run, as the service keeps it.
struct LastRun
{
    Instant started = 0; // when the last run started (meaningful unless outcome is None)
    Instant ended = 0;   // when it ended; 0 while running
    RunOutcome outcome = RunOutcome::None;
    std::wstring reason; // first line of why it failed or why its outcome is unknown; empty otherwise
    bool operator==(const LastRun& o) const
    {
        return started == o.started && ended == o.ended && outcome == o.outcome && reason == o.reason;
    }
    bool operator!=(const LastRun& o) const { return !(*this == o); }
};

class TaskInfo
{
public:
    TaskInfo();

    std::wstring name;
    std::wstring description;
    Instant starting_point;
    Trigger trigger;
    // The wizard changes it only where CanRunOnlyOnWorkingDays allows it, as
    // SetRunOnlyOnWorkingDays does; the schedule ignores it where the rule refuses. Whole-record copies
    // and the store carry it over unchecked.
    bool run_only_on_working_days = false;
    Action action;
    // Make up one run after a start when a scheduled run fell into a time when the program
    // was not running.
    bool run_missed = false;
    // Kept by the service; a new task (TaskStorage::AddTask) starts with none.
    LastRun last_run;
    // Kept by the service for a task with run_missed: the run its timer waits for. Found in
    // the past at a start, it tells that the program was not running when the run fell due.
    Instant awaited_run = kNeverInstant;
    // A paused task never fires; running it at once still works. Resumed, it runs at its
    // next run after the resume: what fell due meanwhile is not made up.
    bool paused = false;
    // After a failed run (not a stopped one) the task runs again retry_interval_minutes
    // later, at most retry_count times in a row, unless its regular run comes first.
    int retry_count = 0;             // 0 to kMaxRetryCount
    int retry_interval_minutes = 10; // 1 to kMaxRetryIntervalMinutes
    // Kept by the service: when the pending retry runs (kNeverInstant: none) and which
    // attempt of the series it is, or was while it runs.
    Instant retry_at = kNeverInstant;
    int retry_attempt = 0;

    // The next run strictly after `now`, or starting_point while that lies ahead.
    // Computed in the local zone (see LocalZone in the scheduler library). Never throws
    // for a valid record; answers kNeverInstant when no run can be found.
    Instant NextRun() const;
    Instant NextRun(Instant now) const;
    bool CanRunOnlyOnWorkingDays() const;
    bool SetRunOnlyOnWorkingDays(bool value);
    bool RunOnlyOnWorkingDays() const { return run_only_on_working_days; }

    // Writes one time-stamped line into the log of this stored task (through the single
    // task storage service) and echoes it on standard error, headed with the task's name
    // or plain.
    void Log(const std::wstring& message, bool headed) const;

    bool operator==(const TaskInfo& o) const;
    bool operator!=(const TaskInfo& o) const { return !(*this == o); }
};
