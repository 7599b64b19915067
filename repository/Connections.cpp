#include "repository/Connections.h"

#include "common/DamagedCopy.h"
#include "common/RegularFile.h"
#include "common/Text.h"
#include "common/Utf8.h"
#include "common/XmlNesting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>

namespace {

namespace pt = boost::property_tree;

// The indentation between elements reads as text of the enclosing element; it is dropped so that
// rewriting a file does not pile it up. Texts of leaf elements keep their spaces.
void DropLayoutWhitespace(pt::wptree& tree)
{
    if (tree.empty())
        return;
    if (tree.data().find_first_not_of(L" \t\r\n") == std::wstring::npos)
        tree.data().clear();
    for (auto& child : tree)
        DropLayoutWhitespace(child.second);
}

// Real connection files hold a few kilobytes; a larger one is damage and is never read.
constexpr std::uint64_t kMaxConnectionsBytes = std::uint64_t(16) << 20;

// The file's exact bytes. Only a regular file is read and the open never waits: a FIFO
// planted at the path would otherwise hold a backup or an export for ever.
std::string ReadBytes(const std::filesystem::path& file)
{
    common::FileRead read = common::ReadRegularFile(file, kMaxConnectionsBytes);
    if (read.state == common::FileRead::State::Missing)
        throw exceptions::Error("cannot open the configuration file " + file.string());
    if (read.state != common::FileRead::State::Read)
        throw exceptions::Error("cannot read the configuration file " + file.string() + ": " + read.error);
    return std::move(read.bytes);
}

// Parses a document whose text is already wide. The reader recurses once per nested
// element; a text that nests deeper than any of ours is refused before it can overflow
// the stack.
pt::wptree ParseText(const std::wstring& text, const std::filesystem::path& file)
{
    const std::size_t deep = common::FindExcessNesting(text);
    if (deep != std::wstring::npos)
        throw exceptions::Error("malformed configuration file " + file.string() + ": elements nested deeper than " +
                                std::to_string(common::kMaxXmlNesting) + " levels at line " +
                                std::to_string(1 + std::count(text.begin(), text.begin() + deep, L'\n')));
    // References to characters beyond ASCII are put in as the characters they name: the
    // reader would give their UTF-8 bytes instead.
    const std::optional<std::wstring> expanded = common::ExpandWideCharacterReferences(text);
    std::wistringstream stream(expanded ? *expanded : text);
    pt::wptree tree;
    try {
        pt::read_xml(stream, tree);
    } catch (const pt::xml_parser_error& e) {
        throw exceptions::Error("malformed configuration file " + file.string() + ": " + e.message() + " at line " +
                                std::to_string(e.line()));
    }
    DropLayoutWhitespace(tree);
    return tree;
}

// The file is UTF-8 on disk; the tree is wide. Conversion happens here rather than through
// a stream locale, which would depend on the process's global locale.
pt::wptree ParseBytes(const std::string& bytes, const std::filesystem::path& file)
{
    const std::optional<std::wstring> text = common::fromUtf8Strict(bytes);
    if (!text)
        throw exceptions::Error("the configuration file " + file.string() + " is not UTF-8");
    return ParseText(*text, file);
}

pt::wptree ReadTree(const std::filesystem::path& file)
{
    return ParseBytes(ReadBytes(file), file);
}

bool FileExists(const std::filesystem::path& file)
{
    std::error_code error;
    const bool exists = std::filesystem::exists(file, error);
    if (error)
        throw exceptions::Error("cannot reach the configuration file " + file.string() + ": " + error.message());
    return exists;
}

pt::wptree::path_type TreePath(const std::string& path)
{
    return pt::wptree::path_type(common::fromUtf8(path), L'.');
}

// A text of the connection at `path`. A character that XML cannot hold (a reference like
// `&#0;` reads as one) would be cut or mangled on the way to the repository and on the
// next save: the connection holding it is invalid.
std::wstring TextAt(const pt::wptree& node, const wchar_t* path, const wchar_t* fallback)
{
    std::wstring text = node.get<std::wstring>(path, fallback);
    for (const wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        if (u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD) ||
            (u >= 0x10000 && u <= 0x10FFFF))
            continue;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(u));
        throw exceptions::Error("a saved connection holds the character " + std::string(code) +
                                " that XML cannot hold in " + common::toUtf8(path));
    }
    return text;
}

