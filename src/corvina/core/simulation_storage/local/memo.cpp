// Direct system calls for standard local paths, and the directory memo that
// lets a lookup by ID skip rescanning a directory that has not changed.
//
// The memo remembers, per directory, its listing (names in the order read,
// and their entry types). Two things can keep a listing true:
//
// - the change feed (watch.cpp): the directory is watched before it is read,
//   and every create, delete and move queued since is applied to the listing
//   (and its index by ID) at the start of the next call that uses it, so a
//   directory that is being written stays remembered;
// - where the feed cannot be trusted, the directory's stat: its device,
//   inode, modification and change times must be unchanged, and the listing
//   must have been read when the modification time was already two seconds
//   in the past (changes within one tick of the file system's clock leave the
//   times as they were, so a directory changed that recently is always read
//   again).
//
// The simulations directory is stat'ed on every lookup either way, since it
// can be replaced by a path that leads elsewhere without any event in it.
// Any error, any doubt: a fresh read.
#include "local/gates.hpp"
#include "local/change_feed.hpp"

#include <cerrno>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace css {

namespace {

// What a listing is used as. Entries appearing in the simulations directory
// change the order in which type directories are searched, so a listing of
// the root is read again after any change; a type directory's listing takes
// the changes in.
enum class Role : unsigned char { Root, TypeDir };

struct Listing {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{}, ctime{};
    Role role = Role::TypeDir;
    // The directory this one was reached from when last checked: a type
    // directory is trusted without a stat of its own only below the same
    // simulations directory (it can be replaced by a path that leads
    // elsewhere, with no event in the directories watched).
    dev_t parent_dev = 0;
    ino_t parent_ino = 0;
    // The change feed's watch that keeps this listing true, or -1 when it
    // is validated by the directory's stat.
    int wd = -1;
    // In the order read, then as created; "" marks an entry removed since.
    // A deque, so that the views in the indexes stay valid as names are
    // added.
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    size_t removed = 0;
    // Made on the first lookup (or the first change) of a remembered listing:
    // where each name is, and by ID the first entry whose name ends in "_" +
    // ID + ".json" with the number of such entries.
    struct Carriers {
        uint32_t first;
        uint32_t count;
    };
    std::unordered_map<std::string_view, uint32_t> at;
    std::unordered_map<std::string_view, Carriers> by_id;
    bool indexed = false;
    size_t weight() const { return names.size() + 1; }
};

using ListingPtr = std::shared_ptr<Listing>;

constexpr size_t kMaxDirectories = 1024;
constexpr size_t kMaxNames = size_t{1} << 21;  // about 2 million names in all
constexpr time_t kRacySeconds = 2;

std::unordered_map<std::string, ListingPtr> g_memo;
size_t g_memo_names = 0;

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_dir(const Listing& l, const struct stat& st) {
    return l.dev == st.st_dev && l.ino == st.st_ino && same_time(l.mtime, st.st_mtim) &&
           same_time(l.ctime, st.st_ctim);
}

bool same_stat(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && same_time(a.st_mtim, b.st_mtim) &&
           same_time(a.st_ctim, b.st_ctim);
}

void build_index(Listing& l) {
    l.at.clear();
    l.by_id.clear();
    l.at.reserve(l.names.size() + l.names.size() / 2);
    l.by_id.reserve(l.names.size() + l.names.size() / 2);
    for (uint32_t i = 0; i < l.names.size(); ++i) {
        std::string_view name = l.names[i];
        if (name.empty()) continue;
        l.at.emplace(name, i);
        ids_of(name, [&](std::string_view id) {
            auto [it, inserted] = l.by_id.try_emplace(id, Listing::Carriers{.first = i, .count = 1});
            if (!inserted) ++it->second.count;
        });
    }
    l.indexed = true;
}

void forget(const std::string& path) {
    auto it = g_memo.find(path);
    if (it == g_memo.end()) return;
    g_memo_names -= it->second->weight();
    g_memo.erase(it);
}

// Forgets `path` and every directory remembered below it.
void forget_tree(const std::string& path) {
    forget(path);
    std::string prefix = path;
    if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');
    for (auto it = g_memo.begin(); it != g_memo.end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0) {
            g_memo_names -= it->second->weight();
            it = g_memo.erase(it);
        } else {
            ++it;
        }
    }
}

