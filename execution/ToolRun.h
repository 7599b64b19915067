#pragma once

// Synchronous runs of an outside program whose standard error is kept.

#include <QString>

#include <string>
#include <vector>

namespace execution {

struct ToolResult
{
    bool started = false;
    QString launchError;             // the system's message when the program could not be started
    int exitCode = -1;               // the exit status, or the signal number when a signal ended it
    std::vector<QString> errorLines; // standard error, split at line feeds
    bool Succeeded() const { return started && exitCode == 0; }
};

// Runs `arguments` (program first, UTF-8, no search along PATH) with standard output on
// the null device and standard input and environment inherited. Standard error is read
// while the program runs, so a program that writes a lot never blocks. Throws
// boost::process::process_error when waiting fails.
ToolResult RunTool(const std::vector<std::string>& arguments);

// UTF-8 text, or the locale's 8-bit encoding (Latin-1 where the locale's is UTF-8) when
// the bytes are not valid UTF-8.
QString DecodeToolText(const std::string& bytes);

} // namespace execution
