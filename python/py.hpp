// py.hpp: the one way in to the CPython C API, restricted to the stable ABI.
#pragma once

// The build defines Py_LIMITED_API (0x030A0000), so that one binary serves CPython 3.10 and
// later, or, for the second build, Py_TARGET_ABI3T (0x030F0000), the stable ABI that
// free-threaded CPython 3.15 and later load (and GIL builds of 3.15 too). Nothing here may use
// a call outside those subsets.
#if !defined(Py_LIMITED_API) && !defined(Py_TARGET_ABI3T)
#error "python/ is built against the stable ABI only: define Py_LIMITED_API through the build"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
