// The Python class Arena over the native LocalArena.
#include "arena/local/bindings_local.hpp"

#include <cmath>
#include <new>
#include <stdexcept>
#include <optional>

#include "arena/local/bindings_record.hpp"
#include "arena/local/local_arena.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/interrupt.hpp"
#include "python/keyword_args.hpp"
#include "python/type.hpp"
#include "search/perfect_playout.hpp"

namespace veltrix::arena_py {

namespace {

struct ArenaObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    arena::LocalArena* arena;  // owned; null only while construction is unfinished
};

ArenaObject* as_arena(PyObject* self) { return reinterpret_cast<ArenaObject*>(self); }

py::Ref size_value(std::size_t value) { return py::require(PyLong_FromSize_t(value)); }

PyObject* arena_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"Arena.__new__", {"command1", "command2"}};
    return py::guarded_object([&] {
        PyObject* parsed[2] = {nullptr, nullptr};
        py::parse_tuple_args(signature, args, kwargs, parsed);
        std::vector<std::string> command1 = py::to_string_list(parsed[0], "command1");
        std::vector<std::string> command2 = py::to_string_list(parsed[1], "command2");
        py::Ref object = py::require(type->tp_alloc(type, 0));
        as_arena(object.get())->arena = new arena::LocalArena(std::move(command1), std::move(command2));
        return object.release();
    });
}

void arena_dealloc(PyObject* self) {
    delete as_arena(self)->arena;
    py::dealloc_plain(self);
}

