// Compiled code of recent source items, so that a worker that receives the
// same text again does not compile it again. Bounded by count and by total
// source length; least recently used entries leave first. Jobs cannot see it.
#pragma once

#include "core/capi/ref.hpp"

namespace vantrel {

class SourceCache {
  public:
    static constexpr Py_ssize_t max_entries = 512;
    static constexpr Py_ssize_t max_total_length = Py_ssize_t{16} * 1024 * 1024;
    // Longer texts are compiled every time: caching them would push out
    // everything else for little gain.
    static constexpr Py_ssize_t max_entry_length = Py_ssize_t{1024} * 1024;

    // The code object for `source` (a str), compiled as `exec` compiles a
    // module body. New reference, or null with the compile error set.
    Ref code_for(PyObject* source) noexcept;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(entries_.get());
        return 0;
    }

  private:
    Ref entries_; // dict: source text -> code, oldest first
    Py_ssize_t total_length_ = 0;
};

} // namespace vantrel
