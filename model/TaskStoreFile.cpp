#include "model/TaskStoreFile.h"

#include "common/Logging.h"
#include "common/RegularFile.h"
#include "common/Text.h"
#include "common/Utf8.h"
#include "common/XmlNesting.h"
#include "model/ExportFormats.h"
#include "model/StoreSalvage.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QTextStream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pt = boost::property_tree;

namespace store {

bool IsXmlCharacter(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

std::optional<char32_t> FirstCharacterXmlCannotHold(std::wstring_view text)
{
    for (wchar_t c : text)
        if (!IsXmlCharacter(static_cast<char32_t>(c)))
            return static_cast<char32_t>(c);
    return std::nullopt;
}

namespace {
std::wstring pathText(const std::filesystem::path& path);
} // namespace

std::optional<UnstorableText> FindUnstorableText(const TaskInfo& task)
{
    std::optional<UnstorableText> found;
    const auto check = [&found](const char* key, std::wstring_view text) {
        if (found)
            return;
        if (const auto c = FirstCharacterXmlCannotHold(text))
            found = UnstorableText{key, *c};
    };
    const auto checkTimes = [&check](const ModificationTimes& times) {
        for (const auto& entry : times)
            check("path", entry.first);
    };
    check("name", task.name);
    check("description", task.description);
    if (const auto* b = std::get_if<BackupAction>(&task.action)) {
        check("source_path", b->source_path);
        check("destination_path", b->destination_path);
    } else if (const auto* e = std::get_if<ExportAction>(&task.action)) {
        check("output_path", e->output_path);
        check("project_path", e->project_path);
        check("scheme_code", e->scheme_code);
        check("scheme_name", e->scheme_name);
        check("ifc_version", e->ifc_version);
        check("ifc_mapping_code", e->ifc_mapping_code);
        check("ifc_mapping_name", e->ifc_mapping_name);
        checkTimes(e->modification_times);
    } else if (const auto* c = std::get_if<CommandAction>(&task.action)) {
        check("executable", pathText(c->executable));
        check("arguments", c->arguments);
        check("working_directory", pathText(c->working_directory));
    } else if (const auto* k = std::get_if<CheckAction>(&task.action)) {
        check("ids_file", k->ids_file);
        check("ifc_file", k->ifc_file);
        checkTimes(k->modification_times);
    }
    return found;
}

namespace {

// A task element that a load drops; the message names what is wrong.
struct BadTask : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::wstring toText(std::int64_t v)
{
    return std::to_wstring(v);
}

const wchar_t* boolText(bool v)
{
    return v ? L"true" : L"false";
}

std::wstring formatWord(ExportFormat format)
{
    const std::string_view word = ExportFormatWord(format);
    return std::wstring(word.begin(), word.end());
}

std::wstring uuidText(const boost::uuids::uuid& id)
{
    return boost::uuids::to_wstring(id);
}

// Appends a text as element content. The five special characters become entities and
// characters that XML cannot hold become U+FFFD, so a save never writes a file that the
// load cannot read back. White space is written so that a reader which trims and collapses
// it gives the text back exactly: tabs and line breaks always as character references
// (raw, they would become spaces), a space at the start or after another space as `&#32;`,
// and a run of spaces at the very end in a CDATA section, because that reader drops a
// trailing space even when it was written as a reference. Ordinary texts come out as the
// property tree's writer writes them.
void appendXmlText(std::wstring& out, std::wstring_view text)
{
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == L' ')
        --end;
    std::size_t plain = 0; // start of the characters not yet appended
    auto flush = [&](std::size_t i) { out.append(text.data() + plain, i - plain); };
    for (std::size_t i = 0; i < end; ++i) {
        const wchar_t c = text[i];
        const wchar_t* entity = nullptr;
        switch (c) {
        case L'<':
            entity = L"&lt;";
            break;
        case L'>':
            entity = L"&gt;";
            break;
        case L'&':
            entity = L"&amp;";
            break;
        case L'"':
            entity = L"&quot;";
            break;
        case L'\'':
            entity = L"&apos;";
            break;
        case L'\t':
            entity = L"&#9;";
            break;
        case L'\n':
            entity = L"&#10;";
            break;
        case L'\r':
            entity = L"&#13;";
            break;
        case L' ':
            if (i == 0 || text[i - 1] == L' ')
                entity = L"&#32;";
            break;
        default:
            if (!IsXmlCharacter(static_cast<char32_t>(c)))
                entity = L"\xFFFD";
            break;
        }
        if (entity) {
            flush(i);
            out += entity;
            plain = i + 1;
        }
    }
    flush(end);
    if (end < text.size()) {
        out += L"<![CDATA[";
        out.append(text.size() - end, L' ');
        out += L"]]>";
    }
}

// Writes the document as Boost.PropertyTree's XML writer lays it out (tab indentation,
// one element per line, leaf texts inline, `<key/>` for an empty one), straight into one
// text: no tree is built for a save.
class DocumentWriter
{
public:
    explicit DocumentWriter(std::wstring& out)
        : out_(out)
    {}

    // An element that holds only text.
    void leaf(int level, std::wstring_view key, std::wstring_view text)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L'<';
        out_ += key;
        if (text.empty()) {
            out_ += L"/>\n";
            return;
        }
        out_ += L'>';
        appendXmlText(out_, text);
        out_ += L"</";
        out_ += key;
        out_ += L">\n";
    }
    void open(int level, std::wstring_view key)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L'<';
        out_ += key;
        out_ += L">\n";
    }
    void close(int level, std::wstring_view key)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L"</";
        out_ += key;
        out_ += L">\n";
    }
    // An element whose children are written by `children`, or `<key/>` when `count` is 0.
    template <typename Children>
    void list(int level, std::wstring_view key, std::size_t count, Children children)
    {
        if (count == 0) {
            leaf(level, key, {});
            return;
        }
        open(level, key);
        children();
        close(level, key);
    }

