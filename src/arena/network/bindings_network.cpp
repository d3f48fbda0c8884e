// The Python classes NetworkArenaServer and NetworkArenaClient: the network arena's server
// and client, run with the interpreter lock released so that other Python threads go on.
#include "arena/network/bindings_network.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "arena/network/client.hpp"
#include "arena/network/server.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/interrupt.hpp"
#include "python/type.hpp"

namespace veltrix::arena_py {

namespace {

struct ServerObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    arena::NetworkArenaServer* value;
};

struct ClientObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    arena::NetworkArenaClient* value;
};

// How often a call running without the interpreter lock looks for a pending Ctrl-C.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// Releases the interpreter lock for one blocking call and lets that call ask, from the
// calling thread, whether Ctrl-C (or any signal whose handler raises) has arrived meanwhile.
class ReleasedInterpreter {
public:
    ReleasedInterpreter()
        : caller_(std::this_thread::get_id()), checks_signals_(py::on_main_thread()), state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { py::restore_thread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // True once a signal handler has raised; the exception stays set for the caller to return.
    // The lock is taken back at most once per interval, however often the call asks.
    bool signalled() {
        if (raised_.load() || std::this_thread::get_id() != caller_ || !checks_signals_) return raised_.load();
        const auto now = std::chrono::steady_clock::now();
        if (now < next_check_) return false;
        next_check_ = now + kSignalCheckInterval;
        if (py::interpreter_finalizing()) return true;  // wind down; see py::restore_thread
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        raised_.store(raised);
        return raised;
    }

    arena::StopCheck stop_check() {
        return [this] { return signalled(); };
    }

private:
    std::thread::id caller_;
    // Off the main thread no handler runs: the lock is not taken back for nothing (which would
    // also race with the interpreter's shutdown, see py::restore_thread).
    bool checks_signals_;
    PyThreadState* state_;
    std::atomic<bool> raised_{false};
    std::chrono::steady_clock::time_point next_check_{};
};

// addr and the command's strings reach C APIs that stop at the first NUL.
std::string text_argument(PyObject* value, const char* name) {
    std::string text = py::to_utf8(value, name);
    if (text.find('\0') != std::string::npos) py::raise_value_error("embedded null character");
    return text;
}

template <class Object>
void dealloc_native(PyObject* self) {
    delete reinterpret_cast<Object*>(self)->value;
    py::dealloc_plain(self);
}

// Runs `operation(stop)` without the interpreter lock, then raises its error (or the
// exception of the signal that stopped it).
template <class Operation>
PyObject* run_released(Operation&& operation) {
    std::optional<std::string> failure;
    {
        ReleasedInterpreter released;
        const arena::StopCheck stop = released.stop_check();
        auto done = operation(stop);
        if (!done) failure = done.error().message();
    }
    if (PyErr_Occurred()) py::throw_error_set();
    if (failure) py::raise_value_error(failure->c_str());
    Py_RETURN_NONE;
}

// ---- NetworkArenaServer ----

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"NetworkArenaServer.__new__", {"game_per_iter"}};
    return py::guarded_object([&] {
        PyObject* game_per_iter_arg = nullptr;
        py::parse_tuple_args(signature, args, kwargs, &game_per_iter_arg);
        const std::size_t game_per_iter = py::to_usize(game_per_iter_arg, "game_per_iter");
        if (game_per_iter % 2 != 0) py::raise_value_error("Game count must be even");
        py::Ref object = py::require(type->tp_alloc(type, 0));
        reinterpret_cast<ServerObject*>(object.get())->value = new arena::NetworkArenaServer(game_per_iter);
        return object.release();
    });
}

PyObject* server_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"NetworkArenaServer.start", {"addr", "port"}};
    return py::guarded_object([&] {
        ServerObject* object = reinterpret_cast<ServerObject*>(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        const auto [addr_arg, port_arg] = py::parse<2>(signature, args, nargs, kwnames);
        const std::string addr = text_argument(addr_arg, "addr");
        const std::uint16_t port = py::to_u16(port_arg, "port");
        arena::NetworkArenaServer& server = *object->value;
        return run_released([&](const arena::StopCheck& stop) { return server.start(addr, port, stop); });
    });
}

