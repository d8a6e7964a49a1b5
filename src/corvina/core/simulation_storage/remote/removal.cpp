// Removals on fsspec stores that keep to the service's answer: batches that
// read the answer for each key, and one file removed by its exact name (see
// removal.hpp, batch.hpp).
#include "remote/removal.hpp"

#include "frame/file_names.hpp"
#include "remote/batch.hpp"

#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/fsspec.hpp"
#include "remote/vetting.hpp"

#include <cerrno>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace css::remote {

namespace {

// `d[name]` as a text; empty when it is missing or not one.
std::string text_item(PyObject* d, const char* name) {
    PyObject* v = nullptr;
    if (!PyDict_Check(d) || PyDict_GetItemStringRef(d, name, &v) <= 0) {
        PyErr_Clear();
        return {};
    }
    Ref owned = Ref::steal(v);
    std::string_view t;
    return utf8_view(owned.get(), t) ? std::string(t) : std::string();
}

// The request's body: {"Objects": [{"Key": key}, ...], "Quiet": True}, and the
// bucket, from the file system's own split of each path. false: an error is
// set, or (none set) the paths are not all of one bucket.
bool delete_request(PyObject* fs, const std::vector<std::string>& keys, Ref& bucket, Ref& body,
                    std::unordered_map<std::string, size_t>& at) {
    Ref split = Ref::steal(PyUnicode_InternFromString("split_path"));
    Ref objects = Ref::steal(PyList_New(0));
    if (!split || !objects) return false;
    for (size_t i = 0; i < keys.size(); ++i) {
        Ref path = text(keys[i]);
        if (!path) return false;
        Ref parts = call_method(fs, split.get(), {path.get()});
        if (!parts) return false;
        if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) < 2) return false;
        PyObject* b = PyTuple_GET_ITEM(parts.get(), 0);
        PyObject* k = PyTuple_GET_ITEM(parts.get(), 1);
        std::string_view key_text;
        if (!utf8_view(k, key_text) || !PyUnicode_Check(b)) return false;
        if (!bucket) bucket = Ref::borrow(b);
        else if (PyUnicode_Compare(bucket.get(), b) != 0) return false;
        if (PyErr_Occurred()) return false;
        at.emplace(std::string(key_text), i);
        Ref object = Ref::steal(PyDict_New());
        if (!object || PyDict_SetItemString(object.get(), "Key", k) < 0 ||
            PyList_Append(objects.get(), object.get()) < 0)
            return false;
    }
    body = Ref::steal(PyDict_New());
    return body && PyDict_SetItemString(body.get(), "Objects", objects.get()) == 0 &&
           PyDict_SetItemString(body.get(), "Quiet", Py_True) == 0;
}

// Drops the file system's cached listings of the keys' directories, as its
// own batch removal does.
bool invalidate(PyObject* fs, const std::vector<std::string>& keys) {
    Ref name = Ref::steal(PyUnicode_InternFromString("invalidate_cache"));
    if (!name) return false;
    std::unordered_set<std::string> done;
    for (const std::string& key : keys) {
        size_t slash = key.rfind('/');
        std::string parent = slash == std::string::npos ? std::string() : key.substr(0, slash);
        if (!done.insert(parent).second) continue;
        Ref p = text(parent);
        if (!p || !call_method(fs, name.get(), {p.get()})) return false;
    }
    return true;
}

// An answer that does not say what was removed: as a request that failed.
Outcome unexpected_answer() {
    PyErr_SetString(PyExc_TypeError, "DeleteObjects answered with an unexpected shape");
    return Outcome::Error;
}

}  // namespace

