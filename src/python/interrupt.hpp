// Lets a thread that waits on native work notice Ctrl-C (or any signal whose Python handler
// raises) while it waits, with the interpreter lock held or released.
#pragma once

#include "python/error.hpp"

namespace veltrix::py {

// Runs the pending signal handlers; true when one raised (KeyboardInterrupt for Ctrl-C). The
// exception then stays set for the caller to report once its native work is wound down.
// Call with the interpreter lock held.
bool signal_raised();

// True on the interpreter's main thread, the only one that runs signal handlers. Call with
// the interpreter lock held; true when it cannot tell (the checks then go on as before).
bool on_main_thread();

// True once the interpreter has begun to shut down (safe without the interpreter lock).
bool interpreter_finalizing();

// PyEval_RestoreThread, except in a thread that comes back while the interpreter shuts down
// (a daemon thread whose native call outlived the main thread): there CPython 3.12 and 3.13
// end the thread with pthread_exit, whose unwinding through our noexcept frames aborts the
// whole process at exit. Such a thread is parked instead until the process is gone, as
// CPython 3.14 itself does; the process is exiting, so the park has no other end.
void restore_thread(PyThreadState* state);

// Releases the interpreter lock for its lifetime, like Py_BEGIN/END_ALLOW_THREADS.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() : checks_signals_(on_main_thread()), state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { restore_thread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // signal_raised() with the lock taken back for the check and released again after; true,
    // without the lock, once the interpreter shuts down, so that the native work winds down.
    bool signal_raised();

    // Runs `work` with the lock taken back, for native work that calls into Python while it
    // waits, and releases the lock again after. `work` must not throw.
    template <class Work>
    void with_interpreter(Work&& work) {
        restore_thread(state_);
        work();
        state_ = PyEval_SaveThread();
    }

private:
    // Elsewhere than on the main thread no handler could run, so the lock is not taken back
    // for nothing (which would also race with the interpreter's shutdown, see restore_thread).
    bool checks_signals_;
    PyThreadState* state_;
};

}  // namespace veltrix::py
