// py.hpp: the one way in to the CPython C API, restricted to the stable ABI.
#pragma once

// The build defines Py_LIMITED_API (0x030A0000), so that one binary serves CPython 3.10 and
// later; nothing here may use a call outside that subset.
#ifndef Py_LIMITED_API
#error "python/ is built against the limited API only: define Py_LIMITED_API through the build"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
