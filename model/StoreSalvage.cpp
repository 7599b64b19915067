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

std::vector<TaskElement> FindTaskElements(const std::wstring& text)
{
    enum class Kind : unsigned char
    {
        Other,
        Config,
        Tasks,
        Task
    };
    // Every element opened, in document order, with its parent (npos for a root element).
    struct Element
    {
        std::size_t parent;
        Kind kind;
        bool closed;
    };
    std::vector<Element> elements;
    std::vector<std::pair<std::size_t, TaskElement>> found; // each task with its element
    struct Open
    {
        std::wstring name;
        std::size_t element;
        std::size_t task; // in `found`, for a task
    };
    std::vector<Open> stack;
    std::unordered_map<std::wstring, std::size_t> openCount;
    bool configSeen = false;
    const auto at = [&text](std::size_t k) { return k < text.size() ? text[k] : wchar_t(0); };
    const auto past = [&](std::wstring_view end, std::size_t from) {
        const std::size_t e = text.find(end.data(), from, end.size());
        return e == npos ? npos : e + end.size();
    };
    const auto open = [&](std::wstring name, Kind kind, bool empty) {
        elements.push_back({stack.empty() ? npos : stack.back().element, kind, empty});
        if (!empty) {
            ++openCount[name];
            stack.push_back({std::move(name), elements.size() - 1, found.size()});
        }
    };
    for (std::size_t i = text.find(L'<'); i != npos; i = i < text.size() ? text.find(L'<', i) : npos) {
        if (StartsWith(text, i, L"<!--")) {
            i = past(L"-->", i + 4);
        } else if (StartsWith(text, i, L"<![CDATA[")) {
            i = past(L"]]>", i + 9);
        } else if (StartsWith(text, i, L"<?")) {
            i = past(L"?>", i + 2);
        } else if (StartsWith(text, i, L"<!DOCTYPE") && IsSpace(at(i + 9))) {
            // Its bracketed subset may hold '>'; brackets nest.
            std::size_t j = i + 10;
            while (j < text.size() && text[j] != L'>') {
                if (text[j++] != L'[')
                    continue;
                for (std::size_t depth = 1; depth > 0 && j < text.size(); ++j)
                    depth += text[j] == L'[' ? 1 : text[j] == L']' ? -1 : 0;
            }
            i = j < text.size() ? j + 1 : npos;
        } else if (StartsWith(text, i, L"<!")) {
            i = past(L">", i + 2);
        } else if (at(i + 1) == L'/') {
            std::size_t j = i + 2;
            while (IsNameChar(at(j)))
                ++j;
            const std::wstring name = text.substr(i + 2, j - i - 2);
            while (IsSpace(at(j)))
                ++j;
            if (at(j) != L'>') {
                ++i;
                continue;
            }
            i = j + 1;
            const auto count = openCount.find(name);
            if (count == openCount.end() || count->second == 0)
                continue;
            for (bool closed = false; !closed; stack.pop_back()) {
                const Open& top = stack.back();
                closed = top.name == name;
                --openCount[top.name];
                if (!closed)
                    continue;
                elements[top.element].closed = true;
                if (elements[top.element].kind == Kind::Task)
                    found[top.task].second.end = i;
            }
        } else {
            std::size_t j = i + 1;
            while (IsNameChar(at(j)))
                ++j;
            std::wstring name = text.substr(i + 1, j - i - 1);
            bool ok = !name.empty();
            while (ok && IsSpace(at(j)))
                ++j;
            while (ok && IsAttributeNameChar(at(j))) {
                while (IsAttributeNameChar(at(j)))
                    ++j;
                while (IsSpace(at(j)))
                    ++j;
                ok = at(j) == L'=';
                for (++j; ok && IsSpace(at(j));)
                    ++j;
                const wchar_t quote = at(j);
                ok = ok && (quote == L'"' || quote == L'\'');
                if (ok)
                    j = text.find(quote, j + 1);
                ok = ok && j != npos;
                for (++j; ok && IsSpace(at(j));)
                    ++j;
            }
            const bool empty = ok && at(j) == L'/' && at(j + 1) == L'>';
            if (!ok || (!empty && at(j) != L'>')) {
                ++i;
                continue;
            }
            const std::size_t begin = i;
            i = j + (empty ? 2 : 1);
            const Kind kind = name == L"config"  ? Kind::Config
                              : name == L"tasks" ? Kind::Tasks
                              : name == L"task"  ? Kind::Task
                                                 : Kind::Other;
            configSeen = configSeen || kind == Kind::Config;
            if (kind == Kind::Task && stack.empty() && !configSeen) {
                configSeen = true;
                open(L"config", Kind::Config, false);
                open(L"tasks", Kind::Tasks, false);
            }
            open(std::move(name), kind, empty);
            if (kind == Kind::Task)
                found.push_back({elements.size() - 1, TaskElement{begin, empty ? i : npos}});
        }
    }
    // The parent that counts: elements other than `config` and `tasks` that are never
    // closed are passed over. Parents come before their children.
    for (Element& e : elements) {
        const std::size_t p = e.parent;
        if (p != npos && !elements[p].closed && elements[p].kind != Kind::Config && elements[p].kind != Kind::Tasks)
            e.parent = elements[p].parent;
    }
    std::vector<TaskElement> tasks;
    for (const auto& [element, task] : found) {
        const std::size_t list = elements[element].parent;
        if (list == npos || elements[list].kind != Kind::Tasks)
            continue;
        const std::size_t config = elements[list].parent;
        if (config != npos && elements[config].kind == Kind::Config && elements[config].parent == npos)
            tasks.push_back(task);
    }
    return tasks;
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
