// The flat listing model of the batch path (see listing.hpp).
#include "remote/listing.hpp"

#include "frame/file_names.hpp"
#include "frame/host.hpp"
#include "frame/text.hpp"
#include "local/gates.hpp"
#include "remote/fsspec.hpp"
#include "remote/vetting.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace css::remote {

namespace {

// iterdir() lists the parent of a path that ends in an empty part: such a
// root goes to the literal walk. Done: it does not end in one.
Outcome check_last_part(PyObject* path) {
    Ref parts = getattr(path, host_names.parts);
    if (!parts) return soft_failure();
    Ref seq = Ref::steal(PySequence_Tuple(parts.get()));
    if (!seq) return soft_failure();
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n > 0) {
        std::string_view last;
        if (!utf8_view(PyTuple_GET_ITEM(seq.get(), n - 1), last) || last.empty())
            return Outcome::Fallback;
    }
    return Outcome::Done;
}

// A text value of an info dictionary, or empty.
std::string_view info_text(PyObject* info, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(info, key);  // borrowed
    std::string_view out;
    if (!v || !utf8_view(v, out)) return {};
    return out;
}

bool by_name(const TypeDir& a, const TypeDir& b) { return a.name < b.name; }

// The listing of a store as it is built from the keys of one `find`.
struct Builder {
    Store& s;
    std::unordered_map<std::string, size_t> dir_index;
    std::vector<std::unordered_map<std::string, size_t>> entry_index;
    std::unordered_set<std::string> top_files;

    TypeDir& dir_of(std::string_view name) {
        auto [it, fresh] = dir_index.try_emplace(std::string(name), s.dirs.size());
        if (fresh) {
            s.dirs.push_back(TypeDir{.name = std::string(name), .entries = {}});
            entry_index.emplace_back();
        }
        return s.dirs[it->second];
    }

    Entry& entry_of(std::string_view dir, std::string_view name) {
        TypeDir& d = dir_of(dir);
        auto& index = entry_index[dir_index[std::string(dir)]];
        auto [it, fresh] = index.try_emplace(std::string(name), d.entries.size());
        if (fresh) d.entries.push_back(Entry{.name = std::string(name), .etag = {}});
        return d.entries[it->second];
    }

    // Takes in one key of the listing with its info dictionary.
    Outcome add(PyObject* key, PyObject* info) {
        std::string_view name;
        if (!utf8_view(key, name) || !PyDict_Check(info)) return Outcome::Fallback;
        std::string_view kind = info_text(info, fsspec_names.type);
        if (PyErr_Occurred()) return soft_failure();
        bool is_file = kind == "file";
        if (!is_file && kind != "directory") return Outcome::Fallback;
        // The root itself, listed as a directory.
        if (!is_file && name.size() + 1 == s.prefix.size() && s.prefix.starts_with(name))
            return Outcome::Done;
        if (name.size() <= s.prefix.size() || name.substr(0, s.prefix.size()) != s.prefix)
            return Outcome::Fallback;  // the root as a file, or a name the walk would not form
        std::string_view rel = name.substr(s.prefix.size());
        if (rel.front() == '/') return Outcome::Fallback;
        if (rel.find("//") != std::string_view::npos || rel.back() == '/')
            return Outcome::Fallback;
        size_t slash = rel.find('/');
        if (slash == std::string_view::npos) {
            if (is_file) top_files.emplace(rel);
            else dir_of(rel);
            return Outcome::Done;
        }
        std::string_view dir = rel.substr(0, slash);
        std::string_view rest = rel.substr(slash + 1);
        size_t deeper = rest.find('/');
        Entry& e = entry_of(dir, rest.substr(0, deeper));
        if (deeper != std::string_view::npos || !is_file) {
            e.dir = true;
            return Outcome::Done;
        }
        e.file = true;
        std::string_view etag = info_text(info, fsspec_names.ETag);
        if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
            etag = etag.substr(1, etag.size() - 2);
        e.etag.assign(etag);
        PyObject* size = PyDict_GetItemWithError(info, fsspec_names.size);
        if (size && PyLong_Check(size)) {
            e.size = PyLong_AsLongLong(size);
            if (e.size < 0) {
                PyErr_Clear();
                e.size = -1;
            }
        }
        return PyErr_Occurred() ? soft_failure() : Outcome::Done;
    }

