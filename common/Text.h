#pragma once

// Texts between the standard library's strings and paths and Qt's QString.

#include <QString>

#include <filesystem>
#include <string>

namespace common {

// A task's or the repository's wide text (UCS-4) as a QString.
inline QString toQString(const std::wstring& text)
{
    return QString::fromStdWString(text);
}

// The text of a path; its bytes are read as UTF-8, in which the program writes every path.
QString toQString(const std::filesystem::path& path);

// The path that a text names, written in UTF-8.
std::filesystem::path toPath(const QString& text);

} // namespace common
