// The values of the result index's entries as a query reads them: per path,
// a column of every entry's value (made on first use, kept while the
// entries stay as read), and for a nested value the entry's kept text.
#pragma once

#include "local/result_index.hpp"
#include "query/query.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace css {

// A new query begins: columns it does not use may go.
void columns_next_query();

// The column of `p` in `d`, sized for its entries.
rindex::Column& column_of(rindex::Dir& d, const query::Path& p);

// Past the bound, the columns least recently used go, but never one this
// query uses (it may need more than the bound).
void drop_unused_columns(rindex::Dir& d);

// Puts `key: value` into `row`, the value at `path` of the text, if any, as
// the host's decoder gives it. false: an error is set.
bool put_from_text(PyObject* row, PyObject* key, query::TextSource& src, const query::Path& path);

// The values of one entry, from its columns (made on first use) or, for a
// nested value, from its kept text.
class EntrySource final : public query::Source {
  public:
    struct Bound {
        const query::Path* path;
        rindex::Column* column;
    };

    void bind(rindex::Dir& d, std::vector<Bound> bound) {
        d_ = &d;
        bound_ = std::move(bound);
        shared_.clear();
        hint_ = 0;
    }
    void at(uint32_t slot) {
        slot_ = slot;
        parsed_ = false;
        on_disk_ = false;
    }
    const rindex::Entry& entry() const { return d_->entries[slot_]; }
    // A path asked for reaches a value left on disk: the answers given are
    // not the record's.
    bool on_disk() const { return on_disk_; }

    // The cell of a path (a bound one's in its column; `at` is where it is
    // bound, or bound_.size()).
    const rindex::Cell& cell(const query::Path& path, rindex::Column** column = nullptr,
                             size_t* at = nullptr);
    bool resolve(const query::Path& path, query::Value& out) override;

    // The value at `path` as the decoder gives it, into `row`: 1, or 0
    // when the entry holds none there, or -1 with an error set.
    int put(PyObject* row, PyObject* key, const query::Path& path);

    // The text at a bound path, or nullptr (valid until the column grows).
    const std::string* text_at(const query::Path& path);

    // Where the text at a bound path is kept; false when it holds none.
    bool text_ref(const query::Path& path, const rindex::Column*& column, uint32_t& at);

  private:
    // The objects of this query's values, shared by every row that holds
    // the same value: a status or a name repeats across rows, and one
    // object for each spares a table of 100,000 rows most of its
    // allocations (and their release when the table goes). By bound path.
    struct Shared {
        std::vector<Ref> texts;  // by the column's text, when its texts repeat
        std::array<uint64_t, 64> bits{};  // of the number kept beside
        std::array<Ref, 64> numbers;
    };

    Ref shared_text(size_t at, const rindex::Column& c, uint32_t text);
    Ref shared_number(size_t at, const rindex::Cell& k);
    query::TextSource& text();
    void fill(rindex::Cell& cell, rindex::Column* c, const query::Path& path);

    rindex::Dir* d_ = nullptr;
    uint32_t slot_ = 0;
    std::vector<Bound> bound_;
    std::vector<Shared> shared_;  // sized when a row is first made
    size_t hint_ = 0;  // where the next path asked is likely bound
    bool parsed_ = false;
    bool on_disk_ = false;
    std::string plain_;  // the entry's text, when kept packed
    query::Document doc_;
    std::optional<query::TextSource> source_;
    rindex::Cell scratch_;
    std::string scratch_text_;
};

}  // namespace css
