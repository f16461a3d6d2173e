// Conversion of a ModeSolveResult into the 9-tuple returned to Python. Each native array
// is released as soon as its Python list exists, so the two copies of the fields never
// coexist in full.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "common/complex.hpp"
#include "mode_solver/mode_solver.hpp"
#include "python_api_binding_pyref.hpp"

namespace corvane::binding {

// (re, im) as a tuple of two floats; null with MemoryError set on failure.
inline PyObject* new_complex_tuple(Complex z) noexcept {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyObject* re = PyFloat_FromDouble(z.re);
    if (re == nullptr) {
        Py_DECREF(pair);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, re);
    PyObject* im = PyFloat_FromDouble(z.im);
    if (im == nullptr) {
        Py_DECREF(pair);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 1, im);
    // Two floats can never close a reference cycle. Untracked, the millions of pairs of a
    // field stay out of the collector's generations, which keeps its passes short.
    PyObject_GC_UnTrack(pair);
    return pair;
}

inline PyRef complex_list(std::span<const Complex> values) noexcept {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* pair = new_complex_tuple(values[i]);
        if (pair == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list;
}

inline PyRef float_list(std::span<const double> values) noexcept {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(values[i]);
        if (value == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

// One field component: a list with, per mode, the list of its n complex tuples.
inline PyRef component_list(std::vector<std::vector<Complex>>&& modes) noexcept {
    std::vector<std::vector<Complex>> owned = std::move(modes);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(owned.size())));
    if (!list) return {};
    for (std::size_t m = 0; m < owned.size(); ++m) {
        PyRef values = complex_list(owned[m]);
        if (!values) return {};
        std::vector<Complex>().swap(owned[m]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m), values.release());
    }
    return list;
}

inline PyRef fields_list(ComponentFields&& fields) noexcept {
    std::vector<std::vector<Complex>>* components[6] = {&fields.ex, &fields.ey, &fields.ez,
                                                        &fields.hx, &fields.hy, &fields.hz};
    PyRef list = PyRef::steal(PyList_New(6));
    if (!list) return {};
    for (Py_ssize_t k = 0; k < 6; ++k) {
        PyRef component = component_list(std::move(*components[k]));
        if (!component) return {};
        PyList_SET_ITEM(list.get(), k, component.release());
    }
    return list;
}

// The 9-tuple, items built in order 0 to 8; null with a Python error set on failure.
inline PyObject* result_tuple(ModeSolveResult&& result) noexcept {
    ModeSolveResult owned = std::move(result);
    PyRef tuple = PyRef::steal(PyTuple_New(9));
    if (!tuple) return nullptr;
    const auto put = [&tuple](Py_ssize_t item, PyRef value) {
        if (!value) return false;
        PyTuple_SET_ITEM(tuple.get(), item, value.release());
        return true;
    };
    const bool built =
        put(0, complex_list(owned.neffs)) && put(1, fields_list(std::move(owned.fields))) &&
        put(2, float_list(owned.residuals)) &&
        put(3, float_list(owned.diagnostics.mode_powers)) &&
        put(4, complex_list(owned.diagnostics.self_overlaps)) &&
        put(5, PyRef::steal(PyFloat_FromDouble(owned.diagnostics.max_cross_overlap))) &&
        put(6, PyRef::steal(PyUnicode_DecodeUTF8(owned.backend.data(),
                                                 static_cast<Py_ssize_t>(owned.backend.size()),
                                                 "replace"))) &&
        put(7, PyRef::steal(PyLong_FromUnsignedLongLong(owned.operator_rows))) &&
        put(8, PyRef::steal(PyLong_FromUnsignedLongLong(owned.operator_nnz)));
    return built ? tuple.release() : nullptr;
}

}  // namespace corvane::binding
