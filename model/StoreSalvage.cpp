#include "model/StoreSalvage.h"

#include "common/DamagedCopy.h"
#include "common/XmlNesting.h"

#include <QByteArray>
#include <QTextStream>

#include <boost/property_tree/xml_parser.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store {
namespace {

constexpr std::size_t npos = std::wstring::npos;

std::size_t lineAt(const std::wstring& text, std::size_t offset)
{
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i)
        line += text[i] == L'\n';
    return line;
}

bool isTagEnd(wchar_t c)
{
    return c == L'>' || c == L'/' || c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

// Offsets of the start tags `<task …>` in document order.
std::vector<std::size_t> taskStarts(const std::wstring& text)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = text.find(L"<task"); i != npos; i = text.find(L"<task", i + 5))
        if (i + 5 < text.size() && isTagEnd(text[i + 5]))
            starts.push_back(i);
    return starts;
}

// The offset just past the first end tag `</task>` at or after `from`, or npos.
std::size_t taskEnd(const std::wstring& text, std::size_t from)
{
    for (std::size_t i = text.find(L"</task", from); i != npos; i = text.find(L"</task", i + 6)) {
        std::size_t j = i + 6;
        while (j < text.size() && (text[j] == L' ' || text[j] == L'\t' || text[j] == L'\n' || text[j] == L'\r'))
            ++j;
        if (j < text.size() && text[j] == L'>')
            return j + 1;
    }
    return npos;
}

ParsedTask parseAlone(const std::wstring& element, std::size_t position)
{
    ParsedTask result;
    result.position = position;
    std::wstring document;
    document.reserve(element.size() + 40);
    document.append(L"<config><tasks>").append(element).append(L"</tasks></config>");
    try {
        std::vector<ParsedTask> parsed = ParseTasksBounded(document);
        if (parsed.size() == 1) {
            result.task = std::move(parsed.front().task);
            result.error = std::move(parsed.front().error);
        } else {
            result.error = "not a single task element";
        }
    } catch (const boost::property_tree::xml_parser_error& e) {
        result.error = "does not parse: " + e.message();
    } catch (const std::exception& e) {
        result.error = std::string("does not parse: ") + e.what();
    }
    return result;
}

} // namespace

std::wstring TextOfFile(const std::string& bytes)
{
    QByteArray raw(bytes.data(), static_cast<int>(bytes.size()));
    raw.replace('\r', QByteArray());
    QTextStream stream(raw);
    stream.setCodec("UTF-8");
    return stream.readAll().toStdWString();
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
    try {
        result.tasks = ParseTasksBounded(document);
        return result;
    } catch (const boost::property_tree::xml_parser_error& e) {
        result.damage = "line " + std::to_string(e.line()) + ": " + e.message();
    }
    // Each element runs from its start tag to the first end tag after it, but never into
    // the next start tag: an element left open by a cut or a stray character ends there.
    // The first end tag after a start is also the first after every later start that
    // precedes it, so each end tag is searched for once: linear in the document.
    const std::vector<std::size_t> starts = taskStarts(document);
    std::size_t end = 0;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (end != npos && end <= starts[k])
            end = taskEnd(document, starts[k]);
        const std::size_t next = k + 1 < starts.size() ? starts[k + 1] : document.size();
        const std::size_t stop = std::min(end, next);
        result.tasks.push_back(parseAlone(document.substr(starts[k], stop - starts[k]), k));
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
