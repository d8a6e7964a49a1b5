// The walks over a local store that the operations make, served from the
// directory memo: the lookup by ID, and the listings a scan reads.
#pragma once

#include "frame/outcome.hpp"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace css {

// Lookup by ID across the type directories below `root`, which stat'ed as
// `root_stat` at the start of this call. Done: `out` holds the path of the
// first file that carries `id`, or is empty when no file does.
Outcome find_by_id(const std::string& root, const struct stat& root_stat, std::string_view id,
                   std::string& out);

// The entries of `root` that are directories (following links), in listing
// order, as joined paths; the directory is read afresh and its listing kept
// for the lookups that follow. false: listing the directory failed.
bool list_type_dirs(const std::string& root, std::vector<std::string>& out);

// The entries of `dir` whose names are those of result files, as joined
// paths, read afresh (and kept, as above); a directory that cannot be read
// yields nothing.
void list_json_files(const std::string& dir, std::vector<std::string>& out);

}  // namespace css
