// The Python class veltrix_env._batch.Batch: a GameBatch whose outputs go straight into the
// caller's arrays (any writable, C-contiguous buffer: NumPy arrays, bytearrays), and the module
// entry point. The Python package veltrix_env wraps it; it is not meant to be used directly.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "board/dispatch.hpp"
#include "env/batch.hpp"
#include "env/bindings_arrays.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/keyword_args.hpp"
#include "python/type.hpp"

namespace veltrix::env_py {

namespace {

using env::GameBatch;

struct BoundArrays;

struct BatchObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    GameBatch* batch;     // owned; null only while the object is being built
    BoundArrays* bound;   // owned; the arrays of bind(), null until then
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// The arrays a batch writes into on every step, held (exports and all) from bind() on, so that a
// step does not ask each of them for its buffer again.
struct BoundArrays {
    std::unique_ptr<ArrayArg> observations, masks, rewards, terminated, illegal, sampled;
    std::unique_ptr<ArrayArg> final_observations, final_masks;
    env::StepOutputs out;
    std::int64_t* sampled_data = nullptr;
};

bool truth(PyObject* value) {
    if (value == nullptr) return false;
    const int result = PyObject_IsTrue(value);
    py::require_status(result);
    return result != 0;
}

std::size_t row_argument(PyObject* value, const GameBatch& batch) {
    const std::size_t row = py::to_usize(value, "row");
    if (row >= batch.size()) {
        PyErr_Format(PyExc_IndexError, "row %zu is out of range for a batch of %zu games", row, batch.size());
        py::throw_error_set();
    }
    return row;
}

GameBatch& batch_of(PyObject* self) {
    GameBatch* batch = as_batch(self)->batch;
    if (batch == nullptr) throw py::InternalFault("Batch used before it was initialised");
    return *batch;
}

// Batch(num_envs, seed, empty_plane, legal_plane, same_step, disc_difference, record_games,
//       random_opponent, agent_white)
PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"Batch",
                                       {"num_envs", "seed", "empty_plane", "legal_plane", "same_step", "disc_difference",
                                        "record_games", "random_opponent", "agent_white"}};
    return py::guarded_object([&]() -> PyObject* {
        PyObject* values[9] = {};
        py::parse_tuple_args(signature, args, kwargs, values);
        const std::size_t size = py::to_usize(values[0], "num_envs");
        if (size == 0 || size > (std::size_t{1} << 24)) py::raise_value_error("num_envs must be between 1 and 2**24");
        env::BatchOptions options;
        options.empty_plane = truth(values[2]);
        options.legal_plane = truth(values[3]);
        options.autoreset = truth(values[4]) ? env::AutoReset::SameStep : env::AutoReset::NextStep;
        options.reward = truth(values[5]) ? env::RewardKind::DiscDifference : env::RewardKind::WinLoss;
        options.record_games = truth(values[6]);
        options.random_opponent = truth(values[7]);
        options.agent_turn = truth(values[8]) ? board::Turn::White : board::Turn::Black;
        const std::uint64_t seed = py::to_u64(values[1], "seed");
        py::Ref object = py::require(type->tp_alloc(type, 0));
        as_batch(object.get())->batch = new GameBatch(size, options, seed);
        return object.release();
    });
}

void batch_dealloc(PyObject* self) {
    delete as_batch(self)->bound;  // releases the buffers it holds
    delete as_batch(self)->batch;
    py::dealloc_plain(self);
}

PyObject* size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.size", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return PyLong_FromSize_t(batch_of(self).size());
    });
}

// reset(observations, masks, seed): seed None keeps the generator's stream.
PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.reset", {"observations", "masks", "seed"}};
    return py::guarded_object([&] {
        const auto [obs_arg, mask_arg, seed_arg] = py::parse<3>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        ArrayArg observations(obs_arg, "observations", Items::Bytes, batch.size() * batch.observation_bytes(), true);
        ArrayArg masks(mask_arg, "masks", Items::Bytes, batch.size() * env::kActionCount, true);
        std::uint64_t seed = 0;
        const bool reseed = seed_arg != Py_None;
        if (reseed) seed = py::to_u64(seed_arg, "seed");
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        env::StepOutputs out;
        out.observations = observations.data<std::uint8_t>();
        out.masks = masks.data<std::uint8_t>();
        batch.reset(reseed ? &seed : nullptr, out);
        Py_RETURN_NONE;
    });
}

