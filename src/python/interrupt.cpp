#include "python/interrupt.hpp"

#include <chrono>
#include <thread>

namespace veltrix::py {

bool signal_raised() {
    // Only the main thread runs signal handlers; elsewhere this returns 0 at once.
    return PyErr_CheckSignals() != 0;
}

bool on_main_thread() {
    if (PyErr_Occurred()) return true;  // never clear an error that is not ours
    const Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    const Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    const Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : static_cast<unsigned long>(-1);
    if (!ident || PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return main_ident == PyThread_get_thread_ident();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void restore_thread(PyThreadState* state) {
    while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
    PyEval_RestoreThread(state);
}

bool ReleasedInterpreter::signal_raised() {
    if (!checks_signals_) return false;
    if (interpreter_finalizing()) return true;
    PyEval_RestoreThread(state_);
    const bool raised = py::signal_raised();
    state_ = PyEval_SaveThread();
    return raised;
}

}  // namespace veltrix::py
