#pragma once

#include <chrono>
#include <filesystem>
#include <string>

// Path of the product's command-line tool: the directory named by "Paths/Kalvor-III" in
// config.ini beside the running executable (default /opt/kalvorbim/bin), joined with
// "KalvorCLI". Worked out once per process, at the first call, from any thread.
std::filesystem::path CliExecutablePath();

// The config.ini that CliExecutablePath reads: the one beside the running executable.
std::filesystem::path CliConfigPath();

// The same rule for a given config.ini, without caching.
std::filesystem::path CliExecutablePathFrom(const std::filesystem::path& configIni);

// Longest run of the tool: whole minutes under "Limits/ToolTimeoutMinutes" in the same
// config.ini (default 240; a missing value gives the default, and so does one that is not
// a whole positive number, which ToolTimeout() says once on standard error).
// Worked out once per process, like the path.
std::chrono::minutes ToolTimeout();
// The same rule for a given config.ini, without caching; `unused` gets why a value that is
// there was not used (left alone otherwise).
std::chrono::minutes ToolTimeoutFrom(const std::filesystem::path& configIni, std::string* unused = nullptr);
