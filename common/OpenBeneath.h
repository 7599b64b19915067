#pragma once

// Opening a path below a folder held open, with no symbolic link followed on the way and
// nothing outside that folder reached (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS).

namespace common {

// Opens `relative` below the folder open as `folder` with `flags` (O_NOFOLLOW and O_CLOEXEC
// are added). Returns the descriptor, or -1 with errno set; errno is ENOSYS on a kernel
// without openat2, where the caller takes its own way.
int OpenBeneath(int folder, const char* relative, int flags);

} // namespace common
