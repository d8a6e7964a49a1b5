// Direct system calls for standard local paths, and the directory memo that
// lets a lookup by ID skip rescanning a directory that has not changed.
//
// The memo remembers, per directory, its listing (names in the order read,
// and their entry types) with the directory's device, inode, modification and
// change times. A listing is reused only if a fresh stat shows all of these
// unchanged and the listing was read when the directory's modification time
// was already two seconds in the past: changes within one tick of the file
// system's clock leave the times as they were, so a directory changed that
// recently is always read again. Any error means a fresh scan.
#include "fastpath.hpp"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace css {

namespace {

struct Listing {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{}, ctime{};
    std::vector<std::string> names;
    std::vector<unsigned char> types;
    // The first entry whose name ends in "_" + ID + ".json", by ID; made on
    // the first lookup of a remembered listing.
    std::unordered_map<std::string_view, uint32_t> by_id;
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

void forget(const std::string& path) {
    auto it = g_memo.find(path);
    if (it == g_memo.end()) return;
    g_memo_names -= it->second->weight();
    g_memo.erase(it);
}

void remember(const std::string& path, ListingPtr listing) {
    forget(path);
    if (g_memo.size() >= kMaxDirectories || g_memo_names + listing->weight() > kMaxNames) {
        // Simple and bounded: start afresh rather than track recency.
        g_memo.clear();
        g_memo_names = 0;
        if (listing->weight() > kMaxNames) return;
    }
    g_memo_names += listing->weight();
    g_memo.emplace(path, std::move(listing));
}

bool read_dir(const std::string& path, Listing& out) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
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

// The listing of `path`: remembered if still valid, else read afresh (and
// remembered when it may be reused later). nullptr: it cannot be listed.
ListingPtr get_listing(const std::string& path, const struct stat* known = nullptr) {
    struct stat before;
    if (known)
        before = *known;
    else if (stat(path.c_str(), &before) != 0)
        before.st_mode = 0;
    if (!S_ISDIR(before.st_mode)) {
        // Not a directory, or gone: the caller decides what that means.
        forget(path);
        return nullptr;
    }
    auto it = g_memo.find(path);
    if (it != g_memo.end() && same_dir(*it->second, before)) return it->second;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto fresh = std::make_shared<Listing>();
    if (!read_dir(path, *fresh)) {
        forget(path);
        return nullptr;
    }
    fresh->dev = before.st_dev;
    fresh->ino = before.st_ino;
    fresh->mtime = before.st_mtim;
    fresh->ctime = before.st_ctim;
    struct stat after;
    bool settled = stat(path.c_str(), &after) == 0 && same_stat(before, after) &&
                   now.tv_sec - before.st_mtim.tv_sec >= kRacySeconds;
    if (settled)
        remember(path, fresh);
    else
        forget(path);
    return fresh;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void build_index(Listing& l) {
    l.by_id.reserve(l.names.size() * 2);
    for (uint32_t i = 0; i < l.names.size(); ++i) {
        std::string_view name = l.names[i];
        if (!ends_with(name, ".json")) continue;
        std::string_view stem = name.substr(0, name.size() - 5);
        for (size_t p = stem.find('_'); p != std::string_view::npos; p = stem.find('_', p + 1))
            l.by_id.emplace(stem.substr(p + 1), i);
    }
    l.indexed = true;
}

// The first name in listing order that ends in "_" + id + ".json".
const std::string* first_with_id(Listing& l, bool remembered, std::string_view id) {
    if (remembered) {
        if (!l.indexed) build_index(l);
        auto it = l.by_id.find(id);
        return it == l.by_id.end() ? nullptr : &l.names[it->second];
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

// Whether a listing of a directory with these times may be remembered.
bool settled(const struct stat& st) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec >= kRacySeconds;
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
    g_memo.clear();
    g_memo_names = 0;
}

Found find_by_id(const std::string& root, const struct stat& root_stat, std::string_view id,
                 std::string& out) {
    ListingPtr rl = get_listing(root, &root_stat);
    if (!rl) return Found::Fallback;
    for (size_t i = 0; i < rl->names.size(); ++i) {
        std::string type_dir = join_path(root, rl->names[i]);
        if (!entry_is_dir(type_dir, rl->types[i])) continue;
        // A directory that cannot be read has no matches.
        struct stat st;
        if (stat(type_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        auto known = g_memo.find(type_dir);
        bool remembered = known != g_memo.end() && same_dir(*known->second, st);
        if (!remembered && !settled(st)) {
            forget(type_dir);
            std::string name;
            if (!scan_for_id(type_dir, id, name) || name.empty()) continue;
            out = join_path(type_dir, name);
            return Found::Yes;
        }
        ListingPtr tl = get_listing(type_dir, &st);
        if (!tl) continue;
        if (const std::string* name = first_with_id(*tl, is_remembered(type_dir, tl), id)) {
            out = join_path(type_dir, *name);
            return Found::Yes;
        }
    }
    return Found::No;
}

bool list_type_dirs(const std::string& root, std::vector<std::string>& out) {
    ListingPtr rl = get_listing(root);
    if (!rl) return false;
    for (size_t i = 0; i < rl->names.size(); ++i) {
        std::string full = join_path(root, rl->names[i]);
        if (entry_is_dir(full, rl->types[i])) out.push_back(std::move(full));
    }
    return true;
}

void list_json_files(const std::string& dir, std::vector<std::string>& out) {
    ListingPtr l = get_listing(dir);
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
    if (err) return err == ENOENT || err == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
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
