// The function objects of the module.
//
// Each function is described by one constant table (`Signature`): parameter
// names, kinds, checks, defaults, annotation texts and documentation. The
// docstring, `__annotations__`, `__kwdefaults__`, `__signature__`, the
// argument binder and the type checks are all derived from it.
#pragma once

#include "ref.hpp"

namespace css {

enum class Check : unsigned char { Any, Str, StrOrNone, Dict, List, Double, Callable, DoubleOrNone };
// `Number` takes the parameter's `number`; `False` is the bool.
enum class Default : unsigned char { Required, None, Empty, Success, False, Number };

struct Param {
    const char* name;
    Check check;
    Default dflt;
    const char* annotation;
    const char* meaning;  // the docstring's Args line, or nullptr
    double number = 0.0;  // the default of a `Default::Number` parameter
};

inline constexpr int kMaxParams = 12;

struct FunctionObject;

// Bound arguments, in declaration order (borrowed references), plus the
// converted value of a `double` parameter (`dbl`: the last one; `num`: each,
// by position, unset where an optional one is None).
struct Args {
    PyObject* v[kMaxParams] = {};
    double dbl = 0.0;
    double num[kMaxParams] = {};
    PyObject* operator[](int i) const { return v[i]; }
};

using Body = PyObject* (*)(FunctionObject* self, const Args& args);

struct Signature {
    const char* name;
    const char* qualname;
    bool kwonly;
    const Param* params;
    int nparams;
    const char* return_annotation;  // nullptr: no annotations at all
    const char* summary;            // nullptr: no docstring
    const char* description;        // optional paragraph
    bool args_section;              // Args and Returns sections
    const char* returns;
    Body body;
    int lineno;                     // line of the traceback entry
    mutable PyObject* param_names = nullptr;  // interned, made on first use
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* tbname;  // module-qualified name for tracebacks (bytes)
};

extern PyTypeObject FunctionType;

bool init_function_type();
Ref make_function(const Signature& sig, PyObject* module);

// The functions, in the order they are bound, and the sort key of the
// listing.
extern const Signature* const kFunctions[11];
extern const Signature kSortKey;

}  // namespace css
