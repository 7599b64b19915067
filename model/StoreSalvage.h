#pragma once

// Reading a store file that may be damaged: a document nested too deeply for the XML
// reader is never handed to it, and a document that does not parse as a whole still
// gives every `task` element that can be read on its own.

#include "model/TaskStoreFile.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace store {

// A store file larger than this is damage: it is never read (real stores stay far below,
// some 15 MB for 10,000 tasks).
constexpr std::uint64_t kMaxStoreBytes = std::uint64_t(256) << 20;

// The text of a store file's bytes: UTF-8 (a leading byte-order mark is skipped, every
// byte that does not start a well-formed sequence becomes one U+FFFD), carriage returns
// dropped.
std::wstring TextOfFile(const std::string& bytes);

// ParseTasks behind the nesting bound: a document nested deeper than
// common::kMaxXmlNesting throws boost::property_tree::xml_parser_error without being
// parsed, as malformed XML does.
std::vector<ParsedTask> ParseTasksBounded(const std::wstring& document);

struct Salvage
{
    // Every `task` element found, read or dropped, in document order.
    std::vector<ParsedTask> tasks;
    // Why the store is damaged (it does not parse as a whole, it holds a character XML
    // cannot hold, bytes that are not UTF-8); empty when it is not.
    std::string damage;

    bool Whole() const { return damage.empty(); }
    std::size_t Recovered() const;
    std::size_t Dropped() const { return tasks.size() - Recovered(); }
};

// The tasks of a store document. When the document does not parse as a whole, each
// `<task>…</task>` element is cut out of the text and parsed alone inside the store's
// outer elements: a truncated file keeps the tasks before the cut, a stray character
// costs only the task that holds it. Elements inside comments, CDATA sections and
// processing instructions are no tasks. Never throws the parser's error.
Salvage SalvageTasks(const std::wstring& document);

// The tasks of a store file's bytes, as the program loads them and the tool shows them.
// Bytes that are not UTF-8 damage the store (its tasks are read with U+FFFD for each such
// byte); a character that XML cannot hold anywhere (a NUL, a block of zeros after a
// crash) damages it too, and only the task elements are read, one by one.
Salvage SalvageStore(const std::string& bytes);

// Keeps the bytes of a damaged store beside it, in a new file of mode 0600 named after
// the store and the local date and time ("storage.xml.damaged-20261207-143005", with
// "-2", "-3"… when that name is taken). A copy of the same bytes kept before is reused,
// so a store that cannot be replaced gains no copy per start. Returns the copy's path;
// empty, with the reason in `error`, when it could not be written completely.
std::filesystem::path KeepDamagedCopy(const std::filesystem::path& store, const std::string& bytes, std::string& error);

// For a store that exists but cannot be read at all (a FIFO, no permission, too large):
// renames whatever is at the path to the name KeepDamagedCopy would choose (a regular
// file gets mode 0600). Returns the new path; empty, with the reason in `error`, when the rename failed.
std::filesystem::path MoveDamagedAside(const std::filesystem::path& store, std::string& error);

} // namespace store
