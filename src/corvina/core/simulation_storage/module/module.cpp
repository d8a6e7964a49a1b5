// Entry point, create and exec steps, and the module-level statements.
#include "frame/function.hpp"
#include "frame/host.hpp"
#include "local/change_feed.hpp"
#include "local/gates.hpp"
#include "local/result_index.hpp"
#include "module/signatures.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace css {

namespace {

constexpr const char* kDoc =
    "Simulation results storage API.\n"
    "\n"
    "This module provides functions for storing, retrieving, and managing\n"
    "simulation results with full reproducibility metadata.\n";

// Process-wide state: the module binds itself to the first interpreter that
// imports it, and keeps the one module object it initialised.
int64_t g_interpreter_id = -1;
PyObject* g_instance = nullptr;

// --- create step ------------------------------------------------------------

// Copies `spec.<attr>` to `module.<target>`; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, const char* attr, PyObject* dict, const char* target,
                    bool skip_none) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttrString(spec, attr, &value);
    if (found < 0) return false;
    if (found == 0) return true;
    Ref v = Ref::steal(value);
    if (skip_none && v.is_none()) return true;
    return PyDict_SetItemString(dict, target, v.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (id != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_instance) return Py_NewRef(g_instance);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, "loader", dict, "__loader__", false) ||
        !copy_spec_attr(spec, "origin", dict, "__file__", false) ||
        !copy_spec_attr(spec, "parent", dict, "__package__", false) ||
        !copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true))
        return nullptr;
    return module.release();
}

// --- module-level statements --------------------------------------------------

// `import <name>`
bool import_module(PyObject* globals, const char* name, PyObject* bind_as) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return false;
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, nullptr, 0));
    if (!m) return false;
    return PyDict_SetItem(globals, bind_as, m.get()) == 0;
}

// `from <module> import <names...>`, with `as` names given pairwise.
struct FromName {
    const char* name;
    PyObject* bind_as;
};

bool import_from(PyObject* globals, const char* module, std::initializer_list<FromName> names) {
    Ref modname = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!modname || !fromlist) return false;
    Py_ssize_t i = 0;
    for (const FromName& fn : names) {
        PyObject* u = PyUnicode_InternFromString(fn.name);
        if (!u) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, u);
    }
    Ref m = Ref::steal(
        PyImport_ImportModuleLevelObject(modname.get(), globals, nullptr, fromlist.get(), 0));
    if (!m) return false;
    i = 0;
    for (const FromName& fn : names) {
        PyObject* attr = PyTuple_GET_ITEM(fromlist.get(), i++);
        PyObject* value = nullptr;
        int found = PyObject_GetOptionalAttr(m.get(), attr, &value);
        if (found < 0) return false;
        Ref v = Ref::steal(value);
        if (found == 0) {
            // A submodule already in the registry also satisfies the import.
            Ref pkg = Ref::steal(PyObject_GetAttrString(m.get(), "__name__"));
            if (!pkg) PyErr_Clear();
            Ref full = pkg ? Ref::steal(PyUnicode_FromFormat("%S.%U", pkg.get(), attr)) : Ref{};
            if (full) {
                PyObject* sub = nullptr;
                if (PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &sub) < 0) return false;
                v = Ref::steal(sub);
            } else {
                PyErr_Clear();
            }
            if (!v) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
                return false;
            }
        }
        if (PyDict_SetItem(globals, fn.bind_as, v.get()) < 0) return false;
    }
    return true;
}

bool lazy_bind(PyObject* globals, PyObject* bind_as, const char* module, const char* attr) {
    Ref lazy = lookup(globals, host_names.lazy_import);
    if (!lazy) return false;
    Ref m = Ref::steal(PyUnicode_FromString(module));
    if (!m) return false;
    Ref value;
    if (attr) {
        Ref a = Ref::steal(PyUnicode_FromString(attr));
        if (!a) return false;
        value = call(lazy.get(), {m.get(), a.get()});
    } else {
        value = call(lazy.get(), {m.get()});
    }
    if (!value) return false;
    return PyDict_SetItem(globals, bind_as, value.get()) == 0;
}

