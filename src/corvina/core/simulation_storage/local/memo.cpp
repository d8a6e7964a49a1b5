// The directory memo of local stores (see memo.hpp): the bounded store of
// listings, their index by ID, and the change feed applied to them.
#include "local/memo.hpp"

#include "frame/file_names.hpp"
#include "local/change_feed.hpp"
#include "local/files.hpp"

#include <dirent.h>

namespace css {

namespace {

constexpr size_t kMaxDirectories = 1024;
constexpr size_t kMaxNames = size_t{1} << 21;  // about 2 million names in all
constexpr time_t kRacySeconds = 2;

std::unordered_map<std::string, ListingPtr> g_memo;
size_t g_memo_names = 0;

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

timespec clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// Whether a listing read at `now` of a directory with the times of `st` may
// be remembered on its stat alone.
bool settled_at(const struct stat& st, const timespec& now) {
    return now.tv_sec - st.st_mtim.tv_sec >= kRacySeconds;
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
    // A type directory's listing serves lookups and listings of result
    // files only: the temporary files of saves and the claims of
    // computations, which come and go all the time, are passed over.
    if (!is_result_file(name)) return;
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
    if (!is_result_file(name)) return;  // not kept (see entry_added)
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

}  // namespace

void catch_up() { feed::drain(kApply); }

void forget(const std::string& path) {
    auto it = g_memo.find(path);
    if (it == g_memo.end()) return;
    g_memo_names -= it->second->weight();
    g_memo.erase(it);
}

DirStamp stamp_of(const struct stat& st) {
    return {.dev = st.st_dev, .ino = st.st_ino, .mtime = st.st_mtim, .ctime = st.st_ctim};
}

bool operator==(const DirStamp& a, const DirStamp& b) {
    return a.dev == b.dev && a.ino == b.ino && same_time(a.mtime, b.mtime) &&
           same_time(a.ctime, b.ctime);
}

ListingPtr valid_listing(const std::string& path, const struct stat& st, Role role) {
    auto it = g_memo.find(path);
    if (it == g_memo.end()) return nullptr;
    const ListingPtr& l = it->second;
    if (l->wd >= 0) {
        // The feed has kept its contents true; only the path may now lead to
        // another directory.
        if (l->role == role && l->stamp.dev == st.st_dev && l->stamp.ino == st.st_ino) return l;
        feed::unwatch(l->wd);
        return nullptr;
    }
    return l->stamp == stamp_of(st) ? l : nullptr;
}

int begin_watch(const std::string& path, const struct stat& st, bool follow) {
    if (feed::watch_count() >= kMaxDirectories) {
        // Bounded like the memo: start afresh.
        forget_all();
        feed::reset();
    }
    return feed::watch(path, st.st_dev, follow);
}

ListingPtr kept_below(const std::string& path, const struct stat& root) {
    auto known = g_memo.find(path);
    if (known == g_memo.end()) return nullptr;
    const ListingPtr& l = known->second;
    if (l->wd < 0 || l->role != Role::TypeDir || l->parent_dev != root.st_dev ||
        l->parent_ino != root.st_ino)
        return nullptr;
    return l;
}

ListingPtr read_listing(const std::string& path, const struct stat& before, Role role, int wd) {
    const timespec now = clock_now();
    auto fresh = std::make_shared<Listing>();
    fresh->role = role;
    struct stat opened;
    if (!read_dir(path, fresh->names, fresh->types, opened)) {
        forget(path);
        return nullptr;
    }
    fresh->stamp = stamp_of(before);
    if (wd >= 0 && opened.st_dev == before.st_dev && opened.st_ino == before.st_ino) {
        // Watched before it was read, and what was read is what was watched.
        fresh->wd = wd;
        remember(path, fresh);
        return fresh;
    }
    struct stat after;
    if (stat(path.c_str(), &after) == 0 && stamp_of(after) == fresh->stamp &&
        settled_at(before, now))
        remember(path, fresh);
    else
        forget(path);
    return fresh;
}

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

bool settled(const struct stat& st) { return settled_at(st, clock_now()); }

const std::string* first_with_id(Listing& l, bool remembered, std::string_view id) {
    if (remembered) {
        if (!l.indexed) build_index(l);
        auto it = l.by_id.find(id);
        return it == l.by_id.end() ? nullptr : &l.names[it->second.first];
    }
    for (const std::string& name : l.names)
        if (carries_id(name, id)) return &name;
    return nullptr;
}

bool is_remembered(const std::string& path, const ListingPtr& l) {
    auto it = g_memo.find(path);
    return it != g_memo.end() && it->second == l;
}

}  // namespace css
