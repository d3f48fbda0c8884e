#include "python/interrupt.hpp"

namespace veltrix::py {

bool signal_raised() {
    // Only the main thread runs signal handlers; elsewhere this returns 0 at once.
    return PyErr_CheckSignals() != 0;
}

bool ReleasedInterpreter::signal_raised() {
    PyEval_RestoreThread(state_);
    const bool raised = py::signal_raised();
    state_ = PyEval_SaveThread();
    return raised;
}

}  // namespace veltrix::py