bool run_statements(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    if (!import_module(g, "hashlib", host_names.hashlib) || !import_module(g, "json", host_names.json) ||
        !import_from(g, "datetime", {{"UTC", host_names.UTC}, {"datetime", host_names.datetime}}) ||
        !import_from(g, "pathlib", {{"Path", host_names.Path}}) ||
        !import_from(g, "typing", {{"TYPE_CHECKING", host_names.TYPE_CHECKING}, {"Any", host_names.Any}}) ||
        !import_from(g, "corvina.models",
                     {{"SimulationHyperparameters", host_names.SimulationHyperparameters},
                      {"SimulationStatus", host_names.SimulationStatus},
                      {"StoredSimulationResult", host_names.StoredSimulationResult}}))
        return false;
    Ref tc = lookup(g, host_names.TYPE_CHECKING);
    if (!tc) return false;
    int checking = truth(tc.get());
    if (checking < 0) return false;
    if (!checking) {
        if (!import_from(g, "corvina.core.lazy", {{"lazy_import", host_names.lazy_import}}) ||
            !lazy_bind(g, host_names.orjson, "orjson", nullptr) ||
            !lazy_bind(g, host_names.__version__, "corvina", "__version__") ||
            !lazy_bind(g, host_names.log, "corvina.logger", "get_logger") ||
            !lazy_bind(g, host_names.get_build_dir, "corvina.settings", "get_build_dir") ||
            !lazy_bind(g, host_names.get_pdk_name, "corvina.settings", "get_pdk_name") ||
            !lazy_bind(g, host_names.get_simulations_dir, "corvina.settings", "get_simulations_dir"))
            return false;
    } else {
        if (!import_from(g, "corvina", {{"__version__", host_names.__version__}}) ||
            !import_from(g, "corvina.logger", {{"get_logger", host_names.log}}) ||
            !import_from(g, "corvina.models",
                         {{"SerializedSimulationResult", host_names.SerializedSimulationResult},
                          {"SimulationType", host_names.SimulationType}}) ||
            !import_from(g, "corvina.settings",
                         {{"get_build_dir", host_names.get_build_dir},
                          {"get_pdk_name", host_names.get_pdk_name},
                          {"get_simulations_dir", host_names.get_simulations_dir}}))
            return false;
    }
    for (const Signature* sig : kFunctions) {
        Ref fn = make_function(*sig, module);
        if (!fn) return false;
        Ref name = Ref::steal(PyUnicode_InternFromString(sig->name));
        if (!name || PyDict_SetItem(g, name.get(), fn.get()) < 0) return false;
    }
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItem(g, host_names.__test__, test.get()) == 0;
}

// --- exec step -----------------------------------------------------------------

// A switch set in the environment: any value but "" and "0".
bool env_flag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::string_view(value) != "0";
}

int exec_steps(PyObject* module) {
    if (g_instance) {
        if (g_instance == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simulation_storage' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    g_instance = Py_NewRef(module);
    auto failed = [](bool traceback) {
        if (traceback) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ImportError, "init corvina.core.simulation_storage");
            add_traceback("init corvina.core.simulation_storage", 1);
        }
        Py_CLEAR(g_instance);
        return -1;
    };
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0)
        return failed(false);
    if (!g_builtins) g_builtins = Py_NewRef(PyModule_GetDict(builtins.get()));

    const unsigned long major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major != 3 || minor != 14) {
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version "
                      "%d.%d",
                      3, 14, kModuleName, "does not match", static_cast<int>(major),
                      static_cast<int>(minor));
        if (PyErr_WarnEx(PyExc_RuntimeWarning, buf, 1) < 0) return failed(false);
    }

    if (!init_host_names() || !init_function_type()) return failed(true);
    PyObject* registry = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!key) return failed(true);
    int present = PyDict_Contains(registry, key.get());
    if (present < 0) return failed(true);
    if (!present && PyDict_SetItemString(registry, kModuleName, module) < 0) return failed(true);
    if (!run_statements(module)) return failed(true);
    // Setting CORVINA_DISABLE_FAST_PATHS (to anything but "" or "0") keeps
    // every call on the host's own objects, for comparing the two paths.
    g_fast_disabled = env_flag("CORVINA_DISABLE_FAST_PATHS");
    // CORVINA_DISABLE_CHANGE_FEED keeps the directory memo on stat
    // validation alone, as on file systems the change feed cannot watch.
    feed::g_disabled = env_flag("CORVINA_DISABLE_CHANGE_FEED");
    // The result index hears the change feed (CORVINA_DISABLE_RESULT_INDEX
    // switches it off, read at each query).
    rindex::init();
    if (!init_fastpaths()) return failed(true);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_steps)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "simulation_storage",
    .m_doc = kDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace css

PyMODINIT_FUNC PyInit_simulation_storage() { return PyModuleDef_Init(&css::module_def); }
