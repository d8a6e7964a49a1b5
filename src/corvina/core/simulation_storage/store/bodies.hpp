// The bodies of the store's module functions (store/*.cpp), which the
// signature tables (module/signatures.cpp) bind; each runs after its
// arguments were bound and checked, and returns a new reference or nullptr
// with an error set. The bodies read their arguments by the positions named
// below, which module/signatures.cpp checks against its tables at compile
// time.
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
// The store's rules for the command line, which writes files beside the
// store's own (store/layout.cpp).
PyObject* temporary_name(FunctionObject*, const Args&);
PyObject* write_atomically(FunctionObject*, const Args&);

// Argument positions, one namespace per parameter list.
namespace arg {
// The identity fields, first in every call that names a result by them
// (_compute_simulation_id, find, save, get_or_compute, _claim_unless_held).
namespace identity {
enum : int { component_name, factory_name, component_settings, model_parameters,
             hyperparameters, simulation_type, count };
}
namespace save {
enum : int { result = identity::count, wavelengths, execution_time_seconds, status,
             error_message, pdk_version };
}
namespace file_path {
enum : int { simulation_type, component_name, simulation_id };
}
// load, delete, _find_simulation_file.
namespace by_id {
enum : int { simulation_id };
}
namespace matches {
enum : int { result, component_name, factory_name, pdk_name, status };
}
namespace list {
enum : int { component_name, factory_name, simulation_type, pdk_name, status };
}
namespace clear {
enum : int { component_name, factory_name, simulation_type, pdk_name };
}
namespace query {
enum : int { where, fields, sort, limit, offset, component_name, factory_name, simulation_type,
             pdk_name, status };
}
namespace count {
enum : int { where, component_name, factory_name, simulation_type, pdk_name, status };
}
namespace check_query {
enum : int { where };
}
namespace temporary_name {
enum : int { name };
}
namespace write_atomically {
enum : int { path, data };
}
}  // namespace arg

}  // namespace css
