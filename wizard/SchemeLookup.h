#pragma once

// Asks the product's command-line tool to pick a correspondence scheme (or an IFC mapping)
// for a format and returns what it reports.

#include <QString>

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <utility>

class QWidget;

// Bounds of one lookup. A reply is a few short lines: whatever the tool writes beyond the
// cap is not read, and a tool still running at the time limit is killed with every process
// it started (it leads a process group of its own).
struct SchemeLookupLimits
{
    std::chrono::milliseconds timeLimit{std::chrono::minutes(10)};
    qint64 replyCap = 1024 * 1024;
};

struct SchemeSelection
{
    enum class Outcome
    {
        Replied,       // the reply was read; code and name hold what it reported (maybe nothing)
        FailedToStart, // the tool could not be started
        TimedOut,      // the reply was not complete at the time limit; the tool was killed
        Cancelled,     // the user cancelled; the tool was killed
    };

    Outcome outcome = Outcome::Replied;
    std::string code; // UTF-8
    std::string name; // UTF-8
    // For FailedToStart and TimedOut, a sentence for the user that names the tool and where its
    // path comes from; empty otherwise.
    QString failure;
};

// Runs `<tool> --action select --format <word>` and reads the (code, name) it reports in
// "CODE:" and "NAME:" lines. The tool runs on a thread of its own through execution's
// RunTool; meanwhile a local event loop runs under a modal progress dialog over `parent` with
// a Cancel button and a busy cursor, so the window keeps painting and clicks do not reach
// its fields. Returns once the reply is read and the tool has exited (or has been killed),
// on the user-interface thread.
SchemeSelection SelectScheme(const std::filesystem::path& tool, const std::string& formatWord,
                             QWidget* parent = nullptr, const SchemeLookupLimits& limits = {});

// The same with the product's tool (CliExecutablePath) and SchemeLookupTimeout as the limit.
SchemeSelection SelectScheme(const std::string& formatWord, QWidget* parent);

// How long a lookup may wait for the tool, whose user may still be choosing in the tool's
// own dialog: whole minutes under "Limits/SchemeLookupMinutes" in the tool's config.ini
// (CliConfigPath); 10 when the value is missing, not a number, below 1 or beyond what a
// timer holds.
std::chrono::minutes SchemeLookupTimeoutFrom(const std::filesystem::path& configIni);
std::chrono::minutes SchemeLookupTimeout();

// The code and name found in the tool's output: the first non-empty "CODE:" and "NAME:"
// values, lines ending at a line feed with one trailing carriage return dropped. Stops
// reading as soon as both are found.
std::pair<std::string, std::string> ParseSchemeReply(std::istream& output);
