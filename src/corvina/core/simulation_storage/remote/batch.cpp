// A batch path for stores on fsspec file systems: the identity tests that
// decide whether it may be taken, the flat listing that stands in for the
// walk over the type directories, and the batched reads and removals.
//
// The literal walk asks the path object: `exists()`, `iterdir()` with
// `is_dir()` per entry, then `glob(pattern)` per type directory. On a
// universal-pathlib path these become the file system's `exists`, `isdir`,
// `listdir` and `glob` (itself a one-level `find`, sorted by path). One
// `find(root, detail=True)` without a depth limit lists every key below the
// root at once (one request per thousand keys on S3), from which the same
// answers follow: type directories are the first components of deeper keys,
// in the order the file system lists them; their entries are the second
// components (files, or directories implied by deeper keys), sorted as glob
// sorts them. Whatever the listing cannot answer with certainty (names that
// glob would read as patterns, a name that is both a file and a directory,
// empty path components, any error) sends the call to the literal walk.
#include "remote/batch.hpp"

#include "frame/bodies.hpp"
#include "local/gates.hpp"
#include "store/file_names.hpp"
#include "frame/function.hpp"
#include "frame/host.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css {

namespace {

#define CSS_REMOTE_NAMES(X)                                                        \
    X(fs) X(path) X(parts) X(find) X(detail) X(withdirs) X(listdir) X(cat_file)    \
    X(cat_ranges) X(rm) X(rm_file) X(joinpath) X(with_segments) X(name) X(size) X(type)       \
    X(max_concurrency) X(sync_wrapper) X(fget) X(co_filename) X(__wrapped__)       \
    X(__qualname__) X(__module__) X(__file__) X(__name__) X(__dict__)

struct RemoteNames {
#define CSS_DECLARE(n) PyObject* n;
    CSS_REMOTE_NAMES(CSS_DECLARE)
#undef CSS_DECLARE
    PyObject* kw_detail;           // ("detail", "withdirs")
    PyObject* kw_max_concurrency;  // ("max_concurrency",)
    PyObject* int0;
    PyObject* int1;
};

RemoteNames R{};

bool init_remote_names() {
    if (R.int1) return true;
#define CSS_INTERN(n) \
    if (!R.n && !(R.n = PyUnicode_InternFromString(#n))) return false;
    CSS_REMOTE_NAMES(CSS_INTERN)
#undef CSS_INTERN
    if (!R.kw_detail && !(R.kw_detail = PyTuple_Pack(2, R.detail, R.withdirs))) return false;
    if (!R.kw_max_concurrency && !(R.kw_max_concurrency = PyTuple_Pack(1, R.max_concurrency)))
        return false;
    if (!R.int0 && !(R.int0 = PyLong_FromLong(0))) return false;
    return (R.int1 = PyLong_FromLong(1)) != nullptr;
}

// An ordinary failure of the host while deciding or listing only means "take
// the literal path", which then meets it again and reports it as the host
// does; anything else (an interruption) must reach the caller.
Outcome soft_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Outcome::Error;
    PyErr_Clear();
    return Outcome::Fallback;
}

bool same_text(PyObject* a, PyObject* b) {
    if (!a || !b || !PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    return PyUnicode_Compare(a, b) == 0;
}

// The UTF-8 text of an exact str; false (no error set) if it has none.
bool utf8(PyObject* s, std::string_view& out) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();  // lone surrogates: no UTF-8 form
        return false;
    }
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// --- what the classes define ------------------------------------------------------

// The code object of the functions that fsspec's `sync_wrapper` makes (the
// blocking fronts of a file system's coroutines), from fsspec's own factory.
PyObject* g_wrapper_code = nullptr;

PyObject* wrapper_code() {
    if (g_wrapper_code) return g_wrapper_code;
    Ref asyn = Ref::steal(PyImport_ImportModule("fsspec.asyn"));
    if (!asyn) return nullptr;
    Ref factory = getattr(asyn.get(), R.sync_wrapper);
    if (!factory || !PyFunction_Check(factory.get())) return nullptr;
    Ref made = call(factory.get(), {factory.get()});
    if (!made || !PyFunction_Check(made.get())) return nullptr;
    g_wrapper_code = Py_NewRef(PyFunction_GetCode(made.get()));  // kept for the process
    return g_wrapper_code;
}

// `sys.modules[cls.__module__].__file__`.
Ref module_file(PyObject* cls) {
    Ref modname = getattr(cls, R.__module__);
    if (!modname) return {};
    PyObject* mod = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), modname.get(), &mod) <= 0) return {};
    Ref module = Ref::steal(mod);
    return getattr(module.get(), R.__file__);
}

