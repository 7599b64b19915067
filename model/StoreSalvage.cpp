#include "model/StoreSalvage.h"

#include "common/DamagedCopy.h"
#include "common/Utf8.h"
#include "common/XmlNesting.h"

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store {
namespace {

constexpr std::size_t npos = std::wstring::npos;

// Line numbers of offsets that only grow: linear over all the calls.
class Lines
{
public:
    explicit Lines(const std::wstring& text)
        : text_(text)
    {}
    std::size_t At(std::size_t offset)
    {
        for (; pos_ < offset && pos_ < text_.size(); ++pos_)
            line_ += text_[pos_] == L'\n';
        return line_;
    }

private:
    const std::wstring& text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

std::size_t LineAt(const std::wstring& text, std::size_t offset)
{
    return Lines(text).At(offset);
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

bool StartsWith(const std::wstring& text, std::size_t at, std::wstring_view s)
{
    return text.compare(at, s.size(), s.data(), s.size()) == 0;
}

// The `task` elements that the whole-document read takes: children of a `tasks` element
// that is a child of the root `config`, in document order, with where each begins (its
// '<') and ends (just past the '>' of its end tag; npos when it is never closed). Tags are
// read as the reader reads them: what comments, CDATA sections, processing instructions,
// declarations (a DOCTYPE's bracketed subset included) and attribute values hold is no
// markup. Damage is tolerated: an end tag closes the nearest open element of its name and
// whatever is left open inside it, an end tag of no open element is ignored, markup that
// does not read as a tag is text. An element other than `config` or `tasks` that is never
// closed does not count as holding what follows it; so a task left open ends where the
// next one starts. A task outside any element before any `config` (the document's head
// lost, to a block of zeros say) reads as if the store's outer elements were there.
struct TaskElement
{
    std::size_t begin = 0;
    std::size_t end = npos;
};

bool IsNameChar(wchar_t c)
{
    return c != 0 && !IsSpace(c) && c != L'/' && c != L'>' && c != L'?';
}

bool IsAttributeNameChar(wchar_t c)
{
    return IsNameChar(c) && c != L'!' && c != L'<' && c != L'=';
}

// Reads the text once, front to back, keeping every element it opens and the stack of
// those still open; see TaskElement for what counts.
class TaskElementScan
{
public:
    explicit TaskElementScan(const std::wstring& text)
        : text_(text)
    {}

    std::vector<TaskElement> Run()
    {
        for (std::size_t i = text_.find(L'<'); i != npos; i = i < text_.size() ? text_.find(L'<', i) : npos) {
            if (const std::optional<std::size_t> next = SkipNoMarkup(i))
                i = *next;
            else if (At(i + 1) == L'/')
                i = ReadEndTag(i);
            else
                i = ReadStartTag(i);
        }
        return TasksOfTheList();
    }

private:
    enum class Kind : unsigned char
    {
        Other,
        Config,
        Tasks,
        Task
    };
    // An element opened, with its parent (npos for a root element).
    struct Element
    {
        std::size_t parent;
        Kind kind;
        bool closed;
    };
    struct Open
    {
        std::wstring name;
        std::size_t element;
        std::size_t task; // in `found_`, for a task
    };

    wchar_t At(std::size_t k) const { return k < text_.size() ? text_[k] : wchar_t(0); }

    // Just past the first `end` at or after `from`; npos when there is none.
    std::size_t Past(std::wstring_view end, std::size_t from) const
    {
        const std::size_t e = text_.find(end.data(), from, end.size());
        return e == npos ? npos : e + end.size();
    }

    // Where the scan goes on when a comment, a CDATA section, a processing instruction or a
    // declaration starts at `i` (npos when it runs to the end); none for anything else.
    std::optional<std::size_t> SkipNoMarkup(std::size_t i) const
    {
        if (StartsWith(text_, i, L"<!--"))
            return Past(L"-->", i + 4);
        if (StartsWith(text_, i, L"<![CDATA["))
            return Past(L"]]>", i + 9);
        if (StartsWith(text_, i, L"<?"))
            return Past(L"?>", i + 2);
        if (StartsWith(text_, i, L"<!DOCTYPE") && IsSpace(At(i + 9))) {
            // Its bracketed subset may hold '>'; brackets nest.
            std::size_t j = i + 10;
            while (j < text_.size() && text_[j] != L'>') {
                if (text_[j++] != L'[')
                    continue;
                for (std::size_t depth = 1; depth > 0 && j < text_.size(); ++j)
                    depth += text_[j] == L'[' ? 1 : text_[j] == L']' ? -1 : 0;
            }
            return j < text_.size() ? j + 1 : npos;
        }
        if (StartsWith(text_, i, L"<!"))
            return Past(L">", i + 2);
        return std::nullopt;
    }

    // Reads the end tag at `i`, closing what it closes; returns where the scan goes on (just
    // past `i` when it does not read as an end tag).
    std::size_t ReadEndTag(std::size_t i)
    {
        std::size_t j = i + 2;
        while (IsNameChar(At(j)))
            ++j;
        const std::wstring name = text_.substr(i + 2, j - i - 2);
        while (IsSpace(At(j)))
            ++j;
        if (At(j) != L'>')
            return i + 1;
        Close(name, j + 1);
        return j + 1;
    }

    // Closes the nearest open element named `name` and whatever is open inside it; a task so
    // closed ends at `end`. An end tag of no open element closes nothing.
    void Close(const std::wstring& name, std::size_t end)
    {
        const auto count = openCount_.find(name);
        if (count == openCount_.end() || count->second == 0)
            return;
        for (bool closed = false; !closed; stack_.pop_back()) {
            const Open& top = stack_.back();
            closed = top.name == name;
            --openCount_[top.name];
            if (!closed)
                continue;
            elements_[top.element].closed = true;
            if (elements_[top.element].kind == Kind::Task)
                found_[top.task].second.end = end;
        }
    }

    // Where the attributes of a start tag whose name ends at `j` end, the place of its '>'
    // or "/>"; npos when they do not read as attributes.
    std::size_t AfterAttributes(std::size_t j) const
    {
        while (IsSpace(At(j)))
            ++j;
        while (IsAttributeNameChar(At(j))) {
            while (IsAttributeNameChar(At(j)))
                ++j;
            while (IsSpace(At(j)))
                ++j;
            if (At(j) != L'=')
                return npos;
            for (++j; IsSpace(At(j));)
                ++j;
            const wchar_t quote = At(j);
            if (quote != L'"' && quote != L'\'')
                return npos;
            j = text_.find(quote, j + 1);
            if (j == npos)
                return npos;
            for (++j; IsSpace(At(j));)
                ++j;
        }
        return j;
    }

    // Reads the start tag at `i` and opens its element; returns where the scan goes on (just
    // past `i` when it does not read as a tag).
    std::size_t ReadStartTag(std::size_t i)
    {
        std::size_t j = i + 1;
        while (IsNameChar(At(j)))
            ++j;
        std::wstring name = text_.substr(i + 1, j - i - 1);
        j = name.empty() ? npos : AfterAttributes(j);
        const bool empty = j != npos && At(j) == L'/' && At(j + 1) == L'>';
        if (j == npos || (!empty && At(j) != L'>'))
            return i + 1;
        const std::size_t next = j + (empty ? 2 : 1);
        const Kind kind = name == L"config"  ? Kind::Config
                          : name == L"tasks" ? Kind::Tasks
                          : name == L"task"  ? Kind::Task
                                             : Kind::Other;
        configSeen_ = configSeen_ || kind == Kind::Config;
        if (kind == Kind::Task && stack_.empty() && !configSeen_) {
            configSeen_ = true;
            OpenElement(L"config", Kind::Config, false);
            OpenElement(L"tasks", Kind::Tasks, false);
        }
        OpenElement(std::move(name), kind, empty);
        if (kind == Kind::Task)
            found_.push_back({elements_.size() - 1, TaskElement{i, empty ? next : npos}});
        return next;
    }

    void OpenElement(std::wstring name, Kind kind, bool empty)
    {
        elements_.push_back({stack_.empty() ? npos : stack_.back().element, kind, empty});
        if (!empty) {
            ++openCount_[name];
            stack_.push_back({std::move(name), elements_.size() - 1, found_.size()});
        }
    }

    // The tasks found whose parent is a `tasks` element that is a child of the root `config`.
    std::vector<TaskElement> TasksOfTheList()
    {
        // The parent that counts: elements other than `config` and `tasks` that are never
        // closed are passed over. Parents come before their children.
        for (Element& e : elements_) {
            const std::size_t p = e.parent;
            if (p != npos && !elements_[p].closed && elements_[p].kind != Kind::Config &&
                elements_[p].kind != Kind::Tasks)
                e.parent = elements_[p].parent;
        }
        std::vector<TaskElement> tasks;
        for (const auto& [element, task] : found_) {
            const std::size_t list = elements_[element].parent;
            if (list == npos || elements_[list].kind != Kind::Tasks)
                continue;
            const std::size_t config = elements_[list].parent;
            if (config != npos && elements_[config].kind == Kind::Config && elements_[config].parent == npos)
                tasks.push_back(task);
        }
        return tasks;
    }

    const std::wstring& text_;
    std::vector<Element> elements_;                          // every element opened, in document order
    std::vector<std::pair<std::size_t, TaskElement>> found_; // each task with its element
    std::vector<Open> stack_;
    std::unordered_map<std::wstring, std::size_t> openCount_;
    bool configSeen_ = false;
};

std::vector<TaskElement> FindTaskElements(const std::wstring& text)
{
    return TaskElementScan(text).Run();
}

// The text of the element's `name`, as it stands in the file, to tell the user which task
// is dropped; empty when none can be found.
std::string RawName(std::wstring_view element)
{
    const std::size_t open = element.find(L"<name>");
    if (open == npos)
        return {};
    const std::size_t b = open + 6;
    std::size_t e = element.find(L"</name>", b);
    if (e == npos || e - b > 100)
        return {};
    std::wstring name(element.substr(b, e - b));
    for (wchar_t& c : name)
        if (!IsXmlCharacter(static_cast<char32_t>(c)) || c == L'\t' || c == L'\n' || c == L'\r')
            c = L' ';
    return common::toUtf8(name);
}

ParsedTask ParseAlone(const std::wstring& text, std::size_t begin, std::size_t end, std::size_t position,
                      std::size_t line)
{
    ParsedTask result;
    result.position = position;
    const std::wstring_view element(text.data() + begin, end - begin);
    std::wstring document;
    document.reserve(element.size() + 40);
    document.append(L"<config><tasks>").append(element).append(L"</tasks></config>");
    std::string failure;
    try {
        std::vector<ParsedTask> parsed = ParseTasksBounded(document);
        if (parsed.size() == 1) {
            result.task = std::move(parsed.front().task);
            result.error = std::move(parsed.front().error);
            result.warnings = std::move(parsed.front().warnings);
            return result;
        }
        failure = "not a single task element";
    } catch (const boost::property_tree::xml_parser_error& e) {
        // The element starts on the first line of the document it is parsed in.
        failure = "does not parse: line " + std::to_string(line + e.line() - 1) + ": " + e.message();
    } catch (const std::exception& e) {
        failure = std::string("does not parse: ") + e.what();
    }
    const std::string name = RawName(element);
    result.error = name.empty() ? failure : "task '" + name + "' " + failure;
    return result;
}

// Each task element cut out of the text and read alone. One that is never closed (left
// open by a cut or a stray character) is dropped unread.
std::vector<ParsedTask> SalvageElements(const std::wstring& text)
{
    const std::vector<TaskElement> elements = FindTaskElements(text);
    std::vector<ParsedTask> tasks;
    tasks.reserve(elements.size());
    Lines lines(text);
    for (std::size_t k = 0; k < elements.size(); ++k) {
        const std::size_t begin = elements[k].begin;
        const std::size_t line = lines.At(begin);
        if (elements[k].end != npos) {
            tasks.push_back(ParseAlone(text, begin, elements[k].end, k, line));
            continue;
        }
        const bool last = k + 1 == elements.size();
        const std::size_t next = last ? text.size() : elements[k + 1].begin;
        ParsedTask open;
        open.position = k;
        open.error = "line " + std::to_string(line) + ": the element is not closed before " +
                     (last ? "the end of the file" : "the next task");
        const std::string name = RawName(std::wstring_view(text.data() + begin, next - begin));
        if (!name.empty())
            open.error = "task '" + name + "' " + open.error;
        tasks.push_back(std::move(open));
    }
    return tasks;
}

// The first character of the text that XML cannot hold, with its offset.
std::optional<std::pair<std::size_t, char32_t>> FirstBadCharacter(const std::wstring& text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!IsXmlCharacter(static_cast<char32_t>(text[i])))
            return std::make_pair(i, static_cast<char32_t>(text[i]));
    return std::nullopt;
}

std::string CodeText(char32_t c)
{
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return code;
}

// The decoded bytes, with the count of bytes that are not UTF-8 and the line of the first.
std::wstring Decode(const std::string& bytes, std::size_t& badBytes, std::size_t& badLine)
{
    std::string_view view(bytes);
    if (view.substr(0, 3) == "\xEF\xBB\xBF")
        view.remove_prefix(3);
    std::size_t firstBad = npos;
    std::wstring text = common::fromUtf8(view, badBytes, firstBad);
    badLine = badBytes > 0 ? LineAt(text, firstBad) : 0;
    text.erase(std::remove(text.begin(), text.end(), L'\r'), text.end());
    return text;
}

} // namespace

std::wstring TextOfFile(const std::string& bytes)
{
    std::size_t badBytes = 0, badLine = 0;
    return Decode(bytes, badBytes, badLine);
}

std::vector<ParsedTask> ParseTasksBounded(const std::wstring& document)
{
    const std::size_t deep = common::FindExcessNesting(document);
    if (deep != npos)
        throw boost::property_tree::xml_parser_error("elements nested deeper than " +
                                                         std::to_string(common::kMaxXmlNesting) + " levels",
                                                     std::string(), static_cast<unsigned long>(LineAt(document, deep)));
    return ParseTasks(document);
}

std::size_t Salvage::Recovered() const
{
    std::size_t n = 0;
    for (const ParsedTask& t : tasks)
        n += t.task.has_value();
    return n;
}

Salvage SalvageTasks(const std::wstring& document)
{
    Salvage result;
    // The reader ends a document at a NUL without a word: such a document is never read
    // as a whole.
    if (const auto bad = FirstBadCharacter(document)) {
        result.damage = "line " + std::to_string(LineAt(document, bad->first)) + ": character " +
                        CodeText(bad->second) + " that XML cannot hold";
    } else {
        try {
            result.tasks = ParseTasksBounded(document);
            return result;
        } catch (const boost::property_tree::xml_parser_error& e) {
            result.damage = e.line() > 0 ? "does not parse: line " + std::to_string(e.line()) + ": " + e.message()
                                         : "does not parse: " + e.message();
        }
    }
    result.tasks = SalvageElements(document);
    return result;
}

Salvage SalvageStore(const std::string& bytes)
{
    std::size_t badBytes = 0, badLine = 0;
    Salvage result = SalvageTasks(Decode(bytes, badBytes, badLine));
    if (badBytes > 0) {
        std::string notUtf8 = "line " + std::to_string(badLine) + ": bytes that are not UTF-8 (" +
                              std::to_string(badBytes) + " read as U+FFFD)";
        result.damage = result.damage.empty() ? notUtf8 : notUtf8 + "; " + result.damage;
    }
    return result;
}

std::filesystem::path KeepDamagedCopy(const std::filesystem::path& store, const std::string& bytes, std::string& error)
{
    return common::KeepDamagedCopy(store, bytes, error);
}

std::filesystem::path MoveDamagedAside(const std::filesystem::path& store, std::string& error)
{
    return common::MoveDamagedAside(store, error);
}

} // namespace store
