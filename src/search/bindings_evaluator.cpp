// The Python classes Evaluator, PieceEvaluator and LegalNumEvaluator, and the evaluator that
// scores through a Python object's `evaluate` method.
#include <climits>
#include <new>
#include <utility>

#include "board/bindings.hpp"
#include "python/args.hpp"
#include "python/type.hpp"
#include "search/bindings.hpp"

namespace veltrix::search_py {

namespace {

// Whether this thread holds the interpreter lock: a thread state is attached to it. The
// searches call back with the lock held, and taking it again costs more than the check.
bool holds_interpreter_lock() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Holds the interpreter lock for a scope, taking it only if this thread does not hold it.
class InterpreterLock {
public:
    InterpreterLock() : state_(PyGILState_Ensure()) {}
    ~InterpreterLock() { PyGILState_Release(state_); }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    PyGILState_STATE state_;
};

// The interned method name, kept for the life of the process (null with an error set).
PyObject* evaluate_method_name() {
    static PyObject* name = PyUnicode_InternFromString("evaluate");
    return name;
}

// Reads the result of `evaluate` as a signed 32-bit score; false with a Python error set.
bool to_score(PyObject* result, std::int32_t& score) {
    const long value = PyLong_AsLong(result);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    score = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace

std::int32_t PyEvaluator::evaluate(const board::Board& board) const {
    const bool in_search = search_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    if (in_search || holds_interpreter_lock()) return evaluate_holding_lock(board, in_search);
    const InterpreterLock lock;
    return evaluate_holding_lock(board, false);
}

std::int32_t PyEvaluator::evaluate_holding_lock(const board::Board& board, bool in_search) const {
    // The Python code gets its own copy: it cannot change the position being searched.
    // A nested call (the Python code searching again) finds no spare and makes its own.
    py::Ref copy = std::move(spare_board_);
    if (copy && Py_REFCNT(copy.get()) == 1) {
        reinterpret_cast<board_py::BoardObject*>(copy.get())->value = board;
    } else {
        copy = board_py::new_board(board);
    }
    py::Ref result;
    if (in_search) {
        result = py::Ref::steal(call_kept_method(copy.get()));
    } else {
        PyObject* name = evaluate_method_name();
        if (name == nullptr) throw py::InternalFault("Failed to call evaluate method: " + py::take_error_text());
        PyObject* args[] = {object_.get(), copy.get()};
        result = py::Ref::steal(PyObject_VectorcallMethod(name, args, 2, nullptr));
    }
    if (!result) {
        // Ctrl-C lands inside the Python code; it stops the search as itself, not as a fault.
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) py::throw_error_set();
        throw py::InternalFault("Failed to call evaluate method: " + py::take_error_text());
    }
    std::int32_t score = 0;
    if (!to_score(result.get(), score)) {
        throw py::InternalFault("Failed to extract result: " + py::take_error_text());
    }
    if (Py_REFCNT(copy.get()) == 1) spare_board_ = std::move(copy);
    return score;
}

// The result of the kept method for `board` (null with an error set), looking it up first
// if this search has not yet done so.
PyObject* PyEvaluator::call_kept_method(PyObject* board) const {
    if (!function_) {
        PyObject* name = evaluate_method_name();
        if (name == nullptr) return nullptr;
        py::Ref method = py::Ref::steal(PyObject_GetAttr(object_.get(), name));
        if (!method) return nullptr;
        // A bound method is called as its function with the object first, as a method call
        // by name would, without a bound method object per call.
        if (PyMethod_Check(method.get())) {
            self_ = py::Ref::new_ref(PyMethod_GET_SELF(method.get()));
            function_ = py::Ref::new_ref(PyMethod_GET_FUNCTION(method.get()));
        } else {
            function_ = std::move(method);
        }
    }
    // Both kept while the call runs, whatever it does to this evaluator's references.
    const py::Ref function = py::Ref::new_ref(function_.get());
    const py::Ref self = py::Ref::new_ref(self_.get());
    if (self) {
        PyObject* args[] = {self.get(), board};
        return PyObject_Vectorcall(function.get(), args, 2, nullptr);
    }
    PyObject* args[] = {nullptr, board};
    return PyObject_Vectorcall(function.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyEvaluator::Search::Search(const search::Evaluator& evaluator)
    : evaluator_(dynamic_cast<const PyEvaluator*>(&evaluator)) {
    if (evaluator_ == nullptr) return;
    const std::thread::id self = std::this_thread::get_id();
    outer_thread_ = evaluator_->search_thread_.load(std::memory_order_relaxed);
    if (outer_thread_ != std::thread::id{} && outer_thread_ != self) {
        evaluator_ = nullptr;  // another thread's search is open: leave it alone
        return;
    }
    outer_function_ = std::move(evaluator_->function_);
    outer_self_ = std::move(evaluator_->self_);
    evaluator_->search_thread_.store(self, std::memory_order_relaxed);
}

PyEvaluator::Search::~Search() {
    if (evaluator_ == nullptr) return;
    // Swapped out first: releasing this search's method may run Python code.
    py::Ref function = std::exchange(evaluator_->function_, std::move(outer_function_));
    py::Ref self = std::exchange(evaluator_->self_, std::move(outer_self_));
    evaluator_->search_thread_.store(outer_thread_, std::memory_order_relaxed);
}

std::unique_ptr<search::Evaluator> make_evaluator(const EvaluatorKind& kind) {
    if (std::holds_alternative<PieceKind>(kind)) return std::make_unique<search::PieceEvaluator>();
    if (std::holds_alternative<LegalNumKind>(kind)) return std::make_unique<search::LegalNumEvaluator>();
    return std::make_unique<PyEvaluator>(std::get<PyBackedKind>(kind).object);
}

namespace {

EvaluatorObject* as_evaluator(PyObject* self) { return reinterpret_cast<EvaluatorObject*>(self); }

// A Python subclass with an __init__ of its own takes that method's arguments, as with
// object.__new__; the classes themselves take none.
bool takes_own_arguments(PyTypeObject* type) {
    return type != evaluator_type() && type != piece_evaluator_type() && type != legal_num_evaluator_type() &&
           type->tp_init != PyBaseObject_Type.tp_init;
}

PyObject* new_evaluator(const py::ArgSpec& signature, PyTypeObject* type, PyObject* args, PyObject* kwargs,
                        EvaluatorKind kind) {
    return py::guarded_object([&] {
        const bool has_arguments = PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0);
        if (has_arguments && !takes_own_arguments(type)) py::parse_tuple_args(signature, args, kwargs, nullptr);
        py::Ref object = py::require(type->tp_alloc(type, 0));
        EvaluatorObject* evaluator = as_evaluator(object.get());
        new (&evaluator->borrow) py::BorrowFlag{};
        new (&evaluator->kind) EvaluatorKind(std::move(kind));
        return object.release();
    });
}

PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"Evaluator.__new__", {}};
    return new_evaluator(signature, type, args, kwargs, PieceKind{});
}

PyObject* piece_evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"PieceEvaluator.__new__", {}};
    return new_evaluator(signature, type, args, kwargs, PieceKind{});
}

