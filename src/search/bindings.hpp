// The Python search classes and the evaluator that calls back into a Python object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <variant>

#include "python/borrow.hpp"
#include "search/evaluator.hpp"

namespace veltrix::search_py {

// A Python object shared by every holder: each copy owns a reference of its own, so the
// object lives while any holder does, and the collector can see each holder's reference.
// Copies and destruction happen with the interpreter lock held.
class SharedObject {
public:
    explicit SharedObject(PyObject* object) : ref_(py::Ref::new_ref(object)) {}
    SharedObject(const SharedObject& other) : ref_(py::Ref::new_ref(other.get())) {}
    SharedObject& operator=(const SharedObject& other) {
        if (this != &other) ref_ = py::Ref::new_ref(other.get());
        return *this;
    }
    SharedObject(SharedObject&&) noexcept = default;
    SharedObject& operator=(SharedObject&&) noexcept = default;

    PyObject* get() const { return ref_.get(); }

private:
    py::Ref ref_;
};

// Scores through the `evaluate` method of a Python object, given a fresh Board each time.
// A failed call or result becomes an internal fault ("Failed to call evaluate method: ...",
// "Failed to extract result: ..."), thrown as py::InternalFault.
class PyEvaluator final : public search::Evaluator {
public:
    explicit PyEvaluator(SharedObject object) : object_(std::move(object)) {}
    std::int32_t evaluate(const board::Board& board) const override;
    PyObject* object() const { return object_.get(); }

    // For the length of one search with `evaluator` (nothing unless it is a PyEvaluator), the
    // `evaluate` method is looked up at the first position and kept: replacing it on the
    // object takes effect at the next search. A nested search on the same thread keeps its
    // own; one on another thread looks the method up at every position, as outside a search.
    // Opened and closed with the interpreter lock held, which the search keeps throughout.
    class Search {
    public:
        explicit Search(const search::Evaluator& evaluator);
        ~Search();
        Search(const Search&) = delete;
        Search& operator=(const Search&) = delete;

    private:
        const PyEvaluator* evaluator_;
        std::thread::id outer_thread_;
        py::Ref outer_function_;
        py::Ref outer_self_;
    };

private:
    std::int32_t evaluate_holding_lock(const board::Board& board, bool in_search) const;
    PyObject* call_kept_method(PyObject* board) const;

    SharedObject object_;
    // The thread of the open Search (none outside one), which holds the interpreter lock
    // whenever it calls evaluate; then the looked-up method as a function and the object it
    // is bound to (null for a callable that is not a bound method), empty until the first
    // position.
    mutable std::atomic<std::thread::id> search_thread_{};
    mutable py::Ref function_;
    mutable py::Ref self_;
    // A Board handed to an earlier call that nobody kept: refilled, it is indistinguishable
    // from a new one and saves an allocation per position.
    mutable py::Ref spare_board_;
};

struct PieceKind {};
struct LegalNumKind {};
struct PyBackedKind {
    SharedObject object;
};

// Which evaluator an Evaluator object stands for; copying it shares the Python object.
using EvaluatorKind = std::variant<PieceKind, LegalNumKind, PyBackedKind>;

// The evaluator of `kind`, owned by the caller.
std::unique_ptr<search::Evaluator> make_evaluator(const EvaluatorKind& kind);

struct EvaluatorObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    EvaluatorKind kind;
};

// The types, created once per process (null with an error set on failure).
PyTypeObject* evaluator_type();
PyTypeObject* piece_evaluator_type();
PyTypeObject* legal_num_evaluator_type();
PyTypeObject* alpha_beta_search_type();

}  // namespace veltrix::search_py
