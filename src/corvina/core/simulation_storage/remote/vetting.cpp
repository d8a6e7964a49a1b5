// Vetting for the batch path: whether a path is exactly one of
// universal-pathlib's own classes, and its file system one of fsspec's, with
// every method the literal walk goes through as those classes define it.
#include "remote/vetting.hpp"

#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/fsspec.hpp"

#include <string_view>

namespace css::remote {

namespace {

bool same_text(PyObject* a, PyObject* b) {
    if (!a || !b || !PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    return PyUnicode_Compare(a, b) == 0;
}

// The code object of the functions that fsspec's `sync_wrapper` makes (the
// blocking fronts of a file system's coroutines), from fsspec's own factory.
PyObject* g_wrapper_code = nullptr;

PyObject* wrapper_code() {
    if (g_wrapper_code) return g_wrapper_code;
    Ref asyn = Ref::steal(PyImport_ImportModule("fsspec.asyn"));
    if (!asyn) return nullptr;
    Ref factory = getattr(asyn.get(), fsspec_names.sync_wrapper);
    if (!factory || !PyFunction_Check(factory.get())) return nullptr;
    Ref made = call(factory.get(), {factory.get()});
    if (!made || !PyFunction_Check(made.get())) return nullptr;
    g_wrapper_code = Py_NewRef(PyFunction_GetCode(made.get()));  // kept for the process
    return g_wrapper_code;
}

// `sys.modules[name]`; an empty Ref when there is none (an error may be set).
Ref loaded_module(PyObject* name) {
    PyObject* mod = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, &mod) <= 0) return {};
    return Ref::steal(mod);
}

// `sys.modules[cls.__module__].__file__`.
Ref module_file(PyObject* cls) {
    Ref modname = getattr(cls, fsspec_names.__module__);
    if (!modname) return {};
    Ref module = loaded_module(modname.get());
    if (!module) return {};
    return getattr(module.get(), host_names.__file__);
}

// Whether `value`, found in the dictionary of `cls`, is a function written in
// the body of that class in the class's own source file: what the class
// defines, not something put there later. A property counts by its getter,
// a class-level blocking front of a coroutine by the coroutine.
bool defined_by(PyObject* cls, PyObject* value) {
    Ref f = Ref::borrow(value);
    if (PyObject_TypeCheck(f.get(), &PyProperty_Type)) f = getattr(f.get(), fsspec_names.fget);
    if (!f || !PyFunction_Check(f.get())) return false;
    PyObject* wcode = wrapper_code();
    if (!wcode) return false;
    if (PyFunction_GetCode(f.get()) == wcode) {
        f = getattr(f.get(), fsspec_names.__wrapped__);
        if (!f || !PyFunction_Check(f.get())) return false;
    }
    Ref cls_qualname = getattr(cls, fsspec_names.__qualname__);
    Ref qualname = getattr(f.get(), fsspec_names.__qualname__);
    Ref name = getattr(f.get(), host_names.__name__);
    if (!cls_qualname || !qualname || !name || !PyUnicode_Check(cls_qualname.get()) ||
        !PyUnicode_Check(name.get()))
        return false;
    Ref expected = Ref::steal(PyUnicode_FromFormat("%U.%U", cls_qualname.get(), name.get()));
    if (!same_text(qualname.get(), expected.get())) return false;
    Ref file = module_file(cls);
    Ref code_file = getattr(PyFunction_GetCode(f.get()), fsspec_names.co_filename);
    return same_text(file.get(), code_file.get());
}

// The class of `type`'s method resolution order whose dictionary holds
// `name`, and the value there.
bool resolve(PyTypeObject* type, PyObject* name, Ref& holder, Ref& value) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(cls));
        if (!dict) return false;
        PyObject* v = nullptr;
        int found = PyDict_GetItemRef(dict.get(), name, &v);
        if (found < 0) return false;
        if (found > 0) {
            holder = Ref::borrow(reinterpret_cast<PyObject*>(cls));
            value = Ref::steal(v);
            return true;
        }
    }
    return false;
}

// The path methods the literal walk and the reads go through, and who must
// define them. Without a definer: any class of universal-pathlib.
struct PathMethod {
    const char* name;
    const char* definer;
    const char* also = nullptr;  // a second definer with the same walk
};

constexpr PathMethod kUPathMethods[] = {
    {.name = "exists", .definer = "upath.core.UPath"},
    {.name = "is_dir", .definer = "upath.core.UPath"},
    // file:// paths refuse a file before the same listing.
    {.name = "iterdir", .definer = "upath.core.UPath", .also = "upath.implementations.local.FilePath"},
    {.name = "glob", .definer = "upath.core.UPath"},
    {.name = "unlink", .definer = "upath.core.UPath"},
    {.name = "joinpath", .definer = "upath.core.UPath"},
    {.name = "with_segments", .definer = "upath.core.UPath"},
    {.name = "__truediv__", .definer = "upath.core.UPath"},
    {.name = "open", .definer = "upath.core.UPath"},
    {.name = "read_bytes", .definer = "pathlib_abc.ReadablePath"},
    {.name = "fs", .definer = "upath.core._UPathMixin"},
    {.name = "path", .definer = nullptr},
    {.name = "parts", .definer = nullptr},
    {.name = "__str__", .definer = nullptr},
    {.name = "__vfspath__", .definer = nullptr},
};

constexpr KnownFs kKnownFs[] = {
    {.cls = "s3fs.core.S3FileSystem",
     .sorted_listing = true,
     .single_request_read = true,
     .reports_refused_removals = true,
     .prefix_directories = true},
};

}  // namespace

