#include "TestHooks.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kalvorcli {

namespace {

std::optional<long long> NumberFromEnvironment(const char* name)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (*end != '\0')
        return std::nullopt;
    return value;
}

void WriteAll(std::FILE* stream, std::string_view bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

} // namespace

std::string Unescape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += text[i];
        }
    }
    return out;
}

void WriteFiller(std::FILE* stream, long long bytes, bool lineBreaks)
{
    std::string line = "filler ";
    while (line.size() < 79)
        line += static_cast<char>('a' + line.size() % 26);
    line += lineBreaks ? '\n' : ' ';
    std::string block;
    while (block.size() < 64 * 1024)
        block += line;
    while (bytes > 0) {
        const std::size_t count =
            bytes < static_cast<long long>(block.size()) ? static_cast<std::size_t>(bytes) : block.size();
        if (std::fwrite(block.data(), 1, count, stream) != count)
            break;
        bytes -= static_cast<long long>(count);
    }
    std::fflush(stream);
}

void RecordArguments(int argc, char** argv)
{
    const char* file = std::getenv("KALVORCLI_RECORD");
    if (!file || !*file)
        return;
    QJsonArray args;
    QJsonArray argsHex;
    for (int i = 1; i < argc; ++i) {
        args.append(QString::fromUtf8(argv[i]));
        argsHex.append(QString::fromLatin1(QByteArray(argv[i]).toHex()));
    }
    QJsonObject record;
    record.insert(QStringLiteral("argv0"), QString::fromUtf8(argv[0]));
    record.insert(QStringLiteral("args"), args);
    record.insert(QStringLiteral("argsHex"), argsHex);
    record.insert(QStringLiteral("cwd"), QDir::currentPath());
    record.insert(QStringLiteral("pid"), static_cast<qint64>(::getpid()));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';

    // Runs started side by side append whole lines: the lock keeps them apart.
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ::flock(fd, LOCK_EX);
    const char* data = line.constData();
    std::size_t left = static_cast<std::size_t>(line.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written <= 0)
            break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

void LeaveHelperIfAsked()
{
    const auto ms = NumberFromEnvironment("KALVORCLI_HELPER_MS");
    if (!ms || *ms <= 0)
        return;
    if (::fork() == 0) {
        if (const char* file = std::getenv("KALVORCLI_RECORD"); file && *file) {
            const QByteArray line = "{\"helper\":" + QByteArray::number(::getpid()) + "}\n";
            const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::flock(fd, LOCK_EX);
                [[maybe_unused]] const auto written =
                    ::write(fd, line.constData(), static_cast<std::size_t>(line.size()));
                ::close(fd);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
        ::_exit(0);
    }
}

void HangIfAsked()
{
    const char* mode = std::getenv("KALVORCLI_HANG");
    if (!mode || !*mode)
        return;
    if (std::string_view(mode) == "ignore-term")
        std::signal(SIGTERM, SIG_IGN);
    for (;;)
        ::pause();
}

void DelayIfAsked()
{
    if (const auto ms = NumberFromEnvironment("KALVORCLI_DELAY_MS"); ms && *ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
}

void WriteLeadingOutput()
{
    if (const char* text = std::getenv("KALVORCLI_STDERR"))
        WriteAll(stderr, Unescape(text));
    if (const auto bytes = NumberFromEnvironment("KALVORCLI_STDERR_BYTES"))
        WriteFiller(stderr, *bytes);
    if (const char* text = std::getenv("KALVORCLI_STDOUT"))
        WriteAll(stdout, Unescape(text));
    if (const auto bytes = NumberFromEnvironment("KALVORCLI_STDOUT_UNBROKEN_BYTES"))
        WriteFiller(stdout, *bytes, false);
}

std::optional<int> ForcedExitCode()
{
    if (const auto code = NumberFromEnvironment("KALVORCLI_EXIT_CODE"))
        return static_cast<int>(*code);
    return std::nullopt;
}

void WriteTrailingOutput()
{
    if (const auto bytes = NumberFromEnvironment("KALVORCLI_TRAILING_STDOUT_BYTES"))
        WriteFiller(stdout, *bytes);
}

void FinalDelayIfAsked()
{
    if (const auto ms = NumberFromEnvironment("KALVORCLI_FINAL_DELAY_MS"); ms && *ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
}

} // namespace kalvorcli
