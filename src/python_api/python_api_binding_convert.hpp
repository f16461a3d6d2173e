// Conversion of single Python argument values into native values. Every function returns
// false with a Python exception raised when the value cannot be converted.
//
// Items are read straight from exact lists and tuples. Converting an item that is not an
// exact float may run Python code (__float__, __index__) which can edit or drop the
// containers being read, so every container and item on such a path is held by a strong
// reference and list sizes are re-read on every step.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "python_api_binding_pyref.hpp"

namespace corvane::binding {

// TypeError "'{type qualname}' object cannot be converted to '{kind}'".
inline void raise_wrong_type(PyObject* obj, const char* kind) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "'<failed to extract type name>' object cannot be converted to '%s'", kind);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), kind);
}

// int (or subclass) directly, anything else through __index__; negative or above
// 2^64 - 1 raises the interpreter's OverflowError.
inline bool convert_index(PyObject* obj, std::uint64_t& out) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

inline bool convert_real(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    PyRef hold = PyRef::borrow(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

inline bool convert_optional_real(PyObject* obj, std::optional<double>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    double value = 0.0;
    if (!convert_real(obj, value)) return false;
    out = value;
    return true;
}

// numpy.bool_ (numpy 1) or numpy.bool (numpy 2), recognised by name so numpy need not be
// imported. A failed attribute lookup just means "not numpy".
inline bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef module =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module || !PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        PyErr_Clear();
        return false;
    }
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// bool (or subclass) as is, numpy booleans through their nb_bool slot, nothing else (in
// particular no int).
inline bool convert_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool_type(type)) {
        raise_wrong_type(obj, "PyBool");
        return false;
    }
    const PyNumberMethods* number = type->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        return false;
    }
    PyRef hold = PyRef::borrow(obj);
    const int truth = number->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// A C long, then the signed 32-bit range.
inline bool convert_int32(PyObject* obj, std::int32_t& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

inline bool convert_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_wrong_type(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// A tuple of exactly two reals.
inline bool convert_complex(PyObject* obj, Complex& out) {
    if (!PyTuple_Check(obj)) {
        raise_wrong_type(obj, "PyTuple");
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     size);
        return false;
    }
    PyObject* re = PyTuple_GET_ITEM(obj, 0);
    PyObject* im = PyTuple_GET_ITEM(obj, 1);
    if (PyFloat_CheckExact(re) && PyFloat_CheckExact(im)) {
        out = Complex{PyFloat_AS_DOUBLE(re), PyFloat_AS_DOUBLE(im)};
        return true;
    }
    PyRef hold = PyRef::borrow(obj);
    return convert_real(re, out.re) && convert_real(im, out.im);
}

// Items reserved up front for a sequence that is not a list or tuple (64 KiB of doubles).
inline constexpr std::size_t kTrustedLengthHint = 8192;

// Any object passing the sequence check except str, items converted in order. The
// converter of an item that runs Python code holds that item itself.
template <class T, class ConvertItem>
bool convert_sequence(PyObject* obj, std::vector<T>& out, ConvertItem convert_item) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PyList_CheckExact(obj)) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            T value{};
            if (!convert_item(PyList_GET_ITEM(obj, i), value)) return false;
            out.push_back(std::move(value));
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            T value{};
            if (!convert_item(PyTuple_GET_ITEM(obj, i), value)) return false;
            out.push_back(std::move(value));
        }
        return true;
    }
    if (!PySequence_Check(obj)) {
        raise_wrong_type(obj, "Sequence");
        return false;
    }
    // The length is only a capacity hint, and any __len__ may lie: at most a bounded
    // reservation is taken on its word, and the vector grows as items actually arrive. An
    // object without a usable length still iterates.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    out.reserve(std::min(static_cast<std::size_t>(hint), kTrustedLengthHint));
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) break;
        T value{};
        if (!convert_item(item.get(), value)) return false;
        out.push_back(std::move(value));
    }
    return PyErr_Occurred() == nullptr;
}

inline bool convert_real_sequence(PyObject* obj, std::vector<double>& out) {
    return convert_sequence(obj, out, [](PyObject* item, double& value) {
        return convert_real(item, value);
    });
}

inline bool convert_complex_sequence(PyObject* obj, std::vector<Complex>& out) {
    return convert_sequence(obj, out, [](PyObject* item, Complex& value) {
        return convert_complex(item, value);
    });
}

// Sequence of sequences of complex tuples: the flat form of a material tensor.
inline bool convert_tensor(PyObject* obj, std::vector<std::vector<Complex>>& out) {
    return convert_sequence(obj, out, [](PyObject* component, std::vector<Complex>& values) {
        PyRef hold = PyRef::borrow(component);
        return convert_complex_sequence(component, values);
    });
}

// None is absent; an empty sequence is present with length 0.
inline bool convert_optional_complex_sequence(PyObject* obj,
                                              std::optional<std::vector<Complex>>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    out.emplace();
    return convert_complex_sequence(obj, *out);
}

}  // namespace corvane::binding
