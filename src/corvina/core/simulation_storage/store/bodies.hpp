// The bodies of the store's module functions (store/*.cpp), which the
// signature tables (module/signatures.cpp) bind; each runs after its
// arguments were bound and checked, and returns a new reference or nullptr
// with an error set. Positions into `Args` are named beside each.
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
PyObject* query_simulation_results(FunctionObject*, const Args&);
PyObject* check_query(FunctionObject*, const Args&);
PyObject* count_simulation_results(FunctionObject*, const Args&);

}  // namespace css