private:
    std::wstring& out_;
};

void writeTimes(DocumentWriter& w, int level, const ModificationTimes& times)
{
    w.list(level, L"modification_times", times.size(), [&] {
        for (const auto& [path, time] : times) {
            w.open(level + 1, L"document");
            w.leaf(level + 2, L"path", path);
            w.leaf(level + 2, L"last_modified", toText(time));
            w.close(level + 1, L"document");
        }
    });
}

std::wstring pathText(const std::filesystem::path& path)
{
    return common::toQString(path).toStdWString();
}

constexpr int kTaskLevel = 2;
constexpr int kFieldLevel = kTaskLevel + 1; // name ... trigger, action
constexpr int kPartLevel = kFieldLevel + 1; // the children of trigger and action
constexpr int kItemLevel = kPartLevel + 1;  // weekday, month, day, document

// Fills the `trigger` element.
struct TriggerWriter
{
    DocumentWriter& w;
    void operator()(const DailyTrigger& t) const
    {
        w.leaf(kPartLevel, L"type", L"daily");
        w.leaf(kPartLevel, L"repeat_interval", toText(t.repeat_interval));
    }
    void operator()(const WeeklyTrigger& t) const
    {
        w.leaf(kPartLevel, L"type", L"weekly");
        w.leaf(kPartLevel, L"repeat_interval", toText(t.repeat_interval));
        w.list(kPartLevel, L"weekdays", t.weekdays.size(), [&] {
            for (Weekday day : t.weekdays) // the set's order: Sunday (written as 7) first
                w.leaf(kItemLevel, L"weekday", toText(day == 0 ? 7 : day));
        });
    }
    void operator()(const MonthlyTrigger& t) const
    {
        w.leaf(kPartLevel, L"type", L"monthly");
        w.leaf(kPartLevel, L"repeat_interval", toText(t.repeat_interval));
        w.list(kPartLevel, L"months", t.months.size(), [&] {
            for (MonthOfYear m : t.months)
                w.leaf(kItemLevel, L"month", toText(m));
        });
        w.list(kPartLevel, L"days", t.days.size(), [&] {
            for (DayOfMonth d : t.days)
                w.leaf(kItemLevel, L"day", toText(d));
        });
    }
};

