#pragma once

#include <VelmoCodec/RecordBuffer.h>

#include <pybind11/numpy.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace velmo::io {

// Hands a vector's records to NumPy without copying them: the array owns the vector.
template <typename Record>
pybind11::array_t<Record> arrayOwning(std::vector<Record>&& records) {
    auto* owned = new std::vector<Record>(std::move(records));
    pybind11::capsule owner(owned, [](void* pointer) { delete static_cast<std::vector<Record>*>(pointer); });
    return pybind11::array_t<Record>(static_cast<pybind11::ssize_t>(owned->size()), owned->data(), owner);
}

// Hands a buffer's records to NumPy without copying them: the array owns the buffer's block.
template <typename Record>
pybind11::array_t<Record> arrayOwning(RecordBuffer<Record>&& records) {
    records.shrinkToFit();
    const auto count = static_cast<pybind11::ssize_t>(records.size());
    Record* block = records.release();
    if (block == nullptr) return pybind11::array_t<Record>(0);
    pybind11::capsule owner(block, [](void* pointer) { std::free(pointer); });
    return pybind11::array_t<Record>(count, block, owner);
}

}  // namespace velmo::io