// Whether `value`, found in the dictionary of `cls`, is a function written in
// the body of that class in the class's own source file: what the class
// defines, not something put there later. A property counts by its getter,
// a class-level blocking front of a coroutine by the coroutine.
bool defined_by(PyObject* cls, PyObject* value) {
    Ref f = Ref::borrow(value);
    if (PyObject_TypeCheck(f.get(), &PyProperty_Type)) f = getattr(f.get(), R.fget);
    if (!f || !PyFunction_Check(f.get())) return false;
    PyObject* wcode = wrapper_code();
    if (!wcode) return false;
    if (PyFunction_GetCode(f.get()) == wcode) {
        f = getattr(f.get(), R.__wrapped__);
        if (!f || !PyFunction_Check(f.get())) return false;
    }
    Ref cls_qualname = getattr(cls, R.__qualname__);
    Ref qualname = getattr(f.get(), R.__qualname__);
    Ref name = getattr(f.get(), R.__name__);
    if (!cls_qualname || !qualname || !name || !PyUnicode_Check(cls_qualname.get()) ||
        !PyUnicode_Check(name.get()))
        return false;
    Ref expected = Ref::steal(PyUnicode_FromFormat("%U.%U", cls_qualname.get(), name.get()));
    if (!same_text(qualname.get(), expected.get())) return false;
    Ref file = module_file(cls);
    Ref code_file = getattr(PyFunction_GetCode(f.get()), R.co_filename);
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

// `module.qualname` of a class.
std::string class_name(PyObject* cls) {
    Ref module = getattr(cls, R.__module__);
    Ref qualname = getattr(cls, R.__qualname__);
    std::string_view m, q;
    if (!module || !qualname || !utf8(module.get(), m) || !utf8(qualname.get(), q)) {
        PyErr_Clear();
        return {};
    }
    std::string out(m);
    out.push_back('.');
    out.append(q);
    return out;
}

// The path methods the literal walk and the reads go through, and who must
// define them. Without a definer: any class of universal-pathlib.
struct PathMethod {
    const char* name;
    const char* definer;
    const char* also = nullptr;  // a second definer with the same walk
};

constexpr PathMethod kPathMethods[] = {
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

// The file-system methods either path calls, directly or through the path.
constexpr const char* kFsMethods[] = {
    "find", "ls", "listdir", "isdir", "exists", "info", "glob",
    "cat_file", "cat_ranges", "open", "rm", "rm_file", "expand_path",
};

// File systems whose listing order is known: S3 lists keys sorted, so the
// order of the type directories follows from the flat listing, and a whole
// object is one GET once the concurrent split of large reads is turned off.
struct KnownFs {
    const char* cls;
    bool sorted_listing;
    bool single_request_read;
};

constexpr KnownFs kKnownFs[] = {
    {.cls = "s3fs.core.S3FileSystem", .sorted_listing = true, .single_request_read = true},
};

bool standard_path_class(PyObject* path) {
    PyTypeObject* type = Py_TYPE(path);
    auto* cls = reinterpret_cast<PyObject*>(type);
    std::string name = class_name(cls);
    if (name.rfind("upath.core.", 0) != 0 && name.rfind("upath.implementations.", 0) != 0)
        return false;
    // The class must be the one its module names (not a look-alike made elsewhere).
    Ref module = getattr(cls, R.__module__);
    Ref qualname = getattr(cls, R.__qualname__);
    if (!module || !qualname) return false;
    PyObject* mod = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), module.get(), &mod) <= 0) return false;
    Ref m = Ref::steal(mod);
    Ref same = Ref::steal(PyObject_GetAttr(m.get(), qualname.get()));
    if (same.get() != cls) return false;
    for (const PathMethod& pm : kPathMethods) {
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

bool standard_fs(PyObject* fs) {
    PyTypeObject* type = Py_TYPE(fs);
    PyObject* wcode = wrapper_code();
    if (!wcode) return false;
    Ref own = Ref::steal(PyObject_GetAttr(fs, R.__dict__));
    if (!own) PyErr_Clear();
    else if (!PyDict_Check(own.get())) return false;
    for (const char* method : kFsMethods) {
        Ref name = Ref::steal(PyUnicode_InternFromString(method));
        if (!name) return false;
        Ref holder, value;
        PyObject* mirrored = nullptr;
        if (own && PyDict_GetItemRef(own.get(), name.get(), &mirrored) < 0) return false;
        Ref front = Ref::steal(mirrored);
        if (front) {
            // fsspec's blocking front of this object's own coroutine `_name`.
            if (!PyFunction_Check(front.get()) || PyFunction_GetCode(front.get()) != wcode)
                return false;
            Ref bound = getattr(front.get(), R.__wrapped__);
            if (!bound || !PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != fs)
                return false;
            Ref coro = Ref::steal(PyUnicode_FromFormat("_%s", method));
            if (!coro) return false;
            int shadowed = PyDict_Contains(own.get(), coro.get());
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
                definer != "fsspec.asyn.AsyncFileSystem" &&
                definer != "s3fs.core.S3FileSystem")
                return false;
        }
    }
    return true;
}

