// What is sent in place of a message that cannot be pickled: a stand-in that
// the worker answers, or that answers itself, "EXCEPTION" in the message's own
// place, so that every later answer still pairs with its job.
#pragma once

#include "core/capi/ref.hpp"

namespace vantrel::stand_in {

// "".join(traceback.format_exception(error)).
Ref describe(PyObject* error) noexcept;

// The job sent in place of one that cannot be pickled: a
// vantrel._control.UnsentJob that the worker answers "EXCEPTION", naming
// `error`.
Ref unsent_job(PyObject* error) noexcept;

// The answer sent in place of `failed` (an answer, or whatever was put) when
// it cannot be pickled: an "EXCEPTION" answer that keeps the printed text and
// the values that pickle, names the values that do not, and carries `error`.
Ref unsendable_answer(PyObject* failed, PyObject* error) noexcept;

} // namespace vantrel::stand_in
