// The bodies of the claims' module functions (claims/compute.cpp,
// claims/sweep.cpp, claims/names.cpp), which the signature tables (module/signatures.cpp)
// bind.
#pragma once

#include "frame/function.hpp"
#include "store/bodies.hpp"

namespace css {

PyObject* get_or_compute_simulation_result(FunctionObject*, const Args&);
PyObject* claim_unless_held(FunctionObject*, const Args&);
PyObject* lookup_sweep(FunctionObject*, const Args&);
PyObject* parse_file_name(FunctionObject*, const Args&);
PyObject* claim_file_name(FunctionObject*, const Args&);

// Argument positions (see store/bodies.hpp): the identity fields first.
namespace arg {
namespace get_or_compute {
enum : int { compute = identity::count, lease, wait, store_errors };
}
namespace claim_unless_held {
enum : int { compute = identity::count, lease, store_errors };
}
namespace lookup_sweep {
enum : int { points };
}
namespace parse_file_name {
enum : int { name };
}
namespace claim_file_name {
enum : int { component_name, simulation_id, generation };
}
}  // namespace arg

}  // namespace css
