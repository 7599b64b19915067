#include "execution/Backup.h"

#include "execution/Actions.h"
#include "repository/Connections.h"
#include "repository/Utf8.h"
#include "repository/VadroPath.h"

#include <QCoreApplication>
#include <QString>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace execution {
namespace {

std::wstring tr(const char* text, const std::wstring& value = {})
{
    QString s = QCoreApplication::translate("TaskStorage", text);
    if (s.contains(QStringLiteral("%1")))
        s = s.arg(QString::fromStdWString(value));
    return s.toStdWString();
}

struct Pending
{
    vadro::IdPath ids;
    std::filesystem::path directory;
};

bool copyDocument(vadro::ISession& session, const vadro::IdPath& ids, const std::filesystem::path& file)
{
    auto content = session.OpenContent(ids);
    if (!content)
        return false;
    const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0)
        return false;
    bool ok = content->CopyTo(out);
    ok = ::close(out) == 0 && ok;
    return ok;
}

} // namespace

BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile)
{
    BackupResult result;
    try {
        std::wstring server;
        std::vector<std::wstring> components;
        std::optional<vadro::Uuid> id;
        if (!path::utils::ParseVadroPath(request.source_path, server, components, id, true)) {
            result.reason = tr("неверно задан путь %1", request.source_path);
            return result;
        }
        const auto connection = FindSavedConnection(request.connection_id, connectionsFile);
        if (!connection) {
            result.reason = tr("не найдено подключение к ХД для %1", request.source_path);
            return result;
        }
        const auto session = core.OpenSession(connection->address, connection->credentials);
        const vadro::IdPath ids = session->GetPathResolver()->ResolvePath(components);
        if (ids.size() != components.size()) {
            result.reason = tr("не найдена папка %1", request.source_path);
            return result;
        }

        const auto destination = std::filesystem::u8path(vadro::ToUtf8(request.destination_path));
        bool destinationMade = false;
        std::vector<Pending> stack{{ids, destination}};
        while (!stack.empty()) {
            Pending folder = std::move(stack.back());
            stack.pop_back();
            for (const vadro::ItemInfo& child : session->ListChildren(folder.ids)) {
                if (!destinationMade) {
                    std::error_code ec;
                    std::filesystem::create_directories(destination, ec);
                    if (ec) {
                        result.reason = tr("не удалось создать папку %1", request.destination_path) + L": " +
                                        QString::fromLocal8Bit(ec.message().c_str()).toStdWString();
                        return result;
                    }
                    destinationMade = true;
                }
                vadro::IdPath childIds = folder.ids;
                childIds.push_back(child.id);
                const auto local = folder.directory / std::filesystem::u8path(vadro::ToUtf8(child.name));
                if (child.isDocument) {
                    if (copyDocument(*session, childIds, local))
                        ++result.documents;
                } else {
                    std::error_code ec;
                    std::filesystem::create_directories(local, ec);
                    if (!ec)
                        stack.push_back({std::move(childIds), local});
                }
            }
        }
        result.ok = true;
    } catch (const vadro::VadroError& e) {
        result.reason = e.GetDescription();
    } catch (const std::exception& e) {
        result.reason = QString::fromLocal8Bit(e.what()).toStdWString();
    }
    return result;
}

} // namespace execution
