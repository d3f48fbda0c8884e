#include "python/keyword_args.hpp"

#include <string>
#include <vector>

namespace veltrix::py {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message.c_str()); }

// The slot of keyword `key` among `names`, or names.size(); compared without encoding the
// key, so a name that is not valid UTF-8 is simply unknown.
std::size_t slot_of(PyObject* key, const std::vector<const char*>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
    }
    return names.size();
}

}  // namespace

void parse_keyword_args(const KeywordSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out) {
    std::vector<const char*> names(signature.required);
    names.insert(names.end(), signature.keywords.begin(), signature.keywords.end());
    const std::size_t required = signature.required.size();
    const std::string prefix = std::string(signature.qualname) + "() ";
    if (nargs > static_cast<Py_ssize_t>(required)) {
        raise_type_error(prefix + "takes " + std::to_string(required) +
                         (required == 1 ? " positional argument" : " positional arguments") + " but " +
                         std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < names.size(); ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t slot = slot_of(key, names);
        if (slot == names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.qualname, key);
            throw_error_set();
        }
        if (out[slot] != nullptr) {
            raise_type_error(prefix + "got multiple values for argument '" + names[slot] + "'");
        }
        out[slot] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            list += std::string("'") + missing[i] + "'";
        }
        raise_type_error(prefix + "missing " + std::to_string(missing.size()) +
                         (missing.size() == 1 ? " required positional argument: " : " required positional arguments: ") +
                         list);
    }
}

}  // namespace veltrix::py
