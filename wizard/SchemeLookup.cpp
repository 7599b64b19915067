#include "wizard/SchemeLookup.h"

#include "execution/CliPath.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <regex>
#include <sstream>

namespace {

struct ReplyParser
{
    std::string code;
    std::string name;

    bool Done() const { return !code.empty() && !name.empty(); }

    void Take(std::string line)
    {
        static const std::regex codeLine("^CODE:(.*)$", std::regex::ECMAScript);
        static const std::regex nameLine("^NAME:(.*)$", std::regex::ECMAScript);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::smatch match;
        if (code.empty() && std::regex_match(line, match, codeLine))
            code = match[1].str();
        else if (name.empty() && std::regex_match(line, match, nameLine))
            name = match[1].str();
    }
};

} // namespace

std::pair<std::string, std::string> ParseSchemeReply(std::istream& output)
{
    ReplyParser parser;
    std::string line;
    while (!parser.Done() && std::getline(output, line))
        parser.Take(line);
    return {parser.code, parser.name};
}

std::pair<std::string, std::string> SelectScheme(const std::filesystem::path& tool, const std::string& formatWord)
{
    // The empty word is still passed: the tool sees four arguments whatever the format.
    QProcess process;
    process.setProgram(QString::fromStdString(tool.string()));
    process.setArguments({QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"),
                          QString::fromStdString(formatWord)});
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        return {};

    ReplyParser parser;
    const auto takeBufferedLines = [&process, &parser] {
        while (!parser.Done() && process.canReadLine()) {
            const QByteArray line = process.readLine();
            parser.Take(line.endsWith('\n') ? line.left(line.size() - 1).toStdString() : line.toStdString());
        }
    };
    for (;;) {
        takeBufferedLines();
        if (parser.Done())
            break;
        if (!process.waitForReadyRead(-1)) {
            // The stream ended. The output read together with the tool's end may hold several
            // lines, and a last line without a line feed still counts.
            takeBufferedLines();
            const QByteArray rest = parser.Done() ? QByteArray() : process.readAll();
            if (!rest.isEmpty())
                parser.Take(rest.toStdString());
            break;
        }
    }
    // Output after the reply is not read; closing the channel lets the wait below discard
    // it, so a tool that keeps writing never blocks on a full pipe.
    process.closeReadChannel(QProcess::StandardOutput);
    process.waitForFinished(-1);
    return {parser.code, parser.name};
}

std::pair<std::string, std::string> SelectScheme(const std::string& formatWord)
{
    return SelectScheme(CliExecutablePath(), formatWord);
}
