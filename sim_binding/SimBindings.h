#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

// Hands a vector's records to NumPy without copying them: the array owns the vector.
template <typename Record>
pybind11::array_t<Record> arrayOwning(std::vector<Record>&& records) {
    auto* owned = new std::vector<Record>(std::move(records));
    pybind11::capsule owner(owned, [](void* pointer) { delete static_cast<std::vector<Record>*>(pointer); });
    return pybind11::array_t<Record>(static_cast<pybind11::ssize_t>(owned->size()), owned->data(), owner);
}

// Each binds one family of velmo_sim's Python API into the module.
void bindSimCamera(pybind11::module_& module);
void bindSimTriggerDtype(pybind11::module_& module);
void bindSimDecoding(pybind11::module_& module);
void bindSimLogging(pybind11::module_& module);
// After bindSimCamera: it adds Camera.record.
void bindSimRecording(pybind11::module_& module);
