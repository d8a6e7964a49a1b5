// The bodies of the claims' module functions (claims/compute.cpp,
// claims/sweep.cpp), which the signature tables (module/signatures.cpp)
// bind.
#pragma once

#include "frame/function.hpp"

namespace css {

PyObject* get_or_compute_simulation_result(FunctionObject*, const Args&);
PyObject* claim_unless_held(FunctionObject*, const Args&);
PyObject* lookup_sweep(FunctionObject*, const Args&);

}  // namespace css