// A ValueError with the batch's message and, for a failed game, where and how it failed as
// attributes: `game` (index in the batch), `opening` and `reply` (what the program answered
// for an illegal or unreadable move, else None). The message itself stays the fixed one.
[[noreturn]] void raise_game_error(const arena::ArenaError& error) {
    const std::string message = error.message();
    const py::Ref text = py::require(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    const py::Ref exception = py::require(PyObject_CallOneArg(PyExc_ValueError, text.get()));
    const py::Ref game = error.game ? py::require(PyLong_FromSize_t(*error.game)) : py::Ref::new_ref(Py_None);
    const py::Ref opening = error.game ? py::require(PyUnicode_FromStringAndSize(
                                             error.opening.data(), static_cast<Py_ssize_t>(error.opening.size())))
                                       : py::Ref::new_ref(Py_None);
    const py::Ref reply = error.reply ? reply_text(*error.reply) : py::Ref::new_ref(Py_None);
    py::require_status(PyObject_SetAttrString(exception.get(), "game", game.get()));
    py::require_status(PyObject_SetAttrString(exception.get(), "opening", opening.get()));
    py::require_status(PyObject_SetAttrString(exception.get(), "reply", reply.get()));
    PyErr_SetObject(PyExc_ValueError, exception.get());
    py::throw_error_set();
}

// Raises the Python form of a failed batch.
[[noreturn]] void raise_arena_error(const arena::ArenaError& error) {
    switch (error.kind) {
        case arena::ArenaErrorKind::GameError:
            if (error.game) raise_game_error(error);
            py::raise_value_error(error.message().c_str());
        case arena::ArenaErrorKind::Interrupted:
            // The signal handler's exception (KeyboardInterrupt for Ctrl-C) is already set.
            if (PyErr_Occurred()) py::throw_error_set();
            py::raise(PyExc_KeyboardInterrupt, "");
        case arena::ArenaErrorKind::ThreadSpawnError: throw py::InternalFault(error.message());
        default: py::raise_value_error(error.message().c_str());
    }
}

PyObject* play_n(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Arena.play_n", {"n"}};
    return py::guarded_object([&] {
        const auto [n_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const std::size_t n = py::to_usize(n_arg, "n");
        ArenaObject* object = as_arena(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        // The interpreter lock stays held; the calling thread only wakes to run signal handlers.
        const auto played = object->arena->play_n(n, [] { return py::signal_raised(); });
        if (!played) raise_arena_error(played.error());
        Py_RETURN_NONE;
    });
}

// The longest time_limit taken: far beyond any real game, and far from the clock's range.
constexpr double kLongestMoveSeconds = 1e9;

arena::Clock::duration move_limit_argument(PyObject* value) {
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::throw_error_set();
        PyErr_Clear();
        py::raise_argument_error("time_limit", "'" + py::type_name(value) + "' object cannot be converted to 'float'");
    }
    if (std::isnan(seconds) || seconds <= 0) py::raise_value_error("time_limit must be a positive number of seconds");
    if (seconds > kLongestMoveSeconds) py::raise(PyExc_OverflowError, "time_limit is too large");
    const auto nanoseconds = std::chrono::nanoseconds(std::llround(seconds * 1e9));
    return std::max<arena::Clock::duration>(nanoseconds, std::chrono::nanoseconds(1));
}

std::vector<arena::Opening> openings_argument(PyObject* value) {
    if (value == Py_None) return {};
    const std::vector<std::string> transcripts = py::to_string_list(value, "openings");
    if (transcripts.empty()) py::raise_value_error("openings must hold at least one transcript");
    auto openings = arena::parse_openings(transcripts);
    if (!openings) py::raise_value_error(openings.error().message.c_str());
    return std::move(openings.value());
}

bool flag_argument(PyObject* value, const char* name) {
    if (!PyBool_Check(value)) {
        py::raise_argument_error(name, "'" + py::type_name(value) + "' object cannot be converted to 'bool'");
    }
    return value == Py_True;
}

// The arguments of a batch with records, as parsed (null: not given).
struct BatchArguments {
    PyObject* n = nullptr;
    PyObject* openings = nullptr;
    PyObject* time_limit = nullptr;
    PyObject* concurrency = nullptr;
    PyObject* on_error = nullptr;
    PyObject* progress = nullptr;
    PyObject* adjudicate_empties = nullptr;  // play_adjudicated only; None: no adjudication
    PyObject* on_progress = nullptr;         // play_adjudicated only
};

// Tells a Python callable how many games of the batch have finished, from the thread that
// waits on the batch. What the callable raises stops the batch and is kept in `raised`, to be
// raised once every program is reaped (`raised` outlives the released interpreter lock).
// Never throws.
class ProgressCallback {
public:
    ProgressCallback(PyObject* callable, py::ReleasedInterpreter& released, py::Ref& raised)
        : callable_(callable), released_(released), raised_(raised) {}

    bool operator()(std::size_t finished) {
        bool go_on = false;
        released_.with_interpreter([&] {
            const py::Ref count = py::Ref::steal(PyLong_FromSize_t(finished));
            const py::Ref result = count ? py::Ref::steal(PyObject_CallOneArg(callable_, count.get())) : py::Ref();
            go_on = static_cast<bool>(result);
            if (!go_on) raised_ = py::Ref::steal(PyErr_GetRaisedException());
        });
        return go_on;
    }

private:
    PyObject* callable_;
    py::ReleasedInterpreter& released_;
    py::Ref& raised_;
};

// Arena.play and Arena.play_adjudicated: one batch on the pool, one record per game.
PyObject* play_batch(PyObject* self, const BatchArguments& arguments) {
    arena::PoolOptions options;
    options.games = py::to_usize(arguments.n, "n");
    if (arguments.openings) options.openings = openings_argument(arguments.openings);
    if (arguments.time_limit) options.move_limit = move_limit_argument(arguments.time_limit);
    std::size_t concurrency = 2;
    if (arguments.concurrency) {
        concurrency = py::to_usize(arguments.concurrency, "concurrency");
        if (concurrency < 2 || concurrency % 2 != 0) {
            py::raise_value_error("concurrency must be an even number of at least 2");
        }
    }
    if (arguments.on_error) {
        const std::string on_error = py::to_utf8(arguments.on_error, "on_error");
        if (on_error != "raise" && on_error != "forfeit") py::raise_value_error("on_error must be 'raise' or 'forfeit'");
        options.forfeit = on_error == "forfeit";
    }
    if (arguments.progress) options.progress = flag_argument(arguments.progress, "progress");
    if (arguments.adjudicate_empties && arguments.adjudicate_empties != Py_None) {
        const std::size_t empties = py::to_usize(arguments.adjudicate_empties, "adjudicate_empties");
        if (empties > 64) py::raise_value_error("adjudicate_empties must be at most 64");
        options.adjudicate_empties = empties;
        // Runs on the worker threads, Python-free: the engine's own exact solve.
        options.solve = [](board::Board& board, const search::StopCheck& stop) {
            return search::perfect_playout(board, stop);
        };
    }
    PyObject* on_progress = arguments.on_progress == Py_None ? nullptr : arguments.on_progress;
    if (on_progress && !PyCallable_Check(on_progress)) {
        py::raise_argument_error("on_progress", "'" + py::type_name(on_progress) + "' object is not callable");
    }
    if (options.games % 2 != 0) py::raise_value_error("Game count must be even");

    ArenaObject* object = as_arena(self);
    const py::ExclusiveBorrow borrow(object->borrow);
    arena::LocalArena& local = *object->arena;
    // Other Python threads run meanwhile; the borrow keeps them away from this arena.
    py::Ref raised;
    const auto run = [&] {
        py::ReleasedInterpreter released;
        if (on_progress) options.on_progress = ProgressCallback(on_progress, released, raised);
        return local.play(options, concurrency, [&] { return released.signal_raised(); });
    };
    std::optional<decltype(run())> outcome;
    try {
        outcome.emplace(run());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // n records do not fit in memory; every program is reaped by now
        py::throw_error_set();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        py::throw_error_set();
    }
    auto& played = *outcome;
    if (raised) {
        PyErr_SetRaisedException(raised.release());  // what on_progress raised stopped the batch
        py::throw_error_set();
    }
    if (!played) raise_arena_error(played.error());
    return record_list(played.value()).release();
}

PyObject* play(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::KeywordSignature signature{
        "Arena.play", {"n"}, {"openings", "time_limit", "concurrency", "on_error", "progress"}};
    return py::guarded_object([&] {
        const auto [n, openings, time_limit, concurrency, on_error, progress] =
            py::parse_keywords<6>(signature, args, nargs, kwnames);
        return play_batch(self, BatchArguments{n, openings, time_limit, concurrency, on_error, progress});
    });
}

PyObject* play_adjudicated(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::KeywordSignature signature{
        "Arena.play_adjudicated", {"n", "adjudicate_empties"},
        {"openings", "time_limit", "concurrency", "on_error", "progress", "on_progress"}};
    return py::guarded_object([&] {
        const auto [n, empties, openings, time_limit, concurrency, on_error, progress, on_progress] =
            py::parse_keywords<8>(signature, args, nargs, kwnames);
        return play_batch(self, BatchArguments{n, openings, time_limit, concurrency, on_error, progress, empties,
                                               on_progress});
    });
}

PyObject* get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Arena.get_stats", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        ArenaObject* object = as_arena(self);
        const py::SharedBorrow borrow(object->borrow);
        const arena::ArenaStats& stats = object->arena->stats();
        const py::Ref wins1 = size_value(stats.wins1);
        const py::Ref wins2 = size_value(stats.wins2);
        const py::Ref draws = size_value(stats.draws);
        return py::require(PyTuple_Pack(3, wins1.get(), wins2.get(), draws.get())).release();
    });
}

