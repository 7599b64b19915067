#pragma once

// Asks the product's command-line tool to pick a correspondence scheme (or an IFC mapping)
// for a format and returns what it reports.

#include <filesystem>
#include <string>
#include <utility>

// Runs `KalvorCLI --action select --format <word>` and returns the (code, name) it reports
// in "CODE:" and "NAME:" lines, UTF-8, each possibly empty. Blocks until the tool has
// exited. A tool that cannot be started yields two empty strings.
std::pair<std::string, std::string> SelectScheme(const std::string& formatWord);

// The same with an explicit tool.
std::pair<std::string, std::string> SelectScheme(const std::filesystem::path& tool, const std::string& formatWord);

// The code and name found in the tool's output: the first non-empty "CODE:" and "NAME:"
// values, lines ending at a line feed with one trailing carriage return dropped. Stops
// reading as soon as both are found.
std::pair<std::string, std::string> ParseSchemeReply(std::istream& output);
