// Reading the store document: ParseTasks of TaskStoreFile.h.

#include "common/Utf8.h"
#include "common/XmlNesting.h"
#include "model/ExportFormats.h"
#include "model/TaskStoreFile.h"
#include "model/TaskStoreWords.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <utility>

namespace pt = boost::property_tree;

namespace store {

namespace {

using detail::kOutcomeWords;

// A task element that a load drops; the message names what is wrong.
struct BadTask : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// A stream buffer that reads a text in place, without the copy a string stream makes.
struct TextSource : std::wstreambuf
{
    explicit TextSource(const std::wstring& text)
    {
        auto* begin = const_cast<wchar_t*>(text.data()); // only ever read
        setg(begin, begin, begin + text.size());
    }
};

const pt::wptree& Required(const pt::wptree& node, const wchar_t* path)
{
    auto child = node.get_child_optional(path);
    if (!child)
        throw BadTask("missing element " + common::toUtf8(path));
    return *child;
}

// A value's text. A task holding a character that XML cannot hold (a reader accepts
// `&#0;`) is dropped: a save could not write it back.
const std::wstring& CheckedText(const std::wstring& text, const wchar_t* path)
{
    if (const auto c = FirstCharacterXmlCannotHold(text)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*c));
        throw BadTask("character " + std::string(code) + " that XML cannot hold in " + common::toUtf8(path));
    }
    return text;
}

std::wstring RequiredText(const pt::wptree& node, const wchar_t* path)
{
    return CheckedText(Required(node, path).data(), path);
}

std::wstring OptionalText(const pt::wptree& node, const wchar_t* path, const std::wstring& fallback = {})
{
    auto child = node.get_child_optional(path);
    return child ? CheckedText(child->data(), path) : fallback;
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f' || c == L'\v';
}

// The text between leading and trailing white space.
std::wstring Trimmed(const std::wstring& text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && IsSpace(text[b]))
        ++b;
    while (e > b && IsSpace(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

// A decimal integer in the classic locale: optional sign, digits, nothing else.
std::optional<std::int64_t> ParseSigned(const std::wstring& raw)
{
    const std::wstring text = Trimmed(raw);
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
        negative = text[i++] == L'-';
    if (i == text.size())
        return std::nullopt;
    // Accumulate towards the negative side, which holds the larger magnitude.
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return std::nullopt;
        const int digit = text[i] - L'0';
        if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<std::int64_t>::min())
            return std::nullopt;
        value = -value;
    }
    return value;
}