// Fills the `action` element.
struct ActionWriter
{
    DocumentWriter& w;

    void operator()(const BackupAction& a) const
    {
        w.leaf(kPartLevel, L"type", L"backup");
        w.leaf(kPartLevel, L"connection_id", uuidText(a.connection_id));
        w.leaf(kPartLevel, L"source_path", a.source_path);
        w.leaf(kPartLevel, L"destination_path", a.destination_path);
        // Written only when set, so that a task without versions is stored as it always was.
        if (a.keep_versions > 0)
            w.leaf(kPartLevel, L"keep_versions", toText(a.keep_versions));
    }
    void operator()(const ExportAction& a) const
    {
        w.leaf(kPartLevel, L"type", L"export");
        w.leaf(kPartLevel, L"connection_id", uuidText(a.connection_id));
        w.leaf(kPartLevel, L"output_path", a.output_path);
        w.leaf(kPartLevel, L"project_path", a.project_path);
        w.leaf(kPartLevel, L"only_changed_documents", boolText(a.only_changed_documents));
        if (a.only_changed_documents)
            writeTimes(w, kPartLevel, a.modification_times);
        if (a.format == IFC) {
            if (!a.ifc_version.empty())
                w.leaf(kPartLevel, L"ifc_version", a.ifc_version);
            if (!a.ifc_mapping_code.empty()) {
                w.leaf(kPartLevel, L"ifc_mapping_code", a.ifc_mapping_code);
                w.leaf(kPartLevel, L"ifc_mapping_name", a.ifc_mapping_name);
            }
        } else if (!a.scheme_code.empty()) {
            w.leaf(kPartLevel, L"scheme_code", a.scheme_code);
            w.leaf(kPartLevel, L"scheme_name", a.scheme_name);
        }
        w.leaf(kPartLevel, L"format", formatWord(a.format));
    }
    void operator()(const CommandAction& a) const
    {
        w.leaf(kPartLevel, L"type", L"command");
        w.leaf(kPartLevel, L"executable", pathText(a.executable));
        w.leaf(kPartLevel, L"arguments", a.arguments);
        w.leaf(kPartLevel, L"working_directory", pathText(a.working_directory));
    }
    void operator()(const CheckAction& a) const
    {
        w.leaf(kPartLevel, L"type", L"check");
        w.leaf(kPartLevel, L"ids_file", a.ids_file);
        w.leaf(kPartLevel, L"ids_file_mode", boolText(a.ids_file_mode));
        w.leaf(kPartLevel, L"ifc_file", a.ifc_file);
        w.leaf(kPartLevel, L"ifc_file_mode", boolText(a.ifc_file_mode));
        w.leaf(kPartLevel, L"only_changed_documents", boolText(a.only_changed_documents));
        if (a.only_changed_documents)
            writeTimes(w, kPartLevel, a.modification_times);
    }
};

// The store's words for the outcomes of a last run; none for a task that never ran.
constexpr std::pair<RunOutcome, std::wstring_view> kOutcomeWords[] = {
    {RunOutcome::Running, L"running"}, {RunOutcome::Succeeded, L"succeeded"}, {RunOutcome::Failed, L"failed"},
    {RunOutcome::Unknown, L"unknown"}, {RunOutcome::Stopped, L"stopped"},
};

std::wstring_view outcomeWord(RunOutcome outcome)
{
    for (const auto& [value, word] : kOutcomeWords)
        if (value == outcome)
            return word;
    return {};
}

