// The solver's outcome, saved: compute() run once, its fields read from a
// mapping or an object, and the record saved through the module's own
// save_simulation_result (same file, record and log line); a failure of the
// solver saved as an error record when the caller asks for it.
#include "claims/compute.hpp"

#include "frame/host.hpp"
#include "store/records.hpp"

#include <chrono>

namespace css::claims {

namespace {

enum Field { kResult, kWavelengths, kSeconds, kStatus, kErrorMessage, kPdkVersion };

// What an outcome may give, in save's keyword order (the fields above).
PyObject* outcome_field(int f) {
    PyObject* const fields[6] = {host_names.result,        host_names.wavelengths,
                                 host_names.execution_time_seconds, host_names.status,
                                 host_names.error_message, host_names.pdk_version};
    return fields[f];
}

}  // namespace

namespace {

// The identity fields as they were when the simulation was looked up and
// claimed. The solver is handed the caller's own objects and may change
// them (fill in its defaults); the result must still be saved under the ID
// that every lookup and the claim use, so the mutable fields are copied
// before it runs. Only a miss pays for the copy.
struct Identity {
    Ref copies[3];  // component_settings, model_parameters, hyperparameters
    PyObject* fields[6] = {};

    bool take(const Call& c) {
        static PyObject* deepcopy = nullptr;  // copy.deepcopy, kept for the process
        if (!deepcopy) {
            Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
            if (!copy_module) return false;
            deepcopy = PyObject_GetAttrString(copy_module.get(), "deepcopy");
            if (!deepcopy) return false;
        }
        // The identity's positions are those of its fields here.
        for (int i = 0; i < arg::identity::count; ++i) fields[i] = c.a[i];
        constexpr int first = arg::identity::component_settings;
        for (int i = 0; i < 3; ++i) {
            copies[i] = call(deepcopy, {c.a[first + i]});
            if (!copies[i]) return false;
            fields[first + i] = copies[i].get();
        }
        return true;
    }
};

// `save_simulation_result(<identity>, <outcome fields given>)`, durably:
// its claim is released next, and a waiter then trusts the file.
Ref save(const Call& c, const Identity& identity, PyObject* const given[6]) {
    Ref fn = lookup(c.g, host_names.save_simulation_result);
    if (!fn) return {};
    DurableSaves durable;
    PyObject* stack[12];
    PyObject* names[12];
    int n = 0;
    for (int i = 0; i < 6; ++i) {
        stack[n] = identity.fields[i];
        names[n++] = PyTuple_GET_ITEM(host_names.kw_identity, i);
    }
    for (int i = 0; i < 6; ++i) {
        if (!given[i]) continue;
        stack[n] = given[i];
        names[n++] = outcome_field(i);
    }
    Ref kwnames = Ref::steal(PyTuple_New(n));
    if (!kwnames) return {};
    for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(names[i]));
    return Ref::steal(PyObject_Vectorcall(fn.get(), stack, 0, kwnames.get()));
}

PyObject* g_mapping_abc = nullptr;  // collections.abc.Mapping, kept for the process

// The fields of an outcome: a mapping, or an object with the fields as
// attributes (a dataclass, a named tuple). New references in `out`.
bool read_outcome(PyObject* outcome, Ref out[6]) {
    int mapping = PyDict_Check(outcome);
    if (!mapping) {
        if (!g_mapping_abc) {
            Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
            if (!abc) return false;
            g_mapping_abc = PyObject_GetAttrString(abc.get(), "Mapping");
            if (!g_mapping_abc) return false;
        }
        mapping = PyObject_IsInstance(outcome, g_mapping_abc);
        if (mapping < 0) return false;
    }
    if (mapping) {
        // A misspelt field would silently drop what the solver returned.
        Ref keys = Ref::steal(PyMapping_Keys(outcome));
        if (!keys) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            bool known = false;
            for (int f = 0; f < 6 && !known; ++f) {
                int eq = PyUnicode_Check(k) ? PyUnicode_Compare(k, outcome_field(f)) == 0 : 0;
                known = eq;
            }
            if (!known) {
                PyErr_Format(PyExc_TypeError,
                             "compute() returned an outcome with an unknown field %R (the fields "
                             "are 'result', 'wavelengths', 'execution_time_seconds', 'status', "
                             "'error_message' and 'pdk_version')",
                             k);
                return false;
            }
        }
    }
    for (int f = 0; f < 6; ++f) {
        PyObject* v = nullptr;
        int found = mapping ? PyMapping_GetOptionalItem(outcome, outcome_field(f), &v)
                            : PyObject_GetOptionalAttr(outcome, outcome_field(f), &v);
        if (found < 0) return false;
        out[f] = Ref::steal(v);
    }
    if (!out[kResult] || !out[kWavelengths]) {
        PyErr_Format(PyExc_TypeError,
                     "compute() must return the outcome as a mapping (or an object) with "
                     "'result' and 'wavelengths', not %.200s",
                     Py_TYPE(outcome)->tp_name);
        return false;
    }
    if (out[kSeconds].is_none()) out[kSeconds] = Ref{};
    return true;
}

