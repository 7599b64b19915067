#pragma once

// Shared by the backup tests: a repository core that serves a real embedded repository
// folder, but hands document contents out in small chunks, optionally slowly, and can fail
// part-way through chosen documents, as a remote repository might.

#include "repository/Connections.h"
#include "repository/Vadro.h"
#include "support/Connections.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include <unistd.h>

namespace backuptest {

struct ReadPlan
{
    std::chrono::milliseconds perChunk{0}; // pause before each chunk
    std::size_t chunk = 64 * 1024;
    std::set<std::wstring> failing; // names of documents whose reading fails after the first chunk
    std::function<void(const vadro::IdPath&)> beforeListing; // called with each folder listed
};

class PlannedReader final : public vadro::IContentReader
{
public:
    PlannedReader(std::unique_ptr<vadro::IContentReader> inner, const ReadPlan& plan, bool fails, std::wstring name)
        : inner_(std::move(inner))
        , plan_(plan)
        , fails_(fails)
        , name_(std::move(name))
    {}
    std::size_t ReadChunk(char* buffer, std::size_t size) override
    {
        if (fails_ && chunks_ > 0)
            throw vadro::VadroError(L"обрыв связи при чтении " + name_);
        ++chunks_;
        std::this_thread::sleep_for(plan_.perChunk);
        return inner_->ReadChunk(buffer, std::min(size, plan_.chunk));
    }
    std::optional<vadro::LocalIdentity> Identity() const override { return inner_->Identity(); }

private:
    std::unique_ptr<vadro::IContentReader> inner_;
    ReadPlan plan_;
    bool fails_;
    std::wstring name_;
    int chunks_ = 0;
};

class PlannedSession final : public vadro::ISession
{
public:
    PlannedSession(std::shared_ptr<vadro::ISession> inner, const ReadPlan& plan)
        : inner_(std::move(inner))
        , plan_(plan)
    {}
    std::shared_ptr<vadro::IPathResolver> GetPathResolver() override { return inner_->GetPathResolver(); }
    vadro::ItemInfo GetItem(const vadro::IdPath& path) override { return inner_->GetItem(path); }
    std::vector<vadro::ItemInfo> ListChildren(const vadro::IdPath& folder) override
    {
        return inner_->ListChildren(folder);
    }
    std::vector<vadro::ItemInfo> ListAllChildren(const vadro::IdPath& folder,
                                                 std::vector<vadro::UnlistedEntry>& unlisted) override
    {
        if (plan_.beforeListing)
            plan_.beforeListing(folder);
        return inner_->ListAllChildren(folder, unlisted);
    }
    std::unique_ptr<vadro::IContentReader> OpenContent(const vadro::IdPath& document) override
    {
        auto reader = inner_->OpenContent(document);
        if (!reader)
            return reader;
        const std::wstring name = inner_->GetItem(document).name;
        return std::make_unique<PlannedReader>(std::move(reader), plan_, plan_.failing.count(name) > 0, name);
    }

private:
    std::shared_ptr<vadro::ISession> inner_;
    ReadPlan plan_;
};

class PlannedCore final : public vadro::ICore
{
public:
    explicit PlannedCore(ReadPlan plan)
        : plan_(std::move(plan))
    {}
    std::shared_ptr<vadro::ISession> OpenSession(const vadro_cm::Address& address,
                                                 const vadro_cm::Credentials& credentials) override
    {
        return std::make_shared<PlannedSession>(inner_->OpenSession(address, credentials), plan_);
    }

private:
    std::shared_ptr<vadro::ICore> inner_ = vadro::CreateCore();
    ReadPlan plan_;
};

using testsupport::readFile;
using testsupport::writeFile;

// Every file and folder below `root`, hidden ones included, relative and sorted.
inline QStringList treeOf(const QString& root)
{
    QStringList entries;
    QDir dir(root);
    const auto list = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : list) {
        entries << info.fileName();
        if (info.isDir() && !info.isSymLink())
            for (const QString& inner : treeOf(info.filePath()))
                entries << info.fileName() + QLatin1Char('/') + inner;
    }
    entries.sort();
    return entries;
}

// Whether process `pid` holds open a file that is being written in `folder` and has no name
// there yet (the unnamed files that copies are written into).
inline bool writingUnnamedInto(qint64 pid, const QString& folder)
{
    const QByteArray prefix = QFile::encodeName(QFileInfo(folder).canonicalFilePath()) + "/#";
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), target, sizeof target);
        if (n > 0 && QByteArray(target, int(n)).startsWith(prefix))
            return true;
    }
    return false;
}

// Saves one connection to the repository folder `repository` into `file`.
inline vadro_cm::Connection saveConnection(const std::filesystem::path& file, const QString& repository)
{
    const vadro_cm::Connection connection = testsupport::folderConnection(QStringLiteral("Демо"), repository);
    testsupport::saveConnections({connection}, file);
    return connection;
}

} // namespace backuptest