Outcome remove_reporting(PyObject* fs, const std::vector<std::string>& keys,
                         std::vector<Refusal>& refused) {
    const KnownFs* known = known_fs(fs);
    if (!known || !known->reports_refused_removals || keys.empty()) return Outcome::Fallback;
    bool own = standard_fs_methods(fs, {"call_s3", "split_path", "invalidate_cache"});
    if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
    if (!own) return Outcome::Fallback;
    Ref bucket, body;
    std::unordered_map<std::string, size_t> at;
    // Nothing is sent until here: a failure only means the file system's
    // own batch removal.
    if (!delete_request(fs, keys, bucket, body, at) || !invalidate(fs, keys)) {
        if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
        return Outcome::Fallback;
    }
    Ref call_s3 = Ref::steal(PyObject_GetAttrString(fs, "call_s3"));
    Ref args = Ref::steal(Py_BuildValue("(s)", "delete_objects"));
    Ref kwargs = Ref::steal(Py_BuildValue("{sOsO}", "Bucket", bucket.get(), "Delete", body.get()));
    if (!call_s3 || !args || !kwargs) return Outcome::Error;
    Ref out = Ref::steal(PyObject_Call(call_s3.get(), args.get(), kwargs.get()));
    if (!out) return Outcome::Error;
    refused.assign(keys.size(), Refusal{});
    PyObject* errors = nullptr;
    if (!PyDict_Check(out.get())) return unexpected_answer();
    if (PyDict_GetItemStringRef(out.get(), "Errors", &errors) < 0) return Outcome::Error;
    Ref owned = Ref::steal(errors);
    if (!owned) return Outcome::Done;  // none refused
    if (!PyList_Check(owned.get())) return unexpected_answer();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owned.get()); ++i) {
        PyObject* e = PyList_GET_ITEM(owned.get(), i);
        auto where = at.find(text_item(e, "Key"));
        if (where == at.end()) continue;
        Refusal r{.code = text_item(e, "Code"), .message = text_item(e, "Message")};
        if (r.code.empty()) r.code = "Unknown";
        refused[where->second] = std::move(r);
    }
    return Outcome::Done;
}

void raise_refusal(const Refusal& why, PyObject* path) {
    const bool denied = why.code == "AccessDenied";
    std::string message = why.code + ": " + why.message;
    Ref msg = text(message);
    Ref name = Ref::steal(PyObject_Str(path));
    if (!msg || !name) return;
    Ref exc = Ref::steal(PyObject_CallFunction(denied ? PyExc_PermissionError : PyExc_OSError,
                                               "iOO", denied ? EACCES : EIO, msg.get(),
                                               name.get()));
    if (exc) PyErr_SetRaisedException(exc.release());
}

}  // namespace css::remote

namespace css {

using remote::fsspec_names;

Outcome remote_unlink(PyObject* path) {
    // Only universal-pathlib paths are asked anything: other path objects
    // see no call beyond their own unlink.
    PyObject* mod = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "upath", &mod) <= 0) {
        PyErr_Clear();
        return Outcome::Fallback;
    }
    Ref upath = Ref::steal(mod);
    Ref cls = Ref::steal(PyObject_GetAttrString(upath.get(), "UPath"));
    int is_upath = cls && PyType_Check(cls.get()) ? PyObject_IsInstance(path, cls.get()) : 0;
    if (is_upath <= 0) {
        PyErr_Clear();
        return Outcome::Fallback;
    }
    if (!remote::init_fsspec_names()) return Outcome::Error;
    // This stands in for universal-pathlib's own unlink only: an unlink that
    // a subclass or a patch put in its place is called as it is. Unlike the
    // batch path it is not switched off with the fast paths: it is what
    // keeps a deletion from removing other results, on either path.
    bool own_unlink = remote::standard_unlink(path);
    if (PyErr_Occurred() && remote::soft_failure() == Outcome::Error) return Outcome::Error;
    if (!own_unlink) return Outcome::Fallback;
    Ref name = getattr(path, fsspec_names.path);
    if (!name) return Outcome::Error;
    std::string_view name_text;
    if (!utf8_view(name.get(), name_text)) return Outcome::Fallback;
    Ref fs = getattr(path, fsspec_names.fs);
    if (!fs) return Outcome::Error;
    // Where the service names each key it refused, the removal reads its
    // answer: the file system's own removal would count a refused key as
    // removed. It removes that one key, whatever its name.
    std::vector<remote::Refusal> refused;
    switch (remote::remove_reporting(fs.get(), {std::string(name_text)}, refused)) {
        case Outcome::Done:
            if (refused.empty() || refused.front().code.empty()) return Outcome::Done;
            remote::raise_refusal(refused.front(), path);
            return Outcome::Error;
        case Outcome::Error: return Outcome::Error;
        case Outcome::Fallback: break;
    }
    if (!has_pattern_char(name_text)) return Outcome::Fallback;
    // The file system's removal of one file must be fsspec's, as its
    // pattern-reading removal is.
    bool own_fs = remote::standard_fs(fs.get());
    if (PyErr_Occurred() && remote::soft_failure() == Outcome::Error) return Outcome::Error;
    if (!own_fs) return Outcome::Fallback;
    return call_method(fs.get(), fsspec_names.rm_file, {name.get()}) ? Outcome::Done : Outcome::Error;
}

}  // namespace css
