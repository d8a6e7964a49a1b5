// The result index on a local directory (see result_index.hpp): the change
// feed's events, the pass over the directory's listing, and the reading of
// one file into an entry or of a file as it is now.
#include "local/change_feed.hpp"
#include "local/files.hpp"
#include "local/memo.hpp"
#include "local/read_ahead.hpp"
#include "local/result_index.hpp"
#include "frame/file_names.hpp"

#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace css::rindex {

namespace {

// As the memo: a file changed this recently may change again within the
// same tick of the file system's clock without its times showing it.
constexpr time_t kRacySeconds = 2;

const ReadHook* g_hook = nullptr;  // of the refresh under way

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const Entry& x, const struct stat& st) {
    return x.ino == st.st_ino && x.size == st.st_size && same_time(x.mtime, st.st_mtim) &&
           same_time(x.ctime, st.st_ctim);
}

// --- the feed's events --------------------------------------------------------------

Dir* kept_by(const std::string& dir, int wd) {
    Dir* d = find_dir(dir);
    return d && d->wd == wd && (d->trusted || d->passing) ? d : nullptr;
}

void on_added(const std::string& dir, int wd, std::string_view name, bool) {
    Dir* d = kept_by(dir, wd);
    if (!d || !is_result_file(name)) return;
    d->dirty.emplace(name);
    // A name created, or renamed over, may take any place in the order.
    d->order_exact = false;
}

void on_removed(const std::string& dir, int wd, std::string_view name) { on_added(dir, wd, name, false); }

void on_changed(const std::string& dir, int wd, std::string_view name) {
    Dir* d = kept_by(dir, wd);
    if (d && is_result_file(name)) d->dirty.emplace(name);
}

void on_lost(const std::string& dir, int wd) {
    Dir* d = find_dir(dir);
    if (d && d->wd == wd) {
        d->trusted = false;
        d->lost_while_passing = true;
    }
}

void on_lost_all() { untrust_all(); }

constexpr feed::Handlers kListener = {
    .added = on_added,
    .removed = on_removed,
    .lost = on_lost,
    .lost_all = on_lost_all,
    .changed = on_changed,
};

// --- reading a file into an entry -----------------------------------------------------

enum class Read { Kept, Other, Gone };

// Reads the file `name` of `d` into `x`, or takes its bytes from `ahead`
// (next in its order). `type` is its entry type from a listing (DT_UNKNOWN
// when not known).
Read read_entry(Dir& d, std::string_view name, unsigned char type, Entry& x, ReadAhead* ahead) {
    static std::string buf;
    const std::string full = join_path(d.path, name);
    struct stat lst;
    bool link = type == DT_LNK;
    if (type == DT_UNKNOWN && lstat(full.c_str(), &lst) == 0) link = S_ISLNK(lst.st_mode);
    FileRead here;
    const char* text = nullptr;
    if (!ahead) {
        Py_BEGIN_ALLOW_THREADS
        here = read_whole_unlocked(full, buf, false);
        Py_END_ALLOW_THREADS
        text = buf.data();
    }
    const FileRead& r = ahead ? ahead->next(text) : here;
    x.slim = query::Slim{};
    x.valid = -1;
    x.stamp = next_stamp();
    x.check_always = link;
    x.racy = true;
    if (r.err == ENOENT && !link) return Read::Gone;
    if (r.err || !r.regular || r.grew) {
        x.kind = Kind::Other;
        return Read::Other;
    }
    x.ino = r.before.st_ino;
    x.size = r.before.st_size;
    x.mtime = r.before.st_mtim;
    x.ctime = r.before.st_ctim;
    x.check_always = link || r.before.st_nlink > 1;
    const time_t changed = std::max(r.before.st_mtim.tv_sec, r.before.st_ctim.tv_sec);
    // Changed so recently that the times could stay as they are through
    // another change: vouched for by its contents only. (A change while it
    // was read moves its times past those kept, or is within that window.)
    x.racy = r.opened_at.tv_sec - changed < kRacySeconds;
    static query::Document doc;  // kept from file to file, for its storage
    if (!query::scan_document(text, r.got, doc) || !doc.object) {
        x.kind = Kind::Other;
        return Read::Other;
    }
    query::make_slim(doc, x.slim);
    query::pack(x.slim);
    x.kind = Kind::Kept;
    if (g_hook) (*g_hook)(d, x, doc);
    return Read::Kept;
}