PyMethodDef kServerMethods[] = {
    VELTRIX_METHOD_NAMED(server_start, "start", ", addr, port"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kServerSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<ServerObject>)},
    {Py_tp_methods, kServerMethods},
    {Py_tp_doc, const_cast<char*>("NetworkArenaServer(game_per_iter)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kServerSpec{"veltrix.NetworkArenaServer", sizeof(ServerObject), 0, Py_TPFLAGS_DEFAULT, kServerSlots};

// ---- NetworkArenaClient ----

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::ArgSpec signature{"NetworkArenaClient.__new__", {"command"}};
    return py::guarded_object([&] {
        PyObject* command_arg = nullptr;
        py::parse_tuple_args(signature, args, kwargs, &command_arg);
        std::vector<std::string> command = py::to_string_list(command_arg, "command");
        for (const std::string& part : command) {
            if (part.find('\0') != std::string::npos) py::raise_value_error("embedded null character");
        }
        py::Ref object = py::require(type->tp_alloc(type, 0));
        reinterpret_cast<ClientObject*>(object.get())->value = new arena::NetworkArenaClient(std::move(command));
        return object.release();
    });
}

PyObject* client_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"NetworkArenaClient.connect", {"addr", "port"}};
    return py::guarded_object([&] {
        ClientObject* object = reinterpret_cast<ClientObject*>(self);
        const py::ExclusiveBorrow borrow(object->borrow);
        const auto [addr_arg, port_arg] = py::parse<2>(signature, args, nargs, kwnames);
        const std::string addr = text_argument(addr_arg, "addr");
        const std::uint16_t port = py::to_u16(port_arg, "port");
        arena::NetworkArenaClient& client = *object->value;
        return run_released([&](const arena::StopCheck& stop) { return client.connect(addr, port, stop); });
    });
}

py::Ref count(std::size_t value) { return py::require(PyLong_FromSize_t(value)); }

PyObject* client_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"NetworkArenaClient.get_stats", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        ClientObject* object = reinterpret_cast<ClientObject*>(self);
        const py::SharedBorrow borrow(object->borrow);
        const arena::ClientStats& stats = object->value->stats();
        py::Ref wins = count(stats.wins), losses = count(stats.losses), draws = count(stats.draws);
        return py::require(PyTuple_Pack(3, wins.get(), losses.get(), draws.get())).release();
    });
}

PyObject* client_get_pieces(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec signature{"NetworkArenaClient.get_pieces", {}};
    return py::guarded_object([&] {
        py::parse<0>(signature, args, nargs, kwnames);
        ClientObject* object = reinterpret_cast<ClientObject*>(self);
        const py::SharedBorrow borrow(object->borrow);
        const arena::ClientPieces& pieces = object->value->pieces();
        py::Ref own = count(pieces.own), opponent = count(pieces.opponent);
        return py::require(PyTuple_Pack(2, own.get(), opponent.get())).release();
    });
}

PyMethodDef kClientMethods[] = {
    VELTRIX_METHOD_NAMED(client_connect, "connect", ", addr, port"),
    VELTRIX_METHOD_NAMED(client_get_stats, "get_stats", ""),
    VELTRIX_METHOD_NAMED(client_get_pieces, "get_pieces", ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kClientSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<ClientObject>)},
    {Py_tp_methods, kClientMethods},
    {Py_tp_doc, const_cast<char*>("NetworkArenaClient(command)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kClientSpec{"veltrix.NetworkArenaClient", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT, kClientSlots};

}  // namespace

PyTypeObject* network_server_type() {
    static PyTypeObject* type = nullptr;
    return py::type_once(type, kServerSpec);
}

PyTypeObject* network_client_type() {
    static PyTypeObject* type = nullptr;
    return py::type_once(type, kClientSpec);
}

}  // namespace veltrix::arena_py
