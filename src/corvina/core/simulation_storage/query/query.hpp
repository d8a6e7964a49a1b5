// Queries over stored records: the values a query compares, the checked
// form of a query, its evaluation over a record (decoded by the host, or
// read straight from the file's bytes), and the scan of a file's JSON text.
//
// A query means the same whatever route a record takes: the file's JSON
// text read natively and the host's decoded objects are both seen through
// `Value`, which holds what the JSON form of a value says and nothing more
// (true is not 1, 1 is 1.0, integers are exact).
#pragma once

#include "frame/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace css::query {

// --- values ------------------------------------------------------------------------

struct Value {
    enum class Kind : unsigned char {
        Null, False, True,
        Int,    // exact, within 128 bits
        Float,  // finite
        Big,    // an integer beyond 128 bits, kept as the interpreter's int
        Str,    // UTF-8 (lone surrogates as their 3-byte forms, which keeps code-point order)
        Arr, Obj,
        Other,  // not a JSON value (what a host decoder may give): equals and orders nothing
    };
    Kind kind = Kind::Null;
    __int128 i = 0;
    double d = 0.0;
    Ref big;
    std::string s;
    std::vector<Value> items;     // Arr elements; Obj values, in key order
    std::vector<std::string> keys;  // Obj keys, sorted, unique

    bool is_number() const { return kind == Kind::Int || kind == Kind::Float || kind == Kind::Big; }
};

// Whole-value equality of JSON forms.
bool equal(const Value& a, const Value& b);
// Order of two numbers or two texts: -1, 0, 1; 2 when they do not order.
int order(const Value& a, const Value& b);
// The JSON value of a host object as a decoder gives it; `strict` refuses
// anything without a JSON form (ValueError naming `where`), else such a
// part becomes Other. false: an error is set.
bool from_object(PyObject* o, Value& out, bool strict, const std::string& where);
// The Python object of a text value (for regular expressions).
Ref str_object(const Value& v);

// --- the JSON text of one file ---------------------------------------------------

// The members of the top-level object of a document: keys (as written, or
// unescaped where they hold escapes) and the spans of their values. A span
// is read only once it is checked, alone or with the whole text.
struct Document {
    struct Member {
        std::string_view key;   // between the quotes, as written
        std::string unescaped;  // the key, when it holds escapes
        const char* begin;
        const char* end;
        bool checked;
        // (An escape never unescapes to nothing.)
        bool named(std::string_view name) const {
            return unescaped.empty() ? key == name : unescaped == name;
        }
    };
    bool object = false;
    std::vector<Member> members;
};

// Whether `text` is a JSON document the host's decoder reads and gives the
// same value for. false (no error set) when it is not, or is one the check
// does not vouch for (deep nesting, lone surrogates, numbers near the
// limits): the host's decoder then decides.
bool check_document(const char* text, size_t size);
// The same, indexing the top-level members on the way (all checked).
bool scan_document(const char* text, size_t size, Document& out);
// Indexes the top-level members by the text's structure alone, quickly,
// without checking it: true for a text that looks like one object. Right
// for every text that `check_document` accepts; for any other text, what
// is read from it is only a guess, which the caller confirms by decoding.
bool index_document(const char* text, size_t size, Document& out);

// --- checked queries ---------------------------------------------------------------

enum class Op : unsigned char { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists, Regex, Near };

struct Node {
    enum class Kind : unsigned char { And, Or, Not, Test } kind = Kind::And;
    std::vector<Node> children;
    // Test:
    int path = -1;
    Op op = Op::Eq;
    Value operand;              // Eq, Ne and the comparisons
    std::vector<Value> set;     // In, Nin
    bool exists = true;         // Exists
    Ref pattern;                // Regex: the compiled pattern
    double near[3] = {0, 0, 0}; // Near: value, rel_tol, abs_tol
    // On the record's date: the instant of the operand, or of each item of
    // a set, in microseconds since the epoch (valid where `dated` says).
    bool operand_dated = false;
    int64_t instant = 0;
    std::vector<char> set_dated;
    std::vector<int64_t> set_instants;
};

struct Path {
    std::vector<std::string> segments;
    std::vector<Ref> keys;            // the segments as interpreter texts
    std::vector<long long> indices;   // a segment's array index, or -1
    bool date = false;                // the record's simulation_date
};

struct Query {
    std::vector<Path> paths;
    Node root;  // an And; empty: every record
};

// Checks `where` (a dict, or None for every record) whole and compiles it;
// a malformed query is a ValueError naming the offending part.
bool compile(PyObject* where, Query& out);
// A field path (ValueError naming `what` if it is not one); with
// `descending`, a "-" in front is allowed and says so.
bool compile_path(PyObject* text, const char* what, Path& out, bool* descending);

// Where the values of one record come from.
class Source {
  public:
    virtual ~Source() = default;
    // The value at `path`; false when the record has none there.
    virtual bool resolve(const Path& path, Value& out) = 0;
};

// The record as the file's checked JSON text.
class TextSource final : public Source {
  public:
    explicit TextSource(Document& doc) : doc_(doc) {}
    bool resolve(const Path& path, Value& out) override;
    // The text of the value at `path` (checked, as resolve checks it);
    // false when the record has none there.
    bool span(const Path& path, const char*& begin, const char*& end);
    // A member asked for did not pass its check: the answers given are not
    // to be trusted, and the host must decode the file.
    bool broken() const { return broken_; }

  private:
    Document& doc_;
    bool broken_ = false;
};

// The record as the host decoded it.
class ObjectSource final : public Source {
  public:
    explicit ObjectSource(PyObject* data) : data_(data) {}
    bool resolve(const Path& path, Value& out) override;
    // The decoded object at `path` (borrowed), or nullptr.
    PyObject* at(const Path& path) const;

  private:
    PyObject* data_;
};

// 1 the record matches, 0 not, -1 an error is set (a regular expression
// that raised).
int matches(const Query& q, Source& src);

// Room for evaluations, kept by a caller that tests many records in a row
// so that none of them allocates.
struct Scratch {
    std::vector<signed char> state, date_state;
    std::vector<Value> values;
    std::vector<int64_t> dates;
};
int matches(const Query& q, Source& src, Scratch& scratch);

// The instant of a record's date text, in microseconds since the epoch
// (naive: UTC). false: not an ISO 8601 date (no error set); -1 on error.
int date_instant(std::string_view text, int64_t& out);

// Sort order of two keys of the same path: numbers, then texts (or, on the
// record's date, dates), then everything else, which is not ordered.
struct SortKey {
    int rank = 2;
    bool dated = false;
    Value value;
    int64_t instant = 0;
};
bool make_sort_key(const Path& path, Source& src, SortKey& out);
// a before b, ascending (`descending` reverses ranks 0 and 1 only).
bool sort_before(const SortKey& a, const SortKey& b, bool descending);

}  // namespace css::query
