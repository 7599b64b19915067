#include "model/TaskStoreFile.h"

#include "common/RegularFile.h"
#include "model/StoreSalvage.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QTextStream>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace pt = boost::property_tree;

namespace store {
namespace {

// A task element that a load drops; the message names what is wrong.
struct BadTask : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::string narrow(const std::wstring& w)
{
    return QString::fromStdWString(w).toStdString();
}

std::wstring toText(std::int64_t v)
{
    return std::to_wstring(v);
}

const wchar_t* boolText(bool v)
{
    return v ? L"true" : L"false";
}

const wchar_t* formatWord(std::int32_t format)
{
    switch (format) {
    case DXF:
        return L"DXF";
    case MIF:
        return L"MIF";
    case PNR:
        return L"PNR";
    case DWG:
        return L"DWG";
    case IFC:
        return L"IFC";
    default:
        return L"";
    }
}

std::wstring uuidText(const boost::uuids::uuid& id)
{
    return boost::uuids::to_wstring(id);
}

// Appends a child element; children are added in place and never looked up by path,
// which keeps the writer linear in the number of elements.
pt::wptree& add(pt::wptree& parent, const wchar_t* key, const std::wstring& value = {})
{
    return parent.push_back({key, pt::wptree(value)})->second;
}

void addTimes(pt::wptree& action, const ModificationTimes& times)
{
    pt::wptree& list = add(action, L"modification_times");
    for (const auto& [path, time] : times) {
        pt::wptree& document = add(list, L"document");
        add(document, L"path", path);
        add(document, L"last_modified", toText(time));
    }
}

std::wstring pathText(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string()).toStdWString();
}

// Fills the `trigger` element.
struct TriggerWriter
{
    pt::wptree& node;
    void operator()(const DailyTrigger& t) const
    {
        add(node, L"type", L"daily");
        add(node, L"repeat_interval", toText(t.repeat_interval));
    }
    void operator()(const WeeklyTrigger& t) const
    {
        add(node, L"type", L"weekly");
        add(node, L"repeat_interval", toText(t.repeat_interval));
        pt::wptree& list = add(node, L"weekdays");
        for (Weekday day : t.weekdays) // the set's order: Sunday (written as 7) first
            add(list, L"weekday", toText(day == 0 ? 7 : day));
    }
    void operator()(const MonthlyTrigger& t) const
    {
        add(node, L"type", L"monthly");
        add(node, L"repeat_interval", toText(t.repeat_interval));
        pt::wptree& months = add(node, L"months");
        for (MonthOfYear m : t.months)
            add(months, L"month", toText(m));
        pt::wptree& days = add(node, L"days");
        for (DayOfMonth d : t.days)
            add(days, L"day", toText(d));
    }
};

// Fills the `action` element.
struct ActionWriter
{
    pt::wptree& node;

