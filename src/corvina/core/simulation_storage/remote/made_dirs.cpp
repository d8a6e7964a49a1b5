// A minute's memory of the type directories made on object stores whose
// directories are only key prefixes (see made_dirs.hpp).
#include "remote/made_dirs.hpp"

#include "frame/host.hpp"
#include "local/gates.hpp"
#include "remote/fsspec.hpp"
#include "remote/vetting.hpp"

#include <chrono>
#include <cstdint>
#include <unordered_map>

namespace css::remote {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRemembered = std::chrono::seconds(60);

// The file system is kept, so that its address is never another's: a file
// system for other credentials or another endpoint may see another bucket
// under the same name. Never destroyed, as it holds references.
struct Made {
    Clock::time_point at;
    PyObject* fs;  // owned
};
auto* g_made = new std::unordered_map<std::string, Made>;

}  // namespace

int recently_made(PyObject* type_dir, Memo& memo) {
    if (g_fast_disabled) return 0;
    if (!init_fsspec_names()) return -1;
    if ( !standard_path_class(type_dir) ||
        !standard_path_method(type_dir, "mkdir",
                              {"upath.implementations.cloud.CloudPath", "upath.core.UPath"})) {
        PyErr_Clear();
        return 0;
    }
    Ref fs = Ref::steal(PyObject_GetAttrString(type_dir, "fs"));
    if (!fs) return -1;
    const KnownFs* known = known_fs(fs.get());
    if (!known || !known->prefix_directories || !standard_fs_methods(fs.get(), {"mkdir"})) {
        PyErr_Clear();
        return 0;
    }
    Ref text = Ref::steal(PyObject_Str(type_dir));
    if (!text) return -1;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!p) return -1;
    std::string key(p, static_cast<size_t>(n));
    key += '\n';
    key += std::to_string(reinterpret_cast<std::uintptr_t>(fs.get()));
    auto it = g_made->find(key);
    if (it != g_made->end()) {
        if (Clock::now() - it->second.at < kRemembered) return 1;
        Py_DECREF(it->second.fs);
        g_made->erase(it);
    }
    memo.key = std::move(key);
    memo.fs = std::move(fs);
    return 0;
}

void made(Memo& memo) {
    if (!memo.fs) return;  // not a directory to remember
    auto [it, fresh] = g_made->try_emplace(memo.key, Made{.at = Clock::now(), .fs = nullptr});
    if (fresh)
        it->second.fs = memo.fs.release();
    else
        it->second.at = Clock::now();
}

}  // namespace css::remote
