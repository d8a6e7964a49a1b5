// One attempt at answering a query from the result index (see
// query_index.hpp): the index brought up to date, every entry tested on
// columns of the paths the query asks for, then the matches validated,
// ordered and built. An attempt that finds a file changed since the index
// read it reads it again and asks for another (Again); whatever the index
// cannot answer exactly as the walk over every file would goes to that
// walk (Fallback).
#pragma once

#include "local/result_index.hpp"
#include "remote/listing.hpp"
#include "store/entry_source.hpp"
#include "store/query_index.hpp"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace css {

struct Candidate {
    rindex::Dir* d;
    uint32_t slot;
    uint32_t rank;   // of its directory in the walk
    bool from_file;  // decided on the file's text (a path reached a value left on disk)
    Ref record;      // made while validating, from bytes that matched the index
    const rindex::Column* dates = nullptr;  // where its date's text is
    uint32_t date_at = 0;
    // Only when a sort is asked: a candidate stays small, and 100,000 of
    // them move cheaply.
    std::unique_ptr<query::SortKey> key;

    const std::string& date() const { return dates->texts[date_at]; }
};

enum class Step { Done, Error, Fallback, Again };

struct Attempt {
    PyObject* g;
    const Ask& ask;
    query::Path date_path;
    std::vector<rindex::Dir*> dirs;
    std::vector<Candidate> found;
    query::Scratch scratch;
    EntrySource src;
    remote::Store listed;  // the listing of a store named by URL, for this attempt
    bool everything;
    rindex::Dir* bound_dir = nullptr;
    // Decisions made on whole texts as the index read them (this attempt's
    // reads), by directory and slot: 1 match, 0 not, -1 not made.
    std::unordered_map<const rindex::Dir*, std::vector<signed char>> decided;
    rindex::ReadHook on_read;
    Ref row_shape;  // see make_row_shape
    // While a loop reads many candidates' local files: read ahead, in the
    // loop's order (see read_ahead).
    std::unique_ptr<ReadAhead> ahead;

    Attempt(PyObject* globals, const Ask& a);

    // --- index_select.cpp: which entries match
    void bind(rindex::Dir& d);
    void bind_to(const Candidate& c);
    int decide(query::Source& s);
    void decide_on_read(rindex::Dir& d, const rindex::Entry& x, const query::Document& doc);
    bool reaches_dropped(const rindex::Entry& x) const;
    rindex::Current current(rindex::Dir& d, uint32_t slot, Ref& bytes);
    int decide_on_file(rindex::Dir& d, uint32_t slot);
    Step select_dir(uint32_t rank, std::vector<Candidate>& on_file);
    Step select();
    Step read_current(const Candidate& c, Ref& bytes);
    Step fetch(const std::vector<const Candidate*>& wanted);
    // Ends the read-ahead when the loop that asked for it ends, however.
    struct AheadEnds {
        Attempt& a;
        ~AheadEnds() { a.ahead.reset(); }
    };
    [[nodiscard]] AheadEnds read_ahead(const std::vector<const Candidate*>& wanted);
    Step validate();
    int passes_filters(Candidate& c);

    // --- query_index.cpp: the answer
    Step order();
    Step records(Ref& out);
    Step record(Candidate& c, Ref& out);
    Step row(Candidate& c, bool reads_file, Ref& out);
    bool row_reads_file(const Candidate& c);
    bool make_row_shape();
    Step refresh(PyObject* root, PyObject* simulation_type);
    Step run(PyObject* root, PyObject* simulation_type, Ref& out);
};

}  // namespace css
