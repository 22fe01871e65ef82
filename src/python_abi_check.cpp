// The build stops here when the headers read are not those of the interpreter
// the module is built for. CMake defines NORVIK_PYTHON_DEBUG_ABI when that
// interpreter's ABI flags hold "d" (a debug build, python3.X-dbg): its
// pyconfig.h then defines Py_DEBUG, and with it Py_REF_DEBUG, which the
// reference-count totals and the interpreter's own checks rely on. A module
// that read a release pyconfig.h instead would load there and run without
// any of them.
#include <Python.h>

#if defined(NORVIK_PYTHON_DEBUG_ABI) && !defined(Py_REF_DEBUG)
#error "building for a debug interpreter (ABI flag d) with release headers: Py_REF_DEBUG is not defined"
#endif
