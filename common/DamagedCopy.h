#pragma once

// Keeping a damaged file of the program (its task store, the saved connections) beside
// itself before anything replaces it, so the user can still recover what was in it.

#include <filesystem>
#include <string>

namespace common {

// Writes `bytes` to a new file of mode 0600 beside `file`, named after it and the local
// date and time ("storage.xml.damaged-20261207-143005", with "-2", "-3"… when that name is
// taken); a copy already there with exactly these bytes is kept instead of a new one.
// Returns the copy's path; empty, with the reason in `error`, when it could not be
// written completely.
std::filesystem::path KeepDamagedCopy(const std::filesystem::path& file, const std::string& bytes, std::string& error);

// For a file that exists but cannot be read at all (a FIFO, no permission): renames
// whatever is at the path to the name KeepDamagedCopy would choose (a regular file gets
// mode 0600, as a kept copy has). Returns the new path;
// empty, with the reason in `error`, when the rename failed.
std::filesystem::path MoveDamagedAside(const std::filesystem::path& file, std::string& error);

} // namespace common