// "<type>: <text>", or the type alone when the exception has no text.
Ref failure_text(PyObject* exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
    if (!type_name) return {};
    if (!text) {
        PyErr_Clear();
        return type_name;
    }
    if (PyUnicode_GET_LENGTH(text.get()) == 0) return type_name;
    return Ref::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
}

// Whether the holder of `h` is still the only worker on its simulation,
// asked before its failure is saved: a heartbeat that came late (a pause,
// a suspended machine) may have let a waiter judge the claim stale and take
// it over. Not so when its own claim is still its own, none has been made
// above it and no record has been saved meanwhile. An error of the looks
// counts as no: the failure is then only raised.
bool sole_holder(const Holding& h) {
    if (!may_have_been_taken_over(*h.held)) return true;
    const int g = h.held->generation;
    std::string bytes;
    bool sole = h.site.read(g + 1, bytes) == Seen::Gone &&
                h.site.read(g, bytes) == Seen::Present &&
                parse(bytes).owner == h.held->content.owner() && h.site.result_present() == 0;
    if (PyErr_Occurred()) PyErr_Clear();  // called with the solver's error fetched
    return sole;
}

// Tells, on the solver's failure, why it was not saved.
void note_not_saved(PyObject* exc) {
    Ref note = Ref::steal(PyUnicode_FromString(
        "not saved as an error record: this worker's claim may have passed to another "
        "worker while it was paused, and that worker's record or work is kept"));
    Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref{};
    if (!done) PyErr_Clear();
}

}  // namespace

Ref compute_and_save(const Call& c, const Holding* under) {
    Identity identity;
    if (!identity.take(c)) return {};
    // The solver's own time: a clock that stops while the machine sleeps.
    const auto t0 = std::chrono::steady_clock::now();
    Ref outcome = call(c.compute(), {});
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!outcome) {
        if (!c.store_errors || !PyErr_ExceptionMatches(PyExc_Exception)) return {};
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (under && !sole_holder(*under)) {
            note_not_saved(exc.get());
            PyErr_SetRaisedException(exc.release());
            return {};
        }
        Ref message = failure_text(exc.get());
        Ref empty_result = Ref::steal(PyDict_New());
        Ref empty_wavelengths = Ref::steal(PyList_New(0));
        Ref seconds = Ref::steal(PyFloat_FromDouble(elapsed));
        if (!message || !empty_result || !empty_wavelengths || !seconds) return {};
        PyObject* given[6] = {empty_result.get(), empty_wavelengths.get(), seconds.get(),
                              host_names.error, message.get(), nullptr};
        Ref record = save(c, identity, given);
        if (!record) {
            // The save's own failure, with the solver's as its context.
            Ref save_exc = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(save_exc.get(), exc.release());
            PyErr_SetRaisedException(save_exc.release());
            return {};
        }
        PyErr_SetRaisedException(exc.release());
        return {};
    }
    Ref fields[6];
    if (!read_outcome(outcome.get(), fields)) return {};
    Ref seconds = fields[kSeconds] ? fields[kSeconds] : Ref::steal(PyFloat_FromDouble(elapsed));
    if (!seconds) return {};
    PyObject* given[6] = {fields[kResult].get(), fields[kWavelengths].get(), seconds.get(),
                          fields[kStatus].get(), fields[kErrorMessage].get(),
                          fields[kPdkVersion].get()};
    return save(c, identity, given);
}

}  // namespace css::claims