// Reads `name` again (a new entry if it has none). Gone: forgotten.
void reread(Dir& d, std::string_view name, unsigned char type, ReadAhead* ahead = nullptr) {
    auto it = d.at.find(std::string(name));
    uint32_t slot = it != d.at.end() ? it->second : new_slot(d, name);
    if (read_entry(d, name, type, d.entries[slot], ahead) == Read::Gone) free_entry(d, slot);
}

// Sets the hook for the length of one refresh.
struct Hooked {
    explicit Hooked(const ReadHook* h) { g_hook = h; }
    ~Hooked() { g_hook = nullptr; }
};

// Whether an entry may be kept on its stat alone.
bool still_as_read(const Entry& x, const std::string& full) {
    if (x.kind != Kind::Kept || x.racy) return false;
    struct stat st;
    return stat(full.c_str(), &st) == 0 && same_file(x, st);
}

// --- bringing a directory up to date ----------------------------------------------------

// What the feed reported, and the entries it cannot see.
void apply_feed(Dir& d) {
    std::unordered_set<std::string> names;
    names.swap(d.dirty);
    for (const std::string& name : names) reread(d, name, DT_UNKNOWN);
    for (uint32_t slot = 0; slot < d.entries.size(); ++slot) {
        Entry& x = d.entries[slot];
        if (x.kind == Kind::Free || !x.check_always) continue;
        if (!still_as_read(x, join_path(d.path, x.name))) {
            std::string name = x.name;
            reread(d, name, DT_UNKNOWN);
        }
    }
}

// The whole directory listed, each result file stat'ed, the changed ones
// read again. false: it could not be listed.
bool full_pass(Dir& d, const struct stat& st) {
    const int wd = begin_watch(d.path, st, false);
    d.dirty.clear();
    // From here on the watch's events name this directory, whichever thread
    // drains them (another may, while the files below are read with the
    // interpreter's lock released): a file added after the listing is
    // heard of, not dropped.
    d.wd = wd;
    d.feed_generation = feed::generation();
    d.passing = true;
    d.lost_while_passing = false;
    struct EndOfPass {
        Dir& d;
        ~EndOfPass() { d.passing = false; }
    } end_of_pass{d};
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    struct stat opened;
    if (!read_dir(d.path, names, types, opened)) return false;
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return false;
    if (!room_for(names.size())) return false;
    d.entries.reserve(names.size());
    d.at.reserve(names.size());
    std::vector<char> seen(d.entries.size(), 0);
    // Which files to read, first: a first pass reads them all, ahead of
    // their decoding.
    std::vector<size_t> changed;
    std::vector<std::string> paths;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (!is_result_file(name)) continue;
        auto it = d.at.find(name);
        std::string full = join_path(d.path, name);
        if (it == d.at.end() || !still_as_read(d.entries[it->second], full)) {
            changed.push_back(i);
            paths.push_back(std::move(full));
        }
    }
    ReadAhead ahead(std::move(paths), false);
    size_t next_changed = 0;
    uint32_t pos = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (!is_result_file(name)) continue;
        if (next_changed < changed.size() && changed[next_changed] == i) {
            ++next_changed;
            reread(d, name, types[i], &ahead);
        }
        auto it = d.at.find(name);
        if (it == d.at.end()) continue;
        d.entries[it->second].pos = pos++;
        if (it->second < seen.size()) seen[it->second] = 1;
    }
    for (uint32_t slot = 0; slot < seen.size(); ++slot)
        if (!seen[slot]) free_entry(d, slot);
    d.trusted = wd >= 0 && !d.lost_while_passing;
    // Names heard of during the pass may take any place in the order.
    d.order_exact = d.dirty.empty();
    return true;
}

