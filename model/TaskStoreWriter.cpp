// Writing the store document: WriteTasks of TaskStoreFile.h.

#include "model/ExportFormats.h"
#include "model/TaskStoreFile.h"
#include "model/TaskStoreWords.h"

#include <boost/uuid/uuid_io.hpp>

#include <string>
#include <string_view>
#include <variant>

namespace store {

namespace {

using detail::kOutcomeWords;
using detail::PathText;

std::wstring ToText(std::int64_t v)
{
    return std::to_wstring(v);
}

const wchar_t* BoolText(bool v)
{
    return v ? L"true" : L"false";
}

std::wstring FormatWord(ExportFormat format)
{
    const std::string_view word = ExportFormatWord(format);
    return std::wstring(word.begin(), word.end());
}

std::wstring UuidText(const boost::uuids::uuid& id)
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
void AppendXmlText(std::wstring& out, std::wstring_view text)
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
    void Leaf(int level, std::wstring_view key, std::wstring_view text)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L'<';
        out_ += key;
        if (text.empty()) {
            out_ += L"/>\n";
            return;
        }
        out_ += L'>';
        AppendXmlText(out_, text);
        out_ += L"</";
        out_ += key;
        out_ += L">\n";
    }
    void Open(int level, std::wstring_view key)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L'<';
        out_ += key;
        out_ += L">\n";
    }
    void Close(int level, std::wstring_view key)
    {
        out_.append(static_cast<std::size_t>(level), L'\t');
        out_ += L"</";
        out_ += key;
        out_ += L">\n";
    }
    // An element whose children are written by `children`, or `<key/>` when `count` is 0.
    template <typename Children>
    void List(int level, std::wstring_view key, std::size_t count, Children children)
    {
        if (count == 0) {
            Leaf(level, key, {});
            return;
        }
        Open(level, key);
        children();
        Close(level, key);
    }

private:
    std::wstring& out_;
};

void WriteTimes(DocumentWriter& w, int level, const ModificationTimes& times)
{
    w.List(level, L"modification_times", times.size(), [&] {
        for (const auto& [path, time] : times) {
            w.Open(level + 1, L"document");
            w.Leaf(level + 2, L"path", path);
            w.Leaf(level + 2, L"last_modified", ToText(time));
            w.Close(level + 1, L"document");
        }
    });
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
        w.Leaf(kPartLevel, L"type", L"daily");
        w.Leaf(kPartLevel, L"repeat_interval", ToText(t.repeat_interval));
    }
    void operator()(const WeeklyTrigger& t) const
    {
        w.Leaf(kPartLevel, L"type", L"weekly");
        w.Leaf(kPartLevel, L"repeat_interval", ToText(t.repeat_interval));
        w.List(kPartLevel, L"weekdays", t.weekdays.size(), [&] {
            for (Weekday day : t.weekdays) // the set's order: Sunday (written as 7) first
                w.Leaf(kItemLevel, L"weekday", ToText(day == 0 ? 7 : day));
        });
    }
    void operator()(const MonthlyTrigger& t) const
    {
        w.Leaf(kPartLevel, L"type", L"monthly");
        w.Leaf(kPartLevel, L"repeat_interval", ToText(t.repeat_interval));
        w.List(kPartLevel, L"months", t.months.size(), [&] {
            for (MonthOfYear m : t.months)
                w.Leaf(kItemLevel, L"month", ToText(m));
        });
        w.List(kPartLevel, L"days", t.days.size(), [&] {
            for (DayOfMonth d : t.days)
                w.Leaf(kItemLevel, L"day", ToText(d));
        });
    }
};

// Fills the `action` element.
struct ActionWriter
{
    DocumentWriter& w;

