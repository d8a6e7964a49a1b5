// The store's file names as the command line reads them: which of the files
// it meets in a type directory are results, claims or temporary files of a
// write in flight, and the name a claim of a given generation has. The rules
// themselves live where the writers apply them (frame/file_names.hpp,
// claims/claim.hpp); these two functions only let Python ask, so that verify,
// prune and the results browser never keep a copy of their own.
#include "claims/bodies.hpp"
#include "claims/claim.hpp"

#include <string>

namespace css {

namespace {

// A str read by code points: every character the rules look at is ASCII, so
// a name with undecodable bytes (lone surrogates) is read as it stands.
struct Name {
    PyObject* s;
    int kind;
    const void* data;
    Py_ssize_t n;

    explicit Name(PyObject* text)
        : s(text), kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)),
          n(PyUnicode_GET_LENGTH(text)) {}

    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }

    bool has(Py_ssize_t at_, std::string_view ascii) const {
        if (at_ < 0 || at_ + static_cast<Py_ssize_t>(ascii.size()) > n) return false;
        for (size_t k = 0; k < ascii.size(); ++k)
            if (at(at_ + static_cast<Py_ssize_t>(k)) != static_cast<unsigned char>(ascii[k]))
                return false;
        return true;
    }
    bool ends_with(std::string_view ascii) const {
        return has(n - static_cast<Py_ssize_t>(ascii.size()), ascii);
    }
    // The store's IDs: 16 lowercase hex digits.
    bool id_at(Py_ssize_t from) const {
        if (from < 0 || from + kIdChars > n) return false;
        for (Py_ssize_t i = from; i < from + kIdChars; ++i) {
            const Py_UCS4 c = at(i);
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        }
        return true;
    }
    static constexpr Py_ssize_t kIdChars = 16;
};

// (kind, component, ID, generation), None where the kind has no such part.
PyObject* parsed(const char* kind, const Name& name, Py_ssize_t component_from,
                 Py_ssize_t id_from, PyObject* generation) {
    Ref component, id;
    if (id_from >= 0) {
        component = Ref::steal(PyUnicode_Substring(name.s, component_from, id_from - 1));
        id = Ref::steal(PyUnicode_Substring(name.s, id_from, id_from + Name::kIdChars));
        if (!component || !id) return nullptr;
    }
    return Py_BuildValue("(sOOO)", kind, component ? component.get() : Py_None,
                         id ? id.get() : Py_None, generation ? generation : Py_None);
}

// "<component>_<ID>.json": the component may be empty, and may itself hold
// "_" (the ID is the last 16 hex digits before ".json").
bool is_result_name(const Name& name, Py_ssize_t& id_from) {
    id_from = name.n - 5 - Name::kIdChars;
    return name.ends_with(".json") && name.id_at(id_from) && name.has(id_from - 1, "_");
}

// ".<component>_<ID>.<generation>.claim", the generation in decimal digits.
bool is_claim_name(const Name& name, Py_ssize_t& id_from, Py_ssize_t& digits_from) {
    if (!name.has(0, ".") || !name.ends_with(".claim")) return false;
    const Py_ssize_t digits_end = name.n - 6;
    digits_from = digits_end;
    while (digits_from > 0 && name.at(digits_from - 1) >= '0' && name.at(digits_from - 1) <= '9')
        --digits_from;
    id_from = digits_from - 1 - Name::kIdChars;
    return digits_from < digits_end && name.has(digits_from - 1, ".") && id_from >= 2 &&
           name.id_at(id_from) && name.has(id_from - 1, "_");
}

// "." + a name (at least one character) + "." + 16 hex digits + ".tmp", as
// temporary_name() forms it.
bool is_temporary_name(const Name& name) {
    const Py_ssize_t suffix_from = name.n - 4 - Name::kIdChars;
    return name.has(0, ".") && name.ends_with(".tmp") && suffix_from >= 3 &&
           name.has(suffix_from - 1, ".") && name.id_at(suffix_from);
}

}  // namespace

// _parse_file_name(name): what the store makes of a file name it meets.
PyObject* parse_file_name(FunctionObject*, const Args& a) {
    const Name name(a[arg::parse_file_name::name]);
    Py_ssize_t id_from = -1, digits_from = -1;
    if (is_result_name(name, id_from)) return parsed("result", name, 0, id_from, nullptr);
    if (is_claim_name(name, id_from, digits_from)) {
        Ref digits = Ref::steal(PyUnicode_Substring(name.s, digits_from, name.n - 6));
        if (!digits) return nullptr;
        Ref generation = Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
        if (!generation) return nullptr;
        return parsed("claim", name, 1, id_from, generation.get());
    }
    if (is_temporary_name(name)) return parsed("temporary", name, 0, -1, nullptr);
    Py_RETURN_NONE;
}

// _claim_file_name(component_name, simulation_id, generation): the name of
// that generation of the claims beside the result "<component>_<ID>.json",
// measured in the file system's bytes as the claims themselves are.
PyObject* claim_file_name(FunctionObject*, const Args& a) {
    PyObject* generation = a[arg::claim_file_name::generation];
    if (!PyLong_Check(generation) || PyBool_Check(generation)) {
        PyErr_Format(PyExc_TypeError, "generation must be an int, not %.200s",
                     Py_TYPE(generation)->tp_name);
        return nullptr;
    }
    const long g = PyLong_AsLong(generation);
    if (g == -1 && PyErr_Occurred()) return nullptr;
    if (g < 0 || g > 1'000'000'000) {
        PyErr_SetString(PyExc_ValueError, "generation must be between 0 and 10**9");
        return nullptr;
    }
    Ref stem = Ref::steal(PyUnicode_FromFormat("%U_%U", a[arg::claim_file_name::component_name],
                                               a[arg::claim_file_name::simulation_id]));
    if (!stem) return nullptr;
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(stem.get()));
    if (!encoded) return nullptr;
    const std::string name = claims::claim_name(
        std::string_view(PyBytes_AS_STRING(encoded.get()),
                         static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))),
        static_cast<int>(g));
    return PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

}  // namespace css
