// The directory tree of result files: forming paths and finding a file by ID.
#include "store/layout.hpp"

#include "frame/file_names.hpp"
#include "frame/host.hpp"
#include "frame/outcome.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "local/walk.hpp"
#include "remote/batch.hpp"
#include "remote/made_dirs.hpp"
#include "store/bodies.hpp"

#include <string>
#include <sys/stat.h>

namespace css {

bool check_path_name(PyObject* value, const char* parameter, NameUse use) {
    const bool directory = use != NameUse::FileName;
    bool bad = !fits_in_file_name(value) || (directory && PyUnicode_EqualToUTF8(value, ".."));
    if (!bad && use == NameUse::TypeToWrite) {
        // The store itself is no type directory: a result saved there is
        // never found by its ID again.
        bad = PyUnicode_GET_LENGTH(value) == 0 || PyUnicode_EqualToUTF8(value, ".");
        if (bad) {
            PyErr_Format(PyExc_ValueError,
                         "%s %R is not allowed: it must name a type directory inside the "
                         "simulations directory (not empty, '.' or '..', no path separator or "
                         "NUL character)",
                         parameter, value);
            return false;
        }
    }
    if (!bad) return true;
    PyErr_Format(PyExc_ValueError,
                 "%s %R is not allowed: it must name one entry inside the simulations directory "
                 "(no path separator, NUL character or '..')",
                 parameter, value);
    return false;
}

bool check_result_names(PyObject* simulation_type, PyObject* component_name,
                        PyObject* simulation_id) {
    return check_path_name(simulation_type, "simulation_type", NameUse::TypeToWrite) &&
           check_path_name(component_name, "component_name", NameUse::FileName) &&
           check_path_name(simulation_id, "simulation_id", NameUse::FileName);
}

Ref result_stem(PyObject* component_name, PyObject* simulation_id) {
    return Ref::steal(PyUnicode_FromFormat("%U_%U", component_name, simulation_id));
}

Ref result_file_name(PyObject* component_name, PyObject* simulation_id) {
    return Ref::steal(PyUnicode_FromFormat("%U_%U.json", component_name, simulation_id));
}

bool local_result_path(const std::string& root_text, PyObject* simulation_type, PyObject* name,
                       std::string& type_dir, std::string& file) {
    Ref type_bytes = Ref::steal(PyUnicode_EncodeFSDefault(simulation_type));
    if (!type_bytes) return false;
    Ref name_bytes = Ref::steal(PyUnicode_EncodeFSDefault(name));
    if (!name_bytes) return false;
    type_dir = join_path(root_text, PyBytes_AS_STRING(type_bytes.get()));
    file = join_path(type_dir, PyBytes_AS_STRING(name_bytes.get()));
    return true;
}

PyObject* get_simulation_file_path(FunctionObject* self, const Args& a) {
    PyObject* simulation_type = a[arg::file_path::simulation_type];
    PyObject* component_name = a[arg::file_path::component_name];
    PyObject* simulation_id = a[arg::file_path::simulation_id];
    if (!check_result_names(simulation_type, component_name, simulation_id)) return nullptr;
    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    Ref name = result_file_name(component_name, simulation_id);
    if (!name) return nullptr;

    std::string root_text;
    int local = local_path(root.get(), root_text);
    if (local < 0) return nullptr;
    if (local) {
        std::string type_dir, file;
        if (local_result_path(root_text, simulation_type, name.get(), type_dir, file)) {
            // An existing directory is all that creating it would ensure.
            if (!path_is_dir(type_dir)) {
                Ref dir = make_path(type_dir);
                if (!dir) return nullptr;
                if (!call_method(dir.get(), host_names.mkdir, {Py_True, Py_True}, host_names.kw_mkdir))
                    return nullptr;
            }
            return make_path(file).release();
        }
        PyErr_Clear();  // texts the system cannot take: the host's path reports them
    }
    Ref type_dir = Ref::steal(PyNumber_TrueDivide(root.get(), simulation_type));
    if (!type_dir) return nullptr;
    remote::Memo memo;
    int skip = remote::recently_made(type_dir.get(), memo);
    if (skip < 0) return nullptr;
    if (!skip) {
        if (!call_method(type_dir.get(), host_names.mkdir, {Py_True, Py_True}, host_names.kw_mkdir)) return nullptr;
        remote::made(memo);
    }
    return PyNumber_TrueDivide(type_dir.get(), name.get());
}

// The glob pattern that selects exactly the files carrying `simulation_id`:
// pattern characters in the ID are escaped so that they match themselves.
static Ref id_pattern(PyObject* simulation_id) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(simulation_id);
    int kind = PyUnicode_KIND(simulation_id);
    const void* data = PyUnicode_DATA(simulation_id);
    bool special = false;
    for (Py_ssize_t i = 0; i < n && !special; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        special = is_pattern_char(c);
    }
    if (!special) return Ref::steal(PyUnicode_FromFormat("*_%U.json", simulation_id));
    PyUnicodeWriter* w = PyUnicodeWriter_Create(n + 16);
    if (!w) return {};
    bool ok = PyUnicodeWriter_WriteUTF8(w, "*_", 2) == 0;
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_pattern_char(c)) {
            ok = PyUnicodeWriter_WriteChar(w, '[') == 0 && PyUnicodeWriter_WriteChar(w, c) == 0 &&
                 PyUnicodeWriter_WriteChar(w, ']') == 0;
        } else {
            ok = PyUnicodeWriter_WriteChar(w, c) == 0;
        }
    }
    ok = ok && PyUnicodeWriter_WriteUTF8(w, ".json", 5) == 0;
    if (!ok) {
        PyUnicodeWriter_Discard(w);
        return {};
    }
    return Ref::steal(PyUnicodeWriter_Finish(w));
}

