// Requests to an object store for its claims, and what their failures mean
// (see requests.hpp): the service's answers classed, transient ones tried
// again, and the file system's calls a claim is made of.
#include "claims/requests.hpp"

#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/fsspec.hpp"

#include <algorithm>
#include <vector>

namespace css::claims {

using remote::fsspec_names;

namespace {

// The failure an error raised from the client stack's answer names (its
// `response`, as botocore's errors carry it). Other when it names none.
Failure answer_failure(PyObject* exc) {
    Ref response = Ref::steal(PyObject_GetAttr(exc, fsspec_names.response));
    if (!response) {
        PyErr_Clear();
        return Failure::Other;
    }
    if (!PyDict_Check(response.get())) return Failure::Other;
    std::string code;
    long status = 0;
    PyObject* error = nullptr;
    if (PyDict_GetItemStringRef(response.get(), "Error", &error) > 0 && PyDict_Check(error)) {
        PyObject* c = nullptr;
        if (PyDict_GetItemStringRef(error, "Code", &c) > 0) code = utf8_or(c, "");
        Py_XDECREF(c);
    }
    Py_XDECREF(error);
    PyObject* meta = nullptr;
    if (PyDict_GetItemStringRef(response.get(), "ResponseMetadata", &meta) > 0 &&
        PyDict_Check(meta)) {
        PyObject* s = nullptr;
        if (PyDict_GetItemStringRef(meta, "HTTPStatusCode", &s) > 0 && PyLong_Check(s))
            status = PyLong_AsLong(s);
        Py_XDECREF(s);
    }
    Py_XDECREF(meta);
    PyErr_Clear();
    static const char* const kTransient[] = {"ConditionalRequestConflict", "SlowDown",
                                             "ServiceUnavailable", "InternalError",
                                             "OperationAborted", "RequestTimeout",
                                             "Throttling", "ThrottlingException"};
    for (const char* t : kTransient)
        if (code == t) return Failure::Transient;
    if (code == "PreconditionFailed" || status == 412) return Failure::Precondition;
    if (code == "NoSuchKey" || status == 404) return Failure::Missing;
    if (status == 409 || status == 429 || status >= 500) return Failure::Transient;
    return Failure::Other;
}

// Whether `exc` is botocore's failure to get an answer at all (a connection
// dropped, a read that timed out), which the client stack raises as it is
// once its own retries are spent.
bool no_answer(PyObject* exc) {
    PyObject* module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "botocore.exceptions", &module) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref m = Ref::steal(module);
    Ref cls = Ref::steal(PyObject_GetAttrString(m.get(), "HTTPClientError"));
    int is = cls && PyType_Check(cls.get()) ? PyObject_IsInstance(exc, cls.get()) : 0;
    PyErr_Clear();
    return is > 0;
}

// The code of fsspec's blocking fronts of coroutines (each front is a new
// function of the one code), kept for the process; nullptr when fsspec's
// asynchronous layer is not loaded.
PyObject* g_front_code = nullptr;

PyObject* front_code() {
    if (g_front_code) return g_front_code;
    PyObject* module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "fsspec.asyn", &module) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref asyn = Ref::steal(module);
    Ref factory = Ref::steal(PyObject_GetAttrString(asyn.get(), "sync_wrapper"));
    Ref made = factory && PyFunction_Check(factory.get()) ? call(factory.get(), {factory.get()})
                                                           : Ref{};
    if (!made || !PyFunction_Check(made.get())) {
        PyErr_Clear();
        return nullptr;
    }
    g_front_code = Py_NewRef(PyFunction_GetCode(made.get()));
    return g_front_code;
}

// Whether the refusal `exc` may answer a request sent more than once: the
// client stack tells how often it sent the one it answers (botocore's
// RetryAttempts, in the answer of the error that caused it); one it cannot
// tell about may have been.
bool maybe_sent_again(PyObject* exc) {
    Ref cause = Ref::steal(PyException_GetCause(exc));
    Ref response = cause ? Ref::steal(PyObject_GetAttr(cause.get(), fsspec_names.response)) : Ref{};
    PyObject* meta = nullptr;
    PyObject* attempts = nullptr;
    bool again = true;
    if (response && PyDict_Check(response.get()) &&
        PyDict_GetItemStringRef(response.get(), "ResponseMetadata", &meta) > 0 &&
        PyDict_Check(meta) && PyDict_GetItemStringRef(meta, "RetryAttempts", &attempts) > 0 &&
        PyLong_Check(attempts))
        again = PyLong_AsLong(attempts) != 0;
    Py_XDECREF(attempts);
    Py_XDECREF(meta);
    PyErr_Clear();
    return again;
}

}  // namespace