// --- the store, listed once --------------------------------------------------------

struct Entry {
    std::string name;     // below its type directory
    long long size = -1;  // from the listing; -1: not known
    bool file = false;
    bool dir = false;     // a directory, implied by deeper keys
    bool removed = false; // by this clearing
};

struct TypeDir {
    std::string name;
    std::vector<Entry> entries;  // sorted as glob sorts them
};

struct Store {
    Ref root;
    Ref fs;
    Ref path;            // root.path, the file system's name for the root
    std::string prefix;  // that name with one trailing "/"
    bool sorted_listing = false;
    bool single_request_read = false;
    std::vector<TypeDir> dirs;  // in the order the literal walk visits them
};

// Done: the path is served here (`s` set up).
Outcome open_store(PyObject* path, Store& s) {
    if (g_fast_disabled) return Outcome::Fallback;
    if (!init_remote_names()) return Outcome::Error;
    bool standard = standard_path_class(path);
    if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
    if (!standard) return Outcome::Fallback;
    s.root = Ref::borrow(path);
    s.fs = getattr(path, R.fs);
    if (!s.fs) return soft_failure();
    bool fs_standard = standard_fs(s.fs.get());
    if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
    if (!fs_standard) return Outcome::Fallback;
    s.path = getattr(path, R.path);
    if (!s.path) return soft_failure();
    std::string_view root_text;
    if (!utf8(s.path.get(), root_text) || root_text.empty() || has_pattern_char(root_text)) return Outcome::Fallback;
    // iterdir() lists the parent of a path that ends in an empty part.
    Ref parts = getattr(path, R.parts);
    if (!parts) return soft_failure();
    Ref seq = Ref::steal(PySequence_Tuple(parts.get()));
    if (!seq) return soft_failure();
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n > 0) {
        std::string_view last;
        if (!utf8(PyTuple_GET_ITEM(seq.get(), n - 1), last) || last.empty()) return Outcome::Fallback;
    }
    s.prefix.assign(root_text);
    if (s.prefix.back() != '/') s.prefix.push_back('/');
    std::string fs_class = class_name(reinterpret_cast<PyObject*>(Py_TYPE(s.fs.get())));
    for (const KnownFs& k : kKnownFs) {
        if (fs_class == k.cls) {
            s.sorted_listing = k.sorted_listing;
            s.single_request_read = k.single_request_read;
        }
    }
    return Outcome::Done;
}

// A text value of an info dictionary, or empty.
std::string_view info_text(PyObject* info, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(info, key);  // borrowed
    std::string_view out;
    if (!v || !utf8(v, out)) return {};
    return out;
}