PyObject* legal_num_evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"LegalNumEvaluator.__new__", {}};
    return new_evaluator(signature, type, args, kwargs, LegalNumKind{});
}

void evaluator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    as_evaluator(self)->kind.~EvaluatorKind();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

int evaluator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const auto* backed = std::get_if<PyBackedKind>(&as_evaluator(self)->kind)) Py_VISIT(backed->object.get());
    return 0;
}

// Breaks a reference cycle through the Python evaluator; an object in use keeps its kind.
int evaluator_clear(PyObject* self) {
    EvaluatorObject* evaluator = as_evaluator(self);
    if (evaluator->borrow.readers != 0) return 0;
    EvaluatorKind dropped = PieceKind{};
    std::swap(dropped, evaluator->kind);
    return 0;  // `dropped` releases its reference after the object is consistent again
}

PyObject* set_py_evaluator(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Evaluator.set_py_evaluator", {"py_evaluator"}};
    return py::guarded_object([&] {
        const auto [object] = py::parse<1>(signature, args, nargs, kwnames);
        EvaluatorKind replaced = PyBackedKind{SharedObject(object)};
        {
            const py::ExclusiveBorrow borrow(as_evaluator(self)->borrow);
            std::swap(replaced, as_evaluator(self)->kind);
        }
        // The previous kind is released outside the borrow: dropping it may run Python code.
        Py_RETURN_NONE;
    });
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Evaluator.evaluate", {"board"}};
    return py::guarded_object([&] {
        const auto [board_arg] = py::parse<1>(signature, args, nargs, kwnames);
        board_py::BoardObject* board = board_py::board_argument(board_arg, "board");
        EvaluatorObject* evaluator = as_evaluator(self);
        const py::SharedBorrow own(evaluator->borrow);
        const std::unique_ptr<search::Evaluator> scorer = make_evaluator(evaluator->kind);
        const py::SharedBorrow read(board->borrow);  // read in place for the whole call
        return py::require(PyLong_FromLong(scorer->evaluate(board->value))).release();
    });
}

PyMethodDef kEvaluatorMethods[] = {
    VELTRIX_METHOD(set_py_evaluator, ", py_evaluator"),
    VELTRIX_METHOD(evaluate, ", board"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEvaluatorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(evaluator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(evaluator_clear)},
    {Py_tp_methods, kEvaluatorMethods},
    {Py_tp_doc, const_cast<char*>("Evaluator()\n--\n\n")},
    {0, nullptr},
};

PyType_Slot kPieceEvaluatorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(piece_evaluator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(evaluator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(evaluator_clear)},
    {Py_tp_doc, const_cast<char*>("PieceEvaluator()\n--\n\n")},
    {0, nullptr},
};

PyType_Slot kLegalNumEvaluatorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(legal_num_evaluator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(evaluator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(evaluator_clear)},
    {Py_tp_doc, const_cast<char*>("LegalNumEvaluator()\n--\n\n")},
    {0, nullptr},
};

// Evaluator can be subclassed from Python; its two fixed kinds cannot.
PyType_Spec kEvaluatorSpec{"veltrix.Evaluator", sizeof(EvaluatorObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kEvaluatorSlots};
PyType_Spec kPieceEvaluatorSpec{"veltrix.PieceEvaluator", sizeof(EvaluatorObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kPieceEvaluatorSlots};
PyType_Spec kLegalNumEvaluatorSpec{"veltrix.LegalNumEvaluator", sizeof(EvaluatorObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kLegalNumEvaluatorSlots};

}  // namespace

PyTypeObject* evaluator_type() {
    static PyTypeObject* type = nullptr;
    return py::type_once(type, kEvaluatorSpec);
}

PyTypeObject* piece_evaluator_type() {
    static PyTypeObject* type = nullptr;
    PyTypeObject* base = evaluator_type();
    return base == nullptr ? nullptr : py::type_once(type, kPieceEvaluatorSpec, base);
}

PyTypeObject* legal_num_evaluator_type() {
    static PyTypeObject* type = nullptr;
    PyTypeObject* base = evaluator_type();
    return base == nullptr ? nullptr : py::type_once(type, kLegalNumEvaluatorSpec, base);
}

}  // namespace veltrix::search_py