Ref bytes_of(const std::string& s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A factor in [0.5, 1.5), so that processes that failed together spread out.
double jitter() { return 0.5 + unit_random(); }

// --- what a failed request means --------------------------------------------------

// The error set, classed; it stays set.
Failure failure() {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Failure::Missing;
    if (PyErr_ExceptionMatches(PyExc_TimeoutError) || PyErr_ExceptionMatches(PyExc_ConnectionError))
        return Failure::Transient;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Failure::Other;  // Ctrl-C, exit
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Failure f = Failure::Other;
    // The file system's own error, then what caused it (s3fs keeps botocore's
    // error, with the service's answer, as the cause).
    Ref e = raised;
    for (int depth = 0; e && depth < 4 && f == Failure::Other; ++depth) {
        f = answer_failure(e.get());
        if (f == Failure::Other && no_answer(e.get())) f = Failure::Transient;
        e = Ref::steal(PyException_GetCause(e.get()));
    }
    PyErr_SetRaisedException(raised.release());
    return f;
}

// --- requests ------------------------------------------------------------------------

// Whether `fs.<method>` is fsspec's blocking front of the file system's own
// coroutine, which takes `timeout=` (and cancels the request when it runs
// out).
bool takes_timeout(PyObject* fs, PyObject* method) {
    PyObject* code = front_code();
    if (!code) return false;
    Ref own = Ref::steal(PyObject_GetAttr(fs, fsspec_names.__dict__));
    PyObject* front = nullptr;
    if (!own || !PyDict_Check(own.get()) ||
        PyDict_GetItemRef(own.get(), method, &front) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref f = Ref::steal(front);
    if (!PyFunction_Check(f.get()) || PyFunction_GetCode(f.get()) != code) return false;
    Ref wrapped = Ref::steal(PyObject_GetAttr(f.get(), fsspec_names.__wrapped__));
    const bool own_coroutine =
        wrapped && PyMethod_Check(wrapped.get()) && PyMethod_GET_SELF(wrapped.get()) == fs;
    PyErr_Clear();
    return own_coroutine;
}

// `fs.<method>(*args, **kw)`, with `timeout=` when `timeout` > 0.
Ref fs_call(PyObject* fs, PyObject* method, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kw, double timeout) {
    Ref bound = getattr(fs, method);
    if (!bound) return {};
    Ref limit = timeout > 0 ? Ref::steal(PyFloat_FromDouble(timeout)) : Ref{};
    if (timeout > 0 && !limit) return {};
    std::vector<PyObject*> stack(args);
    const size_t nkw = kw.size() + (limit ? 1 : 0);
    Ref names = Ref::steal(nkw ? PyTuple_New(static_cast<Py_ssize_t>(nkw)) : nullptr);
    if (nkw && !names) return {};
    Py_ssize_t i = 0;
    for (const auto& [name, value] : kw) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(name));
        stack.push_back(value);
    }
    if (limit) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(fsspec_names.timeout));
        stack.push_back(limit.get());
    }
    return Ref::steal(PyObject_Vectorcall(bound.get(), stack.data(), args.size(), names.get()));
}

// Creates `key` with `data` only if absent. 1 created (`out`: the call's
// answer), 0 it exists (`resent`, when given: the refusal may answer a
// request sent again after its first was carried out), -1 error set.
int create_key(PyObject* fs, PyObject* key, PyObject* data, Ref* out,
               bool* resent) {
    Ref pipe = getattr(fs, fsspec_names.pipe_file);
    if (!pipe) return -1;
    Ref r = call(pipe.get(), {key, data, fsspec_names.create}, fsspec_names.kw_create);
    if (r) {
        if (out) *out = std::move(r);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (resent) *resent = maybe_sent_again(exc.get());
        return 0;
    }
    return -1;
}

// Removes `key`; one that is not there is no error.
bool remove_key(PyObject* fs, PyObject* key) {
    Ref rm = getattr(fs, fsspec_names.rm_file);
    if (!rm) return false;
    if (call(rm.get(), {key})) return true;
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
    PyErr_Clear();
    return true;
}

// The bytes of `key` in one request (from offset 0: one GET, without asking
// for the size first), or Gone. Error: set.
Seen fetch(PyObject* fs, PyObject* key, std::string& bytes, double timeout) {
    Ref r = fs_call(fs, fsspec_names.cat_file, {key}, {{fsspec_names.start, host_names.int0}}, timeout);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Seen::Error;
        PyErr_Clear();
        return Seen::Gone;
    }
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(r.get(), &p, &n) < 0) return Seen::Error;
    bytes.assign(p, static_cast<size_t>(n));
    return Seen::Present;
}

// The version tag of `key` as the service tells it now (None when it tells
// none), from a fresh look rather than a cached listing. Empty: error set.
Ref etag_of(PyObject* fs, PyObject* key, double timeout) {
    Ref info = fs_call(fs, fsspec_names.info, {key}, {{fsspec_names.refresh, Py_True}}, timeout);
    if (!info) return {};
    PyObject* tag = nullptr;
    if (PyDict_Check(info.get())) {
        if (PyDict_GetItemStringRef(info.get(), "ETag", &tag) < 0) return {};
    }
    if (tag && PyUnicode_Check(tag) && PyUnicode_GET_LENGTH(tag) > 0) return Ref::steal(tag);
    Py_XDECREF(tag);
    return Ref::borrow(Py_None);
}

// The "ETag" of a write's answer, when it has one.
Ref etag_in(PyObject* answer) {
    PyObject* tag = nullptr;
    if (!answer || !PyDict_Check(answer) || PyDict_GetItemStringRef(answer, "ETag", &tag) < 0) {
        PyErr_Clear();
        return {};
    }
    if (tag && PyUnicode_Check(tag)) return Ref::steal(tag);
    Py_XDECREF(tag);
    return {};
}

// Whether the claim text `found` is the one whose text is `mine`: the same
// owner token, which is random per claim.
bool same_owner(const std::string& found, const std::string& mine) {
    const std::string owner = parse(mine).owner;
    return !owner.empty() && parse(found).owner == owner;
}

Retries::Verdict Retries::after_failure() {
    if (failure() != Failure::Transient) return Fail;
    const auto now = Clock::now();
    if (now >= until_) return GiveUp;
    const double nap = std::min(pause_ * jitter(), seconds(until_ - now));
    pause_ = std::min(pause_ * 2, longest_);
    PyErr_Clear();
    return pause_for(nap) ? Again : Fail;
}

}  // namespace css::claims