// Lists everything below the root in one call, directories included (an
// empty one named like a result is still an entry the walk meets). Done:
// `s.dirs` holds the listing.
Outcome list_store(Store& s) {
    Ref listing =
        call_method(s.fs.get(), R.find, {s.path.get(), Py_True, Py_True}, R.kw_detail);
    if (!listing) return soft_failure();
    if (!PyDict_CheckExact(listing.get())) return Outcome::Fallback;

    std::unordered_map<std::string, size_t> dir_index;
    std::vector<std::unordered_map<std::string, size_t>> entry_index;
    std::unordered_set<std::string> top_files;
    auto dir_of = [&](std::string_view name) -> TypeDir& {
        auto [it, fresh] = dir_index.try_emplace(std::string(name), s.dirs.size());
        if (fresh) {
            s.dirs.push_back(TypeDir{.name = std::string(name), .entries = {}});
            entry_index.emplace_back();
        }
        return s.dirs[it->second];
    };
    auto entry_of = [&](std::string_view dir, std::string_view name) -> Entry& {
        TypeDir& d = dir_of(dir);
        auto& index = entry_index[dir_index[std::string(dir)]];
        auto [it, fresh] = index.try_emplace(std::string(name), d.entries.size());
        if (fresh) d.entries.push_back(Entry{.name = std::string(name)});
        return d.entries[it->second];
    };

    Py_ssize_t pos = 0;
    PyObject *key, *info;
    while (PyDict_Next(listing.get(), &pos, &key, &info)) {
        std::string_view name;
        if (!utf8(key, name) || !PyDict_Check(info)) return Outcome::Fallback;
        std::string_view kind = info_text(info, R.type);
        if (PyErr_Occurred()) return soft_failure();
        bool is_file = kind == "file";
        if (!is_file && kind != "directory") return Outcome::Fallback;
        // The root itself, listed as a directory.
        if (!is_file && name.size() + 1 == s.prefix.size() && s.prefix.starts_with(name)) continue;
        if (name.size() <= s.prefix.size() || name.substr(0, s.prefix.size()) != s.prefix)
            return Outcome::Fallback;  // the root as a file, or a name the walk would not form
        std::string_view rel = name.substr(s.prefix.size());
        if (rel.front() == '/') return Outcome::Fallback;
        if (rel.find("//") != std::string_view::npos || rel.back() == '/') return Outcome::Fallback;
        size_t slash = rel.find('/');
        if (slash == std::string_view::npos) {
            if (is_file) top_files.emplace(rel);
            else dir_of(rel);
            continue;
        }
        std::string_view dir = rel.substr(0, slash);
        std::string_view rest = rel.substr(slash + 1);
        size_t deeper = rest.find('/');
        Entry& e = entry_of(dir, rest.substr(0, deeper));
        if (deeper != std::string_view::npos || !is_file) {
            e.dir = true;
            continue;
        }
        e.file = true;
        PyObject* size = PyDict_GetItemWithError(info, R.size);
        if (size && PyLong_Check(size)) {
            e.size = PyLong_AsLongLong(size);
            if (e.size < 0) {
                PyErr_Clear();
                e.size = -1;
            }
        }
        if (PyErr_Occurred()) return soft_failure();
    }

    for (const TypeDir& d : s.dirs) {
        // A name that is a file and a directory at once is listed twice by
        // the walk; a name glob reads as a pattern is searched as one.
        if (top_files.count(d.name) || has_pattern_char(d.name)) return Outcome::Fallback;
        for (const Entry& e : d.entries)
            if (e.file && e.dir) return Outcome::Fallback;
    }
    for (TypeDir& d : s.dirs)
        std::sort(d.entries.begin(), d.entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });

    if (s.sorted_listing || s.dirs.size() < 2) {
        std::sort(s.dirs.begin(), s.dirs.end(),
                  [](const TypeDir& a, const TypeDir& b) { return a.name < b.name; });
        return Outcome::Done;
    }
    // The order of the file system's own listing of the root.
    Ref names = call_method(s.fs.get(), R.listdir, {s.path.get()});
    if (!names) return soft_failure();
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return soft_failure();
    std::vector<TypeDir> ordered;
    ordered.reserve(s.dirs.size());
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* n = item.get();
        if (PyDict_Check(n)) {
            n = PyDict_GetItemWithError(n, R.name);
            if (!n) return PyErr_Occurred() ? soft_failure() : Outcome::Fallback;
        }
        std::string_view full;
        if (!utf8(n, full)) return Outcome::Fallback;
        while (!full.empty() && full.back() == '/') full.remove_suffix(1);
        size_t cut = full.rfind('/');
        std::string base(cut == std::string_view::npos ? full : full.substr(cut + 1));
        auto found = dir_index.find(base);
        if (found == dir_index.end() || s.dirs[found->second].name.empty()) continue;
        ordered.push_back(std::move(s.dirs[found->second]));
        s.dirs[found->second].name.clear();  // placed
    }
    if (PyErr_Occurred()) return soft_failure();
    // Directories that appeared between the two listings come last.
    std::vector<TypeDir> rest;
    for (TypeDir& d : s.dirs)
        if (!d.name.empty()) rest.push_back(std::move(d));
    std::sort(rest.begin(), rest.end(),
              [](const TypeDir& a, const TypeDir& b) { return a.name < b.name; });
    for (TypeDir& d : rest) ordered.push_back(std::move(d));
    s.dirs = std::move(ordered);
    return Outcome::Done;
}

