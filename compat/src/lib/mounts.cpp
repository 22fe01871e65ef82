// getfsstat(2): one struct statfs per mount of /proc/self/mountinfo, in its
// order (the mounts this process sees, as FreeBSD shows a jail its own).
//
// A mountinfo line:
//   id parent major:minor root mount-point mount-options [optional...] - type source super-options
// Paths and the source escape space, tab, newline and backslash as \ooo octal.
// The answer never asks a filesystem anything (no statfs): a dead network
// mount cannot hang it, so every mode answers like MNT_NOWAIT and the size
// fields stay 0.
//
// Scripted overlay: key "getfsstat.0" for the count question (no buffer),
// "getfsstat.1" for the fill (a size of 0 counts too). An answer is back-to-back struct statfs
// records; a failure returns -1 with the scripted errno.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "entry.h"
#include "freebsd/sys/mount.h"
#include "linux/host_files.h"
#include "linux/host_text.h"
#include "linux/mount_options.h"
#include "script/script.h"

namespace compat {
namespace {

using freebsd::statfs;

int octal_digit(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

// Copies an escaped mountinfo field into a fixed field, cut to fit and
// always terminated.
void copy_unescaped(char* dst, std::size_t size, std::string_view text) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size() && out + 1 < size; ++i) {
        char c = text[i];
        if (c == '\\' && i + 3 < text.size() && octal_digit(text[i + 1]) >= 0 &&
            octal_digit(text[i + 2]) >= 0 && octal_digit(text[i + 3]) >= 0) {
            c = static_cast<char>(octal_digit(text[i + 1]) * 64 + octal_digit(text[i + 2]) * 8 +
                                  octal_digit(text[i + 3]));
            i += 3;
        }
        dst[out++] = c;
    }
    dst[out] = '\0';
}

// The fields of a mountinfo line that its record holds.
struct MountLine {
    std::string_view device, mount_point, mount_options, type, source, super_options;
};

// Splits a mountinfo line; false for a line of another shape.
bool split_line(std::string_view line, MountLine& out) {
    std::string_view fields[6];
    for (auto& field : fields) {
        field = next_token(line);
        if (field.empty()) return false;
    }
    std::string_view token;
    do {  // optional fields, up to the separator
        token = next_token(line);
        if (token.empty()) return false;
    } while (token != "-");
    out.device = fields[2];
    out.mount_point = fields[4];
    out.mount_options = fields[5];
    out.type = next_token(line);
    out.source = next_token(line);
    out.super_options = next_token(line);
    return !out.type.empty() && !out.source.empty();
}

void fill_record(const MountLine& line, statfs& record) {
    std::memset(&record, 0, sizeof record);
    record.f_version = freebsd::STATFS_VERSION;
    record.f_namemax = 255;
    copy_unescaped(record.f_fstypename, sizeof record.f_fstypename, line.type);
    copy_unescaped(record.f_mntfromname, sizeof record.f_mntfromname, line.source);
    copy_unescaped(record.f_mntonname, sizeof record.f_mntonname, line.mount_point);
    record.f_flags = mount_flags(line.mount_options, line.super_options);
    if (line.mount_point == "/") record.f_flags |= freebsd::MNT_ROOTFS;
    unsigned major = 0, minor = 0;
    if (auto colon = line.device.find(':'); colon != std::string_view::npos) {
        to_number(line.device.substr(0, colon), major);
        to_number(line.device.substr(colon + 1), minor);
    }
    record.f_fsid.val[0] = static_cast<std::int32_t>(major);
    record.f_fsid.val[1] = static_cast<std::int32_t>(minor);
}

// Walks the host's mounts: fills up to max records (none when buf is NULL)
// and answers how many it filled, or how many there are without a buffer.
int host_mounts(statfs* buf, long max) {
    Fd fd = open_host("proc/self/mountinfo", O_RDONLY);
    if (!fd.valid()) return -1;
    LineReader lines(fd.get());
    long count = 0;
    std::string_view text;
    MountLine line;
    // Counting needs only each line's shape, not its record.
    while ((buf == nullptr || count < max) && lines.next(text)) {
        if (!split_line(text, line)) continue;
        if (buf != nullptr) fill_record(line, buf[count]);
        ++count;
    }
    if (lines.error() != 0) {
        errno = lines.error();
        return -1;
    }
    return static_cast<int>(count);
}

}  // namespace
}  // namespace compat

namespace freebsd {

// As kern_getfsstat: a negative size is EINVAL, and so is any mode but
// MNT_WAIT or MNT_NOWAIT; no buffer, or a size of 0 with one, counts the
// mounts; otherwise as many records as fit are filled and counted.
int getfsstat(struct statfs* buf, long bufsize, int mode) {
    return compat::guarded_call(-1, [&] {
        if (bufsize < 0 || (mode != MNT_WAIT && mode != MNT_NOWAIT)) {
            errno = EINVAL;
            return -1;
        }
        const bool counting = buf == nullptr || bufsize == 0;
        const long max = counting ? 0 : bufsize / static_cast<long>(sizeof(struct statfs));
        auto outcome = compat::script::consult_call("getfsstat", counting ? 0 : 1);
        if (outcome.fail) {
            errno = outcome.err;
            return -1;
        }
        if (outcome.answer != nullptr) {
            const long have = static_cast<long>(outcome.answer->size() / sizeof(struct statfs));
            if (counting) return static_cast<int>(have);
            const long n = std::min(have, max);
            std::memcpy(buf, outcome.answer->data(), static_cast<std::size_t>(n) * sizeof(struct statfs));
            return static_cast<int>(n);
        }
        return compat::host_mounts(counting ? nullptr : buf, max);
    });
}

}  // namespace freebsd
