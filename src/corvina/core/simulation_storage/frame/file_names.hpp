// The rules of the store's file names, which every path applies alike (the
// literal walk, the local system calls and the memo, the batch path): a
// result is the file "<component>_<ID>.json" in the directory of its
// simulation type, and a lookup by ID takes the first file in listing order
// that the pattern "*_" + ID + ".json" matches.
//
// Texts are given as the names are compared: UTF-8 or file-system bytes,
// in which every character these rules look at is one byte of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

namespace css {

inline bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// What the listing's "*.json" selects.
inline bool is_result_file(std::string_view name) { return ends_with(name, ".json"); }

// Calls `f(id)` for every ID a file name carries, as the lookup's pattern
// "*_" + ID + ".json" matches it: each text between an "_" and the ".json"
// that ends the name.
template <class F>
void ids_of(std::string_view name, F f) {
    if (!is_result_file(name)) return;
    std::string_view stem = name.substr(0, name.size() - 5);
    for (size_t p = stem.find('_'); p != std::string_view::npos; p = stem.find('_', p + 1))
        f(stem.substr(p + 1));
}

// Whether the file name carries `id` (one of the IDs `ids_of` gives).
inline bool carries_id(std::string_view name, std::string_view id) {
    if (name.size() < id.size() + 6 || !is_result_file(name)) return false;
    std::string_view stem = name.substr(0, name.size() - 5);
    return ends_with(stem, id) && stem[stem.size() - id.size() - 1] == '_';
}

// Whether a text can stand in one file name: it holds no path separator and
// no NUL. No file carries an ID that cannot.
inline bool fits_in_file_name(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '/' || c == 0) return false;
    }
    return true;
}

// The bytes of a file's name that the name of its temporary file keeps:
// with the dot before and the suffix after (18 bytes), the temporary name
// stays within the 255 bytes most file systems allow a name, however long
// the file's own name is.
inline constexpr size_t kTemporaryNameBytes = 200;

// The name of a temporary file a write of the file `name` goes through
// before its rename: "." + name cut to its first 200 bytes (even inside a
// character) + "." + `suffix` (16 hex digits) + ".tmp". Saves and claims
// name theirs so, and verify knows a leftover one by it.
inline std::string temporary_name(std::string_view name, std::string_view suffix) {
    std::string t = ".";
    t.append(name.substr(0, kTemporaryNameBytes));
    t += '.';
    t.append(suffix);
    t += ".tmp";
    return t;
}

// The characters that glob reads as a pattern.
constexpr bool is_pattern_char(Py_UCS4 c) { return c == '*' || c == '?' || c == '['; }

inline bool has_pattern_char(std::string_view s) {
    for (char c : s)
        if (is_pattern_char(static_cast<unsigned char>(c))) return true;
    return false;
}

}  // namespace css
