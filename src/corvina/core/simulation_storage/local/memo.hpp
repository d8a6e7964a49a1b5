// The directory memo of local stores: it lets a lookup by ID skip rescanning
// a directory that has not changed.
//
// The memo remembers, per directory, its listing (names in the order read,
// and their entry types). Two things can keep a listing true:
//
// - the change feed (change_feed.hpp): the directory is watched before it is read,
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
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace css {

// What a directory's stat says of its contents: the same device, inode,
// modification and change times, the same listing (but for changes within
// one tick of the clock).
struct DirStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{}, ctime{};
};

DirStamp stamp_of(const struct stat& st);
bool operator==(const DirStamp& a, const DirStamp& b);

// What a listing is used as. Entries appearing in the simulations directory
// change the order in which type directories are searched, so a listing of
// the root is read again after any change; a type directory's listing takes
// the changes in.
enum class Role : unsigned char { Root, TypeDir };

struct Listing {
    DirStamp stamp;  // of the directory read
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

// Applies every change the feed queued since the last call to the
// remembered listings. Each call that uses them starts with it.
void catch_up();

// Drops what is remembered of `path`.
void forget(const std::string& path);

// The remembered listing of `path` if it is still true for a directory that
// now stats as `st`.
ListingPtr valid_listing(const std::string& path, const struct stat& st, Role role);

// The remembered listing of the type directory `path` that the feed keeps
// true, if it was last reached from the simulations directory that stats as
// `root`; with the root's own listing kept true too, it needs no stat.
ListingPtr kept_below(const std::string& path, const struct stat& root);

// Watches `path` before it is read; -1 when its listing must be validated
// by its stat instead.
int begin_watch(const std::string& path, const struct stat& st, bool follow);

// Reads `path` (which stat'ed as `before`, and is watched as `wd` or -1),
// and remembers the listing when it can be kept true. nullptr: it cannot be
// read.
ListingPtr read_listing(const std::string& path, const struct stat& before, Role role, int wd);

// A fresh listing of `path` for a scan that reads every entry anyway (in
// the file system's own order), remembered for the lookups that follow.
ListingPtr read_afresh(const std::string& path, Role role);

// Whether a listing of a directory with these times, read now, may be
// remembered on its stat alone.
bool settled(const struct stat& st);

// Whether `l` is the listing remembered for `path`.
bool is_remembered(const std::string& path, const ListingPtr& l);

// The first name in listing order that carries `id` (through the index, made
// on first use, when the listing is remembered).
const std::string* first_with_id(Listing& l, bool remembered, std::string_view id);

}  // namespace css
