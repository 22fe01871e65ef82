#include "linux/host_failure.h"

#include <cerrno>

namespace compat {

HostFailure classify_host_failure(int err) {
    switch (err) {
        case 0:
            return HostFailure::none;
        case ENOENT:
        case ESRCH:
            return HostFailure::gone;
        case EACCES:
        case EPERM:
            return HostFailure::refused;
        default:
            return HostFailure::failed;
    }
}

int process_refusal(int err) {
    switch (classify_host_failure(err)) {
        case HostFailure::gone:
            return ESRCH;
        case HostFailure::refused:
            return EPERM;
        default:
            return err;
    }
}

int skip_if_gone(int err) { return classify_host_failure(err) == HostFailure::gone ? 0 : err; }

int skip_if_gone_or_refused(int err) {
    switch (classify_host_failure(err)) {
        case HostFailure::gone:
        case HostFailure::refused:
            return 0;
        default:
            return err;
    }
}

}  // namespace compat
