// The Python class AlphaBetaSearch: one search, its evaluator fixed when it is built.
#include <array>
#include <new>
#include <optional>

#include "board/bindings.hpp"
#include "python/args.hpp"
#include "python/interrupt.hpp"
#include "python/type.hpp"
#include "search/alpha_beta.hpp"
#include "search/bindings.hpp"

namespace veltrix::search_py {

namespace {

struct AlphaBetaSearchObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    std::optional<search::AlphaBetaSearch> search;  // empty only after the collector cleared it
    PyObject* py_object;  // borrowed: the object the search's Python evaluator holds, or null
};

AlphaBetaSearchObject* as_search(PyObject* self) { return reinterpret_cast<AlphaBetaSearchObject*>(self); }

// The kind of `evaluator` at this moment; later changes to it do not reach the search.
EvaluatorKind captured_kind(PyObject* evaluator) {
    EvaluatorObject* object = reinterpret_cast<EvaluatorObject*>(evaluator);
    const py::SharedBorrow borrow(object->borrow);
    return object->kind;
}

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"AlphaBetaSearch.__new__", {"evaluator", "max_depth"}};
    return py::guarded_object([&] {
        std::array<PyObject*, 2> parsed{};
        if (PyTuple_GET_SIZE(args) == 2 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) {
            parsed = {PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1)};
        } else {
            py::parse_tuple_args(signature, args, kwargs, parsed.data());
        }
        PyTypeObject* evaluator_class = evaluator_type();
        if (evaluator_class == nullptr) py::throw_error_set();
        py::check_type(parsed[0], evaluator_class, "Evaluator", "evaluator");
        const std::size_t max_depth = py::to_usize(parsed[1], "max_depth");
        std::unique_ptr<search::Evaluator> evaluator = make_evaluator(captured_kind(parsed[0]));
        const auto* backed = dynamic_cast<const PyEvaluator*>(evaluator.get());
        PyObject* py_object = backed != nullptr ? backed->object() : nullptr;

        py::Ref object = py::require(type->tp_alloc(type, 0));
        AlphaBetaSearchObject* search = as_search(object.get());
        new (&search->borrow) py::BorrowFlag{};
        new (&search->search) std::optional<search::AlphaBetaSearch>(std::in_place, std::move(evaluator), max_depth);
        search->py_object = py_object;
        return object.release();
    });
}

void search_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    as_search(self)->search.~optional();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

int search_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_search(self)->py_object);
    return 0;
}

// Breaks a reference cycle through the Python evaluator; a search in use is left alone.
int search_clear(PyObject* self) {
    AlphaBetaSearchObject* search = as_search(self);
    if (search->borrow.readers != 0) return 0;
    std::optional<search::AlphaBetaSearch> dropped;
    std::swap(dropped, search->search);
    search->py_object = nullptr;
    return 0;  // `dropped` releases the evaluator after the object is consistent again
}

PyObject* get_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"AlphaBetaSearch.get_move", {"board"}};
    return py::guarded_object([&] {
        const auto [board_arg] = py::parse<1>(signature, args, nargs, kwnames);
        board_py::BoardObject* board = board_py::board_argument(board_arg, "board");
        AlphaBetaSearchObject* search = as_search(self);
        const py::SharedBorrow own(search->borrow);
        if (!search->search) throw py::InternalFault("AlphaBetaSearch used after the collector cleared it");
        // The board is shared for the whole search, so a Python evaluator cannot change it.
        const py::SharedBorrow read(board->borrow);
        const PyEvaluator::Search python_search(search->search->evaluator());
        // Ctrl-C ends a long search: the pending KeyboardInterrupt unwinds it from the hook.
        const search::StopCheck stop{[](void*) {
                                         if (py::signal_raised()) py::throw_error_set();
                                     },
                                     nullptr};
        const std::optional<unsigned> move = search->search->get_move(board->value, stop);
        if (!move) Py_RETURN_NONE;
        return py::require(PyLong_FromUnsignedLong(*move)).release();
    });
}

PyMethodDef kSearchMethods[] = {
    VELTRIX_METHOD(get_move, ", board"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSearchSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(search_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(search_clear)},
    {Py_tp_methods, kSearchMethods},
    {Py_tp_doc, const_cast<char*>("AlphaBetaSearch(evaluator, max_depth)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSearchSpec{"veltrix.AlphaBetaSearch", sizeof(AlphaBetaSearchObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kSearchSlots};

}  // namespace

PyTypeObject* alpha_beta_search_type() {
    static PyTypeObject* type = nullptr;
    return py::type_once(type, kSearchSpec);
}

}  // namespace veltrix::search_py