    void operator()(const BackupAction& a) const
    {
        w.Leaf(kPartLevel, L"type", L"backup");
        w.Leaf(kPartLevel, L"connection_id", UuidText(a.connection_id));
        w.Leaf(kPartLevel, L"source_path", a.source_path);
        w.Leaf(kPartLevel, L"destination_path", a.destination_path);
        // Written only when set, so that a task without versions is stored as it always was.
        if (a.keep_versions > 0)
            w.Leaf(kPartLevel, L"keep_versions", ToText(a.keep_versions));
    }
    void operator()(const ExportAction& a) const
    {
        w.Leaf(kPartLevel, L"type", L"export");
        w.Leaf(kPartLevel, L"connection_id", UuidText(a.connection_id));
        w.Leaf(kPartLevel, L"output_path", a.output_path);
        w.Leaf(kPartLevel, L"project_path", a.project_path);
        w.Leaf(kPartLevel, L"only_changed_documents", BoolText(a.only_changed_documents));
        if (a.only_changed_documents)
            WriteTimes(w, kPartLevel, a.modification_times);
        if (a.format == IFC) {
            if (!a.ifc_version.empty())
                w.Leaf(kPartLevel, L"ifc_version", a.ifc_version);
            if (!a.ifc_mapping_code.empty()) {
                w.Leaf(kPartLevel, L"ifc_mapping_code", a.ifc_mapping_code);
                w.Leaf(kPartLevel, L"ifc_mapping_name", a.ifc_mapping_name);
            }
        } else if (!a.scheme_code.empty()) {
            w.Leaf(kPartLevel, L"scheme_code", a.scheme_code);
            w.Leaf(kPartLevel, L"scheme_name", a.scheme_name);
        }
        w.Leaf(kPartLevel, L"format", FormatWord(a.format));
    }
    void operator()(const CommandAction& a) const
    {
        w.Leaf(kPartLevel, L"type", L"command");
        w.Leaf(kPartLevel, L"executable", PathText(a.executable));
        w.Leaf(kPartLevel, L"arguments", a.arguments);
        w.Leaf(kPartLevel, L"working_directory", PathText(a.working_directory));
    }
    void operator()(const CheckAction& a) const
    {
        w.Leaf(kPartLevel, L"type", L"check");
        w.Leaf(kPartLevel, L"ids_file", a.ids_file);
        w.Leaf(kPartLevel, L"ids_file_mode", BoolText(a.ids_file_mode));
        w.Leaf(kPartLevel, L"ifc_file", a.ifc_file);
        w.Leaf(kPartLevel, L"ifc_file_mode", BoolText(a.ifc_file_mode));
        w.Leaf(kPartLevel, L"only_changed_documents", BoolText(a.only_changed_documents));
        if (a.only_changed_documents)
            WriteTimes(w, kPartLevel, a.modification_times);
    }
};

std::wstring_view OutcomeWord(RunOutcome outcome)
{
    for (const auto& [value, word] : kOutcomeWords)
        if (value == outcome)
            return word;
    return {};
}

} // namespace

std::wstring WriteTasks(const std::vector<const TaskInfo*>& tasks)
{
    std::wstring out;
    out.reserve(tasks.size() * 900 + 128);
    out += L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config>\n";
    DocumentWriter w(out);
    w.List(1, L"tasks", tasks.size(), [&] {
        for (const TaskInfo* task : tasks) {
            w.Open(kTaskLevel, L"task");
            w.Leaf(kFieldLevel, L"name", task->name);
            w.Leaf(kFieldLevel, L"description", task->description);
            w.Leaf(kFieldLevel, L"starting_point", ToText(task->starting_point));
            w.Leaf(kFieldLevel, L"run_only_on_working_days", BoolText(task->RunOnlyOnWorkingDays()));
            w.Open(kFieldLevel, L"trigger");
            std::visit(TriggerWriter{w}, task->trigger);
            w.Close(kFieldLevel, L"trigger");
            w.Open(kFieldLevel, L"action");
            std::visit(ActionWriter{w}, task->action);
            w.Close(kFieldLevel, L"action");
            // Written only when set, so a task that is not paused and not retried is
            // written exactly as before.
            if (task->paused)
                w.Leaf(kFieldLevel, L"paused", BoolText(true));
            if (task->retry_count > 0) {
                w.Leaf(kFieldLevel, L"retry_count", ToText(task->retry_count));
                w.Leaf(kFieldLevel, L"retry_interval_minutes", ToText(task->retry_interval_minutes));
            }
            // What the service keeps is written only when there is something to keep, so
            // the entry of a task that never ran and makes up nothing stays as it was.
            if (task->run_missed) {
                w.Leaf(kFieldLevel, L"run_missed", BoolText(true));
                if (task->awaited_run != kNeverInstant)
                    w.Leaf(kFieldLevel, L"awaited_run", ToText(task->awaited_run));
            }
            if (const auto word = OutcomeWord(task->last_run.outcome); !word.empty()) {
                w.Open(kFieldLevel, L"last_run");
                w.Leaf(kPartLevel, L"started", ToText(task->last_run.started));
                w.Leaf(kPartLevel, L"ended", ToText(task->last_run.ended));
                w.Leaf(kPartLevel, L"outcome", word);
                w.Leaf(kPartLevel, L"reason", task->last_run.reason);
                w.Close(kFieldLevel, L"last_run");
            }
            if (task->retry_count > 0 && task->retry_at != kNeverInstant) {
                w.Open(kFieldLevel, L"pending_retry");
                w.Leaf(kPartLevel, L"at", ToText(task->retry_at));
                w.Leaf(kPartLevel, L"attempt", ToText(task->retry_attempt));
                w.Close(kFieldLevel, L"pending_retry");
            }
            w.Close(kTaskLevel, L"task");
        }
    });
    out += L"</config>\n";
    return out;
}

} // namespace store
