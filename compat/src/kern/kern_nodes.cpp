// Machine-wide kernel limits.
#include <unistd.h>

#include <cerrno>

#include "kern/nodes.h"

namespace compat {

// kern.argmax: the most bytes of arguments and environment an exec may pass.
int read_kern_argmax(NodeArgs, std::string& out) {
    errno = 0;  // sysconf leaves errno alone for a limit it cannot tell
    long value = ::sysconf(_SC_ARG_MAX);
    if (value <= 0) return errno != 0 ? errno : EINVAL;
    append_value(out, static_cast<int>(value > 0x7fffffff ? 0x7fffffff : value));
    return 0;
}

}  // namespace compat