// The type directory as the walk forms it from the root's listing.
Ref type_dir_path(const Store& s, const TypeDir& d) {
    Ref name = text(d.name);
    if (!name) return {};
    return call_method(s.root.get(), R.with_segments, {s.path.get(), name.get()});
}

// An entry of a type directory as glob forms it.
Ref entry_path(PyObject* type_dir, const Entry& e) {
    Ref name = text(e.name);
    if (!name) return {};
    return call_method(type_dir, R.joinpath, {name.get()});
}

std::string key_of(const Store& s, const TypeDir& d, const Entry& e) {
    std::string key = s.prefix;
    key.append(d.name).push_back('/');
    key.append(e.name);
    return key;
}

// Files per batched read or removal: S3 takes a thousand keys per request.
constexpr size_t kBatchFiles = 1000;

bool is_own_function(PyObject* f, PyObject* module, Body body) {
    if (!f || Py_TYPE(f) != &FunctionType) return false;
    auto* fo = reinterpret_cast<FunctionObject*>(f);
    return fo->module == module && fo->sig->body == body;
}

}  // namespace

Outcome remote_find(PyObject* root, PyObject* simulation_id, Ref& found) {
    Store s;
    Outcome r = open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view id;
    if (!utf8(simulation_id, id) || !fits_in_file_name(simulation_id)) return Outcome::Fallback;
    r = list_store(s);
    if (r != Outcome::Done) return r;
    for (const TypeDir& d : s.dirs) {
        for (const Entry& e : d.entries) {
            if (!carries_id(e.name, id)) continue;
            Ref dir = type_dir_path(s, d);
            if (!dir) return Outcome::Error;
            found = entry_path(dir.get(), e);
            return found ? Outcome::Done : Outcome::Error;
        }
    }
    found = Ref::borrow(Py_None);
    return Outcome::Done;
}

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
    if (!init_remote_names()) return Outcome::Error;
    Ref name = getattr(path, R.path);
    if (!name) return Outcome::Error;
    std::string_view name_text;
    if (!utf8(name.get(), name_text) || !has_pattern_char(name_text)) return Outcome::Fallback;
    Ref fs = getattr(path, R.fs);
    if (!fs) return Outcome::Error;
    return call_method(fs.get(), R.rm_file, {name.get()}) ? Outcome::Done : Outcome::Error;
}

Outcome remote_read(PyObject* path, Ref& bytes) {
    Store s;
    Outcome r = open_store(path, s);
    if (r != Outcome::Done) return r;
    Ref out = s.single_request_read
                  ? call_method(s.fs.get(), R.cat_file, {s.path.get(), R.int1},
                                R.kw_max_concurrency)
                  : call_method(s.fs.get(), R.cat_file, {s.path.get()});
    if (!out) return soft_failure();
    if (!PyBytes_CheckExact(out.get())) return Outcome::Fallback;
    bytes = std::move(out);
    return Outcome::Done;
}

