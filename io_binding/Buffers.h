#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo::io {

// The bytes of any object with a contiguous buffer, held for as long as this lives.
class ByteView {
public:
    explicit ByteView(pybind11::handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw pybind11::type_error(
                "data must be a contiguous buffer (bytes, bytearray, memoryview, a NumPy uint8 or uint16 array), got " +
                std::string(pybind11::str(pybind11::type::handle_of(data).attr("__name__"))));
        }
    }
    ~ByteView() { PyBuffer_Release(&view_); }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// The records of a one-dimensional array of their registered data type, contiguous: the array
// itself or a contiguous copy. TypeError naming the argument for anything else.
template <typename Record>
pybind11::array_t<Record, pybind11::array::c_style> recordArray(pybind11::handle value, const char* name) {
    const pybind11::dtype expected = pybind11::dtype::of<Record>();
    std::string got = pybind11::str(pybind11::type::handle_of(value).attr("__name__"));
    if (pybind11::isinstance<pybind11::array>(value)) {
        const auto array = pybind11::reinterpret_borrow<pybind11::array>(value);
        if (array.dtype().equal(expected) && array.ndim() == 1)
            return pybind11::array_t<Record, pybind11::array::c_style>::ensure(value);
        got = std::to_string(array.ndim()) + "-dimensional array of " + std::string(pybind11::repr(array.dtype()));
    }
    throw pybind11::type_error(std::string(name) + " must be a one-dimensional NumPy array of " +
                               std::string(pybind11::repr(expected)) + ", got " + got);
}

}  // namespace velmo::io
