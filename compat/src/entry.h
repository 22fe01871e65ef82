// The outer edge of every call the stand-in exports (sysctl, the libkvm,
// libutil and libdevstat calls, getfsstat, getifaddrs, cpuset_*, mallctl,
// the utmpx calls, ioctl ...): what a caller of FreeBSD's calls meets when
// memory runs out is a failure with errno ENOMEM, never a C++ exception,
// which its callers (C code, noexcept functions) can't take.
#pragma once

#include <cerrno>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

namespace compat {

// The errno a failure thrown inside a call stands for: ENOMEM for memory
// that could not be had (an allocation, a length past what a container
// holds), a system error's own code, EIO for anything else.
inline int errno_of_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (const std::length_error&) {
        return ENOMEM;
    } catch (const std::system_error& e) {
        return e.code().value() > 0 ? e.code().value() : EIO;
    } catch (...) {
        return EIO;
    }
}

// Makes sure the calling thread's exception state (libstdc++'s per-thread
// globals, allocated when a thread first throws) exists while there is
// memory for it, so that a throw on a full address space can still be
// caught: the C library ends the process when a thread's thread-local
// block can't be allocated.
inline void prepare_thread_for_failures() noexcept { (void)std::uncaught_exceptions(); }

// Runs body() and returns what it returns; when it throws, sets errno to
// the errno the exception stands for, lets on_failure(err) record it (a
// handle's error text), and returns `failure`, the call's own failure value.
template <typename Result, typename Body, typename OnFailure>
Result guarded_call(Result failure, OnFailure&& on_failure, Body&& body) noexcept {
    prepare_thread_for_failures();
    try {
        return body();
    } catch (...) {
        const int err = errno_of_current_exception();
        on_failure(err);
        errno = err;
        return failure;
    }
}

template <typename Result, typename Body>
Result guarded_call(Result failure, Body&& body) noexcept {
    return guarded_call(
        failure, [](int) noexcept {}, static_cast<Body&&>(body));
}

// For the calls that return nothing (setutxent): false, with errno set,
// when body() threw.
template <typename Body>
bool guarded_void_call(Body&& body) noexcept {
    prepare_thread_for_failures();
    try {
        body();
        return true;
    } catch (...) {
        errno = errno_of_current_exception();
        return false;
    }
}

}  // namespace compat