Outcome remote_scan(PyObject* root, PyObject* simulation_type, const RemoteVisit& visit) {
    Store s;
    Outcome r = open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view only;
    bool filtered = simulation_type != Py_None;
    if (filtered && (!utf8(simulation_type, only) || only.empty() || only == "." ||
                     has_pattern_char(only)))
        return Outcome::Fallback;
    r = list_store(s);
    if (r != Outcome::Done) return r;

    struct Item {
        Ref path;
        std::string key;
        long long size;  // -1: read by the literal unit
    };
    std::vector<Item> items;
    for (const TypeDir& d : s.dirs) {
        if (filtered && d.name != only) continue;
        Ref dir = filtered ? Ref::steal(PyNumber_TrueDivide(root, simulation_type))
                           : type_dir_path(s, d);
        if (!dir) return Outcome::Error;
        for (const Entry& e : d.entries) {
            if (!is_result_file(e.name)) continue;
            Ref path = entry_path(dir.get(), e);
            if (!path) return Outcome::Error;
            long long size = e.file && !e.dir ? e.size : -1;
            items.push_back(Item{.path = std::move(path), .key = key_of(s, d, e), .size = size});
        }
    }

    // Reads go out in batches, bounded in count and in bytes held at once.
    constexpr long long kBatchBytes = 64LL << 20;
    size_t i = 0;
    while (i < items.size()) {
        std::vector<size_t> batch;
        long long held = 0;
        size_t j = i;
        for (; j < items.size() && batch.size() < kBatchFiles && held < kBatchBytes; ++j) {
            // An empty file has no byte range to ask for; the literal unit
            // reads it.
            if (items[j].size <= 0) continue;
            batch.push_back(j);
            held += items[j].size;
        }
        std::vector<Ref> data(j - i);
        if (!batch.empty()) {
            Ref paths = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
            Ref starts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
            Ref ends = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
            if (!paths || !starts || !ends) return Outcome::Error;
            for (size_t k = 0; k < batch.size(); ++k) {
                const Item& item = items[batch[k]];
                Ref key = text(item.key);
                // One byte more than listed: a file that grew since the
                // listing shows it, and goes to the literal unit whole.
                Ref end = Ref::steal(PyLong_FromLongLong(item.size + 1));
                if (!key || !end) return Outcome::Error;
                PyList_SET_ITEM(paths.get(), static_cast<Py_ssize_t>(k), key.release());
                PyList_SET_ITEM(starts.get(), static_cast<Py_ssize_t>(k), Py_NewRef(R.int0));
                PyList_SET_ITEM(ends.get(), static_cast<Py_ssize_t>(k), end.release());
            }
            Ref out = call_method(s.fs.get(), R.cat_ranges, {paths.get(), starts.get(), ends.get()});
            if (!out) {
                // The batch failed as a whole: every file goes to the literal unit.
                if (soft_failure() == Outcome::Error) return Outcome::Error;
            } else if (PyList_CheckExact(out.get()) &&
                       PyList_GET_SIZE(out.get()) == static_cast<Py_ssize_t>(batch.size())) {
                for (size_t k = 0; k < batch.size(); ++k) {
                    PyObject* got = PyList_GET_ITEM(out.get(), static_cast<Py_ssize_t>(k));
                    if (PyBytes_CheckExact(got) && PyBytes_GET_SIZE(got) <= items[batch[k]].size)
                        data[batch[k] - i] = Ref::borrow(got);
                }
            }
        }
        for (size_t k = i; k < j; ++k)
            if (!visit(items[k].path.get(), data[k - i].get())) return Outcome::Error;
        i = j;
    }
    return Outcome::Done;
}