    void operator()(const BackupAction& a) const
    {
        add(node, L"type", L"backup");
        add(node, L"connection_id", uuidText(a.connection_id));
        add(node, L"source_path", a.source_path);
        add(node, L"destination_path", a.destination_path);
    }
    void operator()(const ExportAction& a) const
    {
        add(node, L"type", L"export");
        add(node, L"connection_id", uuidText(a.connection_id));
        add(node, L"output_path", a.output_path);
        add(node, L"project_path", a.project_path);
        add(node, L"only_changed_documents", boolText(a.only_changed_documents));
        if (a.only_changed_documents)
            addTimes(node, a.modification_times);
        if (a.format == IFC) {
            if (!a.ifc_version.empty())
                add(node, L"ifc_version", a.ifc_version);
            if (!a.ifc_mapping_code.empty()) {
                add(node, L"ifc_mapping_code", a.ifc_mapping_code);
                add(node, L"ifc_mapping_name", a.ifc_mapping_name);
            }
        } else if (!a.scheme_code.empty()) {
            add(node, L"scheme_code", a.scheme_code);
            add(node, L"scheme_name", a.scheme_name);
        }
        add(node, L"format", formatWord(a.format));
    }
    void operator()(const CommandAction& a) const
    {
        add(node, L"type", L"command");
        add(node, L"executable", pathText(a.executable));
        add(node, L"arguments", a.arguments);
        add(node, L"working_directory", pathText(a.working_directory));
    }
    void operator()(const CheckAction& a) const
    {
        add(node, L"type", L"check");
        add(node, L"ids_file", a.ids_file);
        add(node, L"ids_file_mode", boolText(a.ids_file_mode));
        add(node, L"ifc_file", a.ifc_file);
        add(node, L"ifc_file_mode", boolText(a.ifc_file_mode));
        add(node, L"only_changed_documents", boolText(a.only_changed_documents));
        if (a.only_changed_documents)
            addTimes(node, a.modification_times);
    }
};

// A stream buffer that appends to a text reserved ahead, so writing a large store
// neither regrows nor copies its buffer.
struct TextSink : std::wstreambuf
{
    std::wstring text;

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            text.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const wchar_t* s, std::streamsize n) override
    {
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }
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

// ---- reading ----

const pt::wptree& required(const pt::wptree& node, const wchar_t* path)
{
    auto child = node.get_child_optional(path);
    if (!child)
        throw BadTask("missing element " + narrow(path));
    return *child;
}

std::wstring requiredText(const pt::wptree& node, const wchar_t* path)
{
    return required(node, path).data();
}

std::wstring optionalText(const pt::wptree& node, const wchar_t* path, const std::wstring& fallback = {})
{
    auto child = node.get_child_optional(path);
    return child ? child->data() : fallback;
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
        throw BadTask("bad number in " + narrow(path));
    return *v;
}

bool requiredBool(const pt::wptree& node, const wchar_t* path)
{
    auto v = parseBool(requiredText(node, path));
    if (!v)
        throw BadTask("bad bool in " + narrow(path));
    return *v;
}

std::int64_t requiredInterval(const pt::wptree& node)
{
    const std::int64_t v = requiredInstant(node, L"trigger.repeat_interval");
    if (v <= 0)
        throw BadTask("trigger.repeat_interval must be at least 1");
    return v;
}

std::uint64_t boundedNumber(const pt::wptree& item, const char* what, std::uint64_t low, std::uint64_t high)
{
    auto v = parseUnsigned(item.data());
    if (!v)
        throw BadTask(std::string("bad number in ") + what);
    if (*v < low || *v > high)
        throw BadTask(std::string(what) + " out of range: " + std::to_string(*v));
    return *v;
}

boost::uuids::uuid requiredUuid(const pt::wptree& node, const wchar_t* path)
{
    const std::wstring text = trimmed(requiredText(node, path));
    try {
        return boost::uuids::string_generator()(text);
    } catch (const std::exception&) {
        throw BadTask("bad identifier in " + narrow(path));
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

Trigger readTrigger(const pt::wptree& task)
{
    const std::wstring type = requiredText(task, L"trigger.type");
    if (type == L"daily")
        return DailyTrigger{requiredInterval(task)};
    if (type == L"weekly") {
        WeeklyTrigger t{requiredInterval(task), {}};
        if (auto list = task.get_child_optional(L"trigger.weekdays")) {
            for (const auto& [name, item] : *list) {
                if (name != L"weekday")
                    continue;
                const auto v = boundedNumber(item, "weekday", 0, 7);
                t.weekdays.insert(static_cast<Weekday>(v == 7 ? 0 : v));
            }
        }
        return t;
    }
    if (type == L"monthly") {
        MonthlyTrigger t{requiredInterval(task), {}, {}};
        if (auto list = task.get_child_optional(L"trigger.months")) {
            for (const auto& [name, item] : *list)
                if (name == L"month")
                    t.months.push_back(static_cast<MonthOfYear>(boundedNumber(item, "month", 1, 12)));
        }
        if (auto list = task.get_child_optional(L"trigger.days")) {
            for (const auto& [name, item] : *list)
                if (name == L"day")
                    t.days.push_back(static_cast<DayOfMonth>(boundedNumber(item, "day", 1, 31)));
        }
        return t;
    }
    throw BadTask("unknown trigger type '" + narrow(type) + "'");
}

std::int32_t readFormat(const pt::wptree& action)
{
    const std::wstring word = optionalText(action, L"format");
    for (std::int32_t f : {DXF, MIF, PNR, DWG, IFC})
        if (word == formatWord(f))
            return f;
    return MIF;
}

Action readAction(const pt::wptree& task)
{
    const std::wstring type = requiredText(task, L"action.type");
    const pt::wptree& a = task.get_child(L"action");
    if (type == L"backup") {
        BackupAction b;
        b.connection_id = requiredUuid(a, L"connection_id");
        b.source_path = requiredText(a, L"source_path");
        b.destination_path = requiredText(a, L"destination_path");
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
        c.executable = std::filesystem::u8path(narrow(requiredText(a, L"executable")));
        c.arguments = optionalText(a, L"arguments");
        c.working_directory = std::filesystem::u8path(narrow(optionalText(a, L"working_directory")));
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
    throw BadTask("unknown action type '" + narrow(type) + "'");
}

TaskInfo readTask(const pt::wptree& node)
{
    TaskInfo task;
    task.name = requiredText(node, L"name");
    task.description = requiredText(node, L"description");
    task.starting_point = requiredInstant(node, L"starting_point");
    // The record still holds the default daily trigger with interval 1, which always
    // allows the working-days flag, so the stored value is taken over as it is.
    task.run_only_on_working_days = parseBool(optionalText(node, L"run_only_on_working_days")).value_or(false);
    task.trigger = readTrigger(node);
    task.action = readAction(node);
    return task;
}

} // namespace

std::wstring WriteTasks(const std::vector<const TaskInfo*>& tasks)
{
    const auto settings = pt::xml_writer_make_settings<std::wstring>(L'\t', 1, L"utf-8");
    TextSink sink;
    sink.text.reserve(tasks.size() * 600 + 128);
    std::wostream out(&sink);
    if (tasks.empty()) {
        pt::wptree root;
        add(add(root, L"config"), L"tasks");
        pt::write_xml(out, root, settings);
        return std::move(sink.text);
    }
    // The document is written as the XML writer writes the whole tree, but one task
    // element at a time: a task's tree is built, written and dropped before the next, so
    // a large store never holds all of its elements in memory at once.
    out << L"<?xml version=\"1.0\" encoding=\"" << settings.encoding << L"\"?>\n<config>\n\t<tasks>\n";
    for (const TaskInfo* task : tasks) {
        pt::wptree node;
        add(node, L"name", task->name);
        add(node, L"description", task->description);
        add(node, L"starting_point", toText(task->starting_point));
        add(node, L"run_only_on_working_days", boolText(task->RunOnlyOnWorkingDays()));
        std::visit(TriggerWriter{add(node, L"trigger")}, task->trigger);
        std::visit(ActionWriter{add(node, L"action")}, task->action);
        pt::xml_parser::write_xml_element(out, std::wstring(L"task"), node, 2, settings);
    }
    out << L"\t</tasks>\n</config>\n";
    if (!out)
        throw pt::xml_parser_error("write error", std::string(), 0);
    return std::move(sink.text);
}

std::vector<ParsedTask> ParseTasks(const std::wstring& document)
{
    pt::wptree root;
    TextSource source(document);
    std::wistream in(&source);
    pt::read_xml(in, root, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);

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
            parsed.task = readTask(node);
        } catch (const std::exception& e) {
            parsed.error = e.what();
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

QByteArray Utf8Bytes(const std::wstring& text)
{
    QByteArray out;
    out.reserve(static_cast<int>(text.size() + text.size() / 4 + 16));
    for (wchar_t w : text) {
        auto c = static_cast<std::uint32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD; // what a UTF-8 text stream writes for a code point it cannot encode
        if (c < 0x80) {
            out.append(static_cast<char>(c));
        } else if (c < 0x800) {
            out.append(static_cast<char>(0xC0 | (c >> 6)));
            out.append(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.append(static_cast<char>(0xE0 | (c >> 12)));
            out.append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.append(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.append(static_cast<char>(0xF0 | (c >> 18)));
            out.append(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.append(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool WriteFile(const std::filesystem::path& file, const std::wstring& document)
{
    QSaveFile out(QString::fromStdString(file.string()));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = Utf8Bytes(document);
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

bool CreateFolderOf(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        std::fprintf(stderr, "Cannot create the folder %s: %s\n", file.parent_path().string().c_str(),
                     ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace store