    // Whether the walk would meet each name once and take it literally: a
    // name that is a file and a directory at once is listed twice by the
    // walk; a name glob reads as a pattern is searched as one.
    bool certain() const {
        for (const TypeDir& d : s.dirs) {
            if (top_files.count(d.name) || has_pattern_char(d.name)) return false;
            for (const Entry& e : d.entries)
                if (e.file && e.dir) return false;
        }
        return true;
    }

    // Puts the type directories in the order of the file system's own
    // listing of the root.
    Outcome order_dirs() {
        Ref names = call_method(s.fs.get(), fsspec_names.listdir, {s.path.get()});
        if (!names) return soft_failure();
        Ref it = Ref::steal(PyObject_GetIter(names.get()));
        if (!it) return soft_failure();
        std::vector<TypeDir> ordered;
        ordered.reserve(s.dirs.size());
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            PyObject* n = item.get();
            if (PyDict_Check(n)) {
                n = PyDict_GetItemWithError(n, host_names.name);
                if (!n) return PyErr_Occurred() ? soft_failure() : Outcome::Fallback;
            }
            std::string_view full;
            if (!utf8_view(n, full)) return Outcome::Fallback;
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
        std::sort(rest.begin(), rest.end(), by_name);
        for (TypeDir& d : rest) ordered.push_back(std::move(d));
        s.dirs = std::move(ordered);
        return Outcome::Done;
    }
};

}  // namespace

Outcome open_store(PyObject* path, Store& s) {
    if (g_fast_disabled) return Outcome::Fallback;
    if (!init_fsspec_names()) return Outcome::Error;
    bool standard = standard_path_class(path);
    if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
    if (!standard) return Outcome::Fallback;
    s.root = Ref::borrow(path);
    s.fs = getattr(path, fsspec_names.fs);
    if (!s.fs) return soft_failure();
    bool fs_standard = standard_fs(s.fs.get());
    if (PyErr_Occurred() && soft_failure() == Outcome::Error) return Outcome::Error;
    if (!fs_standard) return Outcome::Fallback;
    s.path = getattr(path, fsspec_names.path);
    if (!s.path) return soft_failure();
    std::string_view root_text;
    if (!utf8_view(s.path.get(), root_text) || root_text.empty() || has_pattern_char(root_text))
        return Outcome::Fallback;
    if (Outcome r = check_last_part(path); r != Outcome::Done) return r;
    s.prefix.assign(root_text);
    if (s.prefix.back() != '/') s.prefix.push_back('/');
    if (const KnownFs* k = known_fs(s.fs.get())) {
        s.sorted_listing = k->sorted_listing;
        s.single_request_read = k->single_request_read;
    }
    return Outcome::Done;
}

Outcome list_store(Store& s) {
    Ref listing =
        call_method(s.fs.get(), fsspec_names.find, {s.path.get(), Py_True, Py_True}, fsspec_names.kw_detail);
    if (!listing) return soft_failure();
    if (!PyDict_CheckExact(listing.get())) return Outcome::Fallback;
    Builder b{.s = s, .dir_index = {}, .entry_index = {}, .top_files = {}};
    Py_ssize_t pos = 0;
    PyObject *key, *info;
    while (PyDict_Next(listing.get(), &pos, &key, &info))
        if (Outcome r = b.add(key, info); r != Outcome::Done) return r;
    if (!b.certain()) return Outcome::Fallback;
    for (TypeDir& d : s.dirs)
        std::sort(d.entries.begin(), d.entries.end(),
                  [](const Entry& x, const Entry& y) { return x.name < y.name; });
    if (s.sorted_listing || s.dirs.size() < 2) {
        std::sort(s.dirs.begin(), s.dirs.end(), by_name);
        return Outcome::Done;
    }
    return b.order_dirs();
}

Ref type_dir_path(const Store& s, const TypeDir& d) {
    Ref name = text(d.name);
    if (!name) return {};
    return call_method(s.root.get(), fsspec_names.with_segments, {s.path.get(), name.get()});
}

Ref entry_path(PyObject* type_dir, const Entry& e) {
    Ref name = text(e.name);
    if (!name) return {};
    return call_method(type_dir, fsspec_names.joinpath, {name.get()});
}

std::string key_of(const Store& s, const TypeDir& d, const Entry& e) {
    std::string key = s.prefix;
    key.append(d.name).push_back('/');
    key.append(e.name);
    return key;
}

}  // namespace css::remote
