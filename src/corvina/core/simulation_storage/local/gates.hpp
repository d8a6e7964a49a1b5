// Native fast paths, taken only when the objects involved are exactly the
// standard ones, unpatched; everything else takes the literal path through
// the host's own objects. Both paths give the same results, files, log lines
// and exceptions.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <string>
#include <sys/stat.h>
#include <string_view>
#include <vector>

namespace css {

// Captures the standard objects the fast paths stand in for (at import).
bool init_fastpaths();

// Forces every fast path off (for differential testing), or back on.
extern bool g_fast_disabled;

// --- identity -----------------------------------------------------------------

// Whether `json.dumps(..., sort_keys=True)` and `hashlib.sha256` of these
// module objects are the standard ones.
bool identity_is_standard(PyObject* json, PyObject* hashlib);

// Writes the key-sorted JSON text of the identity into `out`. Returns false
// (with no error set) when the data needs the interpreter's encoder.
bool write_identity_text(PyObject* const values[6], std::string& out);

// --- result file names ---------------------------------------------------------

inline bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Calls `f(id)` for every ID a file name carries, as the lookup's pattern
// "*_" + ID + ".json" matches it: each text between an "_" and the ".json"
// that ends the name.
template <class F>
void ids_of(std::string_view name, F f) {
    if (!ends_with(name, ".json")) return;
    std::string_view stem = name.substr(0, name.size() - 5);
    for (size_t p = stem.find('_'); p != std::string_view::npos; p = stem.find('_', p + 1))
        f(stem.substr(p + 1));
}

// --- local file system -----------------------------------------------------------

// Whether `path` is exactly a standard, unpatched local path object; if so
// its file-system text is stored in `out`. -1 on error.
int local_path(PyObject* path, std::string& out);

// A new standard path object for a file-system text.
Ref make_path(std::string_view text);
// The text form of a file-system text, as `str(path)` gives it.
Ref path_text(std::string_view text);

// `root / name` on texts, as the standard path join gives it for one
// segment without separators.
std::string join_path(std::string_view root, std::string_view name);

// Lookup by ID across the type directories below `root`, which stat'ed as
// `root_stat` at the start of this call. Done: `out` holds the path of the
// first file that carries `id`, or is empty when no file does.
Outcome find_by_id(const std::string& root, const struct stat& root_stat, std::string_view id,
                 std::string& out);

// The entries of `root` that are directories (following links), in listing
// order, as joined paths; the directory is read afresh and its listing kept
// for the lookups that follow. false: listing the directory failed.
bool list_type_dirs(const std::string& root, std::vector<std::string>& out);

// The entries of `dir` whose names end in ".json", as joined paths, read
// afresh (and kept, as above); a directory that cannot be read yields
// nothing.
void list_json_files(const std::string& dir, std::vector<std::string>& out);

// Stats following links: 1 exists, 0 not (any error), and whether a dir.
bool path_exists(const std::string& path);
bool path_is_dir(const std::string& path);

// Reads a whole file into a new bytes object. NoEntry: no such file.
// Missing: a path component is not a directory. Failed: anything else, with
// no error set; the caller lets the host's reader report it.
enum class ReadResult { Ok, NoEntry, Missing, Failed };
ReadResult read_file(const std::string& path, Ref& bytes);

// Drops everything remembered about directories, and the change feed.
void forget_directories();

}  // namespace css
