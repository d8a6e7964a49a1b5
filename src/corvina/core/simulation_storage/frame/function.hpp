// The function objects of the module, each made from one constant table
// (`Signature`, see signature.hpp).
#pragma once

#include "frame/ref.hpp"
#include "frame/signature.hpp"

namespace css {

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

// The module dictionary the function reads its globals from.
inline PyObject* globals_of(FunctionObject* f) { return PyModule_GetDict(f->module); }

bool init_function_type();

// Whether `f` is one of the module's own functions, with the body `body`
// (and of the module `module`, unless that is nullptr): not a function put in
// its place, whose behaviour a fast path could not stand in for.
bool is_own_function(PyObject* f, PyObject* module, Body body);
Ref make_function(const Signature& sig, PyObject* module);

}  // namespace css