// The lookup through the path object's own methods, from its existence test.
static PyObject* find_literal(PyObject* root, PyObject* simulation_id) {
    int t = call_truth(root, host_names.exists);
    if (t < 0) return nullptr;
    if (!t) Py_RETURN_NONE;
    if (!fits_in_file_name(simulation_id)) Py_RETURN_NONE;
    Ref pattern = id_pattern(simulation_id);
    if (!pattern) return nullptr;
    Ref first;
    bool ok = each_type_dir(root, [&](PyObject* type_dir) {
        Ref found = call_method(type_dir, host_names.glob, {pattern.get()});
        if (!found) return -1;
        Ref matches = Ref::steal(PySequence_List(found.get()));
        if (!matches) return -1;
        if (PyList_GET_SIZE(matches.get()) == 0) return 0;
        first = Ref::borrow(PyList_GET_ITEM(matches.get(), 0));
        return 1;
    });
    if (!ok) return nullptr;
    if (first) return first.release();
    Py_RETURN_NONE;
}

PyObject* find_simulation_file(FunctionObject* self, const Args& a) {
    PyObject* simulation_id = a[arg::by_id::simulation_id];
    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    std::string root_text;
    int local = local_path(root.get(), root_text);
    if (local < 0) return nullptr;
    if (local) {
        struct stat root_stat;
        if (stat(root_text.c_str(), &root_stat) != 0) Py_RETURN_NONE;
        if (!fits_in_file_name(simulation_id)) Py_RETURN_NONE;
        Ref id_bytes = Ref::steal(PyUnicode_EncodeFSDefault(simulation_id));
        if (id_bytes) {
            std::string found;
            switch (find_by_id(root_text, root_stat, PyBytes_AS_STRING(id_bytes.get()), found)) {
                case Outcome::Done:
                    if (found.empty()) Py_RETURN_NONE;
                    return make_path(found).release();
                case Outcome::Error: return nullptr;
                case Outcome::Fallback: break;
            }
        } else {
            PyErr_Clear();
        }
    } else {
        Ref found;
        switch (remote_find(root.get(), simulation_id, found)) {
            case Outcome::Done: return found.release();
            case Outcome::Error: return nullptr;
            case Outcome::Fallback: break;
        }
    }
    return find_literal(root.get(), simulation_id);
}

// _temporary_name(name): the name of a fresh temporary file for a write of
// the file `name`, cut in bytes of the file system's encoding (the bytes
// round-trip through the surrogate escapes).
PyObject* temporary_name(FunctionObject*, const Args& a) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(a[arg::temporary_name::name]));
    if (!encoded) return nullptr;
    std::string_view name(PyBytes_AS_STRING(encoded.get()),
                          static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    const std::string text = temporary_name(name, temporary_suffix());
    return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// _write_atomically(path, data): the whole bytes to a local file, through a
// temporary file renamed over it, as saves write results.
PyObject* write_atomically(FunctionObject*, const Args& a) {
    PyObject* data = a[arg::write_atomically::data];
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "data must be bytes, not %.200s", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    if (!write_atomically(a[arg::write_atomically::path], data, false)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace css
