// The bodies of the module's functions, which the signature tables bind;
// each runs after its arguments were bound and checked, and returns a new
// reference or nullptr with an error set. They are defined by the units of
// store/.
#pragma once

#include "frame/function.hpp"

namespace css {

PyObject* compute_simulation_id(FunctionObject*, const Args&);
PyObject* get_simulation_file_path(FunctionObject*, const Args&);
PyObject* find_simulation_file(FunctionObject*, const Args&);
PyObject* save_simulation_result(FunctionObject*, const Args&);
PyObject* load_simulation_result(FunctionObject*, const Args&);
PyObject* find_simulation_result(FunctionObject*, const Args&);
PyObject* matches_filters(FunctionObject*, const Args&);
PyObject* list_simulation_results(FunctionObject*, const Args&);
PyObject* delete_simulation_result(FunctionObject*, const Args&);
PyObject* clear_simulation_results(FunctionObject*, const Args&);
PyObject* sort_key(FunctionObject*, const Args&);
// Defined in claims/compute.cpp.
PyObject* get_or_compute_simulation_result(FunctionObject*, const Args&);
PyObject* claim_unless_held(FunctionObject*, const Args&);
// Defined in claims/sweep.cpp.
PyObject* lookup_sweep(FunctionObject*, const Args&);
// Defined in store/query_list.cpp.
PyObject* query_simulation_results(FunctionObject*, const Args&);
PyObject* check_query(FunctionObject*, const Args&);
PyObject* count_simulation_results(FunctionObject*, const Args&);

}  // namespace css
