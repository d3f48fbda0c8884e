#include "arena/local/bindings_record.hpp"

#include "python/error.hpp"

namespace veltrix::arena_py {

namespace {

PyStructSequence_Field kRecordFields[] = {
    {"black", "which command played Black: 1 or 2"},
    {"opening", "the opening's transcript; \"\" for the initial position"},
    {"moves", "the transcript of the whole game from the initial position, opening included"},
    {"winner", "the command that won: 1 or 2, None for a draw"},
    {"black_discs", "black discs on the board when the game ended"},
    {"white_discs", "white discs on the board when the game ended"},
    {"error", "None, or the name of the failure that forfeited the game (as \"WhiteTimeout\")"},
    // Attributes only, not items: the tuple, its length and its repr stay as they were.
    {"adjudicated_ply", "None, or the moves from the initial position before the game was solved exactly"},
    {"reply", "None, or what the program at fault answered for a forfeit by an illegal or unreadable move"},
    {nullptr, nullptr},
};

constexpr Py_ssize_t kVisibleFields = 7;
constexpr Py_ssize_t kAllFields = 9;

PyStructSequence_Desc kRecordDesc{"veltrix.Arena.GameRecord", "One game played by Arena.play.", kRecordFields,
                                  kVisibleFields};

py::Ref text(const std::string& value) {
    return py::require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

py::Ref number(std::size_t value) { return py::require(PyLong_FromSize_t(value)); }

}  // namespace

// A program's reply as Python text: its bytes need not be UTF-8, so undecodable ones are kept
// as escapes rather than failing the whole batch.
py::Ref reply_text(const std::string& value) {
    return py::require(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "backslashreplace"));
}

namespace {

py::Ref record_value(PyTypeObject* type, const arena::GameRecord& record) {
    py::Ref value = py::require(PyStructSequence_New(type));
    const std::size_t black = record.order == arena::PlayerOrder::Player1Black ? 1 : 2;
    const std::optional<board::Turn>& winner = record.result.winner;
    py::Ref items[kAllFields] = {
        number(black),
        text(record.opening),
        text(record.moves),
        winner ? number(*winner == board::Turn::Black ? black : 3 - black) : py::Ref::new_ref(Py_None),
        number(record.result.black_pieces),
        number(record.result.white_pieces),
        record.error ? py::require(PyUnicode_FromString(arena::game_error_name(*record.error)))
                     : py::Ref::new_ref(Py_None),
        record.adjudicated_ply ? number(*record.adjudicated_ply) : py::Ref::new_ref(Py_None),
        record.reply ? reply_text(*record.reply) : py::Ref::new_ref(Py_None),
    };
    for (Py_ssize_t i = 0; i < kAllFields; ++i) PyStructSequence_SetItem(value.get(), i, items[i].release());
    return value;
}

}  // namespace

PyTypeObject* game_record_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    PyTypeObject* building = PyStructSequence_NewType(&kRecordDesc);
    if (building == nullptr) return nullptr;
    // Reached as veltrix.Arena.GameRecord (the module's attributes are its classes alone), and
    // named so, so that pickle finds it again.
    const bool named = py::guarded(false, [&] {
        PyObject* object = reinterpret_cast<PyObject*>(building);
        const py::Ref module = py::require(PyUnicode_FromString("veltrix"));
        const py::Ref qualname = py::require(PyUnicode_FromString("Arena.GameRecord"));
        py::require_status(PyObject_SetAttrString(object, "__module__", module.get()));
        py::require_status(PyObject_SetAttrString(object, "__qualname__", qualname.get()));
        return true;
    });
    if (!named) {
        Py_DECREF(building);
        return nullptr;
    }
    type = building;
    return type;
}

py::Ref record_list(const std::vector<arena::GameRecord>& records) {
    PyTypeObject* type = game_record_type();
    if (type == nullptr) py::throw_error_set();
    py::Ref list = py::require(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record_value(type, records[i]).release());
    }
    return list;
}

}  // namespace veltrix::arena_py
