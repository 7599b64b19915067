#include "support/Connections.h"

#include <QCoreApplication>

namespace testsupport {

void setApplicationNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
}

vadro_cm::Connection folderConnection(const QString& name, const QString& folder)
{
    vadro_cm::Connection connection;
    connection.name = name.toStdWString();
    connection.address = vadro_cm::ServerAddress{folder.toStdWString(), 0};
    return connection;
}

void saveConnections(const std::vector<vadro_cm::Connection>& connections, const std::filesystem::path& file)
{
    Config config(file);
    ConnectionsModel model(config);
    model.UpdateConnections(connections);
}

} // namespace testsupport
