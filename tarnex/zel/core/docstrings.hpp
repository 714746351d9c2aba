// The long docstrings of the public functions: arguments, result, errors and
// an example that runs as a doctest.  The texts live in tarnex/zel/doc/*.inc,
// one file per subsystem, away from the method tables, which keep the
// signature and the one-line summary.
#pragma once
#include <Python.h>

namespace zel {

// Appends the long text filed under each function's name to its method
// table entry (before the table is handed to the interpreter).
void attach_docstrings(PyMethodDef* table);

// The long text filed under `name`, or nullptr.
const char* long_docstring(const char* name);

}  // namespace zel
