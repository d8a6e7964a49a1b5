// The directory tree of result files: which names may become one entry of
// it, and the literal walk over its type directories.
#pragma once

#include "frame/host.hpp"

#include <string>

namespace css {

// What a checked name becomes: part of a result's file name, the type
// directory a result is written into, or a type directory only read (a
// filter, which may still name the store itself, where results saved under
// an empty type by earlier versions lie).
enum class NameUse { FileName, TypeToWrite, TypeToRead };

// Refuses a name that would place a file or directory outside the
// simulations directory, or a result where no lookup finds it again
// (ValueError naming the parameter and the value).
bool check_path_name(PyObject* value, const char* parameter, NameUse use);
// The same for the three names that place a result file.
bool check_result_names(PyObject* simulation_type, PyObject* component_name,
                        PyObject* simulation_id);

// A result's file name "<component>_<ID>.json", and its stem without ".json".
Ref result_stem(PyObject* component_name, PyObject* simulation_id);
Ref result_file_name(PyObject* component_name, PyObject* simulation_id);

// The texts of a result's type directory and file below the standard local
// root `root_text`. false (an error set) when a name has no file-system form.
bool local_result_path(const std::string& root_text, PyObject* simulation_type, PyObject* name,
                       std::string& type_dir, std::string& file);

// Calls `visit(entry)` for each entry of `root.iterdir()` whose `is_dir()`
// is true, in listing order, through the path object's own methods. `visit`
// returns 0 to go on, 1 to stop, -1 on error. false: an error is set.
template <class Visit>
bool each_type_dir(PyObject* root, Visit visit) {
    Ref entries = call_method(root, host_names.iterdir);
    if (!entries) return false;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return false;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        int d = call_truth(entry.get(), host_names.is_dir);
        if (d < 0) return false;
        if (!d) continue;
        int r = visit(entry.get());
        if (r < 0) return false;
        if (r > 0) return true;
    }
    return !PyErr_Occurred();
}

}  // namespace css
