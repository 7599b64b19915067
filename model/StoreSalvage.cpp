#include "model/StoreSalvage.h"

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

std::string stampOfNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// The candidate names beside the store, one per attempt.
std::filesystem::path copyName(const std::filesystem::path& store, const std::string& stamp, int attempt)
{
    std::string name = store.filename().string() + ".damaged-" + stamp;
    if (attempt > 1)
        name += "-" + std::to_string(attempt);
    return store.parent_path() / name;
}

constexpr int kAttempts = 100;

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
    const std::string stamp = stampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path copy = copyName(store, stamp, attempt);
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            error = std::strerror(errno);
            return {};
        }
        // The umask may have taken bits away; the copy is the owner's alone, exactly.
        bool ok = ::fchmod(fd, 0600) == 0;
        for (std::size_t done = 0; ok && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(fd) == 0;
        if (!ok)
            error = std::strerror(errno);
        if (::close(fd) != 0 && ok) {
            ok = false;
            error = std::strerror(errno);
        }
        if (ok)
            return copy;
        ::unlink(copy.c_str());
        return {};
    }
    error = "no free name beside the store";
    return {};
}

std::filesystem::path MoveDamagedAside(const std::filesystem::path& store, std::string& error)
{
    const std::string stamp = stampOfNow();
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const std::filesystem::path aside = copyName(store, stamp, attempt);
        // RENAME_NOREPLACE: a name that is already taken is never replaced.
        if (::renameat2(AT_FDCWD, store.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno == EEXIST)
            continue;
        error = std::strerror(errno);
        return {};
    }
    error = "no free name beside the store";
    return {};
}

} // namespace store
