#pragma once

// Saved repository connections for tests: the application's names, so that the core finds
// the file under the test's own data directory, and connections to repository folders.

#include "repository/Connections.h"
#include "repository/Vadro.h"

#include <QString>

#include <vector>

namespace testsupport {

// The organisation and application names the program runs under.
void setApplicationNames();

// A connection named `name` to the repository folder `folder`.
vadro_cm::Connection folderConnection(const QString& name, const QString& folder);

// Replaces the saved-connections file `file` with `connections`.
void saveConnections(const std::vector<vadro_cm::Connection>& connections,
                     const std::filesystem::path& file = SavedConnectionsPath());

} // namespace testsupport
