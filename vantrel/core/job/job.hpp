// Running jobs in one persistent namespace: what a worker does with each job
// it takes, wherever the job came from (a queue, a Ray actor call).
#pragma once

#include "core/capi/ref.hpp"
#include "core/job/source_cache.hpp"

namespace vantrel {

class JobRunner {
  public:
    // How one job ended.
    enum class End {
        success,    // `answer` holds the "SUCCESS" answer
        exception,  // `answer` holds the "EXCEPTION" answer of a failed job
        unanswered, // nothing to answer: no job came, or it raised KeyboardInterrupt
        fatal,      // the error is set and the worker ends
    };
    struct Outcome {
        End end;
        Ref answer;
    };
    // Where an exception came from, for the handlers.
    enum class Stage { waiting, running };

    // `lookups` is the module namespace in which the handlers look up
    // `queue` and `traceback` at each use; `collector` is the _HandleContent
    // instance whose bound xprint and xreturn start the job namespace.
    bool start(PyObject* lookups, Ref collector) noexcept;

    // collector.clear(): the top of every cycle.
    bool clear_collector() noexcept;

    // Runs the items of `job` in order and answers it with "SUCCESS", or with
    // "EXCEPTION" when an item raises an Exception.
    Outcome run(PyObject* job) noexcept;

    // The handlers, applied to the exception being raised at `stage`: when
    // waiting, queue.Empty means no job this cycle (unanswered); a
    // KeyboardInterrupt is swallowed (unanswered); an Exception is answered
    // "EXCEPTION" with its traceback text; anything else fails.
    Outcome handle_failure(Stage stage) noexcept;

    // Whether the job's own items are running now (not the loop, nor the
    // handlers formatting a failure).
    bool in_items() const noexcept { return in_items_; }
    // The KeyboardInterrupt being raised in this job was asked for by its
    // caller: the job is answered "EXCEPTION" with its traceback instead of
    // going unanswered.
    void answer_interrupt() noexcept { answer_interrupt_ = true; }

    // The references the runner holds, for the garbage collector.
    int traverse(visitproc visit, void* arg) const noexcept;

  private:
    int run_items(PyObject* job) noexcept;
    int run_item(PyObject* item) noexcept;
    int run_source(PyObject* source) noexcept;
    Ref collected_answer(PyObject* status, PyObject* traceback_text) noexcept;

    PyObject* lookups_ = nullptr; // borrowed: a module namespace, alive for the process
    Ref collector_;
    Ref globals_;
    SourceCache sources_;
    bool in_items_ = false;
    bool answer_interrupt_ = false;
};

} // namespace vantrel
