#include "frame/function.hpp"

#include "frame/binder.hpp"
#include "frame/host.hpp"

#include <cstddef>
#include <string>

namespace css {

namespace {

PyObject* fail(FunctionObject* f) {
    add_traceback(PyBytes_AS_STRING(f->tbname), f->sig->lineno);
    return nullptr;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Args a;
    if (!bind(*f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return fail(f);
    PyObject* r = f->sig->body(f, a);
    if (!r) return fail(f);
    return r;
}

// --- the type ---------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->tbname);
    PyObject_GC_Del(self);
}

PyObject* fn_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* fn_descr_get(PyObject* self, PyObject*, PyObject*) {
    // Like built-in functions: no binding to instances when stored on a class.
    return Py_NewRef(self);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
PyObject* get_module(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->modname);
}
PyObject* get_doc(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->doc ? f->doc : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XSETREF(f->doc, Py_XNewRef(value));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}
PyObject* get_defaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations) {
        const Signature& s = *f->sig;
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        if (s.return_annotation) {
            for (int i = 0; i < s.nparams; ++i) {
                Ref text = Ref::steal(PyUnicode_FromString(s.params[i].annotation));
                if (!text || PyDict_SetItemString(d.get(), s.params[i].name, text.get()) < 0)
                    return nullptr;
            }
            Ref ret = Ref::steal(PyUnicode_FromString(s.return_annotation));
            if (!ret || PyDict_SetItemString(d.get(), "return", ret.get()) < 0) return nullptr;
        }
        f->annotations = d.release();
    }
    return Py_NewRef(f->annotations);
}

// An `inspect.Signature` built from the table, so that `inspect.signature`
// and `help()` show the real parameters, defaults and annotation texts.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Signature& s = *f->sig;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref kind = Ref::steal(
        PyObject_GetAttrString(parameter.get(), s.kwonly ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD"));
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
    if (!kind || !empty) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    Ref kwn = Ref::steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!kwn) return nullptr;
    for (int i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        Ref name = Ref::steal(PyUnicode_FromString(p.name));
        Ref ann = s.return_annotation ? Ref::steal(PyUnicode_FromString(p.annotation))
                                      : Ref::borrow(empty.get());
        if (!name || !ann) return nullptr;
        PyObject* dflt = default_value(p);
        Ref param = call(parameter.get(),
                         {name.get(), kind.get(), dflt ? dflt : empty.get(), ann.get()}, kwn.get());
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref sigcls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref ret = s.return_annotation ? Ref::steal(PyUnicode_FromString(s.return_annotation))
                                  : Ref::borrow(empty.get());
    Ref kwr = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
    if (!sigcls || !ret || !kwr) return nullptr;
    return call(sigcls.get(), {params.get(), ret.get()}, kwr.get()).release();
}

PyObject* fn_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like any module-level function.
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject FunctionType{};

bool init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    PyTypeObject& t = FunctionType;
    Py_SET_TYPE(reinterpret_cast<PyObject*>(&t), &PyType_Type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "corvina.core.simulation_storage.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "A function of the simulation results store.";
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weaklist);
    t.tp_methods = fn_methods;
    t.tp_getset = fn_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&t) == 0;
}

bool is_own_function(PyObject* f, PyObject* module, Body body) {
    if (!f || Py_TYPE(f) != &FunctionType) return false;
    auto* fo = reinterpret_cast<FunctionObject*>(f);
    return (!module || fo->module == module) && fo->sig->body == body;
}

Ref make_function(const Signature& sig, PyObject* module) {
    if (!ensure_param_names(sig)) return {};
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return {};
    f->vectorcall = fn_vectorcall;
    f->sig = &sig;
    f->module = Py_NewRef(module);
    f->name = f->qualname = f->modname = f->doc = nullptr;
    f->kwdefaults = f->annotations = f->dict = f->weaklist = f->tbname = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_InternFromString(sig.name);
    f->qualname = PyUnicode_InternFromString(sig.qualname);
    f->modname = PyUnicode_InternFromString(kModuleName);
    std::string tb = std::string(kModuleName) + "." +
                     (sig.summary ? sig.name : "list_simulation_results.lambda");
    f->tbname = PyBytes_FromStringAndSize(tb.data(), static_cast<Py_ssize_t>(tb.size()));
    if (!f->name || !f->qualname || !f->modname || !f->tbname) return {};
    if (sig.summary) {
        std::string doc = build_doc(sig);
        f->doc = PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size()));
        if (!f->doc) return {};
    }
    bool has_kw = false;
    for (int i = 0; i < sig.nparams; ++i) has_kw |= sig.params[i].dflt != Default::Required;
    if (has_kw) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return {};
        for (int i = 0; i < sig.nparams; ++i) {
            PyObject* v = default_value(sig.params[i]);
            if (v && PyDict_SetItem(d.get(), PyTuple_GET_ITEM(sig.param_names, i), v) < 0)
                return {};
        }
        f->kwdefaults = d.release();
    }
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace css