Outcome remote_clear(PyObject* g, PyObject* module, PyObject* records, long long& count) {
    if (g_fast_disabled) return Outcome::Fallback;
    // Each deletion must be the module's own, finding files with the
    // module's own lookup, for the listing to stand in for them.
    Ref del = lookup_quiet(g, N.delete_simulation_result);
    Ref find = lookup_quiet(g, N._find_simulation_file);
    if (!is_own_function(del.get(), module, delete_simulation_result) ||
        !is_own_function(find.get(), module, find_simulation_file))
        return Outcome::Fallback;
    Ref root = simulations_dir(g);
    if (!root) return Outcome::Error;
    Store s;
    Outcome r = open_store(root.get(), s);
    if (r != Outcome::Done) return r;
    r = list_store(s);
    if (r != Outcome::Done) return r;

    // Where the lookup of an ID lands: every entry whose name ends in "_",
    // the ID and ".json", in the order the lookup tries them.
    struct Slot {
        size_t dir, entry;
    };
    std::unordered_map<std::string, std::vector<Slot>> by_id;
    for (size_t di = 0; di < s.dirs.size(); ++di) {
        const auto& entries = s.dirs[di].entries;
        for (size_t ei = 0; ei < entries.size(); ++ei) {
            ids_of(entries[ei].name, [&](std::string_view id) {
                by_id[std::string(id)].push_back(Slot{.dir = di, .entry = ei});
            });
        }
    }

    struct Pending {
        Ref path;
        std::string key;
        Ref id;
    };
    std::vector<Pending> pending;

    // The literal deletion of one record, as the plain loop would make it.
    auto literal = [&](PyObject* id) -> bool {
        Ref ok = call(del.get(), {id});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t < 0) return false;
        count += t;
        return true;
    };
    auto log_deleted = [&](const Pending& p) -> bool {
        Ref line = concat_str(N.msg_deleted, p.path.get());
        if (!line || !log_message(g, N.debug, line.get())) return false;
        ++count;
        return true;
    };
    auto flush = [&]() -> bool {
        if (pending.empty()) return true;
        std::vector<Pending> batch;
        batch.swap(pending);
        Ref keys = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
        if (!keys) return false;
        for (size_t k = 0; k < batch.size(); ++k) {
            PyObject* key = text(batch[k].key).release();
            if (!key) return false;
            PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(k), key);
        }
        Ref removed = call_method(s.fs.get(), R.rm, {keys.get()});
        if (removed) {
            for (const Pending& p : batch)
                if (!log_deleted(p)) return false;
            return true;
        }
        if (soft_failure() == Outcome::Error) return false;
        // The batch failed as a whole, perhaps part-way. What is gone now
        // was removed by it; the rest goes through the literal deletion,
        // which reports the failure as the host does.
        Store again;
        std::unordered_set<std::string> present;
        bool known = open_store(root.get(), again) == Outcome::Done &&
                     list_store(again) == Outcome::Done;
        if (PyErr_Occurred() && soft_failure() == Outcome::Error) return false;
        if (known)
            for (const TypeDir& d : again.dirs)
                for (const Entry& e : d.entries) present.insert(key_of(again, d, e));
        for (const Pending& p : batch) {
            bool ok = known && !present.count(p.key) ? log_deleted(p) : literal(p.id.get());
            if (!ok) return false;
        }
        return true;
    };
    // An error that ends the clearing leaves the removals before it done.
    auto fail = [&]() -> Outcome {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (flush()) PyErr_SetRaisedException(exc.release());
        return Outcome::Error;
    };

    Ref it = Ref::steal(PyObject_GetIter(records));
    if (!it) return Outcome::Error;
    while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
        Ref id = getattr(record.get(), N.simulation_id);
        if (!id) return fail();
        std::string_view id_text;
        const Slot* slot = nullptr;
        bool plain = utf8(id.get(), id_text) && fits_in_file_name(id.get());
        if (plain) {
            auto found = by_id.find(std::string(id_text));
            if (found != by_id.end())
                for (const Slot& c : found->second)
                    if (!s.dirs[c.dir].entries[c.entry].removed) {
                        slot = &c;
                        break;
                    }
            if (!slot) continue;  // the lookup finds nothing: not counted
        }
        Entry* e = slot ? &s.dirs[slot->dir].entries[slot->entry] : nullptr;
        // Directories in place of a file, and names that the removal would
        // read as patterns, go through the literal deletion.
        if (!e || e->dir || has_pattern_char(e->name)) {
            if (!flush()) return Outcome::Error;
            long long before = count;
            if (!literal(id.get())) return Outcome::Error;
            if (e && count > before) e->removed = true;
            continue;
        }
        const TypeDir& d = s.dirs[slot->dir];
        Ref dir = type_dir_path(s, d);
        if (!dir) return fail();
        Ref path = entry_path(dir.get(), *e);
        if (!path) return fail();
        e->removed = true;
        pending.push_back(Pending{.path = std::move(path), .key = key_of(s, d, *e), .id = id});
        if (pending.size() >= kBatchFiles && !flush()) return Outcome::Error;
    }
    if (PyErr_Occurred()) return fail();
    return flush() ? Outcome::Done : Outcome::Error;
}

}  // namespace css
