#include "python/args.hpp"

namespace veltrix::py {

namespace {

// "'int'": the given type's name in quotes, as the interpreter's messages show it.
std::string quoted_type(PyObject* value) {
    std::string text(1, '\'');
    text += type_name(value);
    text += '\'';
    return text;
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how the interpreter lists missing arguments.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message.c_str()); }

// TypeError naming a keyword as given: formatted from the str object itself, as the interpreter
// does, so a name that cannot be encoded still reads back unchanged. `format` holds one "%U"
// and no other directive (the prefix is a method name, which has no "%").
[[noreturn]] void raise_keyword_error(const std::string& format, PyObject* key) {
    PyErr_Format(PyExc_TypeError, format.c_str(), key);
    throw_error_set();
}

}  // namespace

std::string type_name(PyObject* value) {
    const Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return Py_TYPE(value)->tp_name;
    }
    return utf8;
}

void parse_args(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t count = signature.names.size();
    const char* const* names = signature.names.begin();
    const std::string prefix = std::string(signature.qualname) + "() ";
    if (nargs > static_cast<Py_ssize_t>(count)) {
        raise_type_error(prefix + "takes " + plural(count, "positional argument", "positional arguments") + " but " +
                         std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        // A name is compared as a str, never encoded: any str (a lone surrogate included) is a
        // name that simply matches no argument.
        if (!PyUnicode_Check(key)) raise_type_error(prefix + "keywords must be strings");
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
        }
        if (slot == count) raise_keyword_error(prefix + "got an unexpected keyword argument '%U'", key);
        if (out[slot] != nullptr) raise_keyword_error(prefix + "got multiple values for argument '%U'", key);
        out[slot] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        raise_type_error(prefix + "missing " +
                         plural(missing.size(), "required positional argument", "required positional arguments") +
                         ": " + quoted_list(missing));
    }
}

void parse_tuple_args(const ArgSpec& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = require(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0;
        Py_ssize_t index = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), index++, Ref::new_ref(key).release());
            flat.push_back(value);
        }
    }
    parse_args(signature, flat.data(), nargs, kwnames.get(), out);
}

void raise_argument_error(const char* name, const std::string& message) {
    raise_type_error(std::string("argument '") + name + "': " + message);
}

namespace {

// The argument as an int (through __index__), with a failed conversion named after it.
Ref as_index(PyObject* value, const char* name) {
    if (PyLong_Check(value)) return Ref::new_ref(value);
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_argument_error(name, quoted_type(value) +
                                           " object cannot be interpreted as an integer");
        }
        throw_error_set();
    }
    return Ref::steal(index);
}

}  // namespace

std::uint64_t to_u64(PyObject* value, const char* name) {
    const Ref index = as_index(value, name);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return result;
}

std::size_t to_usize(PyObject* value, const char* name) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    return static_cast<std::size_t>(to_u64(value, name));
}

std::uint16_t to_u16(PyObject* value, const char* name) {
    const std::uint64_t wide = to_u64(value, name);
    if (wide > 0xffff) raise(PyExc_OverflowError, "int too big to convert");
    return static_cast<std::uint16_t>(wide);
}

std::u32string to_u32string(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        raise_argument_error(name, quoted_type(value) + " object cannot be converted to 'str'");
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    std::u32string text(static_cast<std::size_t>(length), U'\0');
    for (Py_ssize_t i = 0; i < length; ++i) text[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    return text;
}

std::string to_utf8(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        raise_argument_error(name, quoted_type(value) + " object cannot be converted to 'str'");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) throw_error_set();
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::vector<std::string> to_string_list(PyObject* value, const char* name) {
    // A str is a sequence of characters; taking it for a command line is never meant.
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(name, quoted_type(value) +
                                       " object cannot be converted to 'Sequence[str]'");
    }
    const Ref items = require(PySequence_Fast(value, "expected a sequence"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string> strings;
    strings.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        strings.push_back(to_utf8(PySequence_Fast_GET_ITEM(items.get(), i), name));
    }
    return strings;
}

void check_type(PyObject* value, PyTypeObject* type, const char* expected, const char* name) {
    if (!PyObject_TypeCheck(value, type)) {
        raise_argument_error(name, quoted_type(value) + " object cannot be converted to '" +
                                       expected + "'");
    }
}

}  // namespace veltrix::py
