// The values of the result index's entries as a query reads them: per path,
// a column of every entry's value (made on first use, kept while the
// entries stay as read), and for a nested value the entry's kept text.
#pragma once

#include "local/result_index.hpp"
#include "query/query.hpp"

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

    const rindex::Cell& cell(const query::Path& path, rindex::Column** column = nullptr);
    bool resolve(const query::Path& path, query::Value& out) override;

    // The value at `path` as the decoder gives it, into `row`: 1, or 0
    // when the entry holds none there, or -1 with an error set.
    int put(PyObject* row, PyObject* key, const query::Path& path);

    // The text at a bound path, or nullptr (valid until the column grows).
    const std::string* text_at(const query::Path& path);

    // Where the text at a bound path is kept; false when it holds none.
    bool text_ref(const query::Path& path, const rindex::Column*& column, uint32_t& at);

  private:
    query::TextSource& text();
    void fill(rindex::Cell& cell, rindex::Column* c, const query::Path& path);

    rindex::Dir* d_ = nullptr;
    uint32_t slot_ = 0;
    std::vector<Bound> bound_;
    bool parsed_ = false;
    bool on_disk_ = false;
    std::string plain_;  // the entry's text, when kept packed
    query::Document doc_;
    std::optional<query::TextSource> source_;
    rindex::Cell scratch_;
    std::string scratch_text_;
};

}  // namespace css