// step(actions, observations, masks, rewards, terminated, illegal, *, final_observations=None,
// final_masks=None, raise_illegal=False)
PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::KeywordSignature signature{
        "Batch.step",
        {"actions", "observations", "masks", "rewards", "terminated", "illegal"},
        {"final_observations", "final_masks", "raise_illegal"}};
    return py::guarded_object([&] {
        const auto values = py::parse_keywords<9>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        const std::size_t n = batch.size();
        ArrayArg actions(values[0], "actions", Items::Int64, n, false);
        ArrayArg observations(values[1], "observations", Items::Bytes, n * batch.observation_bytes(), true);
        ArrayArg masks(values[2], "masks", Items::Bytes, n * env::kActionCount, true);
        ArrayArg rewards(values[3], "rewards", Items::Float32, n, true);
        ArrayArg terminated(values[4], "terminated", Items::Bytes, n, true);
        ArrayArg illegal(values[5], "illegal", Items::Bytes, n, true);
        std::unique_ptr<ArrayArg> final_obs_holder;
        std::unique_ptr<ArrayArg> final_mask_holder;
        env::StepOutputs out;
        out.final_observations = optional_data<std::uint8_t>(final_obs_holder, values[6], "final_observations",
                                                             Items::Bytes, n * batch.observation_bytes());
        out.final_masks =
            optional_data<std::uint8_t>(final_mask_holder, values[7], "final_masks", Items::Bytes, n * env::kActionCount);
        const bool raise_illegal = truth(values[8]);
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        const std::int64_t* chosen = actions.data<std::int64_t>();
        if (raise_illegal) {
            const std::size_t row = batch.first_illegal(chosen);
            if (row < n) {
                PyErr_Format(PyExc_ValueError, "illegal action %lld in row %zu (nothing was stepped)",
                             static_cast<long long>(chosen[row]), row);
                py::throw_error_set();
            }
        }
        out.observations = observations.data<std::uint8_t>();
        out.masks = masks.data<std::uint8_t>();
        out.rewards = rewards.data<float>();
        out.terminated = terminated.data<std::uint8_t>();
        out.illegal = illegal.data<std::uint8_t>();
        batch.step(chosen, out);
        Py_RETURN_NONE;
    });
}

PyObject* sample_legal_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.sample_legal_actions", {"out"}};
    return py::guarded_object([&] {
        const auto [out_arg] = py::parse<1>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        ArrayArg out(out_arg, "out", Items::Int64, batch.size(), true);
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        batch.sample_legal_actions(out.data<std::int64_t>());
        Py_RETURN_NONE;
    });
}

// write_all(observations, masks): every row's current observation and mask.
PyObject* write_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.write_all", {"observations", "masks"}};
    return py::guarded_object([&] {
        const auto [obs_arg, mask_arg] = py::parse<2>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        ArrayArg observations(obs_arg, "observations", Items::Bytes, batch.size() * batch.observation_bytes(), true);
        ArrayArg masks(mask_arg, "masks", Items::Bytes, batch.size() * env::kActionCount, true);
        const py::SharedBorrow borrow(as_batch(self)->borrow);
        env::StepOutputs out;
        out.observations = observations.data<std::uint8_t>();
        out.masks = masks.data<std::uint8_t>();
        batch.write_all(out);
        Py_RETURN_NONE;
    });
}

