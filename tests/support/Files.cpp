#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace testsupport {

std::filesystem::path fsPath(const QString& text)
{
    return std::filesystem::u8path(text.toStdString());
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("<missing>");
}

void writeScript(const QString& path, const QByteArray& body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

ScopedEnvironment::ScopedEnvironment(std::initializer_list<std::pair<const char*, QByteArray>> values)
{
    for (const auto& [name, value] : values)
        set(name, value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    // Last set first, so a name set twice gets its first value back.
    for (auto it = saved_.crbegin(); it != saved_.crend(); ++it) {
        if (it->wasSet)
            qputenv(it->name.constData(), it->value);
        else
            qunsetenv(it->name.constData());
    }
}

void ScopedEnvironment::set(const char* name, const QByteArray& value)
{
    saved_.append({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
    qputenv(name, value);
}

QString binDir()
{
    return qEnvironmentVariable("KALVOR_BIN_DIR");
}

QString binPath(const QString& program)
{
    return binDir() + QLatin1Char('/') + program;
}

const char* fakeTimeMissing()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return "libfaketime cannot be preloaded ahead of a sanitizer runtime";
#else
    if (QStringLiteral(KALVOR_FAKETIME_LIBRARY).isEmpty() || !QFile::exists(QStringLiteral(KALVOR_FAKETIME_LIBRARY)))
        return "libfaketime is not installed";
    return nullptr;
#endif
}

QProcessEnvironment fakeTimeEnvironment(const ProgramEnvironment& variables)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KALVOR_FAKETIME_LIBRARY));
    environment.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    for (const auto& [name, value] : variables)
        environment.insert(name, value);
    return environment;
}

ProgramResult runProgram(const QString& program, const QStringList& arguments, const ProgramEnvironment& environment,
                         int timeoutMs)
{
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : environment)
        variables.insert(name, value);
    process.setProcessEnvironment(variables);
    process.start(program, arguments);
    ProgramResult result;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

} // namespace testsupport
