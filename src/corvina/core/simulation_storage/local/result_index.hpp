// The result index: what queries need of each result file of a local
// store (or of a store on S3: store/remote_index.hpp), kept in the process,
// and validated before every use.
//
// Per type directory, per result file: the file's checked JSON text without
// its long values (query/slim.hpp), whether the host's record class accepts
// it (once a query has asked), and what the file was when read (inode,
// size, modification and change times). Before each use the index is
// brought up to date with the directory:
//
// - where the change feed keeps the directory (change_feed.hpp), every file
//   named by an event since the last use (created, removed, renamed over,
//   written in place, its attributes changed) is read again, and nothing
//   else; files that are symbolic links, or have other names, which the
//   feed may not see changing, are stat'ed every time;
// - elsewhere (network file systems, a refused watch, the feed off, after a
//   fork), the directory is listed and every result file stat'ed: a file
//   whose inode, size or times differ is read again. A change in place that
//   keeps size and modification time still moves the change time, which no
//   call can set back; a file whose times were within two seconds of the
//   moment it was read (so that a later change in the same tick of the file
//   system's clock could leave them as they were) is read again every time
//   until it has settled.
//
// Files that cannot be read, decoded or checked here are kept only as
// "other": a query reads them as before, every time.
#pragma once

#include "local/read_ahead.hpp"
#include "query/slim.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <ctime>
#include <memory>
#include <string_view>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css::rindex {

// Whether the index is switched off now: CORVINA_DISABLE_RESULT_INDEX set
// (to anything but "" or "0"), read at every query so that tests can
// compare both ways in one process. Then, as with the fast paths off,
// every query reads every file.
bool switched_off();

enum class Kind : unsigned char {
    Free,   // an unused slot
    Kept,   // its checked text is kept
    Other,  // read by the query every time (not checked here, a dangling
            // link, not a regular file, cannot be read)
};

struct Entry {
    std::string name;
    Kind kind = Kind::Free;
    // The record class's verdict on the file: -1 not asked yet, 0 refused,
    // 1 accepted (see Verdicts).
    signed char valid = -1;
    bool racy = false;          // read too soon after a change to vouch by stat later
    bool check_always = false;  // a link or one of several names of its file
    uint32_t pos = 0;           // place in the directory's listing order
    uint64_t stamp = 0;         // changes whenever the entry is read again
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    query::Slim slim;
};

// A column: one path's value in every entry of a directory, made when a
// query first asks for the path and kept while the entries stay as read.
struct Cell {
    enum class State : unsigned char { Stale, Scalar, Missing, OnDisk, Nested };
    uint64_t stamp = 0;  // of the entry it was made for
    State state = State::Stale;
    query::Value::Kind kind = query::Value::Kind::Null;
    union {
        int64_t i;
        double d;
        uint32_t str;  // into the column's texts
    };
    Cell() : i(0) {}
};

struct Column {
    std::vector<Cell> cells;  // by slot
    std::vector<std::string> texts;
    // Texts made lately, by a hash of their bytes, as places in `texts` plus
    // one: cells of a text that repeats (a name, a status) share it.
    std::array<uint32_t, 64> recent{};
    uint64_t used = 0;  // for dropping the least recently used
};

struct Dir {
    virtual ~Dir() = default;  // a store named by URL keeps more (store/remote_index.hpp)
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    int wd = -1;  // the change feed's watch, or -1: validated by listing
    unsigned long feed_generation = 0;
    bool trusted = false;      // the feed has kept it since the last full pass
    // A full pass is under way: another thread may drain the feed while it
    // reads with the interpreter's lock released, and what it hears then
    // is kept for the next use (or, if the feed lost events, spoils the pass).
    bool passing = false;
    bool lost_while_passing = false;
    bool order_exact = false;  // positions are those of the file system's listing
    std::vector<Entry> entries;  // slots
    std::vector<uint32_t> free_slots;
    std::unordered_map<std::string, uint32_t> at;  // name -> slot
    std::unordered_set<std::string> dirty;  // names the feed reported since
    std::unordered_map<std::string, Column> columns;
    size_t live = 0;
    bool remote = false;  // kept from a flat listing of object storage (store/remote_index.hpp)
};

enum class Fresh {
    Ready,     // up to date
    Nothing,   // not a readable directory: it holds no results
    Declined,  // the index cannot serve it now: read the store as before
};

// Whether the index may be used now: it is on, and no other call is inside
// it (a thread that released the interpreter's lock, or a call made from
// within one). Hold a Use for the whole query.
class Use {
  public:
    Use();
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return held_; }

  private:
    bool held_ = false;
};

// Called with every file read into an entry while an index is brought up
// to date, with the file's whole checked text: a query can decide on it
// at once instead of asking the entry again.
using ReadHook = std::function<void(Dir& d, const Entry& x, const query::Document& doc)>;

// Brings the index of the type directory `path` up to date. Call once per
// query, after the change feed was drained (memo's catch_up).
Fresh refresh(const std::string& path, Dir*& out, const ReadHook* hook = nullptr);

// The file of an entry as it is now, and whether it is what the entry
// holds: Same (by its stat when its times vouch for it, else by its
// text), Changed (or gone, or unreadable), Error (set).
enum class Current { Same, Changed, Error };
Current read_current(const Dir& d, const Entry& x, Ref& bytes);
// The same, judged on a read already made (with its stat after).
Current judge_read(const Entry& x, const FileRead& r, const char* text, Ref& bytes);

// Whether the JSON text `text` is, as far as the index keeps it, what the
// entry holds.
bool same_text(const Entry& x, const char* text, size_t size);

// Lists the directory again to learn the file system's order of its
// entries (names created or removed since keep their old places).
// false: it could not be listed.
bool relist(Dir& d);

// Marks one entry as needing a fresh read before its next use.
void suspect(Dir& d, uint32_t slot);

// The record class's verdicts hold only for the class they were given by,
// unchanged: `key` names it (see query_index.cpp). A different key forgets
// every verdict.
void verdicts_for(uintptr_t class_id, unsigned long version);

// Memory held by the index, in bytes (an estimate), and its number of
// entries, for the benchmark.
size_t memory_estimate(size_t* entries);

// Forgets everything (tests, and the switch).
void clear();

// --- the directories and their entries, shared by the refresh of local
// directories (index_refresh.cpp) and of listed ones (store/remote_index.cpp)

// The directory kept under `key` (a local directory's path; other keys
// begin with a NUL byte, which no path holds), made by `make` when there is
// none. nullptr when the bound on directories is reached: the index starts
// afresh before the next query.
Dir* dir_at(const std::string& key, std::unique_ptr<Dir> (*make)());
Dir* find_dir(const std::string& key);
void forget_dir(const std::string& key);

// Whether `more` entries fit within the bound; false: the index starts
// afresh before the next query.
bool room_for(size_t more);

// Takes a free slot for `name` (kind Other until read), or frees one.
uint32_t new_slot(Dir& d, std::string_view name);
void free_entry(Dir& d, uint32_t slot);
// Forgets every entry and column of a directory.
void clear_dir(Dir& d);
// A stamp for an entry read again: never the same twice.
uint64_t next_stamp();
// No directory is kept by the feed any more (a fork, a lost feed).
void untrust_all();
// Every directory kept.
void for_each_dir(const std::function<void(Dir&)>& fn);

// Makes the feed's events reach the index (at import).
void init();

}  // namespace css::rindex
