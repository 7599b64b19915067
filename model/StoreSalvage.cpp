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
    std::size_t at(std::size_t offset)
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

std::size_t lineAt(const std::wstring& text, std::size_t offset)
{
    return Lines(text).at(offset);
}

bool isSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

bool startsWith(const std::wstring& text, std::size_t at, std::wstring_view s)
{
    return text.compare(at, s.size(), s.data(), s.size()) == 0;
}

// The `task` start tags (their '<') and end tags (just past their '>') in document order.
// What comments, CDATA sections, processing instructions and declarations hold is no
// markup; one that is never closed holds the rest of the document.
struct TaskTags
{
    std::vector<std::size_t> starts;
    std::vector<std::size_t> ends;
};

TaskTags findTaskTags(const std::wstring& text)
{
    TaskTags tags;
    const auto past = [&](std::wstring_view end, std::size_t from) {
        const std::size_t e = text.find(end.data(), from, end.size());
        return e == npos ? npos : e + end.size();
    };
    for (std::size_t i = text.find(L'<'); i != npos; i = i < text.size() ? text.find(L'<', i) : npos) {
        if (startsWith(text, i, L"<!--")) {
            i = past(L"-->", i + 4);
        } else if (startsWith(text, i, L"<![CDATA[")) {
            i = past(L"]]>", i + 9);
        } else if (startsWith(text, i, L"<?")) {
            i = past(L"?>", i + 2);
        } else if (startsWith(text, i, L"<!")) {
            i = past(L">", i + 2);
        } else if (startsWith(text, i, L"<task")) {
            if (i + 5 < text.size() && (text[i + 5] == L'>' || text[i + 5] == L'/' || isSpace(text[i + 5])))
                tags.starts.push_back(i);
            i += 5;
        } else if (startsWith(text, i, L"</task")) {
            std::size_t j = i + 6;
            while (j < text.size() && isSpace(text[j]))
                ++j;
            if (j < text.size() && text[j] == L'>')
                tags.ends.push_back(j + 1);
            i = j;
        } else {
            ++i;
        }
    }
    return tags;
}

// The text of the element's `name`, as it stands in the file, to tell the user which task
// is dropped; empty when none can be found.
std::string rawName(std::wstring_view element)
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

ParsedTask parseAlone(const std::wstring& text, std::size_t begin, std::size_t end, std::size_t position,
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
    const std::string name = rawName(element);
    result.error = name.empty() ? failure : "task '" + name + "' " + failure;
    return result;
}

// Each task element cut out of the text and read alone. An element runs from its start
// tag to the first end tag after it; one whose end tag does not come before the next
// start tag (left open by a cut or a stray character) is dropped unread.
std::vector<ParsedTask> salvageElements(const std::wstring& text)
{
    const TaskTags tags = findTaskTags(text);
    std::vector<ParsedTask> tasks;
    tasks.reserve(tags.starts.size());
    Lines lines(text);
    std::size_t e = 0; // the first end tag not behind the current start
    for (std::size_t k = 0; k < tags.starts.size(); ++k) {
        const std::size_t begin = tags.starts[k];
        while (e < tags.ends.size() && tags.ends[e] <= begin)
            ++e;
        const std::size_t next = k + 1 < tags.starts.size() ? tags.starts[k + 1] : text.size();
        const std::size_t line = lines.at(begin);
        if (e < tags.ends.size() && tags.ends[e] <= next) {
            tasks.push_back(parseAlone(text, begin, tags.ends[e], k, line));
            continue;
        }
        ParsedTask open;
        open.position = k;
        open.error = "line " + std::to_string(line) + ": the element is not closed before " +
                     (k + 1 < tags.starts.size() ? "the next task" : "the end of the file");
        const std::string name = rawName(std::wstring_view(text.data() + begin, next - begin));
        if (!name.empty())
            open.error = "task '" + name + "' " + open.error;
        tasks.push_back(std::move(open));
    }
    return tasks;
}

// The first character of the text that XML cannot hold, with its offset.
std::optional<std::pair<std::size_t, char32_t>> firstBadCharacter(const std::wstring& text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!IsXmlCharacter(static_cast<char32_t>(text[i])))
            return std::make_pair(i, static_cast<char32_t>(text[i]));
    return std::nullopt;
}

std::string codeText(char32_t c)
{
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return code;
}

// The decoded bytes, with the count of bytes that are not UTF-8 and the line of the first.
std::wstring decode(const std::string& bytes, std::size_t& badBytes, std::size_t& badLine)
{
    std::string_view view(bytes);
    if (view.substr(0, 3) == "\xEF\xBB\xBF")
        view.remove_prefix(3);
    std::size_t firstBad = npos;
    std::wstring text = common::fromUtf8(view, badBytes, firstBad);
    badLine = badBytes > 0 ? lineAt(text, firstBad) : 0;
    text.erase(std::remove(text.begin(), text.end(), L'\r'), text.end());
    return text;
}

} // namespace

std::wstring TextOfFile(const std::string& bytes)
{
    std::size_t badBytes = 0, badLine = 0;
    return decode(bytes, badBytes, badLine);
}

std::vector<ParsedTask> ParseTasksBounded(const std::wstring& document)
{
    const std::size_t deep = common::FindExcessNesting(document);
    if (deep != npos)
        throw boost::property_tree::xml_parser_error("elements nested deeper than " +
                                                         std::to_string(common::kMaxXmlNesting) + " levels",
                                                     std::string(), static_cast<unsigned long>(lineAt(document, deep)));
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
    if (const auto bad = firstBadCharacter(document)) {
        result.damage = "line " + std::to_string(lineAt(document, bad->first)) + ": character " +
                        codeText(bad->second) + " that XML cannot hold";
    } else {
        try {
            result.tasks = ParseTasksBounded(document);
            return result;
        } catch (const boost::property_tree::xml_parser_error& e) {
            result.damage = "does not parse: line " + std::to_string(e.line()) + ": " + e.message();
        }
    }
    result.tasks = salvageElements(document);
    return result;
}

Salvage SalvageStore(const std::string& bytes)
{
    std::size_t badBytes = 0, badLine = 0;
    Salvage result = SalvageTasks(decode(bytes, badBytes, badLine));
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