vadro_cm::Connection ReadConnection(const pt::wptree& node)
{
    vadro_cm::Connection connection;
    const std::wstring idText = TextAt(node, L"id", L"");
    try {
        connection.id = boost::uuids::string_generator()(idText);
    } catch (const std::runtime_error&) {
        throw exceptions::Error("a saved connection has an invalid identifier: " + common::toUtf8(idText));
    }
    connection.name = TextAt(node, L"name", L"");
    if (const auto address = node.get_child_optional(L"address")) {
        const auto port = address->get_optional<unsigned>(L"port");
        const auto portText = address->get_optional<std::wstring>(L"port");
        if ((portText && !portText->empty() && !port) || (port && *port > std::numeric_limits<std::uint16_t>::max()))
            throw exceptions::Error("a saved connection has an invalid port");
        connection.address =
            vadro_cm::ServerAddress{TextAt(*address, L"host", L""), static_cast<std::uint16_t>(port.value_or(0))};
    }
    const std::wstring type = TextAt(node, L"credentials.type", L"none");
    if (type == L"login") {
        connection.credentials = vadro_cm::LoginPassword{TextAt(node, L"credentials.login", L""),
                                                         TextAt(node, L"credentials.password", L"")};
    } else if (type == L"token") {
        connection.credentials = common::toUtf8(TextAt(node, L"credentials.token", L""));
    } else if (type != L"none") {
        throw exceptions::Error("a saved connection has an unknown credentials type: " + common::toUtf8(type));
    }
    const auto flags = node.get_optional<unsigned>(L"flags");
    if (node.get_child_optional(L"flags") && (!flags || *flags > 0xFF))
        throw exceptions::Error("a saved connection has invalid flags");
    connection.flags = static_cast<std::uint8_t>(flags.value_or(0));
    return connection;
}

pt::wptree WriteConnection(const vadro_cm::Connection& connection)
{
    pt::wptree node;
    node.put(L"id", boost::uuids::to_wstring(connection.id));
    node.put(L"name", connection.name);
    if (connection.address) {
        node.put(L"address.host", connection.address->host);
        node.put(L"address.port", connection.address->port);
    }
    if (const auto* login = std::get_if<vadro_cm::LoginPassword>(&connection.credentials)) {
        node.put(L"credentials.type", L"login");
        node.put(L"credentials.login", login->login);
        node.put(L"credentials.password", login->password);
    } else if (const auto* token = std::get_if<std::string>(&connection.credentials)) {
        node.put(L"credentials.type", L"token");
        node.put(L"credentials.token", common::fromUtf8(*token));
    } else {
        node.put(L"credentials.type", L"none");
    }
    node.put(L"flags", static_cast<unsigned>(connection.flags));
    return node;
}

bool IsTagEnd(wchar_t c)
{
    return c == L'>' || c == L'/' || c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

// The `<connection>…</connection>` elements of a text that does not parse as a whole, each
// cut out and read alone. An element runs from its start tag to the first end tag after
// it, but never into the next start tag: one left open by a cut ends there and is dropped.
std::vector<vadro_cm::Connection> SalvageConnections(const std::wstring& text, const std::filesystem::path& file,
                                                     std::size_t& dropped)
{
    constexpr std::wstring_view open = L"<connection";
    constexpr std::wstring_view close = L"</connection>";
    std::vector<std::size_t> starts;
    for (std::size_t i = text.find(open); i != std::wstring::npos; i = text.find(open, i + open.size()))
        if (i + open.size() < text.size() && IsTagEnd(text[i + open.size()]))
            starts.push_back(i);
    std::vector<vadro_cm::Connection> found;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t next = k + 1 < starts.size() ? starts[k + 1] : text.size();
        const std::size_t end = text.find(close, starts[k]);
        try {
            if (end == std::wstring::npos || end + close.size() > next)
                throw exceptions::Error("a saved connection is cut off");
            const pt::wptree element = ParseText(text.substr(starts[k], end + close.size() - starts[k]), file);
            found.push_back(ReadConnection(element.get_child(L"connection")));
        } catch (const exceptions::Error&) {
            ++dropped;
        }
    }
    return found;
}

} // namespace

std::filesystem::path SavedConnectionsPath()
{
    const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/Holmiq/KalvorIII_2013/ConnectionsConfig.xml");
    return common::toPath(file);
}

Config::Config(std::filesystem::path file)
    : file_(std::move(file))
{}

boost::property_tree::wptree Config::GetConfigSubtree(const std::string& path) const
{
    if (!FileExists(file_))
        return {};
    const pt::wptree tree = ReadTree(file_);
    const auto subtree = tree.get_child_optional(TreePath(path));
    return subtree ? *subtree : pt::wptree();
}