void forget_all() {
    g_memo.clear();
    g_memo_names = 0;
}

void remember(const std::string& path, ListingPtr listing) {
    forget(path);
    if (g_memo.size() >= kMaxDirectories || g_memo_names + listing->weight() > kMaxNames) {
        // Simple and bounded: start afresh rather than track recency.
        forget_all();
        if (listing->weight() > kMaxNames) return;
    }
    g_memo_names += listing->weight();
    g_memo.emplace(path, std::move(listing));
}

// --- applying the change feed -------------------------------------------------

// The remembered listing that the watch `wd` keeps true, if any.
Listing* kept_by(const std::string& dir, int wd) {
    auto it = g_memo.find(dir);
    if (it == g_memo.end() || it->second->wd != wd) return nullptr;
    return it->second.get();
}

// A change of the entry `name` of the simulations directory: the order of the
// type directories may have changed, and the entry may now be another
// directory (or none).
void root_entry_changed(const std::string& dir, std::string_view name) {
    forget(dir);
    forget_tree(join_path(dir, name));
}

void entry_added(const std::string& dir, int wd, std::string_view name, bool is_dir) {
    Listing* l = kept_by(dir, wd);
    if (!l) return;
    if (l->role == Role::Root) return root_entry_changed(dir, name);
    if (!l->indexed) build_index(*l);
    if (l->at.count(name)) return;  // read already, or replaced by a rename
    // A second file for one ID: which comes first would be the file system's
    // order, which only a fresh read knows.
    bool ambiguous = false;
    ids_of(name, [&](std::string_view id) { ambiguous = ambiguous || l->by_id.count(id); });
    if (ambiguous) return forget(dir);
    const uint32_t i = static_cast<uint32_t>(l->names.size());
    l->names.emplace_back(name);
    l->types.push_back(is_dir ? DT_DIR : DT_UNKNOWN);
    std::string_view stored = l->names.back();
    l->at.emplace(stored, i);
    ids_of(stored, [&](std::string_view id) {
        l->by_id.emplace(id, Listing::Carriers{.first = i, .count = 1});
    });
    ++g_memo_names;
}

// Rewrites a listing without the entries removed since it was read.
void compact(Listing& l) {
    l.at.clear();
    l.by_id.clear();
    l.indexed = false;
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    types.reserve(l.names.size() - l.removed);
    for (size_t i = 0; i < l.names.size(); ++i) {
        if (l.names[i].empty()) continue;
        names.push_back(std::move(l.names[i]));
        types.push_back(l.types[i]);
    }
    g_memo_names -= l.removed;
    l.names = std::move(names);
    l.types = std::move(types);
    l.removed = 0;
}

void entry_removed(const std::string& dir, int wd, std::string_view name) {
    Listing* l = kept_by(dir, wd);
    if (!l) return;
    if (l->role == Role::Root) return root_entry_changed(dir, name);
    if (!l->indexed) build_index(*l);
    auto where = l->at.find(name);
    if (where == l->at.end()) return;
    const uint32_t i = where->second;
    l->at.erase(where);
    bool reindex = false;
    ids_of(l->names[i], [&](std::string_view id) {
        auto c = l->by_id.find(id);
        if (c == l->by_id.end()) return;
        if (--c->second.count == 0)
            l->by_id.erase(c);
        else if (c->second.first == i)
            reindex = true;  // the next carrier in listing order takes its place
    });
    // The index holds no view of the name any more.
    l->names[i].clear();
    l->types[i] = DT_UNKNOWN;
    ++l->removed;
    if (reindex) l->indexed = false;
    if (l->removed > 64 && l->removed > l->names.size() / 2) compact(*l);
}

void directory_lost(const std::string& dir, int wd) {
    if (kept_by(dir, wd)) forget_tree(dir);
}

void everything_lost() {
    for (auto it = g_memo.begin(); it != g_memo.end();) {
        if (it->second->wd >= 0) {
            g_memo_names -= it->second->weight();
            it = g_memo.erase(it);
        } else {
            ++it;
        }
    }
}

constexpr feed::Handlers kApply = {
    .added = entry_added,
    .removed = entry_removed,
    .lost = directory_lost,
    .lost_all = everything_lost,
};

void catch_up() { feed::drain(kApply); }

