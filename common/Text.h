#pragma once

// Texts between the standard library's strings and paths and Qt's QString.

#include <QString>

#include <filesystem>
#include <string>
#include <string_view>

namespace common {

// A task's or the repository's wide text (UCS-4) as a QString.
inline QString toQString(const std::wstring& text)
{
    return QString::fromStdWString(text);
}

// Text from outside (tool output and replies, file names, configuration values) as a
// QString: read as UTF-8, every byte that is not part of a valid sequence shown as one
// U+FFFD, NUL bytes kept. The one rule for bytes the program did not write itself.
QString decodeUtf8(std::string_view bytes);

// The text of a path; its bytes are read as UTF-8, in which the program writes every path
// (decodeUtf8's rule).
QString toQString(const std::filesystem::path& path);

// The path that a text names, written in UTF-8.
std::filesystem::path toPath(const QString& text);

} // namespace common
