#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmo::binding {

// Makes `writes` in order, all or none. `read(write)` gives the value the write will replace,
// or nothing when that cannot be read; `make(write, value)` writes a value and says whether it
// took, and a write's own value is `write.value`. Should a write fail, or its old value not be
// read, the writes made before it get their old values back, last first, and its index is
// returned; nothing is returned when every write took.
template <typename Write, typename Read, typename Make>
std::optional<std::size_t> writeAllOrNone(const std::vector<Write>& writes, Read&& read, Make&& make) {
    using Value = std::decay_t<decltype(*read(writes.front()))>;
    std::vector<std::pair<const Write*, Value>> made;
    for (std::size_t index = 0; index < writes.size(); ++index) {
        const Write& write = writes[index];
        std::optional<Value> before = read(write);
        if (before && make(write, write.value)) {
            made.emplace_back(&write, std::move(*before));
            continue;
        }
        for (auto step = made.rbegin(); step != made.rend(); ++step) make(*step->first, step->second);
        return index;
    }
    return std::nullopt;
}

}  // namespace velmo::binding
