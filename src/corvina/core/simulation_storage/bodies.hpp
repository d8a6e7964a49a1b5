// The bodies of the module's functions; each runs after its arguments were
// bound and checked, and returns a new reference or nullptr with an error set.
#pragma once

#include "function.hpp"
#include "host.hpp"

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
// claims/compute.cpp
PyObject* get_or_compute_simulation_result(FunctionObject*, const Args&);

}  // namespace css

namespace css {

// Refuses a name that would place a file or directory outside the
// simulations directory (ValueError naming the parameter and the value).
// `directory` selects the rule for a type directory ("..", absolute).
bool check_path_name(PyObject* value, const char* parameter, bool directory);

// Calls `visit(entry)` for each entry of `root.iterdir()` whose `is_dir()`
// is true, in listing order, through the path object's own methods. `visit`
// returns 0 to go on, 1 to stop, -1 on error. false: an error is set.
template <class Visit>
bool each_type_dir(PyObject* root, Visit visit) {
    Ref entries = call_method(root, N.iterdir);
    if (!entries) return false;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return false;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref is_dir = call_method(entry.get(), N.is_dir);
        if (!is_dir) return false;
        int d = truth(is_dir.get());
        if (d < 0) return false;
        if (!d) continue;
        int r = visit(entry.get());
        if (r < 0) return false;
        if (r > 0) return true;
    }
    return !PyErr_Occurred();
}

}  // namespace css
