// libutil's kinfo_getvmmap(3): one struct kinfo_vmentry per mapping of a
// process, from one read of the host's /proc/<pid>/smaps.
//
// Per mapping: the addresses, protection, offset and inode of its header
// line, and the type and path kern_proc_vmmap_out gives its object:
//   a file                vnode, with the file's path; none once the name is
//                         gone (the host's " (deleted)" mark on a name that
//                         no longer names the file);
//   anonymous memory      swap (FreeBSD 14 keeps it in swap objects), no
//                         path: private memory (heap, stack, unnamed),
//                         shared memory (the host's "/dev/zero (deleted)"
//                         and System V segments), memfd objects ("/memfd:")
//                         and POSIX shared memory (files under /dev/shm);
//   no object             none: private anonymous memory no access is
//                         allowed to and that holds no page, which can
//                         have had no page ever (glibc's thread-stack guard
//                         pages, address space reserved with PROT_NONE);
//                         FreeBSD creates an anonymous object at the first
//                         fault only;
//   the kernel's pages    phys, shared into every process (vdso, vvar,
//                         vsyscall).
// The host has no guard entries (MAP_GUARD, a stack's gap): no entry is of
// type guard. A mapping no access is allowed to that has an object keeps
// the object's type: a hole in a library's mapping is the library's vnode.
//
// Resident pages from Rss. kve_private_resident is the resident pages of an
// object without a backing object: 0 for a private file mapping with pages
// copied on write (its top object shadows the file's) and for an entry
// without an object, else the entry's own resident pages. (FreeBSD counts
// every resident page of such an object, those this process does not map
// too; the host tells only this mapping's.)
//
// The host keeps no count of references to a memory object nor of the shadow
// objects behind it, so both counts are what this process alone shows:
//   kve_ref_count     the number of this process's mappings of the same file
//                     (same device and inode), 1 for anonymous memory, 0
//                     for an entry without an object;
//   kve_shadow_count  1 for a private file mapping whose pages were copied
//                     on write (it has anonymous pages), else 0.
// References from other processes are not counted.
//
// Errors as FreeBSD gives them: ESRCH for a process that has gone or is a
// zombie, EPERM where the host refuses another user's mappings. A kernel
// thread has no mappings: the answer is an empty array, not NULL.
//
// Scripted overlay: key "kinfo_getvmmap.<pid>". An answer is the array the
// call returns, back-to-back struct kinfo_vmentry records (the count is the
// answer's length divided by the record size); a failure returns NULL with
// the scripted errno, 0 included.
#include "freebsd/libutil.h"
#include "freebsd/sys/user.h"
#include "entry.h"
#include "linux/proc_reads.h"
#include "linux/proc_records.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace compat {
namespace {

using freebsd::kinfo_vmentry;

bool is_header_start(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

template <typename T>
const char* parse_number(const char* p, const char* end, T& value, int base = 10) {
    auto [next, ec] = std::from_chars(p, end, value, base);
    return ec == std::errc() ? next : nullptr;
}

struct Pending {
    std::uint64_t dev = 0;
    std::uint64_t inode = 0;
    bool is_private = false;
    bool anonymous = false;  // no file behind it (swap, or no object yet)
    bool deleted_mark = false;
    long resident_kib = 0;
    long swapped_kib = 0;
    long anonymous_kib = 0;
};

bool has_prefix(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Anonymous memory the host shows under a file's name: shared anonymous
// memory and System V segments (files of the host's internal shmem mount,
// removed at once), memfd objects, and POSIX shared memory objects (files
// under /dev/shm, where the host's shm_open makes them). FreeBSD keeps all
// of them in swap objects without a vnode.
bool swap_object_name(std::string_view path) {
    return path == "/dev/zero (deleted)" || has_prefix(path, "/SYSV") || has_prefix(path, "/memfd:") ||
           has_prefix(path, "/dev/shm/");
}

// "start-end perms offset major:minor inode [path]".
bool parse_header(std::string_view line, kinfo_vmentry& kve, Pending& extra) {
    std::string_view rest = line;
    std::string_view range = next_token(rest);
    std::string_view perms = next_token(rest);
    std::string_view offset = next_token(rest);
    std::string_view dev = next_token(rest);
    std::string_view inode = next_token(rest);
    auto dash = range.find('-');
    if (dash == std::string_view::npos || perms.size() < 4 || inode.empty()) return false;
    const char* r = range.data();
    if (!parse_number(r, r + dash, kve.kve_start, 16) ||
        !parse_number(r + dash + 1, r + range.size(), kve.kve_end, 16))
        return false;
    parse_number(offset.data(), offset.data() + offset.size(), kve.kve_offset, 16);
    parse_number(inode.data(), inode.data() + inode.size(), extra.inode);
    auto colon = dev.find(':');
    if (colon != std::string_view::npos) {
        std::uint64_t major = 0, minor = 0;
        parse_number(dev.data(), dev.data() + colon, major, 16);
        parse_number(dev.data() + colon + 1, dev.data() + dev.size(), minor, 16);
        extra.dev = (major << 32) | minor;
    }
    int prot = 0;
    if (perms[0] == 'r') prot |= freebsd::KVME_PROT_READ;
    if (perms[1] == 'w') prot |= freebsd::KVME_PROT_WRITE;
    if (perms[2] == 'x') prot |= freebsd::KVME_PROT_EXEC;
    kve.kve_protection = prot;
    extra.is_private = perms[3] == 'p';
    if (extra.is_private) kve.kve_flags |= freebsd::KVME_FLAG_COW;

    auto start = rest.find_first_not_of(' ');
    std::string_view path = start == std::string_view::npos ? std::string_view() : rest.substr(start);
    while (!path.empty() && path.back() == ' ') path.remove_suffix(1);
    if (!path.empty() && path[0] == '/' && swap_object_name(path)) {
        kve.kve_type = freebsd::KVME_TYPE_SWAP;
    } else if (!path.empty() && path[0] == '/') {
        kve.kve_type = freebsd::KVME_TYPE_VNODE;
        kve.kve_vn_fileid = extra.inode;
        extra.deleted_mark = path.size() > kDeletedMark.size() &&
                             path.substr(path.size() - kDeletedMark.size()) == kDeletedMark;
        // A path beyond FreeBSD's limit cannot be named: the field stays empty.
        if (path.size() < sizeof kve.kve_path) std::memcpy(kve.kve_path, path.data(), path.size());
    } else if (path == "[vdso]" || path == "[vvar]" || path == "[vvar_vclock]" || path == "[vsyscall]") {
        kve.kve_type = freebsd::KVME_TYPE_PHYS;
    } else {
        kve.kve_type = freebsd::KVME_TYPE_SWAP;
        extra.anonymous = extra.is_private;
        if (path == "[stack]") kve.kve_flags |= freebsd::KVME_FLAG_GROWS_DOWN;
    }
    return true;
}

// "Name:   123 kB". Only Rss, Swap and Anonymous are wanted; the first
// letter turns the other twenty-odd lines away.
void parse_field(std::string_view line, Pending& extra) {
    enum { kRss, kSwap, kAnonymous } which;
    std::size_t skip;
    switch (line[0]) {
        case 'R':
            if (line.substr(0, 4) != "Rss:") return;
            which = kRss;
            skip = 4;
            break;
        case 'S':
            if (line.substr(0, 5) != "Swap:") return;
            which = kSwap;
            skip = 5;
            break;
        case 'A':
            if (line.substr(0, 10) != "Anonymous:") return;
            which = kAnonymous;
            skip = 10;
            break;
        default:
            return;
    }
    const char* p = line.data() + skip;
    const char* end = line.data() + line.size();
    while (p < end && *p == ' ') ++p;
    long kib = 0;
    if (!parse_number(p, end, kib)) return;
    switch (which) {
        case kRss:
            extra.resident_kib = kib;
            break;
        case kSwap:
            extra.swapped_kib = kib;
            break;
        case kAnonymous:
            extra.anonymous_kib = kib;
            break;
    }
}

// What the entry's object is, once its page counts are known.
void settle(int process_dir, kinfo_vmentry& kve, Pending& e, long page_kib) {
    kve.kve_resident = static_cast<int>(e.resident_kib / page_kib);
    if (e.anonymous && kve.kve_protection == 0 && e.resident_kib == 0 && e.swapped_kib == 0) {
        // Never accessible and without a page: no object was ever made.
        kve.kve_type = freebsd::KVME_TYPE_NONE;
        kve.kve_flags &= ~freebsd::KVME_FLAG_COW;
        e.inode = 0;
        return;
    }
    const bool shadowed = kve.kve_type == freebsd::KVME_TYPE_VNODE && e.is_private && e.anonymous_kib > 0;
    kve.kve_private_resident = shadowed ? 0 : kve.kve_resident;
    if (e.deleted_mark && !name_still_holds(process_dir, kve.kve_path, e.inode)) kve.kve_path[0] = '\0';
}

struct ObjectKey {
    std::uint64_t dev, inode;
    bool operator==(const ObjectKey&) const = default;
};
struct ObjectHash {
    std::size_t operator()(const ObjectKey& k) const { return std::hash<std::uint64_t>()(k.inode * 31 + k.dev); }
};

// The records, grown by doubling with realloc (large blocks move without a
// copy), handed to the caller at the end.
struct RecordArray {
    kinfo_vmentry* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    ~RecordArray() { std::free(data); }

    kinfo_vmentry* add() {
        if (size == capacity) {
            const std::size_t grown = capacity == 0 ? 256 : capacity * 2;
            auto* moved = static_cast<kinfo_vmentry*>(std::realloc(data, grown * sizeof(kinfo_vmentry)));
            if (moved == nullptr) return nullptr;
            data = moved;
            capacity = grown;
        }
        kinfo_vmentry* record = &data[size++];
        std::memset(record, 0, sizeof *record);
        return record;
    }
    kinfo_vmentry* release() {
        kinfo_vmentry* out = data;
        data = nullptr;
        return out;
    }
};

int build_map(int pid, kinfo_vmentry** out, int* count) {
    Fd dir;
    if (int err = open_process_dir(pid, dir); err != 0) return err;
    Fd smaps(::openat(dir.get(), "smaps", O_RDONLY | O_CLOEXEC));
    if (!smaps.valid()) return process_refusal(errno);

    static const long page_kib = [] {
        long kib = ::sysconf(_SC_PAGESIZE) / 1024;
        return kib > 0 ? kib : 4;
    }();

    // One pass over the file, one line at a time.
    RecordArray table;
    std::vector<Pending> extras;
    kinfo_vmentry* current = nullptr;
    LineReader reader(smaps.get());
    std::string_view line;
    while (reader.next(line)) {
        if (line.empty()) continue;
        if (is_header_start(line[0])) {
            current = nullptr;
            Pending extra;
            kinfo_vmentry* kve = table.add();
            if (kve == nullptr) return ENOMEM;
            if (!parse_header(line, *kve, extra)) {
                --table.size;  // not a mapping line: its record is taken back
                continue;
            }
            kve->kve_structsize = sizeof(kinfo_vmentry);
            extras.push_back(extra);
            current = kve;
        } else if (current != nullptr) {
            parse_field(line, extras.back());
        }
    }
    if (reader.error() != 0) return process_refusal(reader.error());
    if (table.size == 0) {
        // No mappings: a kernel thread, or a process whose memory is gone.
        char state = 0;
        if (int err = read_state_letter(dir.get(), state); err != 0) return err;
        if (state == 'Z' || state == 'X') return ESRCH;
        if (table.add() == nullptr) return ENOMEM;  // a block to hand over, holding no record
        table.size = 0;
    }

    for (std::size_t i = 0; i < table.size; ++i) settle(dir.get(), table.data[i], extras[i], page_kib);

    // The counts that stand in for the memory objects' own.
    std::unordered_map<ObjectKey, int, ObjectHash> files;
    for (const Pending& e : extras) {
        if (e.inode != 0) ++files[ObjectKey{e.dev, e.inode}];
    }
    for (std::size_t i = 0; i < table.size; ++i) {
        const Pending& e = extras[i];
        const bool no_object = table.data[i].kve_type == freebsd::KVME_TYPE_NONE;
        table.data[i].kve_ref_count = no_object ? 0 : e.inode != 0 ? files[ObjectKey{e.dev, e.inode}] : 1;
        table.data[i].kve_shadow_count = e.inode != 0 && e.is_private && e.anonymous_kib > 0 ? 1 : 0;
    }

    *count = static_cast<int>(table.size);
    *out = table.release();
    return 0;
}

}  // namespace
}  // namespace compat

namespace freebsd {

kinfo_vmentry* kinfo_getvmmap(int pid, int* cntp) {
    return compat::guarded_call<kinfo_vmentry*>(nullptr, [&]() -> kinfo_vmentry* {
        return compat::scripted_or_built_table<kinfo_vmentry>("kinfo_getvmmap", pid, cntp, compat::build_map);
    });
}

}  // namespace freebsd
