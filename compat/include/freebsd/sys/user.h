// FreeBSD's exported per-process records: struct kinfo_proc, struct
// kinfo_file and struct kinfo_vmentry, laid out as on FreeBSD 14 amd64.
#pragma once

#include <cstddef>

#include "freebsd/sys/resource.h"
#include "freebsd/sys/socket.h"
#include "freebsd/sys/types.h"

namespace freebsd {

inline constexpr int KI_NGROUPS = 16;
inline constexpr int COMMLEN = 19;
inline constexpr int MAXCOMLEN = 19;
inline constexpr int TDNAMLEN = 16;
inline constexpr int WMESGLEN = 8;
inline constexpr int LOGNAMELEN = 17;
inline constexpr int LOCKNAMELEN = 8;
inline constexpr int KI_EMULNAMELEN = 16;
inline constexpr int LOGINCLASSLEN = 17;
// FreeBSD's PATH_MAX; the host's <limits.h> defines its own under that name.
inline constexpr int MAXPATHLEN = 1024;

inline constexpr int KINFO_PROC_SIZE = 1088;
inline constexpr int KINFO_FILE_SIZE = 1392;
inline constexpr int KINFO_VMENTRY_SIZE = 1160;

struct __sigset {
    std::uint32_t __bits[4];
};
using sigset_t = __sigset;

// Kernel structures kinfo_proc points at; userland never sees inside them.
struct pargs;
struct proc;
struct user;
struct vnode;
struct filedesc;
struct vmspace;
struct pcb;
struct thread;
struct pwddesc;

struct priority {
    std::uint8_t pri_class;
    std::uint8_t pri_level;
    std::uint8_t pri_native;
    std::uint8_t pri_user;
};

struct kinfo_proc {
    int ki_structsize;
    int ki_layout;
    pargs* ki_args;
    proc* ki_paddr;
    user* ki_addr;
    vnode* ki_tracep;
    vnode* ki_textvp;
    filedesc* ki_fd;
    vmspace* ki_vmspace;
    const void* ki_wchan;
    std::int32_t ki_pid;
    std::int32_t ki_ppid;
    std::int32_t ki_pgid;
    std::int32_t ki_tpgid;
    std::int32_t ki_sid;
    std::int32_t ki_tsid;
    short ki_jobc;
    short ki_spare_short1;
    std::uint32_t ki_tdev_freebsd11;
    sigset_t ki_siglist;
    sigset_t ki_sigmask;
    sigset_t ki_sigignore;
    sigset_t ki_sigcatch;
    std::uint32_t ki_uid;
    std::uint32_t ki_ruid;
    std::uint32_t ki_svuid;
    std::uint32_t ki_rgid;
    std::uint32_t ki_svgid;
    short ki_ngroups;
    short ki_spare_short2;
    std::uint32_t ki_groups[KI_NGROUPS];
    std::uint64_t ki_size;  // bytes
    segsz_t ki_rssize;      // pages
    segsz_t ki_swrss;
    segsz_t ki_tsize;
    segsz_t ki_dsize;
    segsz_t ki_ssize;
    std::uint16_t ki_xstat;
    std::uint16_t ki_acflag;
    fixpt_t ki_pctcpu;
    std::uint32_t ki_estcpu;
    std::uint32_t ki_slptime;
    std::uint32_t ki_swtime;
    std::uint32_t ki_cow;
    std::uint64_t ki_runtime;  // microseconds
    ::timeval ki_start;
    ::timeval ki_childtime;
    long ki_flag;
    long ki_kiflag;
    int ki_traceflag;
    char ki_stat;
    signed char ki_nice;
    char ki_lock;
    char ki_rqindex;
    std::uint8_t ki_oncpu_old;
    std::uint8_t ki_lastcpu_old;
    char ki_tdname[TDNAMLEN + 1];
    char ki_wmesg[WMESGLEN + 1];
    char ki_login[LOGNAMELEN + 1];
    char ki_lockname[LOCKNAMELEN + 1];
    char ki_comm[COMMLEN + 1];
    char ki_emul[KI_EMULNAMELEN + 1];
    char ki_loginclass[LOGINCLASSLEN + 1];
    char ki_moretdname[MAXCOMLEN - TDNAMLEN + 1];
    char ki_sparestrings[46];
    int ki_spareints[2];
    std::uint64_t ki_tdev;
    int ki_oncpu;
    int ki_lastcpu;
    int ki_tracer;
    int ki_flag2;
    int ki_fibnum;
    std::uint32_t ki_cr_flags;
    int ki_jid;
    int ki_numthreads;
    lwpid_t ki_tid;
    priority ki_pri;
    rusage ki_rusage;
    rusage ki_rusage_ch;
    pcb* ki_pcb;
    void* ki_kstack;
    void* ki_udata;
    thread* ki_tdaddr;
    pwddesc* ki_pd;
    void* ki_spareptrs[5];
    long ki_sparelongs[12];
    long ki_sflag;
    long ki_tdflags;
};
static_assert(sizeof(kinfo_proc) == KINFO_PROC_SIZE);
static_assert(offsetof(kinfo_proc, ki_pid) == 72);
static_assert(offsetof(kinfo_proc, ki_uid) == 168);
static_assert(offsetof(kinfo_proc, ki_groups) == 192);
static_assert(offsetof(kinfo_proc, ki_size) == 256);
static_assert(offsetof(kinfo_proc, ki_start) == 336);
static_assert(offsetof(kinfo_proc, ki_flag) == 368);
static_assert(offsetof(kinfo_proc, ki_stat) == 388);
static_assert(offsetof(kinfo_proc, ki_comm) == 447);
static_assert(offsetof(kinfo_proc, ki_tdev) == 560);
static_assert(offsetof(kinfo_proc, ki_oncpu) == 568);
static_assert(offsetof(kinfo_proc, ki_numthreads) == 596);
static_assert(offsetof(kinfo_proc, ki_tid) == 600);
static_assert(offsetof(kinfo_proc, ki_rusage) == 608);
static_assert(offsetof(kinfo_proc, ki_rusage_ch) == 752);
static_assert(offsetof(kinfo_proc, ki_sflag) == 1072);

// kinfo_file: descriptor kinds and special descriptor numbers.
inline constexpr int KF_TYPE_NONE = 0;
inline constexpr int KF_TYPE_VNODE = 1;
inline constexpr int KF_TYPE_SOCKET = 2;
inline constexpr int KF_TYPE_PIPE = 3;
inline constexpr int KF_TYPE_FIFO = 4;
inline constexpr int KF_TYPE_KQUEUE = 5;
inline constexpr int KF_TYPE_MQUEUE = 7;
inline constexpr int KF_TYPE_SHM = 8;
inline constexpr int KF_TYPE_SEM = 9;
inline constexpr int KF_TYPE_PTS = 10;
inline constexpr int KF_TYPE_PROCDESC = 11;
inline constexpr int KF_TYPE_DEV = 12;
inline constexpr int KF_TYPE_EVENTFD = 13;
inline constexpr int KF_TYPE_UNKNOWN = 255;

inline constexpr int KF_VTYPE_VNON = 0;
inline constexpr int KF_VTYPE_VREG = 1;
inline constexpr int KF_VTYPE_VDIR = 2;
inline constexpr int KF_VTYPE_VBLK = 3;
inline constexpr int KF_VTYPE_VCHR = 4;
inline constexpr int KF_VTYPE_VLNK = 5;
inline constexpr int KF_VTYPE_VSOCK = 6;
inline constexpr int KF_VTYPE_VFIFO = 7;
inline constexpr int KF_VTYPE_VBAD = 8;
inline constexpr int KF_VTYPE_UNKNOWN = 255;

inline constexpr int KF_FD_TYPE_CWD = -1;
inline constexpr int KF_FD_TYPE_ROOT = -2;
inline constexpr int KF_FD_TYPE_JAIL = -3;
inline constexpr int KF_FD_TYPE_TRACE = -4;
inline constexpr int KF_FD_TYPE_TEXT = -5;
inline constexpr int KF_FD_TYPE_CTTY = -6;

inline constexpr int KF_FLAG_READ = 0x1;
inline constexpr int KF_FLAG_WRITE = 0x2;
inline constexpr int KF_FLAG_APPEND = 0x4;
inline constexpr int KF_FLAG_NONBLOCK = 0x20;

struct cap_rights {
    std::uint64_t cr_rights[2];
};
using cap_rights_t = cap_rights;

struct kinfo_file {
    int kf_structsize;
    int kf_type;
    int kf_fd;
    int kf_ref_count;
    int kf_flags;
    int kf_pad0;
    std::int64_t kf_offset;
    union {
        // The names kept from before FreeBSD 12 for the same bytes.
        struct {
            int kf_vnode_type;
            int kf_sock_domain;
            int kf_sock_type;
            int kf_sock_protocol;
            sockaddr_storage kf_sa_local;
            sockaddr_storage kf_sa_peer;
        };
        union {
            struct {
                std::uint32_t kf_sock_sendq;
                int kf_sock_domain0;
                int kf_sock_type0;
                int kf_sock_protocol0;
                sockaddr_storage kf_sa_local;
                sockaddr_storage kf_sa_peer;
                std::uint64_t kf_sock_pcb;
                std::uint64_t kf_sock_inpcb;
                std::uint64_t kf_sock_unpconn;
                std::uint16_t kf_sock_snd_sb_state;
                std::uint16_t kf_sock_rcv_sb_state;
                std::uint32_t kf_sock_recvq;
            } kf_sock;
            struct {
                int kf_file_type;
                int kf_spareint[3];
                std::uint64_t kf_spareint64[29];
                std::uint64_t kf_file_nlink;
                std::uint64_t kf_file_fsid;
                std::uint64_t kf_file_rdev;
                std::uint64_t kf_file_fileid;
                std::uint64_t kf_file_size;
                std::uint32_t kf_file_fsid_freebsd11;
                std::uint32_t kf_file_rdev_freebsd11;
                std::uint16_t kf_file_mode;
                std::uint16_t kf_file_pad0;
                std::uint32_t kf_file_pad1;
            } kf_file;
            struct {
                std::uint32_t kf_spareint[4];
                std::uint64_t kf_spareint64[32];
                std::uint64_t kf_pipe_addr;
                std::uint64_t kf_pipe_peer;
                std::uint32_t kf_pipe_buffer_cnt;
                std::uint32_t kf_pts_pad0[3];
            } kf_pipe;
        } kf_un;
    };
    std::uint16_t kf_status;
    std::uint16_t kf_pad1;
    int _kf_ispare0;
    cap_rights_t kf_cap_rights;
    std::uint64_t _kf_cap_spare;
    char kf_path[MAXPATHLEN];
};
static_assert(sizeof(kinfo_file) == KINFO_FILE_SIZE);
static_assert(offsetof(kinfo_file, kf_vnode_type) == 32);
static_assert(offsetof(kinfo_file, kf_sock_domain) == 36);
static_assert(offsetof(kinfo_file, kf_sa_local) == 48);
static_assert(offsetof(kinfo_file, kf_sa_peer) == 176);
static_assert(offsetof(kinfo_file, kf_un.kf_sock.kf_sock_recvq) == 332);
static_assert(offsetof(kinfo_file, kf_un.kf_file.kf_file_fileid) == 304);
static_assert(offsetof(kinfo_file, kf_un.kf_file.kf_file_mode) == 328);
static_assert(offsetof(kinfo_file, kf_un.kf_pipe.kf_pipe_addr) == 304);
static_assert(offsetof(kinfo_file, kf_status) == 336);
static_assert(offsetof(kinfo_file, kf_path) == 368);

// kinfo_vmentry: mapping kinds and protections.
inline constexpr int KVME_TYPE_NONE = 0;
inline constexpr int KVME_TYPE_DEFAULT = 1;
inline constexpr int KVME_TYPE_VNODE = 2;
inline constexpr int KVME_TYPE_SWAP = 3;
inline constexpr int KVME_TYPE_DEVICE = 4;
inline constexpr int KVME_TYPE_PHYS = 5;
inline constexpr int KVME_TYPE_DEAD = 6;
inline constexpr int KVME_TYPE_SG = 7;
inline constexpr int KVME_TYPE_MGTDEVICE = 8;
inline constexpr int KVME_TYPE_GUARD = 9;
inline constexpr int KVME_TYPE_UNKNOWN = 255;

inline constexpr int KVME_PROT_READ = 0x1;
inline constexpr int KVME_PROT_WRITE = 0x2;
inline constexpr int KVME_PROT_EXEC = 0x4;

inline constexpr int KVME_FLAG_COW = 0x1;
inline constexpr int KVME_FLAG_GROWS_DOWN = 0x20;

struct kinfo_vmentry {
    int kve_structsize;
    int kve_type;
    std::uint64_t kve_start;
    std::uint64_t kve_end;
    std::uint64_t kve_offset;
    std::uint64_t kve_vn_fileid;
    std::uint32_t kve_vn_fsid_freebsd11;
    int kve_flags;
    int kve_resident;  // pages
    int kve_private_resident;
    int kve_protection;
    int kve_ref_count;
    int kve_shadow_count;
    int kve_vn_type;
    std::uint64_t kve_vn_size;
    std::uint32_t kve_vn_rdev_freebsd11;
    std::uint16_t kve_vn_mode;
    std::uint16_t kve_status;
    union {
        std::uint64_t _kve_vn_fsid;
        std::uint64_t _kve_obj;
    } kve_type_spec;
    std::uint64_t kve_vn_rdev;
    int _kve_ispare[8];
    char kve_path[MAXPATHLEN];
};
static_assert(sizeof(kinfo_vmentry) == KINFO_VMENTRY_SIZE);
static_assert(offsetof(kinfo_vmentry, kve_resident) == 48);
static_assert(offsetof(kinfo_vmentry, kve_shadow_count) == 64);
static_assert(offsetof(kinfo_vmentry, kve_path) == 136);

}  // namespace freebsd
