#include "execution/ToolRun.h"

#include <QTextCodec>

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <boost/process/pipe.hpp>

#include <sys/wait.h>

namespace bp = boost::process;

namespace execution {

QString DecodeToolText(const std::string& bytes)
{
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForMib(106)->toUnicode(bytes.data(), static_cast<int>(bytes.size()), &state);
    // A sequence cut off at the end is held back as "remaining", not counted as invalid.
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    // The locale's 8-bit encoding; where that is UTF-8 as well, Latin-1, so no byte is lost.
    QTextCodec* local = QTextCodec::codecForLocale();
    if (local == nullptr || local->mibEnum() == 106)
        return QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size()));
    return local->toUnicode(bytes.data(), static_cast<int>(bytes.size()));
}

ToolResult RunTool(const std::vector<std::string>& arguments)
{
    ToolResult result;
    if (arguments.empty()) {
        result.launchError = QStringLiteral("no program given");
        return result;
    }
    const std::vector<std::string> args(arguments.begin() + 1, arguments.end());
    bp::ipstream errors;
    std::error_code ec;
    bp::child child(bp::exe = arguments.front(), bp::args = args, bp::std_out > bp::null, bp::std_err > errors, ec);
    if (ec) {
        result.launchError = QString::fromLocal8Bit(ec.message().c_str());
        return result;
    }
    result.started = true;

    // Drained while the program runs; the lines are judged after it ends.
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(errors, line))
        lines.push_back(line);

    child.wait();
    const int status = child.native_exit_code();
    result.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    if (result.exitCode != 0) {
        result.errorLines.reserve(lines.size());
        for (const auto& l : lines)
            result.errorLines.push_back(DecodeToolText(l));
    }
    return result;
}

} // namespace execution
