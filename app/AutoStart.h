#pragma once

// The autostart entry: a byte copy of the desktop entry that lies beside the executable,
// placed in the user's autostart folder. Its presence is the only autostart state.

#include <QString>

#include <filesystem>

// The desktop entry's file name: the application's desktop file name with ".desktop".
std::filesystem::path desktopEntryName();
// Where the autostart entry goes: <configuration directory>/autostart/<entry name>.
std::filesystem::path autoStartEntryPath();
// Whether the autostart entry exists; a failed status query counts as absent.
bool AutoStartEnabled();
// Creates (copying the entry beside the executable) or removes the autostart entry.
// Answers why it failed (also written as a Qt warning), or an empty text.
QString setupAutoStartLinux(bool enable);