// --- reading directories --------------------------------------------------------

// `opened` is the directory actually read (it may differ from an earlier stat
// of its path if the path was replaced meanwhile).
bool read_dir(const std::string& path, Listing& out, struct stat& opened) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    if (fstat(dirfd(d), &opened) != 0) {
        closedir(d);
        return false;
    }
    errno = 0;
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        out.names.emplace_back(n);
        out.types.push_back(e->d_type);
        errno = 0;
    }
    bool ok = errno == 0;
    closedir(d);
    return ok;
}

// The remembered listing of `path` if it is still true for a directory that
// now stats as `st`.
ListingPtr valid_listing(const std::string& path, const struct stat& st, Role role) {
    auto it = g_memo.find(path);
    if (it == g_memo.end()) return nullptr;
    const ListingPtr& l = it->second;
    if (l->wd >= 0) {
        // The feed has kept its contents true; only the path may now lead to
        // another directory.
        if (l->role == role && l->dev == st.st_dev && l->ino == st.st_ino) return l;
        feed::unwatch(l->wd);
        return nullptr;
    }
    return same_dir(*l, st) ? l : nullptr;
}

// Watches `path` before it is read; -1 when its listing must be validated
// by its stat instead.
int begin_watch(const std::string& path, const struct stat& st, bool follow) {
    if (feed::watch_count() >= kMaxDirectories) {
        // Bounded like the memo: start afresh.
        forget_all();
        feed::reset();
    }
    return feed::watch(path, st.st_dev, follow);
}

// Reads `path` (which stat'ed as `before`, and is watched as `wd` or -1),
// and remembers the listing when it can be kept true. nullptr: it cannot be
// read.
ListingPtr read_listing(const std::string& path, const struct stat& before, Role role, int wd) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto fresh = std::make_shared<Listing>();
    fresh->role = role;
    struct stat opened;
    if (!read_dir(path, *fresh, opened)) {
        forget(path);
        return nullptr;
    }
    fresh->dev = before.st_dev;
    fresh->ino = before.st_ino;
    fresh->mtime = before.st_mtim;
    fresh->ctime = before.st_ctim;
    if (wd >= 0 && opened.st_dev == before.st_dev && opened.st_ino == before.st_ino) {
        // Watched before it was read, and what was read is what was watched.
        fresh->wd = wd;
        remember(path, fresh);
        return fresh;
    }
    struct stat after;
    bool settled = stat(path.c_str(), &after) == 0 && same_stat(before, after) &&
                   now.tv_sec - before.st_mtim.tv_sec >= kRacySeconds;
    if (settled)
        remember(path, fresh);
    else
        forget(path);
    return fresh;
}

// Whether a listing of a directory with these times may be remembered.
bool settled(const struct stat& st) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec >= kRacySeconds;
}

// The first name in listing order that ends in "_" + id + ".json".
const std::string* first_with_id(Listing& l, bool remembered, std::string_view id) {
    if (remembered) {
        if (!l.indexed) build_index(l);
        auto it = l.by_id.find(id);
        return it == l.by_id.end() ? nullptr : &l.names[it->second.first];
    }
    for (const std::string& name : l.names) {
        std::string_view n = name;
        if (n.size() < id.size() + 6 || !ends_with(n, ".json")) continue;
        std::string_view stem = n.substr(0, n.size() - 5);
        if (ends_with(stem, id) && stem[stem.size() - id.size() - 1] == '_') return &name;
    }
    return nullptr;
}

bool is_remembered(const std::string& path, const ListingPtr& l) {
    auto it = g_memo.find(path);
    return it != g_memo.end() && it->second == l;
}

// The first name in `dir` that carries `id`, read straight from the
// directory with no copy of its listing: for directories changed so
// recently that a listing could not be remembered anyway. false: the
// directory cannot be read.
bool scan_for_id(const std::string& dir, std::string_view id, std::string& name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    name.clear();
    errno = 0;
    while (dirent* e = readdir(d)) {
        std::string_view n = e->d_name;
        if (n.size() < id.size() + 6 || !ends_with(n, ".json")) continue;
        std::string_view stem = n.substr(0, n.size() - 5);
        if (ends_with(stem, id) && stem[stem.size() - id.size() - 1] == '_') {
            name.assign(n);
            break;
        }
    }
    closedir(d);
    return true;
}