std::unique_ptr<Dir> make_local() { return std::make_unique<Dir>(); }

}  // namespace

Fresh refresh(const std::string& path, Dir*& out, const ReadHook* hook) {
    out = nullptr;
    Hooked hooked(hook);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        forget_dir(path);
        return Fresh::Nothing;
    }
    Dir* kept = dir_at(path, make_local);
    if (!kept) return Fresh::Declined;
    Dir& d = *kept;
    if (d.dev != st.st_dev || d.ino != st.st_ino) {
        clear_dir(d);
        d.dev = st.st_dev;
        d.ino = st.st_ino;
    }
    if (d.trusted && feed::still_watching(d.wd, d.path, d.feed_generation)) {
        apply_feed(d);
    } else if (!full_pass(d, st)) {
        forget_dir(path);
        // Not listable: as the listing, no results; anything else (a race
        // with its replacement, the bound): read as before.
        return access(path.c_str(), R_OK | X_OK) == 0 ? Fresh::Declined : Fresh::Nothing;
    }
    out = &d;
    return Fresh::Ready;
}

Current read_current(const Dir& d, const Entry& x, Ref& bytes) {
    const std::string full = join_path(d.path, x.name);
    struct stat before, after;
    int fd = -1;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS
    fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    Py_END_ALLOW_THREADS
    if (!ok) {
        if (fd >= 0) close(fd);
        return Current::Changed;
    }
    // One byte more than the size, so that a file that grew is noticed.
    const Py_ssize_t want = static_cast<Py_ssize_t>(before.st_size) + 1;
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, want);
    if (!raw) {
        close(fd);
        return Current::Error;
    }
    Py_ssize_t got = 0;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        ssize_t r = read(fd, PyBytes_AS_STRING(raw) + got, static_cast<size_t>(want - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        got += r;
        if (got == want - 1) break;
    }
    ok = ok && got < want && fstat(fd, &after) == 0;
    close(fd);
    Py_END_ALLOW_THREADS
    if (!ok || _PyBytes_Resize(&raw, got) < 0) {
        Py_XDECREF(raw);
        PyErr_Clear();
        return Current::Changed;
    }
    bytes = Ref::steal(raw);
    // The same file, unchanged since it was read, with times that vouch
    // for it; otherwise its text must be what the index holds.
    if (!x.racy && same_file(x, before) && same_file(x, after)) return Current::Same;
    return same_text(x, PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(got)) ? Current::Same
                                                                                  : Current::Changed;
}

Current judge_read(const Entry& x, const FileRead& r, const char* text, Ref& bytes) {
    if (r.err || !r.regular || r.grew || !r.after_ok) return Current::Changed;
    bytes = Ref::steal(PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(r.got)));
    if (!bytes) return Current::Error;
    if (!x.racy && same_file(x, r.before) && same_file(x, r.after)) return Current::Same;
    return same_text(x, text, r.got) ? Current::Same : Current::Changed;
}

bool same_text(const Entry& x, const char* text, size_t size) {
    query::Document doc;
    query::Slim now;
    if (!query::scan_document(text, size, doc) || !doc.object) return false;
    query::make_slim(doc, now);
    static std::string kept;
    return now.text == x.slim.plain(kept) && now.dropped == x.slim.dropped;
}

bool relist(Dir& d) {
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    struct stat opened;
    if (!read_dir(d.path, names, types, opened)) return false;
    size_t matched = 0;
    uint32_t pos = 0;
    for (const std::string& name : names) {
        if (!is_result_file(name)) continue;
        auto it = d.at.find(name);
        if (it != d.at.end()) {
            d.entries[it->second].pos = pos;
            ++matched;
        }
        ++pos;
    }
    d.order_exact = matched == d.live && pos == d.live;
    return true;
}

void init() { feed::listen(&kListener); }

}  // namespace css::rindex