// A stream buffer that reads a text in place, without the copy a string stream makes.
struct TextSource : std::wstreambuf
{
    explicit TextSource(const std::wstring& text)
    {
        auto* begin = const_cast<wchar_t*>(text.data()); // only ever read
        setg(begin, begin, begin + text.size());
    }
};

// ---- reading ----

const pt::wptree& required(const pt::wptree& node, const wchar_t* path)
{
    auto child = node.get_child_optional(path);
    if (!child)
        throw BadTask("missing element " + common::toUtf8(path));
    return *child;
}

// A value's text. A task holding a character that XML cannot hold (a reader accepts
// `&#0;`) is dropped: a save could not write it back.
const std::wstring& checkedText(const std::wstring& text, const wchar_t* path)
{
    if (const auto c = FirstCharacterXmlCannotHold(text)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*c));
        throw BadTask("character " + std::string(code) + " that XML cannot hold in " + common::toUtf8(path));
    }
    return text;
}

std::wstring requiredText(const pt::wptree& node, const wchar_t* path)
{
    return checkedText(required(node, path).data(), path);
}

std::wstring optionalText(const pt::wptree& node, const wchar_t* path, const std::wstring& fallback = {})
{
    auto child = node.get_child_optional(path);
    return child ? checkedText(child->data(), path) : fallback;
}

bool isSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f' || c == L'\v';
}