// Whether an entry of a listing is a directory, following links.
bool entry_is_dir(const std::string& full, unsigned char type) {
    if (type == DT_DIR) return true;
    if (type == DT_LNK || type == DT_UNKNOWN) return path_is_dir(full);
    return false;
}

// A fresh listing of `path` for a scan that reads every entry anyway (in
// the file system's own order), remembered for the lookups that follow.
ListingPtr read_afresh(const std::string& path, Role role) {
    struct stat before;
    if (stat(path.c_str(), &before) != 0 || !S_ISDIR(before.st_mode)) {
        forget(path);
        return nullptr;
    }
    int wd = begin_watch(path, before, role == Role::Root);
    ListingPtr l = read_listing(path, before, role, wd);
    size_t slash = path.rfind('/');
    struct stat parent;
    if (l && role == Role::TypeDir && slash != std::string::npos &&
        stat(slash ? path.substr(0, slash).c_str() : "/", &parent) == 0) {
        l->parent_dev = parent.st_dev;
        l->parent_ino = parent.st_ino;
    }
    return l;
}

}  // namespace

bool path_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool path_is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void forget_directories() {
    forget_all();
    feed::reset();
}

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
        // A directory (not a link) of a root that the feed keeps true: any
        // change of the entry itself would have dropped the root's listing,
        // so its own kept listing needs no stat.
        ListingPtr tl;
        if (root_kept && rl->types[i] == DT_DIR) {
            auto known = g_memo.find(type_dir);
            if (known != g_memo.end() && known->second->wd >= 0 &&
                known->second->role == Role::TypeDir &&
                known->second->parent_dev == root_stat.st_dev &&
                known->second->parent_ino == root_stat.st_ino)
                tl = known->second;
        }
        if (!tl) {
            if (!entry_is_dir(type_dir, rl->types[i])) continue;
            // A directory that cannot be read has no matches.
            struct stat st;
            if (stat(type_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
            tl = valid_listing(type_dir, st, Role::TypeDir);
            if (!tl) {
                int wd = rl->types[i] == DT_DIR ? begin_watch(type_dir, st, false) : -1;
                if (wd < 0 && !settled(st)) {
                    forget(type_dir);
                    std::string name;
                    if (!scan_for_id(type_dir, id, name) || name.empty()) continue;
                    out = join_path(type_dir, name);
                    return Outcome::Done;
                }
                tl = read_listing(type_dir, st, Role::TypeDir, wd);
            }
            if (!tl) continue;
        }
        tl->parent_dev = root_stat.st_dev;
        tl->parent_ino = root_stat.st_ino;
        if (const std::string* name = first_with_id(*tl, is_remembered(type_dir, tl), id)) {
            out = join_path(type_dir, *name);
            return Outcome::Done;
        }
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
        if (ends_with(name, ".json")) out.push_back(join_path(dir, name));
}

ReadResult read_file(const std::string& path, Ref& bytes) {
    int fd = -1;
    int err = 0;
    struct stat st;
    Py_BEGIN_ALLOW_THREADS
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = -1;
        close(fd);
    }
    Py_END_ALLOW_THREADS
    if (err == ENOENT) return ReadResult::NoEntry;
    if (err) return err == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    // One byte more than the size, so that a file that grew while read is
    // noticed.
    const Py_ssize_t want = static_cast<Py_ssize_t>(st.st_size) + 1;
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, want);
    if (!raw) {
        PyErr_Clear();
        close(fd);
        return ReadResult::Failed;
    }
    char* buf = PyBytes_AS_STRING(raw);
    Py_ssize_t got = 0;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        ssize_t r = read(fd, buf + got, static_cast<size_t>(want - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (r == 0) break;
        got += r;
        // Reaching the size the file had when opened ends the read without
        // another call; a shorter read (a transfer limit, a network file
        // system) goes on until the file's end.
        if (got == want - 1) break;
    }
    close(fd);
    Py_END_ALLOW_THREADS
    // A file that grew while read goes to the host's reader.
    if (failed || got == want || _PyBytes_Resize(&raw, got) < 0) {
        Py_XDECREF(raw);
        PyErr_Clear();
        return ReadResult::Failed;
    }
    bytes = Ref::steal(raw);
    return ReadResult::Ok;
}

}  // namespace css
