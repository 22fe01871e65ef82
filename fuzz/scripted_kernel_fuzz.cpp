// Fuzzes every walk of what the kernel hands back, through the scripted
// kernel: the bytes of one answer come from the input, and so do the size the
// kernel first reports, how often the data "grows" between the size question
// and the read, and whether a short read still claims the full length. The
// module must answer a value or a Python exception, and never read outside
// what it was given.
//
// Input: [entry][flags][size hi][size lo] answer...
//   entry  which key and which module calls (kEntries, modulo its size)
//   flags  bit 0: over-report a short read; bits 1-3: reads that grow;
//          bit 4: size questions answer the 16-bit size that follows
//
// With NORVIK_FUZZ_SEEDS=DIR in the environment, the program first writes one
// input per entry into DIR, holding what this machine's kernel answers.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "freebsd/base.h"
#include "freebsd/devstat.h"
#include "freebsd/net/route.h"
#include "freebsd/sys/mount.h"
#include "fuzz_module.h"

namespace {

// This machine's answers, as the stand-in gives them, for the seeds.
std::string by_mib(std::vector<int> mib) {
    std::string bytes;
    std::size_t len = 0;
    if (freebsd::sysctl(mib.data(), static_cast<unsigned>(mib.size()), nullptr, &len, nullptr, 0) != 0)
        return {};
    bytes.resize(len + 4096);
    len = bytes.size();
    if (freebsd::sysctl(mib.data(), static_cast<unsigned>(mib.size()), bytes.data(), &len, nullptr, 0) != 0)
        return {};
    bytes.resize(len);
    return bytes;
}

std::string by_name(const char* name) {
    std::string bytes;
    std::size_t len = 0;
    if (freebsd::sysctlbyname(name, nullptr, &len, nullptr, 0) != 0) return {};
    bytes.resize(len + 4096);
    len = bytes.size();
    if (freebsd::sysctlbyname(name, bytes.data(), &len, nullptr, 0) != 0) return {};
    bytes.resize(len);
    return bytes;
}

std::string process_record(int pid) {
    return by_mib({freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID, pid});
}
std::string thread_records(int pid) {
    return by_mib(
        {freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PID | freebsd::KERN_PROC_INC_THREAD, pid});
}
std::string argument_area(int pid) {
    return by_mib({freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_ARGS, pid});
}
std::string executable(int pid) {
    return by_mib({freebsd::CTL_KERN, freebsd::KERN_PROC, freebsd::KERN_PROC_PATHNAME, pid});
}

// A libutil table (kinfo_getfile, kinfo_getvmmap): its records back to back.
template <typename Record>
std::string library_table(Record* (*get)(int, int*), int pid) {
    int n = 0;
    std::string bytes;
    if (Record* records = get(pid, &n)) {
        bytes.assign(reinterpret_cast<const char*>(records), sizeof *records * static_cast<std::size_t>(n));
        std::free(records);
    }
    return bytes;
}

std::string open_files(int pid) { return library_table(freebsd::kinfo_getfile, pid); }
std::string mappings(int pid) { return library_table(freebsd::kinfo_getvmmap, pid); }

std::string file_table(int) { return by_name("kern.file"); }
std::string tcp_list(int) { return by_name("net.inet.tcp.pcblist"); }
std::string udp_list(int) { return by_name("net.inet.udp.pcblist"); }
std::string unix_stream_list(int) { return by_name("net.local.stream.pcblist"); }
std::string unix_dgram_list(int) { return by_name("net.local.dgram.pcblist"); }
std::string cpu_rows(int) { return by_name("kern.cp_times"); }
std::string freq_levels(int) { return by_name("dev.cpu.0.freq_levels"); }
std::string topology(int) { return by_name("kern.sched.topology_spec"); }
std::string interface_list(int) {
    return by_mib({freebsd::CTL_NET, freebsd::PF_ROUTE, 0, 0, freebsd::NET_RT_IFLIST, 0});
}

std::string mounts(int) {
    const int count = freebsd::getfsstat(nullptr, 0, freebsd::MNT_NOWAIT);
    if (count <= 0) return {};
    std::vector<freebsd::statfs> records(static_cast<std::size_t>(count));
    const int filled = freebsd::getfsstat(
        records.data(), static_cast<long>(records.size() * sizeof records[0]), freebsd::MNT_NOWAIT);
    if (filled <= 0) return {};
    return std::string(reinterpret_cast<const char*>(records.data()),
                       sizeof records[0] * static_cast<std::size_t>(filled));
}

std::string disks(int) {
    freebsd::devinfo info{};
    freebsd::statinfo stats{};
    stats.dinfo = &info;
    std::string bytes;
    if (freebsd::devstat_getdevs(nullptr, &stats) >= 0 && info.numdevs > 0)
        bytes.assign(reinterpret_cast<const char*>(info.devices),
                     sizeof *info.devices * static_cast<std::size_t>(info.numdevs));
    std::free(info.mem_ptr);
    return bytes;
}

struct Entry {
    const char* key;               // printf format of the key, given the pid
    const char* calls[3];          // module calls that read it (see fuzz::run)
    std::string (*seed)(int pid);  // this machine's answer
};

constexpr Entry kEntries[] = {
    {"kern.proc.pid.%d",
     {"m.proc_oneshot_info(pid)", "m.proc_name(pid)", "m.proc_num_threads(pid)"},
     process_record},
    {"kern.proc.pid_td.%d", {"m.proc_threads(pid)", nullptr, nullptr}, thread_records},
    {"kern.proc.args.%d", {"m.proc_cmdline(pid)", nullptr, nullptr}, argument_area},
    {"kern.proc.pathname.%d", {"m.proc_exe(pid)", nullptr, nullptr}, executable},
    {"kinfo_getfile.%d", {"m.proc_open_files(pid)", "m.proc_num_fds(pid)", "m.proc_cwd(pid)"}, open_files},
    {"kinfo_getvmmap.%d", {"m.proc_memory_maps(pid)", nullptr, nullptr}, mappings},
    {"kvm_getprocs.%d", {"m.proc_environ(pid)", nullptr, nullptr}, process_record},
    {"kern.file", {"m.net_connections((2, 28, 1), (1, 2))", nullptr, nullptr}, file_table},
    {"net.inet.tcp.pcblist",
     {"m.net_connections((2, 28), (1,))", "m.proc_net_connections(pid, (2, 28), (1,))", nullptr},
     tcp_list},
    {"net.inet.udp.pcblist", {"m.net_connections((2, 28), (2,))", nullptr, nullptr}, udp_list},
    {"net.local.stream.pcblist",
     {"m.net_connections((1,), (1,))", "m.proc_net_connections(pid, (1,), (1,))", nullptr},
     unix_stream_list},
    {"net.local.dgram.pcblist", {"m.net_connections((1,), (2,))", nullptr, nullptr}, unix_dgram_list},
    {"net.routetable.0.0.3.0", {"m.net_io_counters()", nullptr, nullptr}, interface_list},
    {"getfsstat.1", {"m.disk_partitions(True)", "m.disk_partitions(False)", nullptr}, mounts},
    {"devstat_getdevs.0", {"m.disk_io_counters()", nullptr, nullptr}, disks},
    {"kern.cp_times", {"m.per_cpu_times()", nullptr, nullptr}, cpu_rows},
    {"dev.cpu.0.freq_levels", {"m.cpu_freq(0)", nullptr, nullptr}, freq_levels},
    {"kern.sched.topology_spec", {"m.cpu_topology()", nullptr, nullptr}, topology},
};
constexpr std::size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];
constexpr std::size_t kHeader = 4;

std::string key_of(const Entry& entry, int pid) {
    char key[64];
    std::snprintf(key, sizeof key, entry.key, pid);
    return key;
}

void write_seeds(const char* dir) {
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        std::string input(kHeader, '\0');
        input[0] = static_cast<char>(i);
        input += kEntries[i].seed(getpid());
        fuzz::write_file(std::string(dir) + "/live-" + std::to_string(i), input.data(), input.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::globals();
    if (const char* dir = std::getenv("NORVIK_FUZZ_SEEDS")) write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    fuzz::ScriptReset reset;
    const Entry& entry = kEntries[data[0] % kEntryCount];
    const std::uint8_t flags = data[1];
    const std::string key = key_of(entry, getpid());
    norvik_script_answer(key.c_str(), data + kHeader, size - kHeader);
    if (flags & 0x01) norvik_script_overreport(key.c_str(), 1);
    if (const int grows = (flags >> 1) & 0x7) norvik_script_grow(key.c_str(), grows);
    if (flags & 0x10) norvik_script_size(key.c_str(), (long{data[2]} << 8) | data[3]);
    for (const char* call : entry.calls)
        if (call != nullptr) fuzz::run(call);
    return 0;
}