// The text between leading and trailing white space.
std::wstring trimmed(const std::wstring& text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && isSpace(text[b]))
        ++b;
    while (e > b && isSpace(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

// A decimal integer in the classic locale: optional sign, digits, nothing else.
std::optional<std::int64_t> parseSigned(const std::wstring& raw)
{
    const std::wstring text = trimmed(raw);
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

std::optional<std::uint64_t> parseUnsigned(const std::wstring& raw)
{
    const std::wstring text = trimmed(raw);
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

std::optional<bool> parseBool(const std::wstring& raw)
{
    const std::wstring text = trimmed(raw);
    if (text == L"1" || text == L"true")
        return true;
    if (text == L"0" || text == L"false")
        return false;
    return std::nullopt;
}

std::int64_t requiredInstant(const pt::wptree& node, const wchar_t* path)
{
    auto v = parseSigned(requiredText(node, path));
    if (!v)
        throw BadTask("bad number in " + common::toUtf8(path));
    return *v;
}

bool requiredBool(const pt::wptree& node, const wchar_t* path)
{
    auto v = parseBool(requiredText(node, path));
    if (!v)
        throw BadTask("bad bool in " + common::toUtf8(path));
    return *v;
}

// Numbers that the schedule cannot use are kept as they are, so the next save writes them
// back; each one is reported in `warnings`.
std::int64_t requiredInterval(const pt::wptree& node, std::vector<std::string>& warnings)
{
    const std::int64_t v = requiredInstant(node, L"trigger.repeat_interval");
    if (v <= 0)
        warnings.push_back("trigger.repeat_interval " + std::to_string(v) + " is not at least 1");
    return v;
}

// A weekday, month or day number: any unsigned number, kept in one byte (its low eight bits).
std::uint8_t byteNumber(const pt::wptree& item, const char* what, std::uint64_t low, std::uint64_t high,
                        std::vector<std::string>& warnings)
{
    auto v = parseUnsigned(item.data());
    if (!v)
        throw BadTask(std::string("bad number in ") + what);
    if (*v < low || *v > high)
        warnings.push_back(std::string(what) + " " + std::to_string(*v) + " is outside " + std::to_string(low) + "-" +
                           std::to_string(high));
    return static_cast<std::uint8_t>(*v);
}

boost::uuids::uuid requiredUuid(const pt::wptree& node, const wchar_t* path)
{
    const std::wstring text = trimmed(requiredText(node, path));
    try {
        return boost::uuids::string_generator()(text);
    } catch (const std::exception&) {
        throw BadTask("bad identifier in " + common::toUtf8(path));
    }
}

ModificationTimes readTimes(const pt::wptree& action)
{
    ModificationTimes times;
    auto list = action.get_child_optional(L"modification_times");
    if (!list)
        return times;
    for (const auto& [name, document] : *list) {
        if (name != L"document")
            continue;
        const std::wstring path = requiredText(document, L"path");
        const Instant time = requiredInstant(document, L"last_modified");
        times.emplace(path, time); // a repeated path keeps its first time
    }
    return times;
}

Trigger readTrigger(const pt::wptree& task, std::vector<std::string>& warnings)
{
    const std::wstring type = requiredText(task, L"trigger.type");
    if (type == L"daily")
        return DailyTrigger{requiredInterval(task, warnings)};
    if (type == L"weekly") {
        WeeklyTrigger t{requiredInterval(task, warnings), {}};
        if (auto list = task.get_child_optional(L"trigger.weekdays")) {
            for (const auto& [name, item] : *list) {
                if (name != L"weekday")
                    continue;
                // 0 and 7 are both Sunday; a number whose low byte is 7 is Sunday as well,
                // since a save writes Sunday as 7.
                const std::uint8_t v = byteNumber(item, "weekday", 0, 7, warnings);
                t.weekdays.insert(v == 7 ? 0 : v);
            }
        }
        return t;
    }
    if (type == L"monthly") {
        MonthlyTrigger t{requiredInterval(task, warnings), {}, {}};
        if (auto list = task.get_child_optional(L"trigger.months")) {
            for (const auto& [name, item] : *list)
                if (name == L"month")
                    t.months.push_back(byteNumber(item, "month", 1, 12, warnings));
        }
        if (auto list = task.get_child_optional(L"trigger.days")) {
            for (const auto& [name, item] : *list)
                if (name == L"day")
                    t.days.push_back(byteNumber(item, "day", 1, 31, warnings));
        }
        return t;
    }
    throw BadTask("unknown trigger type '" + common::toUtf8(type) + "'");
}

ExportFormat readFormat(const pt::wptree& action)
{
    return ExportFormatFromWord(optionalText(action, L"format")).value_or(MIF);
}

Action readAction(const pt::wptree& task, std::vector<std::string>& warnings)
{
    const std::wstring type = requiredText(task, L"action.type");
    const pt::wptree& a = task.get_child(L"action");
    if (type == L"backup") {
        BackupAction b;
        b.connection_id = requiredUuid(a, L"connection_id");
        b.source_path = requiredText(a, L"source_path");
        b.destination_path = requiredText(a, L"destination_path");
        if (const auto text = a.get_optional<std::wstring>(L"keep_versions")) {
            const auto v = parseUnsigned(*text);
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
        e.connection_id = requiredUuid(a, L"connection_id");
        e.output_path = requiredText(a, L"output_path");
        e.project_path = requiredText(a, L"project_path");
        e.scheme_code = optionalText(a, L"scheme_code");
        e.scheme_name = optionalText(a, L"scheme_name");
        e.ifc_version = optionalText(a, L"ifc_version", e.ifc_version);
        e.ifc_mapping_code = optionalText(a, L"ifc_mapping_code");
        e.ifc_mapping_name = optionalText(a, L"ifc_mapping_name");
        e.format = readFormat(a);
        e.only_changed_documents = parseBool(optionalText(a, L"only_changed_documents")).value_or(true);
        if (e.only_changed_documents)
            e.modification_times = readTimes(a);
        return e;
    }
    if (type == L"command") {
        CommandAction c;
        c.executable = std::filesystem::u8path(common::toUtf8(requiredText(a, L"executable")));
        c.arguments = optionalText(a, L"arguments");
        c.working_directory = std::filesystem::u8path(common::toUtf8(optionalText(a, L"working_directory")));
        return c;
    }
    if (type == L"check") {
        CheckAction c;
        c.ids_file = requiredText(a, L"ids_file");
        c.ids_file_mode = requiredBool(a, L"ids_file_mode");
        c.ifc_file = requiredText(a, L"ifc_file");
        c.ifc_file_mode = requiredBool(a, L"ifc_file_mode");
        c.only_changed_documents = parseBool(optionalText(a, L"only_changed_documents")).value_or(true);
        if (c.only_changed_documents)
            c.modification_times = readTimes(a);
        return c;
    }
    throw BadTask("unknown action type '" + common::toUtf8(type) + "'");
}

// The state the service keeps with a task. It never costs the task: what cannot be read
// is left out (the task counts as never run, or as having no awaited run) with a warning.
void readKeptState(const pt::wptree& node, TaskInfo& task, std::vector<std::string>& warnings)
{
    if (task.run_missed) {
        if (auto text = node.get_optional<std::wstring>(L"awaited_run")) {
            if (auto v = parseSigned(*text))
                task.awaited_run = *v;
            else
                warnings.push_back("awaited_run is not a number");
        }
    }
    auto last = node.get_child_optional(L"last_run");
    if (!last)
        return;
    LastRun run;
    const std::wstring word = trimmed(last->get<std::wstring>(L"outcome", {}));
    for (const auto& [value, known] : kOutcomeWords)
        if (word == known)
            run.outcome = value;
    const auto started = parseSigned(last->get<std::wstring>(L"started", {}));
    const auto ended = parseSigned(last->get<std::wstring>(L"ended", {}));
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
void readControl(const pt::wptree& node, TaskInfo& task, std::vector<std::string>& warnings)
{
    task.paused = parseBool(optionalText(node, L"paused")).value_or(false);
    const auto count = node.get_optional<std::wstring>(L"retry_count");
    if (!count)
        return;
    const auto n = parseSigned(*count);
    if (!n) {
        warnings.push_back("retry_count is not a number; the task is not retried");
        return;
    }
    task.retry_count = static_cast<int>(std::clamp<std::int64_t>(*n, 0, kMaxRetryCount));
    if (const auto interval = parseSigned(optionalText(node, L"retry_interval_minutes")))
        task.retry_interval_minutes =
            static_cast<int>(std::clamp<std::int64_t>(*interval, 1, kMaxRetryIntervalMinutes));
    if (task.retry_count != *n)
        warnings.push_back("retry_count outside 0-10 is read as " + std::to_string(task.retry_count));
    auto pending = node.get_child_optional(L"pending_retry");
    if (!pending || task.retry_count == 0)
        return;
    const auto at = parseSigned(pending->get<std::wstring>(L"at", {}));
    const auto attempt = parseSigned(pending->get<std::wstring>(L"attempt", {}));
    if (!at || !attempt || *attempt < 1 || *attempt > task.retry_count) {
        warnings.push_back("pending_retry cannot be read; no retry is pending");
        return;
    }
    task.retry_at = *at;
    task.retry_attempt = static_cast<int>(*attempt);
}

TaskInfo readTask(const pt::wptree& node, std::vector<std::string>& warnings)
{
    TaskInfo task;
    task.name = requiredText(node, L"name");
    task.description = requiredText(node, L"description");
    task.starting_point = requiredInstant(node, L"starting_point");
    // The record still holds the default daily trigger with interval 1, which always
    // allows the working-days flag, so the stored value is taken over as it is.
    task.run_only_on_working_days = parseBool(optionalText(node, L"run_only_on_working_days")).value_or(false);
    task.trigger = readTrigger(node, warnings);
    task.action = readAction(node, warnings);
    task.run_missed = parseBool(optionalText(node, L"run_missed")).value_or(false);
    readKeptState(node, task, warnings);
    readControl(node, task, warnings);
    return task;
}

} // namespace

std::wstring WriteTasks(const std::vector<const TaskInfo*>& tasks)
{
    std::wstring out;
    out.reserve(tasks.size() * 900 + 128);
    out += L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config>\n";
    DocumentWriter w(out);
    w.list(1, L"tasks", tasks.size(), [&] {
        for (const TaskInfo* task : tasks) {
            w.open(kTaskLevel, L"task");
            w.leaf(kFieldLevel, L"name", task->name);
            w.leaf(kFieldLevel, L"description", task->description);
            w.leaf(kFieldLevel, L"starting_point", toText(task->starting_point));
            w.leaf(kFieldLevel, L"run_only_on_working_days", boolText(task->RunOnlyOnWorkingDays()));
            w.open(kFieldLevel, L"trigger");
            std::visit(TriggerWriter{w}, task->trigger);
            w.close(kFieldLevel, L"trigger");
            w.open(kFieldLevel, L"action");
            std::visit(ActionWriter{w}, task->action);
            w.close(kFieldLevel, L"action");
            // Written only when set, so a task that is not paused and not retried is
            // written exactly as before.
            if (task->paused)
                w.leaf(kFieldLevel, L"paused", boolText(true));
            if (task->retry_count > 0) {
                w.leaf(kFieldLevel, L"retry_count", toText(task->retry_count));
                w.leaf(kFieldLevel, L"retry_interval_minutes", toText(task->retry_interval_minutes));
            }
            // What the service keeps is written only when there is something to keep, so
            // the entry of a task that never ran and makes up nothing stays as it was.
            if (task->run_missed) {
                w.leaf(kFieldLevel, L"run_missed", boolText(true));
                if (task->awaited_run != kNeverInstant)
                    w.leaf(kFieldLevel, L"awaited_run", toText(task->awaited_run));
            }
            if (const auto word = outcomeWord(task->last_run.outcome); !word.empty()) {
                w.open(kFieldLevel, L"last_run");
                w.leaf(kPartLevel, L"started", toText(task->last_run.started));
                w.leaf(kPartLevel, L"ended", toText(task->last_run.ended));
                w.leaf(kPartLevel, L"outcome", word);
                w.leaf(kPartLevel, L"reason", task->last_run.reason);
                w.close(kFieldLevel, L"last_run");
            }
            if (task->retry_count > 0 && task->retry_at != kNeverInstant) {
                w.open(kFieldLevel, L"pending_retry");
                w.leaf(kPartLevel, L"at", toText(task->retry_at));
                w.leaf(kPartLevel, L"attempt", toText(task->retry_attempt));
                w.close(kFieldLevel, L"pending_retry");
            }
            w.close(kTaskLevel, L"task");
        }
    });
    out += L"</config>\n";
    return out;
}

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
            parsed.task = readTask(node, parsed.warnings);
        } catch (const std::exception& e) {
            parsed.error = e.what();
            parsed.warnings.clear();
        }
        result.push_back(std::move(parsed));
    }
    return result;
}

std::optional<std::wstring> ReadFile(const std::filesystem::path& file)
{
    // Only a regular file is read, and the open never waits (a FIFO at the path would
    // otherwise hold the caller for ever).
    const common::FileRead read = common::ReadRegularFile(file);
    if (read.state != common::FileRead::State::Read)
        return std::nullopt;
    return TextOfFile(read.bytes);
}

bool WriteFile(const std::filesystem::path& file, const std::wstring& document, std::string* error)
{
    QSaveFile out(common::toQString(file));
    const auto fail = [&out, error] {
        if (error)
            *error = out.errorString().toStdString();
        out.cancelWriting();
        return false;
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return fail();
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const std::string bytes = common::toUtf8(document);
    // A write that fits the device's buffer reports success before anything reached the
    // file; only the flush tells, and commit would rename the cut file regardless.
    if (out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) || !out.flush())
        return fail();
    if (!out.commit()) {
        if (error)
            *error = out.errorString().toStdString();
        return false;
    }
    return true;
}

bool CreateFolderOf(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        qCWarning(lcModel, "Cannot create the folder %s: %s", file.parent_path().string().c_str(),
                  ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace store
