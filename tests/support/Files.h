#pragma once

// Files and programs the tests work with: paths as the core takes them, whole-file reads
// and writes in temporary directories, and the built programs under test.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <initializer_list>
#include <utility>

namespace testsupport {

// A path as the core takes it (UTF-8 on this platform).
std::filesystem::path fsPath(const QString& text);

// Writes `content` to `path`, making the folders above it; a failure fails the running test.
void writeFile(const QString& path, const QByteArray& content);

// The whole content of `path`, or "<missing>" when it cannot be read, so that a missing
// file never equals an empty one.
QByteArray readFile(const QString& path);

// Writes an executable shell script: "#!/bin/sh" and `body`.
void writeScript(const QString& path, const QByteArray& body);

// Sets environment variables for as long as it lives, then puts back what was there.
class ScopedEnvironment
{
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, QByteArray>> values = {});
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const char* name, const QByteArray& value);

private:
    struct Saved
    {
        QByteArray name;
        bool wasSet;
        QByteArray value;
    };
    QList<Saved> saved_;
};

// The folder the build puts its programs in, and one of them there.
QString binDir();
QString binPath(const QString& program);

// What a program run to its end left: exit code (-1 when it crashed or did not end in
// time) and its standard output and error.
struct ProgramResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Variables set for a program on top of this process's environment.
using ProgramEnvironment = QList<QPair<QString, QString>>;

// Why a child cannot run on a clock that libfaketime sets (not installed, or a sanitizer
// runtime that must be loaded first), or nullptr when it can.
const char* fakeTimeMissing();

// This process's environment with libfaketime preloaded and `variables` on top; the
// monotonic clock stays the real one.
QProcessEnvironment fakeTimeEnvironment(const ProgramEnvironment& variables);

ProgramResult runProgram(const QString& program, const QStringList& arguments,
                         const ProgramEnvironment& environment = {}, int timeoutMs = 60'000);

} // namespace testsupport
