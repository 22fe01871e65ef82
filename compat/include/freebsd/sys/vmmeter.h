// FreeBSD's system-wide memory totals: struct vmtotal, the answer of
// vm.vmtotal ({CTL_VM, VM_TOTAL}).
#pragma once

#include <cstddef>
#include <cstdint>

namespace freebsd {

// Every memory total is a count of pages; the five shorts count jobs in the
// state each names.
struct vmtotal {
    std::uint64_t t_vm;      // virtual memory
    std::uint64_t t_avm;     // active virtual memory
    std::uint64_t t_rm;      // real memory in use
    std::uint64_t t_arm;     // active real memory
    std::uint64_t t_vmshr;   // shared virtual memory
    std::uint64_t t_avmshr;  // active shared virtual memory
    std::uint64_t t_rmshr;   // shared real memory
    std::uint64_t t_armshr;  // active shared real memory
    std::uint64_t t_free;    // free pages
    std::int16_t t_rq;       // runnable
    std::int16_t t_dw;       // in disk wait
    std::int16_t t_pw;       // in page wait
    std::int16_t t_sl;       // sleeping
    std::int16_t t_sw;       // swapped out
    std::uint16_t t_pad[3];
};
static_assert(sizeof(vmtotal) == 88);
static_assert(offsetof(vmtotal, t_vmshr) == 32);
static_assert(offsetof(vmtotal, t_rmshr) == 48);
static_assert(offsetof(vmtotal, t_free) == 64);
static_assert(offsetof(vmtotal, t_rq) == 72);
static_assert(offsetof(vmtotal, t_sw) == 80);
static_assert(offsetof(vmtotal, t_pad) == 82);

}  // namespace freebsd