std::string class_name(PyObject* cls) {
    Ref module = getattr(cls, fsspec_names.__module__);
    Ref qualname = getattr(cls, fsspec_names.__qualname__);
    std::string_view m, q;
    if (!module || !qualname || !utf8_view(module.get(), m) || !utf8_view(qualname.get(), q)) {
        PyErr_Clear();
        return {};
    }
    std::string out(m);
    out.push_back('.');
    out.append(q);
    return out;
}

bool standard_path_class(PyObject* path) {
    PyTypeObject* type = Py_TYPE(path);
    auto* cls = reinterpret_cast<PyObject*>(type);
    std::string name = class_name(cls);
    if (name.rfind("upath.core.", 0) != 0 && name.rfind("upath.implementations.", 0) != 0)
        return false;
    // The class must be the one its module names (not a look-alike made elsewhere).
    Ref module = getattr(cls, fsspec_names.__module__);
    Ref qualname = getattr(cls, fsspec_names.__qualname__);
    if (!module || !qualname) return false;
    Ref m = loaded_module(module.get());
    if (!m) return false;
    Ref same = Ref::steal(PyObject_GetAttr(m.get(), qualname.get()));
    if (same.get() != cls) return false;
    for (const PathMethod& pm : kUPathMethods) {
        Ref n = Ref::steal(PyUnicode_InternFromString(pm.name));
        Ref holder, value;
        if (!n || !resolve(type, n.get(), holder, value)) return false;
        std::string definer = class_name(holder.get());
        bool allowed = pm.definer ? definer == pm.definer || (pm.also && definer == pm.also)
                                  : definer.rfind("upath.", 0) == 0;
        if (!allowed) return false;
        if (!defined_by(holder.get(), value.get())) return false;
    }
    return true;
}

namespace {

// Whether the file system's `method` is its class's own (or fsspec's
// blocking front of the class's own coroutine), given the object's own
// dictionary `own` (or nullptr).
bool standard_method(PyObject* fs, PyObject* own, const char* method) {
    PyTypeObject* type = Py_TYPE(fs);
    PyObject* wcode = wrapper_code();
    if (!wcode) return false;
    Ref name = Ref::steal(PyUnicode_InternFromString(method));
    if (!name) return false;
    Ref holder, value;
    PyObject* mirrored = nullptr;
    if (own && PyDict_GetItemRef(own, name.get(), &mirrored) < 0) return false;
    Ref front = Ref::steal(mirrored);
    if (front) {
        // fsspec's blocking front of this object's own coroutine `_name`.
        if (!PyFunction_Check(front.get()) || PyFunction_GetCode(front.get()) != wcode)
            return false;
        Ref bound = getattr(front.get(), fsspec_names.__wrapped__);
        if (!bound || !PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != fs)
            return false;
        Ref coro = Ref::steal(PyUnicode_FromFormat("_%s", method));
        if (!coro) return false;
        int shadowed = PyDict_Contains(own, coro.get());
        if (shadowed != 0) return false;
        if (!resolve(type, coro.get(), holder, value)) return false;
        if (PyMethod_GET_FUNCTION(bound.get()) != value.get()) return false;
    } else if (!resolve(type, name.get(), holder, value)) {
        return false;
    }
    if (!defined_by(holder.get(), value.get())) return false;
    // The walk relies on glob's semantics (a one-level find, sorted):
    // only fsspec's own glob has them for certain.
    if (std::string_view(method) == "glob") {
        std::string definer = class_name(holder.get());
        if (definer != "fsspec.spec.AbstractFileSystem" &&
            definer != "fsspec.asyn.AsyncFileSystem" && definer != "s3fs.core.S3FileSystem")
            return false;
    }
    return true;
}

}  // namespace

bool standard_fs_methods(PyObject* fs, std::initializer_list<const char*> methods) {
    Ref own = Ref::steal(PyObject_GetAttr(fs, fsspec_names.__dict__));
    if (!own) PyErr_Clear();
    else if (!PyDict_Check(own.get())) return false;
    for (const char* method : methods)
        if (!standard_method(fs, own.get(), method)) return false;
    return true;
}

bool standard_fs(PyObject* fs) {
    return standard_fs_methods(fs, {"find", "ls", "listdir", "isdir", "exists", "info", "glob",
                                    "cat_file", "cat_ranges", "open", "rm", "rm_file",
                                    "expand_path"});
}

bool standard_path_method(PyObject* path, const char* name,
                          std::initializer_list<const char*> definers) {
    Ref n = Ref::steal(PyUnicode_InternFromString(name));
    Ref holder, value;
    if (!n || !resolve(Py_TYPE(path), n.get(), holder, value)) return false;
    const std::string definer = class_name(holder.get());
    for (const char* d : definers)
        if (definer == d) return defined_by(holder.get(), value.get());
    return false;
}

bool standard_unlink(PyObject* path) {
    Ref name = Ref::steal(PyUnicode_InternFromString("unlink"));
    Ref holder, value;
    if (!name || !resolve(Py_TYPE(path), name.get(), holder, value)) return false;
    return class_name(holder.get()) == "upath.core.UPath" && defined_by(holder.get(), value.get());
}

const KnownFs* known_fs(PyObject* fs) {
    std::string name = class_name(reinterpret_cast<PyObject*>(Py_TYPE(fs)));
    const KnownFs* known = nullptr;
    for (const KnownFs& k : kKnownFs)
        if (name == k.cls) known = &k;
    return known;
}

}  // namespace css::remote
