// Owned and borrowed references to Python objects.
//
// `Ref` owns one strong reference and releases it when it goes out of scope,
// so every early return is safe. Ownership is explicit at construction:
// `Ref::steal` takes over a new reference (what most C-API calls return),
// `Ref::borrow` adds one to a borrowed pointer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace css {

class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is_none() const noexcept { return p_ == Py_None; }

  private:
    PyObject* p_ = nullptr;
};

// Small helpers that keep call sites short. All return an empty Ref with the
// Python error set on failure.
inline Ref new_ref(PyObject* p) noexcept { return Ref::steal(p); }

}  // namespace css