std::optional<std::uint64_t> ParseUnsigned(const std::wstring& raw)
{
    const std::wstring text = Trimmed(raw);
    std::size_t i = text.size() > 0 && text[0] == L'+' ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return std::nullopt;
        const unsigned digit = text[i] - L'0';
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<bool> ParseBool(const std::wstring& raw)
{
    const std::wstring text = Trimmed(raw);
    if (text == L"1" || text == L"true")
        return true;
    if (text == L"0" || text == L"false")
        return false;
    return std::nullopt;
}

std::int64_t RequiredInstant(const pt::wptree& node, const wchar_t* path)
{
    auto v = ParseSigned(RequiredText(node, path));
    if (!v)
        throw BadTask("bad number in " + common::toUtf8(path));
    return *v;
}

bool RequiredBool(const pt::wptree& node, const wchar_t* path)
{
    auto v = ParseBool(RequiredText(node, path));
    if (!v)
        throw BadTask("bad bool in " + common::toUtf8(path));
    return *v;
}

// Numbers that the schedule cannot use are kept as they are, so the next save writes them
// back; each one is reported in `warnings`.
std::int64_t RequiredInterval(const pt::wptree& node, std::vector<std::string>& warnings)
{
    const std::int64_t v = RequiredInstant(node, L"trigger.repeat_interval");
    if (v <= 0)
        warnings.push_back("trigger.repeat_interval " + std::to_string(v) + " is not at least 1");
    return v;
}

// A weekday, month or day number: any unsigned number, kept in one byte (its low eight bits).
std::uint8_t ByteNumber(const pt::wptree& item, const char* what, std::uint64_t low, std::uint64_t high,
                        std::vector<std::string>& warnings)
{
    auto v = ParseUnsigned(item.data());
    if (!v)
        throw BadTask(std::string("bad number in ") + what);
    if (*v < low || *v > high)
        warnings.push_back(std::string(what) + " " + std::to_string(*v) + " is outside " + std::to_string(low) + "-" +
                           std::to_string(high));
    return static_cast<std::uint8_t>(*v);
}

boost::uuids::uuid RequiredUuid(const pt::wptree& node, const wchar_t* path)
{
    const std::wstring text = Trimmed(RequiredText(node, path));
    try {
        return boost::uuids::string_generator()(text);
    } catch (const std::exception&) {
        throw BadTask("bad identifier in " + common::toUtf8(path));
    }
}

ModificationTimes ReadTimes(const pt::wptree& action)
{
    ModificationTimes times;
    auto list = action.get_child_optional(L"modification_times");
    if (!list)
        return times;
    for (const auto& [name, document] : *list) {
        if (name != L"document")
            continue;
        const std::wstring path = RequiredText(document, L"path");
        const Instant time = RequiredInstant(document, L"last_modified");
        times.emplace(path, time); // a repeated path keeps its first time
    }
    return times;
}

Trigger ReadTrigger(const pt::wptree& task, std::vector<std::string>& warnings)
{
    const std::wstring type = RequiredText(task, L"trigger.type");
    if (type == L"daily")
        return DailyTrigger{RequiredInterval(task, warnings)};
    if (type == L"weekly") {
        WeeklyTrigger t{RequiredInterval(task, warnings), {}};
        if (auto list = task.get_child_optional(L"trigger.weekdays")) {
            for (const auto& [name, item] : *list) {
                if (name != L"weekday")
                    continue;
                // 0 and 7 are both Sunday; a number whose low byte is 7 is Sunday as well,
                // since a save writes Sunday as 7.
                const std::uint8_t v = ByteNumber(item, "weekday", 0, 7, warnings);
                t.weekdays.insert(v == 7 ? 0 : v);
            }
        }
        return t;
    }
    if (type == L"monthly") {
        MonthlyTrigger t{RequiredInterval(task, warnings), {}, {}};
        if (auto list = task.get_child_optional(L"trigger.months")) {
            for (const auto& [name, item] : *list)
                if (name == L"month")
                    t.months.push_back(ByteNumber(item, "month", 1, 12, warnings));
        }
        if (auto list = task.get_child_optional(L"trigger.days")) {
            for (const auto& [name, item] : *list)
                if (name == L"day")
                    t.days.push_back(ByteNumber(item, "day", 1, 31, warnings));
        }
        return t;
    }
    throw BadTask("unknown trigger type '" + common::toUtf8(type) + "'");
}

ExportFormat ReadFormat(const pt::wptree& action)
{
    return ExportFormatFromWord(OptionalText(action, L"format")).value_or(MIF);
}

Action ReadAction(const pt::wptree& task, std::vector<std::string>& warnings)
{
    const std::wstring type = RequiredText(task, L"action.type");
    const pt::wptree& a = task.get_child(L"action");
    if (type == L"backup") {
        BackupAction b;
        b.connection_id = RequiredUuid(a, L"connection_id");
        b.source_path = RequiredText(a, L"source_path");
        b.destination_path = RequiredText(a, L"destination_path");
        if (const auto text = a.get_optional<std::wstring>(L"keep_versions")) {
            const auto v = ParseUnsigned(*text);
            if (!v || *v > std::numeric_limits<std::uint32_t>::max())
                throw BadTask("bad number in keep_versions");
            if (*v > 999)
                warnings.push_back("keep_versions " + std::to_string(*v) + " is outside 0-999");
            b.keep_versions = static_cast<std::uint32_t>(*v);
        }
        return b;
    }
    if (type == L"export") {
        ExportAction e;
        e.connection_id = RequiredUuid(a, L"connection_id");
        e.output_path = RequiredText(a, L"output_path");
        e.project_path = RequiredText(a, L"project_path");
        e.scheme_code = OptionalText(a, L"scheme_code");
        e.scheme_name = OptionalText(a, L"scheme_name");
        e.ifc_version = OptionalText(a, L"ifc_version", e.ifc_version);
        e.ifc_mapping_code = OptionalText(a, L"ifc_mapping_code");
        e.ifc_mapping_name = OptionalText(a, L"ifc_mapping_name");
        e.format = ReadFormat(a);
        e.only_changed_documents = ParseBool(OptionalText(a, L"only_changed_documents")).value_or(true);
        if (e.only_changed_documents)
            e.modification_times = ReadTimes(a);
        return e;
    }
    if (type == L"command") {
        CommandAction c;
        c.executable = std::filesystem::u8path(common::toUtf8(RequiredText(a, L"executable")));
        c.arguments = OptionalText(a, L"arguments");
        c.working_directory = std::filesystem::u8path(common::toUtf8(OptionalText(a, L"working_directory")));
        return c;
    }
    if (type == L"check") {
        CheckAction c;
        c.ids_file = RequiredText(a, L"ids_file");
        c.ids_file_mode = RequiredBool(a, L"ids_file_mode");
        c.ifc_file = RequiredText(a, L"ifc_file");
        c.ifc_file_mode = RequiredBool(a, L"ifc_file_mode");
        c.only_changed_documents = ParseBool(OptionalText(a, L"only_changed_documents")).value_or(true);
        if (c.only_changed_documents)
            c.modification_times = ReadTimes(a);
        return c;
    }
    throw BadTask("unknown action type '" + common::toUtf8(type) + "'");
}

// The state the service keeps with a task. It never costs the task: what cannot be read
// is left out (the task counts as never run, or as having no awaited run) with a warning.
void ReadKeptState(const pt::wptree& node, TaskInfo& task, std::vector<std::string>& warnings)
{
    if (task.run_missed) {
        if (auto text = node.get_optional<std::wstring>(L"awaited_run")) {
            if (auto v = ParseSigned(*text))
                task.awaited_run = *v;
            else
                warnings.push_back("awaited_run is not a number");
        }
    }
    auto last = node.get_child_optional(L"last_run");
    if (!last)
        return;
    LastRun run;
    const std::wstring word = Trimmed(last->get<std::wstring>(L"outcome", {}));
    for (const auto& [value, known] : kOutcomeWords)
        if (word == known)
            run.outcome = value;
    const auto started = ParseSigned(last->get<std::wstring>(L"started", {}));
    const auto ended = ParseSigned(last->get<std::wstring>(L"ended", {}));
    run.reason = last->get<std::wstring>(L"reason", {});
    if (run.outcome == RunOutcome::None || !started || !ended || FirstCharacterXmlCannotHold(run.reason)) {
        warnings.push_back("last_run cannot be read; the task counts as never run");
        return;
    }
    run.started = *started;
    run.ended = *ended;
    task.last_run = std::move(run);
}

// Pausing and retrying: missing means not paused and no retries; a count or an interval
// outside its range is brought into it, one that is not a number gives no retries.
void ReadControl(const pt::wptree& node, TaskInfo& task, std::vector<std::string>& warnings)
{
    task.paused = ParseBool(OptionalText(node, L"paused")).value_or(false);
    const auto count = node.get_optional<std::wstring>(L"retry_count");
    if (!count)
        return;
    const auto n = ParseSigned(*count);
    if (!n) {
        warnings.push_back("retry_count is not a number; the task is not retried");
        return;
    }
    task.retry_count = static_cast<int>(std::clamp<std::int64_t>(*n, 0, kMaxRetryCount));
    if (const auto interval = ParseSigned(OptionalText(node, L"retry_interval_minutes")))
        task.retry_interval_minutes =
            static_cast<int>(std::clamp<std::int64_t>(*interval, 1, kMaxRetryIntervalMinutes));
    if (task.retry_count != *n)
        warnings.push_back("retry_count outside 0-10 is read as " + std::to_string(task.retry_count));
    auto pending = node.get_child_optional(L"pending_retry");
    if (!pending || task.retry_count == 0)
        return;
    const auto at = ParseSigned(pending->get<std::wstring>(L"at", {}));
    const auto attempt = ParseSigned(pending->get<std::wstring>(L"attempt", {}));
    if (!at || !attempt || *attempt < 1 || *attempt > task.retry_count) {
        warnings.push_back("pending_retry cannot be read; no retry is pending");
        return;
    }
    task.retry_at = *at;
    task.retry_attempt = static_cast<int>(*attempt);
}

TaskInfo ReadTask(const pt::wptree& node, std::vector<std::string>& warnings)
{
    TaskInfo task;
    task.name = RequiredText(node, L"name");
    task.description = RequiredText(node, L"description");
    task.starting_point = RequiredInstant(node, L"starting_point");
    // The record still holds the default daily trigger with interval 1, which always
    // allows the working-days flag, so the stored value is taken over as it is.
    task.run_only_on_working_days = ParseBool(OptionalText(node, L"run_only_on_working_days")).value_or(false);
    task.trigger = ReadTrigger(node, warnings);
    task.action = ReadAction(node, warnings);
    task.run_missed = ParseBool(OptionalText(node, L"run_missed")).value_or(false);
    ReadKeptState(node, task, warnings);
    ReadControl(node, task, warnings);
    return task;
}

} // namespace