// get_board(row) -> (player, opponent, turn as 0 or 1, awaiting_reset)
PyObject* get_board(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.get_board", {"row"}};
    return py::guarded_object([&] {
        const auto [row_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const GameBatch& batch = batch_of(self);
        const std::size_t row = row_argument(row_arg, batch);
        const py::SharedBorrow borrow(as_batch(self)->borrow);
        const board::Board& b = batch.board(row);
        return Py_BuildValue("(KKiO)", static_cast<unsigned long long>(b.player),
                             static_cast<unsigned long long>(b.opponent), static_cast<int>(b.turn),
                             batch.awaiting_reset(row) ? Py_True : Py_False);
    });
}

// set_board(row, player, opponent, turn): the position must be sound.
PyObject* set_board(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.set_board", {"row", "player", "opponent", "turn"}};
    return py::guarded_object([&] {
        const auto [row_arg, player_arg, opponent_arg, turn_arg] = py::parse<4>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        const std::size_t row = row_argument(row_arg, batch);
        const std::uint64_t player = py::to_u64(player_arg, "player");
        const std::uint64_t opponent = py::to_u64(opponent_arg, "opponent");
        const std::size_t turn = py::to_usize(turn_arg, "turn");
        if (turn > 1) py::raise_value_error("turn must be 0 (black) or 1 (white)");
        if ((player & opponent) != 0) py::raise_value_error("Invalid state");
        const env::BatchOptions& options = batch.options();
        if (options.random_opponent && static_cast<board::Turn>(turn) != options.agent_turn) {
            py::raise_value_error("against the random opponent a position must have the agent to move");
        }
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        batch.set_board(row, board::Board{player, opponent, static_cast<board::Turn>(turn)});
        Py_RETURN_NONE;
    });
}

// actions(row) -> bytes: the actions of the row's game so far (64 = pass).
PyObject* actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.actions", {"row"}};
    return py::guarded_object([&] {
        const auto [row_arg] = py::parse<1>(signature, args, nargs, kwnames);
        const GameBatch& batch = batch_of(self);
        const std::size_t row = row_argument(row_arg, batch);
        const py::SharedBorrow borrow(as_batch(self)->borrow);
        const std::string text = batch.actions(row);
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// take_finished_games() -> list of (row, actions bytes, black discs, white discs, illegal, offender)
PyObject* take_finished_games(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.take_finished_games", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        std::vector<env::FinishedGame> games;
        {
            const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
            games = batch.take_finished_games();
        }
        py::Ref list = py::require(PyList_New(static_cast<Py_ssize_t>(games.size())));
        for (std::size_t i = 0; i < games.size(); ++i) {
            const env::FinishedGame& game = games[i];
            PyObject* item = Py_BuildValue("(ny#iiOi)", static_cast<Py_ssize_t>(game.row), game.actions.data(),
                                           static_cast<Py_ssize_t>(game.actions.size()), game.black_discs,
                                           game.white_discs, game.illegal ? Py_True : Py_False,
                                           static_cast<int>(game.offender));
            if (item == nullptr) py::throw_error_set();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// bind(observations, masks, rewards, terminated, illegal, sampled, final_observations, final_masks):
// the arrays that step_bound, sample_bound, reset_bound and write_all_bound write from now on.
PyObject* bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.bind", {"observations", "masks", "rewards", "terminated", "illegal",
                                                      "sampled", "final_observations", "final_masks"}};
    return py::guarded_object([&] {
        const auto values = py::parse<8>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        const std::size_t n = batch.size();
        auto bound = std::make_unique<BoundArrays>();
        bound->observations = std::make_unique<ArrayArg>(values[0], "observations", Items::Bytes,
                                                         n * batch.observation_bytes(), true);
        bound->masks = std::make_unique<ArrayArg>(values[1], "masks", Items::Bytes, n * env::kActionCount, true);
        bound->rewards = std::make_unique<ArrayArg>(values[2], "rewards", Items::Float32, n, true);
        bound->terminated = std::make_unique<ArrayArg>(values[3], "terminated", Items::Bytes, n, true);
        bound->illegal = std::make_unique<ArrayArg>(values[4], "illegal", Items::Bytes, n, true);
        bound->sampled = std::make_unique<ArrayArg>(values[5], "sampled", Items::Int64, n, true);
        bound->out.final_observations = optional_data<std::uint8_t>(bound->final_observations, values[6],
                                                                    "final_observations", Items::Bytes,
                                                                    n * batch.observation_bytes());
        bound->out.final_masks = optional_data<std::uint8_t>(bound->final_masks, values[7], "final_masks",
                                                             Items::Bytes, n * env::kActionCount);
        bound->out.observations = bound->observations->data<std::uint8_t>();
        bound->out.masks = bound->masks->data<std::uint8_t>();
        bound->out.rewards = bound->rewards->data<float>();
        bound->out.terminated = bound->terminated->data<std::uint8_t>();
        bound->out.illegal = bound->illegal->data<std::uint8_t>();
        bound->sampled_data = bound->sampled->data<std::int64_t>();
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        delete std::exchange(as_batch(self)->bound, bound.release());
        Py_RETURN_NONE;
    });
}

BoundArrays& bound_of(PyObject* self) {
    BoundArrays* bound = as_batch(self)->bound;
    if (bound == nullptr) py::raise(PyExc_RuntimeError, "the batch has no bound arrays: call bind() first");
    return *bound;
}

// step_bound(actions, raise_illegal): step() into the bound arrays.
PyObject* step_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.step_bound", {"actions", "raise_illegal"}};
    return py::guarded_object([&] {
        const auto [actions_arg, raise_arg] = py::parse<2>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        BoundArrays& bound = bound_of(self);
        ArrayArg actions(actions_arg, "actions", Items::Int64, batch.size(), false);
        const bool raise_illegal = truth(raise_arg);
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        const std::int64_t* chosen = actions.data<std::int64_t>();
        if (raise_illegal) {
            const std::size_t row = batch.first_illegal(chosen);
            if (row < batch.size()) {
                PyErr_Format(PyExc_ValueError, "illegal action %lld in row %zu (nothing was stepped)",
                             static_cast<long long>(chosen[row]), row);
                py::throw_error_set();
            }
        }
        batch.step(chosen, bound.out);
        Py_RETURN_NONE;
    });
}

// sample_bound(): sample_legal_actions() into the bound array `sampled`.
PyObject* sample_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.sample_bound", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        BoundArrays& bound = bound_of(self);
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        batch.sample_legal_actions(bound.sampled_data);
        Py_RETURN_NONE;
    });
}

