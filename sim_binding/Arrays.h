#pragma once

#include <pybind11/numpy.h>

#include <utility>
#include <vector>

namespace velmo::sim {

// Hands a vector's records to NumPy without copying them: the array owns the vector.
template <typename Record>
pybind11::array_t<Record> arrayOwning(std::vector<Record>&& records) {
    auto* owned = new std::vector<Record>(std::move(records));
    pybind11::capsule owner(owned, [](void* pointer) { delete static_cast<std::vector<Record>*>(pointer); });
    return pybind11::array_t<Record>(static_cast<pybind11::ssize_t>(owned->size()), owned->data(), owner);
}

}  // namespace velmo::sim
