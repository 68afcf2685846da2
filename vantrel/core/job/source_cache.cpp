#include "core/job/source_cache.hpp"
#include "core/capi/state.hpp"

#include <cstring>

namespace vantrel {
namespace {

// What the builtin exec does with a str: UTF-8, no NUL bytes, a module body
// under the file name "<string>".
Ref compile_source(PyObject* source) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(source, &size);
    if (!text) return {};
    if (std::strlen(text) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_SyntaxError, "source code string cannot contain null bytes");
        return {};
    }
    // As exec compiles a str: the text is UTF-8 already, a coding cookie is
    // ignored, and the language is the running interpreter's own version.
    PyCompilerFlags flags = {.cf_flags = PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE,
                             .cf_feature_version = PY_MINOR_VERSION};
    return Ref::steal(
        Py_CompileStringObject(text, names.source_filename, Py_file_input, &flags, -1));
}

} // namespace

Ref SourceCache::code_for(PyObject* source) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    // Subclasses of str may redefine hashing and equality: never cache them.
    if (!PyUnicode_CheckExact(source) || length > max_entry_length) return compile_source(source);
    if (!entries_) {
        entries_ = Ref::steal(PyDict_New());
        if (!entries_) return {};
    }
    PyObject* dict = entries_.get();
    if (PyObject* hit = PyDict_GetItemWithError(dict, source)) {
        // Move to the young end.
        Ref code = Ref::borrow(hit);
        if (PyDict_DelItem(dict, source) < 0 || PyDict_SetItem(dict, source, code.get()) < 0)
            return {};
        return code;
    }
    if (PyErr_Occurred()) return {};

    Ref code = compile_source(source);
    if (!code) return {};
    while (PyDict_GET_SIZE(dict) > 0 &&
           (PyDict_GET_SIZE(dict) >= max_entries || total_length_ + length > max_total_length)) {
        Py_ssize_t pos = 0;
        PyObject* oldest = nullptr;
        PyObject* unused = nullptr;
        PyDict_Next(dict, &pos, &oldest, &unused);
        Ref key = Ref::borrow(oldest);
        total_length_ -= PyUnicode_GET_LENGTH(key.get());
        if (PyDict_DelItem(dict, key.get()) < 0) return {};
    }
    if (PyDict_SetItem(dict, source, code.get()) < 0) return {};
    total_length_ += length;
    return code;
}

} // namespace vantrel