std::vector<ParsedTask> ParseTasks(const std::wstring& document)
{
    pt::wptree root;
    // References to characters beyond ASCII are put in as the characters they name: the
    // reader would give their UTF-8 bytes instead.
    const std::optional<std::wstring> expanded = common::ExpandWideCharacterReferences(document);
    TextSource source(expanded ? *expanded : document);
    std::wistream in(&source);
    pt::read_xml(in, root, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);

    // Only the first `config` and its first `tasks` would be read and the rest lost at the
    // next save: a document holding more is damaged.
    if (root.count(L"config") > 1)
        throw pt::xml_parser_error("more than one config element", std::string(), 0);
    if (const auto config = root.get_child_optional(L"config"); config && config->count(L"tasks") > 1)
        throw pt::xml_parser_error("more than one tasks element in config", std::string(), 0);

    std::vector<ParsedTask> result;
    auto tasks = root.get_child_optional(L"config.tasks");
    if (!tasks)
        return result;
    std::size_t position = 0;
    for (const auto& [name, node] : *tasks) {
        if (name != L"task")
            continue;
        ParsedTask parsed;
        parsed.position = position++;
        try {
            parsed.task = ReadTask(node, parsed.warnings);
        } catch (const std::exception& e) {
            parsed.error = e.what();
            parsed.warnings.clear();
        }
        result.push_back(std::move(parsed));
    }
    return result;
}

} // namespace store
