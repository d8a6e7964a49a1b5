// The boundary to the interpreter and the host package: interned names,
// call-time lookup of module-level names, calls, logging and tracebacks.
#pragma once

#include "frame/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace css {

// The host's names, interned once per process: the module's globals and
// imports, the methods of path objects and of the logger, the fields of a
// record, and the texts of the log lines.
#define CSS_HOST_NAMES(X)                                                          \
    X(hashlib) X(json) X(UTC) X(datetime) X(Path) X(TYPE_CHECKING) X(Any)          \
    X(SimulationHyperparameters) X(SimulationStatus) X(StoredSimulationResult)     \
    X(SerializedSimulationResult) X(SimulationType) X(lazy_import) X(orjson)       \
    X(__version__) X(log) X(get_build_dir) X(get_pdk_name) X(get_simulations_dir)  \
    X(__test__) X(__file__) X(__name__) X(name) X(dumps) X(loads) X(encode)        \
    X(sha256) X(digest) X(hex) X(model_dump) X(model_validate) X(now) X(isoformat) \
    X(OPT_INDENT_2) X(exists) X(is_dir) X(is_symlink) X(iterdir) X(glob) X(mkdir)  \
    X(read_bytes) X(write_bytes) X(unlink) X(debug) X(warning) X(sort)             \
    X(simulation_date) X(simulation_id) X(component_name) X(factory_name)          \
    X(pdk_name) X(pdk_version) X(result) X(wavelengths) X(execution_time_seconds)  \
    X(status) X(error_message) X(_compute_simulation_id)                           \
    X(_get_simulation_file_path) X(_find_simulation_file) X(_matches_filters)      \
    X(save_simulation_result) X(load_simulation_result) X(list_simulation_results) \
    X(delete_simulation_result) X(parts)

struct HostNames {
#define CSS_DECLARE(n) PyObject* n;
    CSS_HOST_NAMES(CSS_DECLARE)
#undef CSS_DECLARE
    // Texts that are not identifiers.
    PyObject* empty;         // ""
    PyObject* success;       // "success"
    PyObject* error;         // "error"
    PyObject* star_json;     // "*.json"
    PyObject* first_eight;   // slice(None, 8)
    PyObject* int0;
    PyObject* int1;
    PyObject* kw_mkdir;          // ("parents", "exist_ok")
    PyObject* kw_sort;           // ("key", "reverse")
    PyObject* kw_dumps_indent;   // ("option",)
    PyObject* kw_sort_keys;      // ("sort_keys",)
    PyObject* kw_identity;       // the six identity fields, in order
    PyObject* kw_record;         // the sixteen record fields, in order
    PyObject* kw_filters4;       // the four filters list() gets from clear()
    PyObject* msg_saved;
    PyObject* msg_not_found;
    PyObject* msg_parse_failed;
    PyObject* msg_deleted;
};

extern HostNames host_names;
extern PyObject* g_builtins;  // the builtins module's dictionary

// Creates the interned names once per process (idempotent).
bool init_host_names();

// Interns `text` into `slot` unless it holds a name already. false: an error
// is set.
bool intern(PyObject*& slot, const char* text);

// A module-level name, looked up now: the module's dictionary, then the
// built-ins; NameError when neither has it.
Ref lookup(PyObject* globals, PyObject* name);
// The same without NameError: an empty Ref and no error when not found (an
// error of the lookup itself is cleared too).
Ref lookup_quiet(PyObject* globals, PyObject* name);

// `get_simulations_dir()`, looked up now and called.
Ref simulations_dir(PyObject* globals);

// Calls. `kwnames` names the last entries of `args` (vectorcall convention).
Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         PyObject* kwnames = nullptr);
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);
Ref getattr(PyObject* obj, PyObject* name);
// Calls the module-level name `name`, looked up now (as `lookup` does).
Ref call_global(PyObject* globals, PyObject* name, std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);

// Truth of a value; -1 on error.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }
// The truth of `self.<name>()`, as a test through the object's own method
// (`path.exists()`); -1 on error.
int call_truth(PyObject* self, PyObject* name);

// `prefix + str(value)`.
Ref concat_str(PyObject* prefix, PyObject* value);

// Logs `text` through a fresh `log()` call: `log().<level>(text)`.
bool log_message(PyObject* globals, PyObject* level, PyObject* text);

// Adds a traceback entry for a failure leaving a function of this module.
void add_traceback(const char* funcname, int lineno);

inline constexpr const char* kModuleName = "corvina.core.simulation_storage";
inline constexpr const char* kSourceFile = "src/corvina/core/simulation_storage";

}  // namespace css
