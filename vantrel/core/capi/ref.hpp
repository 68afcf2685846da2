// Owning references.
//
// Rules of use:
//  * Every reference the code keeps lives in a Ref. A raw PyObject* is always
//    borrowed: it is valid only while something else owns the object.
//  * Ref::steal(p) takes over a new reference (what most C-API calls return);
//    Ref::borrow(p) adds a reference of its own to a borrowed pointer.
//  * get() lends the pointer and keeps ownership; release() gives ownership
//    back to the caller, e.g. to return it from a slot. new_ref() returns an
//    additional new reference and keeps this one.
//  * A Ref built from a failed call is null, and the Python error is set: test
//    it with `if (!r)` and return the C-API error value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/capi/compat.hpp"

#include <utility>

namespace vantrel {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    void reset() noexcept { Py_CLEAR(p_); }
    // Takes `value`, then says whether a value is held: a chain of `keep`s
    // joined by || stops at the first failure, so that no Python code runs
    // while its error is set.
    bool keep(Ref value) noexcept {
        std::swap(p_, value.p_);
        return p_ != nullptr;
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference kept for the life of the process (the members of ProcessState,
// and what each binary keeps for itself). It is never released at exit: C++ static
// destructors run after the interpreter is gone. While the interpreter runs,
// reset() is the one way to replace or drop the value. It converts to a
// borrowed PyObject*, which stays valid as long as the value is not reset.
class ProcessRef {
  public:
    constexpr ProcessRef() noexcept = default;
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; } // NOLINT(google-explicit-constructor)
    // Keeps `value` and releases the reference held so far.
    void reset(Ref value = {}) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    // reset(value), then whether a value is held (as Ref::keep).
    bool keep(Ref value) noexcept {
        reset(std::move(value));
        return p_ != nullptr;
    }
    // The value, taken out: null is left in its place.
    [[nodiscard]] Ref take() noexcept { return Ref::steal(std::exchange(p_, nullptr)); }

  private:
    PyObject* p_ = nullptr;
};

// Holds the exception being raised (3.12 single-object form) and puts it back
// or chains it, so that handlers never lose the original error.
class SavedError {
  public:
    SavedError() noexcept : exc_(Ref::steal(compat::fetch_exception())) {}
    PyObject* get() const noexcept { return exc_.get(); }
    // Raise the saved exception again.
    void restore() noexcept { compat::restore_exception(exc_.release()); }
    // A new exception replaced the saved one: make the saved one its context,
    // as a failing `except` clause does.
    void chain_into_current() noexcept {
        if (!exc_) return;
        PyObject* now = compat::fetch_exception();
        if (now) PyException_SetContext(now, exc_.release());
        compat::restore_exception(now);
    }

  private:
    Ref exc_;
};

} // namespace vantrel