// reset_bound(seed): reset() into the bound arrays.
PyObject* reset_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.reset_bound", {"seed"}};
    return py::guarded_object([&] {
        const auto [seed_arg] = py::parse<1>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        BoundArrays& bound = bound_of(self);
        std::uint64_t seed = 0;
        const bool reseed = seed_arg != Py_None;
        if (reseed) seed = py::to_u64(seed_arg, "seed");
        const py::ExclusiveBorrow borrow(as_batch(self)->borrow);
        batch.reset(reseed ? &seed : nullptr, bound.out);
        Py_RETURN_NONE;
    });
}

// write_all_bound(): every row's observation and mask into the bound arrays.
PyObject* write_all_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"Batch.write_all_bound", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        GameBatch& batch = batch_of(self);
        BoundArrays& bound = bound_of(self);
        const py::SharedBorrow borrow(as_batch(self)->borrow);
        batch.write_all(bound.out);
        Py_RETURN_NONE;
    });
}

PyMethodDef kBatchMethods[] = {
    VELTRIX_METHOD(size, ""),
    VELTRIX_METHOD(reset, ", observations, masks, seed"),
    VELTRIX_METHOD(step, ", actions, observations, masks, rewards, terminated, illegal, *, final_observations=None, "
                         "final_masks=None, raise_illegal=False"),
    VELTRIX_METHOD(sample_legal_actions, ", out"),
    VELTRIX_METHOD(write_all, ", observations, masks"),
    VELTRIX_METHOD(get_board, ", row"),
    VELTRIX_METHOD(set_board, ", row, player, opponent, turn"),
    VELTRIX_METHOD(actions, ", row"),
    VELTRIX_METHOD(take_finished_games, ""),
    VELTRIX_METHOD(bind, ", observations, masks, rewards, terminated, illegal, sampled, final_observations, final_masks"),
    VELTRIX_METHOD(step_bound, ", actions, raise_illegal"),
    VELTRIX_METHOD(sample_bound, ""),
    VELTRIX_METHOD(reset_bound, ", seed"),
    VELTRIX_METHOD(write_all_bound, ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBatchSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, kBatchMethods},
    {Py_tp_doc, const_cast<char*>("Batch(num_envs, seed, empty_plane, legal_plane, same_step, disc_difference, "
                                  "record_games, random_opponent, agent_white)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kBatchSpec{"veltrix_env._batch.Batch", sizeof(BatchObject), 0, Py_TPFLAGS_DEFAULT, kBatchSlots};

PyTypeObject* batch_type() {
    static PyTypeObject* type = nullptr;
    return py::type_once(type, kBatchSpec);
}

// Which move generator the batch runs on in this process: "avx2" or "portable".
PyObject* move_generator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"move_generator", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        return PyUnicode_FromString(board::avx2_selected() ? "avx2" : "portable");
    });
}

PyMethodDef kModuleMethods[] = {
    py::fast_method("move_generator", move_generator, "move_generator()\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "veltrix_env._batch", "The native batch of games behind veltrix_env.", 0,
    kModuleMethods,        nullptr,              nullptr,                                          nullptr,
    nullptr,
};

PyObject* build_module() {
    py::Ref module = py::require(PyModule_Create(&kModuleDef));
    PyTypeObject* type = batch_type();
    if (type == nullptr) py::throw_error_set();
    py::require_status(PyModule_AddObjectRef(module.get(), "Batch", reinterpret_cast<PyObject*>(type)));
    return module.release();
}

}  // namespace

}  // namespace veltrix::env_py

PyMODINIT_FUNC PyInit__batch() {
    return veltrix::py::guarded_object([] { return veltrix::env_py::build_module(); });
}
