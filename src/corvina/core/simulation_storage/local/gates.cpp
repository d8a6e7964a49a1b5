// What the fast paths stand in for, captured at import, and the tests that
// decide at each call whether they may be taken.
#include "local/gates.hpp"

#include "frame/host.hpp"

#include <vector>

namespace css {

bool g_fast_disabled = false;

namespace {

struct Captured {
    PyObject* obj;    // the module or class looked in
    PyObject* name;   // interned attribute name
    PyObject* value;  // the standard value
};

// The standard objects, in groups. Each entry is (container, attribute).
PyObject* m_json = nullptr;
PyObject* m_json_encoder = nullptr;
PyObject* m_hashlib = nullptr;
PyObject* m_os = nullptr;
PyObject* m_posixpath = nullptr;
PyObject* m_io = nullptr;
PyObject* m_pathlib = nullptr;
PyObject* m_glob = nullptr;
PyObject* c_posix_path = nullptr;  // pathlib.PosixPath
unsigned int posix_path_tag = 0;

std::vector<Captured> identity_deps;
std::vector<Captured> fs_deps;

bool capture(std::vector<Captured>& into, PyObject* obj, const char* name) {
    PyObject* n = PyUnicode_InternFromString(name);
    if (!n) return false;
    PyObject* v = PyObject_GetAttr(obj, n);
    if (!v) return false;
    into.push_back({obj, n, v});  // kept for the life of the process
    return true;
}

bool identity_ok = false;
bool fs_ok = false;

bool import(PyObject*& slot, const char* name) {
    if (!slot) slot = PyImport_ImportModule(name);
    return slot != nullptr;
}

// Every captured attribute is still the standard one.
// A class method is bound anew at every lookup: the same function bound to
// the same class is the same method.
bool same_value(PyObject* now, PyObject* captured) {
    if (now == captured) return true;
    return PyMethod_Check(now) && PyMethod_Check(captured) &&
           PyMethod_GET_FUNCTION(now) == PyMethod_GET_FUNCTION(captured) &&
           PyMethod_GET_SELF(now) == PyMethod_GET_SELF(captured);
}

bool unchanged(const std::vector<Captured>& deps) {
    for (const Captured& c : deps) {
        Ref now = Ref::steal(PyObject_GetAttr(c.obj, c.name));
        if (!now) {
            PyErr_Clear();
            return false;
        }
        if (!same_value(now.get(), c.value)) return false;
    }
    return true;
}

const char* const kPosixPathMethods[] = {
    "exists", "is_dir", "is_symlink", "iterdir", "glob", "mkdir", "read_bytes", "write_bytes", "unlink",
    "open", "with_segments", "__truediv__", "__str__", "__fspath__", "__new__", "__init__",
    "_from_parsed_string", "_from_dir_entry", "_parse_pattern",
};

}  // namespace

// Anything missing or unexpected here only turns the fast paths off.
bool init_fastpaths() {
    if (identity_ok || fs_ok) return true;
    if (!import(m_json, "json") || !import(m_json_encoder, "json.encoder") ||
        !import(m_hashlib, "hashlib") || !import(m_os, "os") || !import(m_posixpath, "posixpath") ||
        !import(m_io, "io") || !import(m_pathlib, "pathlib") || !import(m_glob, "glob")) {
        PyErr_Clear();
        return true;
    }
    identity_ok = capture(identity_deps, m_json, "dumps") &&
                  capture(identity_deps, m_json, "JSONEncoder") &&
                  capture(identity_deps, m_json_encoder, "c_make_encoder") &&
                  capture(identity_deps, m_json_encoder, "encode_basestring_ascii") &&
                  capture(identity_deps, m_hashlib, "sha256");
    if (identity_ok) {
        PyObject* encoder_cls = identity_deps[1].value;
        identity_ok = capture(identity_deps, encoder_cls, "encode") &&
                      capture(identity_deps, encoder_cls, "iterencode") &&
                      capture(identity_deps, encoder_cls, "__init__") &&
                      capture(identity_deps, encoder_cls, "item_separator") &&
                      capture(identity_deps, encoder_cls, "key_separator");
    }
    PyErr_Clear();

    fs_ok = true;
    for (const char* name : {"stat", "lstat", "scandir", "mkdir", "unlink", "rename", "open", "path"})
        fs_ok = fs_ok && capture(fs_deps, m_os, name);
    fs_ok = fs_ok && capture(fs_deps, m_posixpath, "exists") &&
            capture(fs_deps, m_posixpath, "isdir") &&
            capture(fs_deps, m_posixpath, "islink") && capture(fs_deps, m_io, "open") &&
            capture(fs_deps, m_pathlib, "os") && capture(fs_deps, m_pathlib, "io") &&
            capture(fs_deps, m_glob, "os") && capture(fs_deps, m_glob, "_StringGlobber") &&
            capture(fs_deps, m_pathlib, "PosixPath");
    if (fs_ok) {
        c_posix_path = fs_deps.back().value;
        fs_ok = PyType_Check(c_posix_path);
    }
    for (const char* name : kPosixPathMethods) fs_ok = fs_ok && capture(fs_deps, c_posix_path, name);
    PyErr_Clear();
    if (fs_ok) {
        auto* type = reinterpret_cast<PyTypeObject*>(c_posix_path);
        if (PyUnstable_Type_AssignVersionTag(type)) posix_path_tag = type->tp_version_tag;
    }
    return true;
}

bool identity_is_standard(PyObject* json, PyObject* hashlib) {
    if (g_fast_disabled || !identity_ok || json != m_json || hashlib != m_hashlib) return false;
    return unchanged(identity_deps);
}

int local_path(PyObject* path, std::string& out) {
    if (g_fast_disabled || !fs_ok ||
        reinterpret_cast<PyObject*>(Py_TYPE(path)) != c_posix_path)
        return 0;
    // A changed version tag means that the class or a base was modified:
    // then every method is compared with the standard one.
    auto* type = Py_TYPE(path);
    if (!posix_path_tag || type->tp_version_tag != posix_path_tag) {
        if (!unchanged(fs_deps)) return 0;
        if (PyUnstable_Type_AssignVersionTag(type)) posix_path_tag = type->tp_version_tag;
    } else {
        // The class is unchanged; the modules it calls into may not be.
        for (size_t i = 0; i < fs_deps.size(); ++i) {
            const Captured& c = fs_deps[i];
            if (c.obj == c_posix_path) break;
            Ref now = Ref::steal(PyObject_GetAttr(c.obj, c.name));
            if (!now) {
                PyErr_Clear();
                return 0;
            }
            if (now.get() != c.value) return 0;
        }
    }
    Ref text = Ref::steal(PyObject_Str(path));
    if (!text) return -1;
    if (!PyUnicode_CheckExact(text.get())) return 0;
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!bytes) {
        PyErr_Clear();
        return 0;
    }
    const char* data = PyBytes_AS_STRING(bytes.get());
    Py_ssize_t len = PyBytes_GET_SIZE(bytes.get());
    // A NUL cannot reach the system; the host's own objects report it.
    if (static_cast<Py_ssize_t>(std::char_traits<char>::length(data)) != len) return 0;
    out.assign(data, static_cast<size_t>(len));
    return 1;
}

Ref make_path(std::string_view text) {
    Ref s = path_text(text);
    if (!s) return {};
    return Ref::steal(PyObject_CallOneArg(c_posix_path, s.get()));
}

Ref path_text(std::string_view text) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

int is_plain_local_path(PyObject* path) {
    static PyObject* path_type = nullptr;
    static PyObject* write_bytes = nullptr;
    if (!path_type) {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return -1;
        Ref cls = Ref::steal(PyObject_GetAttrString(pathlib.get(), "PosixPath"));
        if (!cls) return -1;
        Ref base = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
        if (!base) return -1;
        Ref wb = getattr(base.get(), host_names.write_bytes);
        if (!wb) return -1;
        path_type = cls.release();
        write_bytes = wb.release();
    }
    int sub = PyObject_IsInstance(path, path_type);
    if (sub <= 0) return sub;
    Ref wb = getattr(reinterpret_cast<PyObject*>(Py_TYPE(path)), host_names.write_bytes);
    if (!wb) return -1;
    return wb.get() == write_bytes;
}

}  // namespace css
