#pragma once

// Saved repository connections, kept in an XML file of the product's configuration.

#include "repository/Vadro.h"

#include <boost/property_tree/ptree.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace exceptions {
// An error of the configuration reader: the file is malformed or cannot be written.
class Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
} // namespace exceptions

// The saved-connections file under the generic data location.
std::filesystem::path SavedConnectionsPath();

// One XML configuration file. Reading never writes the file.
class Config
{
public:
    explicit Config(std::filesystem::path file);
    const std::filesystem::path& File() const { return file_; }
    // The subtree at a "."-separated path; an empty tree when the file or the path is missing.
    // Throws exceptions::Error when the file cannot be read or parsed.
    boost::property_tree::wptree GetConfigSubtree(const std::string& path) const;
    // Replaces the subtree at `path` and writes the whole file atomically with permissions 0600.
    // Throws exceptions::Error when the existing file is malformed or the write fails.
    void PutConfigSubtree(const std::string& path, const boost::property_tree::wptree& subtree);

private:
    std::filesystem::path file_;
};

class ConnectionsModel
{
public:
    // The model writes its updates through `config`, which must outlive it.
    explicit ConnectionsModel(Config& config);
    // Reads the connections from the subtree "config.connections_manager.connections".
    // Throws exceptions::Error for a connection whose identifier is not valid.
    void Init(const boost::property_tree::wptree& connections);
    const std::vector<vadro_cm::Connection>& GetConnections() const { return connections_; }
    std::optional<vadro_cm::Connection> FindConnectionByID(const vadro::Uuid& id) const;
    // Replaces the list and writes it to the file. Throws exceptions::Error.
    void UpdateConnections(const std::vector<vadro_cm::Connection>& connections);

    static constexpr const char* kSubtreePath = "config.connections_manager.connections";

private:
    Config& config_;
    std::vector<vadro_cm::Connection> connections_;
};

// Reads the saved-connections file and looks an identifier up; empty when the identifier
// is not saved. Throws exceptions::Error for a malformed file.
std::optional<vadro_cm::Connection> FindSavedConnection(const vadro::Uuid& id,
                                                        const std::filesystem::path& file = SavedConnectionsPath());

// The first saved connection with this name; empty when there is none. Throws exceptions::Error
// for a malformed file.
std::optional<vadro_cm::Connection>
FindSavedConnectionByName(const std::wstring& name, const std::filesystem::path& file = SavedConnectionsPath());