void Config::PutConfigSubtree(const std::string& path, const boost::property_tree::wptree& subtree, bool overDamaged)
{
    // The rest of the file is kept; a malformed file stops the write before anything is
    // touched, unless its caller has kept it already.
    pt::wptree tree;
    if (FileExists(file_)) {
        const std::string bytes = ReadBytes(file_);
        try {
            tree = ParseBytes(bytes, file_);
        } catch (const exceptions::Error&) {
            if (!overDamaged)
                throw;
        }
    }
    tree.put_child(TreePath(path), subtree);

    std::wostringstream text;
    pt::write_xml(text, tree, pt::xml_writer_make_settings<std::wstring>(L' ', 4));
    const std::string bytes = common::toUtf8(text.str());

    const QString fileName = common::toQString(file_);
    if (!QDir().mkpath(QFileInfo(fileName).absolutePath()))
        throw exceptions::Error("cannot create the folder of " + file_.string());
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly))
        throw exceptions::Error("cannot write " + file_.string() + ": " + out.errorString().toStdString());
    // The file holds passwords: the temporary file is restricted before any byte reaches it.
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !out.commit())
        throw exceptions::Error("cannot write " + file_.string() + ": " + out.errorString().toStdString());
    QFile::setPermissions(fileName, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

ConnectionsModel::ConnectionsModel(Config& config)
    : config_(config)
{}

void ConnectionsModel::Init(const boost::property_tree::wptree& connections)
{
    std::vector<vadro_cm::Connection> loaded;
    for (const auto& [key, node] : connections) {
        if (key == L"connection")
            loaded.push_back(ReadConnection(node));
    }
    connections_ = std::move(loaded);
}

std::optional<vadro_cm::Connection> ConnectionsModel::FindConnectionByID(const vadro::Uuid& id) const
{
    for (const vadro_cm::Connection& connection : connections_) {
        if (connection.id == id)
            return connection;
    }
    return std::nullopt;
}

void ConnectionsModel::Load()
{
    damage_.clear();
    dropped_ = 0;
    damagedBytes_.clear();
    keptAs_.clear();
    const std::filesystem::path& file = config_.File();
    if (!FileExists(file)) {
        connections_.clear();
        return;
    }
    std::string bytes = ReadBytes(file);
    std::vector<vadro_cm::Connection> loaded;
    try {
        const pt::wptree tree = ParseBytes(bytes, file);
        const auto list = tree.get_child_optional(TreePath(kSubtreePath));
        for (const auto& [key, node] : list ? *list : pt::wptree()) {
            if (key != L"connection")
                continue;
            try {
                loaded.push_back(ReadConnection(node));
            } catch (const exceptions::Error& e) {
                if (damage_.empty())
                    damage_ = e.what();
                ++dropped_;
            }
        }
    } catch (const exceptions::Error& e) {
        damage_ = e.what();
        loaded = SalvageConnections(common::fromUtf8(bytes), file, dropped_);
    }
    if (!damage_.empty())
        damagedBytes_ = std::move(bytes);
    connections_ = std::move(loaded);
}

void ConnectionsModel::UpdateConnections(const std::vector<vadro_cm::Connection>& connections)
{
    pt::wptree subtree;
    for (const vadro_cm::Connection& connection : connections)
        subtree.add_child(L"connection", WriteConnection(connection));
    // A damaged file is replaced only once its exact bytes lie beside it.
    if (!damage_.empty() && keptAs_.empty()) {
        std::string error;
        keptAs_ = common::KeepDamagedCopy(config_.File(), damagedBytes_, error);
        if (keptAs_.empty())
            throw exceptions::Error("the damaged " + config_.File().string() + " could not be kept: " + error);
        std::string().swap(damagedBytes_);
    }
    config_.PutConfigSubtree(kSubtreePath, subtree, !keptAs_.empty());
    // The list changes only once the file holds it.
    connections_ = connections;
}

std::optional<vadro_cm::Connection> FindSavedConnection(const vadro::Uuid& id, const std::filesystem::path& file)
{
    Config config(file);
    ConnectionsModel model(config);
    model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
    return model.FindConnectionByID(id);
}

std::optional<vadro_cm::Connection> FindSavedConnectionByName(const std::wstring& name,
                                                              const std::filesystem::path& file)
{
    Config config(file);
    ConnectionsModel model(config);
    model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
    for (const vadro_cm::Connection& connection : model.GetConnections()) {
        if (connection.name == name)
            return connection;
    }
    return std::nullopt;
}
