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
    // Throws exceptions::Error when the existing file is malformed or the write fails;
    // `overDamaged`: the caller has kept a malformed file, which is replaced by a new one.
    void PutConfigSubtree(const std::string& path, const boost::property_tree::wptree& subtree,
                          bool overDamaged = false);

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
    // Reads the connections of the config's file as far as they go: from a file that does not
    // parse as a whole, or holds connections that cannot be read, every connection that reads
    // on its own is kept and Damage() says what was wrong. Throws exceptions::Error only for
    // a file that cannot be read at all (not a regular file, no permission).
    void Load();
    // Why the file read by Load was damaged; empty when it was whole or missing.
    const std::string& Damage() const { return damage_; }
    // Connections of the damaged file that could not be salvaged.
    std::size_t Dropped() const { return dropped_; }
    // Where the damaged file's bytes were kept; empty until the first update after Load.
    const std::filesystem::path& KeptAs() const { return keptAs_; }
    const std::vector<vadro_cm::Connection>& GetConnections() const { return connections_; }
    std::optional<vadro_cm::Connection> FindConnectionByID(const vadro::Uuid& id) const;
    // Replaces the list and writes it to the file. Before a damaged file (see Load) is first
    // replaced, its exact bytes are kept beside it ("<file>.damaged-YYYYMMDD-HHMMSS", mode
    // 0600); when they cannot be, nothing is written. Throws exceptions::Error.
    void UpdateConnections(const std::vector<vadro_cm::Connection>& connections);

    static constexpr const char* kSubtreePath = "config.connections_manager.connections";

private:
    Config& config_;
    std::vector<vadro_cm::Connection> connections_;
    std::string damage_;
    std::size_t dropped_ = 0;
    std::string damagedBytes_;
    std::filesystem::path keptAs_;
};

// Reads the saved-connections file and looks an identifier up; empty when the identifier
// is not saved. Throws exceptions::Error for a malformed file.
std::optional<vadro_cm::Connection> FindSavedConnection(const vadro::Uuid& id,
                                                        const std::filesystem::path& file = SavedConnectionsPath());

// The first saved connection with this name; empty when there is none. Throws exceptions::Error
// for a malformed file.
std::optional<vadro_cm::Connection>
FindSavedConnectionByName(const std::wstring& name, const std::filesystem::path& file = SavedConnectionsPath());
