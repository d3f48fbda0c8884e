// Lets a thread that waits on native work notice Ctrl-C (or any signal whose Python handler
// raises) while it waits, with the interpreter lock held or released.
#pragma once

#include "python/error.hpp"

namespace veltrix::py {

// Runs the pending signal handlers; true when one raised (KeyboardInterrupt for Ctrl-C). The
// exception then stays set for the caller to report once its native work is wound down.
// Call with the interpreter lock held.
bool signal_raised();

// Releases the interpreter lock for its lifetime, like Py_BEGIN/END_ALLOW_THREADS.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // signal_raised() with the lock taken back for the check and released again after.
    bool signal_raised();

private:
    PyThreadState* state_;
};

}  // namespace veltrix::py
