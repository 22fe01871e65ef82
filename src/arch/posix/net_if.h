// Helpers of the interface functions.
#pragma once

#include <Python.h>

#include "norvik_platform.h"

// The text form of a socket address read as the given family: a new str, or
// None when it has none, or NULL with an exception when building fails.
PyObject* norvik_convert_ipaddr(struct sockaddr* addr, int family);

// The link speed in Mbit/s of an active media word; 0 when unknown.
int norvik_get_nic_speed(int ifm_active);

// Appends the flag's name to the list. Returns 1, or 0 with an exception set.
int norvik_append_flag(PyObject* py_retlist, const char* flag_name);
