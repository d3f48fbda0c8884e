// The Python enums Turn and Color: members are class attributes; no constructor.
#include <cstdint>

#include "board/bindings.hpp"
#include "python/args.hpp"
#include "python/type.hpp"

namespace veltrix::board_py {

namespace {

struct EnumObject {
    PyObject_HEAD
    std::uint8_t value;
};

struct EnumInfo {
    const char* class_name;
    const char* const* member_names;  // attribute names, by value
    const char* const* display_names;  // str() texts, by value
    int member_count;
};

constexpr const char* kTurnMembers[] = {"BLACK", "WHITE"};
constexpr const char* kTurnDisplay[] = {"Black", "White"};
constexpr const char* kColorMembers[] = {"EMPTY", "BLACK", "WHITE"};
constexpr const char* kColorDisplay[] = {"Empty", "Black", "White"};
constexpr EnumInfo kTurnInfo{"Turn", kTurnMembers, kTurnDisplay, 2};
constexpr EnumInfo kColorInfo{"Color", kColorMembers, kColorDisplay, 3};

const EnumInfo& info_of(PyObject* self) {
    return Py_TYPE(self) == turn_type() ? kTurnInfo : kColorInfo;
}

std::uint8_t value_of(PyObject* self) { return reinterpret_cast<EnumObject*>(self)->value; }

py::Ref new_member(PyTypeObject* type, std::uint8_t value) {
    py::Ref object = py::require(type->tp_alloc(type, 0));
    reinterpret_cast<EnumObject*>(object.get())->value = value;
    return object;
}

PyObject* enum_str(PyObject* self) {
    return py::guarded_object([&] {
        const EnumInfo& info = info_of(self);
        const std::uint8_t value = value_of(self);
        if (value >= info.member_count) throw py::InternalFault("enum object holds an unknown value");
        return py::require(PyUnicode_FromString(info.display_names[value])).release();
    });
}

PyObject* enum_repr(PyObject* self) {
    return py::guarded_object([&] {
        const EnumInfo& info = info_of(self);
        const std::uint8_t value = value_of(self);
        if (value >= info.member_count) throw py::InternalFault("enum object holds an unknown value");
        return py::require(PyUnicode_FromFormat("%s.%s", info.class_name, info.member_names[value])).release();
    });
}

// "==" and "!=" between members of the same class; everything else is NotImplemented.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(self) == value_of(other);
    return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t enum_hash(PyObject* self) { return static_cast<Py_hash_t>(value_of(self)) + 1; }

// The argument table of a Turn or Color method, named after the class for its error messages.
const py::ArgSpec& enum_signature(PyObject* self, const py::ArgSpec& turn, const py::ArgSpec& color) {
    return &info_of(self) == &kTurnInfo ? turn : color;
}

// Pickled as getattr(Turn, "BLACK"): loading gives the class attribute itself, and a member
// object made by get_board() pickles the same way as the class attribute it equals.
PyObject* enum_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec turn{"Turn.__reduce__", {}}, color{"Color.__reduce__", {}};
    return py::guarded_object([&] {
        py::parse<0>(enum_signature(self, turn, color), args, nargs, kwnames);
        const EnumInfo& info = info_of(self);
        const std::uint8_t value = value_of(self);
        if (value >= info.member_count) throw py::InternalFault("enum object holds an unknown value");
        const py::Ref builtins = py::require(PyImport_ImportModule("builtins"));
        const py::Ref getattr = py::require(PyObject_GetAttrString(builtins.get(), "getattr"));
        return py::require(Py_BuildValue("(O(Os))", getattr.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                         info.member_names[value]))
            .release();
    });
}

// Members never change, so a copy, shallow or deep, is the member itself.
PyObject* enum_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec turn{"Turn.__copy__", {}}, color{"Color.__copy__", {}};
    return py::guarded_object([&] {
        py::parse<0>(enum_signature(self, turn, color), args, nargs, kwnames);
        return py::Ref::new_ref(self).release();
    });
}

PyObject* enum_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::ArgSpec turn{"Turn.__deepcopy__", {"memo"}}, color{"Color.__deepcopy__", {"memo"}};
    return py::guarded_object([&] {
        py::parse<1>(enum_signature(self, turn, color), args, nargs, kwnames);
        return py::Ref::new_ref(self).release();
    });
}

PyMethodDef kEnumMethods[] = {
    VELTRIX_METHOD_NAMED(enum_reduce, "__reduce__", ""),
    VELTRIX_METHOD_NAMED(enum_copy, "__copy__", ""),
    VELTRIX_METHOD_NAMED(enum_deepcopy, "__deepcopy__", ", memo"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEnumSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_plain)},
    {Py_tp_str, reinterpret_cast<void*>(enum_str)},
    {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(enum_hash)},
    {Py_tp_methods, kEnumMethods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kTurnSpec{"veltrix.Turn", sizeof(EnumObject), 0, Py_TPFLAGS_DEFAULT, kEnumSlots};
PyType_Spec kColorSpec{"veltrix.Color", sizeof(EnumObject), 0, Py_TPFLAGS_DEFAULT, kEnumSlots};

// Creates the type on first use and attaches its members.
PyTypeObject* enum_type(PyTypeObject*& cache, PyType_Spec& type_spec, const EnumInfo& info) {
    if (cache != nullptr) return cache;
    PyTypeObject* building = nullptr;
    if (py::type_once(building, type_spec) == nullptr) return nullptr;
    const bool attached = py::guarded(false, [&] {
        for (int value = 0; value < info.member_count; ++value) {
            py::set_class_attribute(building, info.member_names[value],
                                    new_member(building, static_cast<std::uint8_t>(value)));
        }
        return true;
    });
    if (!attached) {
        Py_DECREF(building);
        return nullptr;
    }
    cache = building;
    return cache;
}

}  // namespace

PyTypeObject* turn_type() {
    static PyTypeObject* type = nullptr;
    return enum_type(type, kTurnSpec, kTurnInfo);
}

PyTypeObject* color_type() {
    static PyTypeObject* type = nullptr;
    return enum_type(type, kColorSpec, kColorInfo);
}

py::Ref new_turn(board::Turn turn) {
    PyTypeObject* type = turn_type();
    if (type == nullptr) py::throw_error_set();
    return new_member(type, static_cast<std::uint8_t>(turn));
}

// Reads a Turn argument; the value is checked against the known members.
board::Turn turn_argument(PyObject* value, const char* name) {
    PyTypeObject* type = turn_type();
    if (type == nullptr) py::throw_error_set();
    py::check_type(value, type, "Turn", name);
    const std::uint8_t raw = value_of(value);
    if (raw > 1) throw py::InternalFault("Turn object holds an unknown value");
    return static_cast<board::Turn>(raw);
}

}  // namespace veltrix::board_py
