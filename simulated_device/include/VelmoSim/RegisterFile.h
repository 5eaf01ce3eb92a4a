#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace velmo {

// The simulated camera's register file: one typed value per address. The camera's tools
// read and write it through their parameter callbacks while the event stream reads it, so
// every access is serialised by the file's own mutex.
class RegisterFile {
public:
    using Value = std::variant<std::int32_t, float, bool, std::string>;

    // Creates the register with its reset value; an existing register keeps its value. Throws
    // std::invalid_argument when an existing register holds another kind of value, since two
    // parameters would then share one address.
    void define(const std::string& address, Value reset_value);
    // Throws std::out_of_range for an address that was never defined.
    Value read(const std::string& address) const;
    // Throws std::out_of_range for an undefined address and std::invalid_argument when the
    // value's kind differs from the register's; the register is unchanged then.
    void write(const std::string& address, Value value);

    // Refuses every later read() and write() with std::runtime_error saying `reason`: the
    // device the registers belong to is closed, and its tools must change nothing.
    void close(std::string reason);

    // Every register at one instant, so that settings spread over several registers are
    // never seen half-changed.
    std::map<std::string, Value> snapshot() const;
    // The registers at these addresses, in the order given, at one instant: what snapshot()
    // gives for them without copying the rest. Throws std::out_of_range for an address that
    // was never defined.
    std::vector<Value> readTogether(const std::vector<std::string>& addresses) const;

    template <typename T>
    T get(const std::string& address) const {
        return std::get<T>(read(address));
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> registers_;
    // Empty while the file is open.
    std::string closed_because_;
};

}  // namespace velmo
