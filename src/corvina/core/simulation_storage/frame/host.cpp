#include "frame/host.hpp"

#include <frameobject.h>

namespace css {

HostNames host_names{};
PyObject* g_builtins = nullptr;

bool intern(PyObject*& slot, const char* text) {
    if (slot) return true;
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

static bool make_tuple(PyObject*& slot, std::initializer_list<const char*> items) {
    if (slot) return true;
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return false;
    Py_ssize_t i = 0;
    for (const char* s : items) {
        PyObject* u = PyUnicode_InternFromString(s);
        if (!u) return false;
        PyTuple_SET_ITEM(t.get(), i++, u);
    }
    slot = t.release();
    return true;
}

bool init_host_names() {
#define CSS_INTERN(n) \
    if (!intern(host_names.n, #n)) return false;
    CSS_HOST_NAMES(CSS_INTERN)
#undef CSS_INTERN
    if (!intern(host_names.empty, "") || !intern(host_names.success, "success") || !intern(host_names.error, "error") ||
        !intern(host_names.star_json, "*.json"))
        return false;
    if (!intern(host_names.msg_saved, "Saved simulation result: ") ||
        !intern(host_names.msg_not_found, "Simulation file not found: ") ||
        !intern(host_names.msg_parse_failed, "Failed to parse simulation file: ") ||
        !intern(host_names.msg_deleted, "Deleted simulation file: "))
        return false;
    if (!host_names.int0 && !(host_names.int0 = PyLong_FromLong(0))) return false;
    if (!host_names.int1 && !(host_names.int1 = PyLong_FromLong(1))) return false;
    if (!host_names.first_eight) {
        Ref eight = Ref::steal(PyLong_FromLong(8));
        if (!eight || !(host_names.first_eight = PySlice_New(nullptr, eight.get(), nullptr))) return false;
    }
    if (!make_tuple(host_names.kw_mkdir, {"parents", "exist_ok"}) ||
        !make_tuple(host_names.kw_sort, {"key", "reverse"}) ||
        !make_tuple(host_names.kw_dumps_indent, {"option"}) ||
        !make_tuple(host_names.kw_sort_keys, {"sort_keys"}) ||
        !make_tuple(host_names.kw_identity, {"component_name", "factory_name", "component_settings",
                                    "model_parameters", "hyperparameters", "simulation_type"}) ||
        !make_tuple(host_names.kw_record,
                    {"component_name", "factory_name", "component_settings", "model_parameters",
                     "hyperparameters", "simulation_type", "simulation_id", "pdk_name",
                     "pdk_version", "simulation_date", "corvina_version", "result",
                     "wavelengths", "execution_time_seconds", "status", "error_message"}) ||
        !make_tuple(host_names.kw_filters4,
                    {"component_name", "factory_name", "simulation_type", "pdk_name"}))
        return false;
    return true;
}

Ref lookup(PyObject* globals, PyObject* name) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found < 0) return {};
    if (found > 0) return Ref::steal(value);
    if (g_builtins) {
        found = PyDict_GetItemRef(g_builtins, name, &value);
        if (found < 0) return {};
        if (found > 0) return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref lookup_quiet(PyObject* globals, PyObject* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) > 0) return Ref::steal(value);
    if (g_builtins && PyDict_GetItemRef(g_builtins, name, &value) > 0) return Ref::steal(value);
    PyErr_Clear();
    return {};
}

Ref simulations_dir(PyObject* globals) { return call_global(globals, host_names.get_simulations_dir); }

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    // One spare slot in front lets the callee prepend `self` without copying.
    PyObject* stack[20];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    size_t npos = n - static_cast<size_t>(nkw);
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    PyObject* stack[20];
    size_t n = 0;
    stack[n++] = self;
    for (PyObject* a : args) stack[n++] = a;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    size_t npos = n - static_cast<size_t>(nkw);
    return Ref::steal(PyObject_VectorcallMethod(name, stack, npos, kwnames));
}

Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

Ref call_global(PyObject* globals, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    Ref callable = lookup(globals, name);
    if (!callable) return {};
    return call(callable.get(), args, kwnames);
}

int call_truth(PyObject* self, PyObject* name) {
    Ref value = call_method(self, name);
    return value ? truth(value.get()) : -1;
}

Ref concat_str(PyObject* prefix, PyObject* value) {
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(prefix, text.get()));
}

bool log_message(PyObject* globals, PyObject* level, PyObject* text) {
    Ref logger = call_global(globals, host_names.log);
    if (!logger) return false;
    return static_cast<bool>(call_method(logger.get(), level, {text}));
}

void add_traceback(const char* funcname, int lineno) {
    // The frame carries an empty code object that names the function and the
    // module's source; the pending exception is kept across its creation.
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref globals = Ref::steal(PyDict_New());
    Ref code;
    Ref frame;
    if (globals) code = Ref::steal(reinterpret_cast<PyObject*>(
                     PyCode_NewEmpty(kSourceFile, funcname, lineno)));
    if (code)
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    if (!frame) {
        // Could not describe the frame: keep the original error, not this one.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace css
