#include "common/OpenBeneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace common {

int OpenBeneath(int folder, const char* relative, int flags)
{
    open_how how{};
    how.flags = static_cast<unsigned>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, folder, relative, &how, sizeof how));
}

} // namespace common
