// The walks over a local store (see walk.hpp).
#include "local/walk.hpp"

#include "frame/file_names.hpp"
#include "local/files.hpp"
#include "local/memo.hpp"

#include <dirent.h>

namespace css {

namespace {

// Whether an entry of a listing is a directory, following links.
bool entry_is_dir(const std::string& full, unsigned char type) {
    if (type == DT_DIR) return true;
    if (type == DT_LNK || type == DT_UNKNOWN) return path_is_dir(full);
    return false;
}

// The first file that carries `id` in `type_dir`, an entry of the type
// `type` in the listing of the simulations directory (which stat'ed as
// `root_stat`, and whose listing the feed keeps true if `root_kept`).
// false: none there.
bool find_in_type_dir(const std::string& type_dir, unsigned char type, bool root_kept,
                      const struct stat& root_stat, std::string_view id, std::string& out) {
    // A directory (not a link) of a root that the feed keeps true: any
    // change of the entry itself would have dropped the root's listing,
    // so its own kept listing needs no stat.
    ListingPtr tl;
    if (root_kept && type == DT_DIR) tl = kept_below(type_dir, root_stat);
    if (!tl) {
        if (!entry_is_dir(type_dir, type)) return false;
        // A directory that cannot be read has no matches.
        struct stat st;
        if (stat(type_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        tl = valid_listing(type_dir, st, Role::TypeDir);
        if (!tl) {
            int wd = type == DT_DIR ? begin_watch(type_dir, st, false) : -1;
            if (wd < 0 && !settled(st)) {
                // Changed so recently that its listing could not be
                // remembered anyway: read straight, with no copy.
                forget(type_dir);
                std::string name;
                if (!scan_for_id(type_dir, id, name) || name.empty()) return false;
                out = join_path(type_dir, name);
                return true;
            }
            tl = read_listing(type_dir, st, Role::TypeDir, wd);
        }
        if (!tl) return false;
    }
    tl->parent_dev = root_stat.st_dev;
    tl->parent_ino = root_stat.st_ino;
    const std::string* name = first_with_id(*tl, is_remembered(type_dir, tl), id);
    if (!name) return false;
    out = join_path(type_dir, *name);
    return true;
}

}  // namespace

Outcome find_by_id(const std::string& root, const struct stat& root_stat, std::string_view id,
                   std::string& out) {
    out.clear();
    catch_up();
    if (!S_ISDIR(root_stat.st_mode)) {
        forget(root);
        return Outcome::Fallback;
    }
    ListingPtr rl = valid_listing(root, root_stat, Role::Root);
    if (!rl) rl = read_listing(root, root_stat, Role::Root, begin_watch(root, root_stat, true));
    if (!rl) return Outcome::Fallback;
    const bool root_kept = rl->wd >= 0 && is_remembered(root, rl);
    for (size_t i = 0; i < rl->names.size(); ++i) {
        if (rl->names[i].empty()) continue;
        std::string type_dir = join_path(root, rl->names[i]);
        if (find_in_type_dir(type_dir, rl->types[i], root_kept, root_stat, id, out)) break;
    }
    return Outcome::Done;
}

bool list_type_dirs(const std::string& root, std::vector<std::string>& out) {
    catch_up();
    ListingPtr rl = read_afresh(root, Role::Root);
    if (!rl) return false;
    for (size_t i = 0; i < rl->names.size(); ++i) {
        std::string full = join_path(root, rl->names[i]);
        if (entry_is_dir(full, rl->types[i])) out.push_back(std::move(full));
    }
    return true;
}

void list_json_files(const std::string& dir, std::vector<std::string>& out) {
    catch_up();
    ListingPtr l = read_afresh(dir, Role::TypeDir);
    if (!l) return;
    for (const std::string& name : l->names)
        if (is_result_file(name)) out.push_back(join_path(dir, name));
}

}  // namespace css
