// Direct system calls on local paths, given as file-system texts: reading
// and writing whole files, and reading directories.
#pragma once

#include "frame/ref.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace css {

// `root / name` on texts, as the standard path join gives it for one
// segment without separators.
std::string join_path(std::string_view root, std::string_view name);

// Stats following links: whether the path exists (any error: not), and
// whether it is a directory.
bool path_exists(const std::string& path);
bool path_is_dir(const std::string& path);

// Reads a whole file into a new bytes object. NoEntry: no such file.
// Missing: a path component is not a directory. Failed: anything else, with
// no error set; the caller lets the host's reader report it.
enum class ReadResult { Ok, NoEntry, Missing, Failed };
ReadResult read_file(const std::string& path, Ref& bytes);

// Writes `data` (bytes) to the path object `path` so that readers see either
// the old file or the new one. false: an error is set, as a direct write
// would set it, and no temporary file is left behind. `durable`: the data
// reach the disk before the rename, and the rename before the return.
bool write_atomically(PyObject* path, PyObject* data, bool durable = false);

// A fresh suffix for a temporary file's name (16 hex digits; see
// temporary_name in frame/file_names.hpp).
std::string temporary_suffix();

// Pushes the file at `path` (a file-system text), then its directory, to the
// disk. false: an error is set, naming `named`.
bool sync_file_and_dir(const std::string& path, PyObject* named);

// The entries of the directory `path` but "." and "..", in the order the
// system lists them: their names and entry types (`d_type`). `opened` is
// the directory actually read (it may differ from an earlier stat of its
// path if the path was replaced meanwhile). false: it cannot be read.
bool read_dir(const std::string& path, std::deque<std::string>& names,
              std::vector<unsigned char>& types, struct stat& opened);

// The first name in the directory `dir` that carries `id`, read straight
// from the directory without keeping its listing; `name` is empty when none
// does. false: the directory cannot be read.
bool scan_for_id(const std::string& dir, std::string_view id, std::string& name);

}  // namespace css
