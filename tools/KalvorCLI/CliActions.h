#pragma once

// The actions of the tool. Each returns the process's exit code and writes its reasons for
// a failure as lines on standard error.

#include <optional>
#include <string>
#include <vector>

namespace kalvorcli {

// Exit codes: 0 success; 1 a checked file failed; 2 a bad command line; 3 the repository or
// its connection is unusable; 4 the project does not exist; 5 the output cannot be written.
enum ExitCode
{
    Success = 0,
    CheckFailed = 1,
    BadCommandLine = 2,
    RepositoryUnusable = 3,
    ProjectMissing = 4,
    OutputFailed = 5,
};

// Option values as given; an option that was not given is empty.
struct Options
{
    std::string action;
    std::optional<std::string> format;
    std::optional<std::string> projectPath;
    std::optional<std::string> outputDir;
    std::optional<std::string> optionsCode;
    std::optional<std::string> ifcVersion;
    std::optional<std::string> checkPath;
    std::vector<std::string> sourcePaths;
};

// Prints "CODE:" and "NAME:" lines for the first scheme known for the format word, nothing
// for a word without schemes.
int SelectScheme(const Options& options);
// Writes the document that the project path names into the output directory.
int ExportProject(const Options& options);
// Checks that every source file and the IDS file exist and can be read.
int CheckFiles(const Options& options);

} // namespace kalvorcli