PyObject* get_pieces(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Arena.get_pieces", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        ArenaObject* object = as_arena(self);
        const py::SharedBorrow borrow(object->borrow);
        const arena::ArenaPieces& pieces = object->arena->pieces();
        const py::Ref pieces1 = size_value(pieces.pieces1);
        const py::Ref pieces2 = size_value(pieces.pieces2);
        return py::require(PyTuple_Pack(2, pieces1.get(), pieces2.get())).release();
    });
}

PyMethodDef kArenaMethods[] = {
    VELTRIX_METHOD(play_n, ", n"),
    VELTRIX_METHOD(play, ", n, *, openings=None, time_limit=5.0, concurrency=2, on_error='raise', progress=True"),
    VELTRIX_METHOD(play_adjudicated, ", n, adjudicate_empties, *, openings=None, time_limit=5.0, concurrency=2, "
                                     "on_error='raise', progress=True, on_progress=None"),
    VELTRIX_METHOD(get_stats, ""),
    VELTRIX_METHOD(get_pieces, ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kArenaSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(arena_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(arena_dealloc)},
    {Py_tp_methods, kArenaMethods},
    {Py_tp_doc, const_cast<char*>("Arena(command1, command2)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kArenaSpec{"veltrix.Arena", sizeof(ArenaObject), 0, Py_TPFLAGS_DEFAULT, kArenaSlots};

}  // namespace

PyTypeObject* arena_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    PyTypeObject* building = nullptr;
    if (py::type_once(building, kArenaSpec) == nullptr) return nullptr;
    const bool attached = py::guarded(false, [&] {
        PyTypeObject* record = game_record_type();
        if (record == nullptr) py::throw_error_set();
        py::set_class_attribute(building, "GameRecord", py::Ref::new_ref(reinterpret_cast<PyObject*>(record)));
        return true;
    });
    if (!attached) {
        Py_DECREF(building);
        return nullptr;
    }
    type = building;
    return type;
}

}  // namespace veltrix::arena_py
