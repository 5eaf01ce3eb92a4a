#include <VelmoSim/RegisterFile.h>

#include <stdexcept>
#include <utility>

namespace velmo {

namespace {

const char* kindName(const RegisterFile::Value& value) {
    static constexpr const char* kNames[] = {"int", "float", "bool", "string"};
    return value.valueless_by_exception() ? "empty" : kNames[value.index()];
}

}  // namespace

void RegisterFile::define(const std::string& address, Value reset_value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto [existing, inserted] = registers_.try_emplace(address, std::move(reset_value));
    if (!inserted && existing->second.index() != reset_value.index())
        throw std::invalid_argument("register " + address + " already holds a " + kindName(existing->second) +
                                    " value, not a " + kindName(reset_value) + " one");
}

void RegisterFile::close(std::string reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_because_ = reason.empty() ? "the registers are closed" : std::move(reason);
}

RegisterFile::Value RegisterFile::read(const std::string& address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_because_.empty()) throw std::runtime_error(closed_because_);
    const auto found = registers_.find(address);
    if (found == registers_.end()) throw std::out_of_range("no register at " + address);
    return found->second;
}

void RegisterFile::write(const std::string& address, Value value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_because_.empty()) throw std::runtime_error(closed_because_);
    const auto found = registers_.find(address);
    if (found == registers_.end()) throw std::out_of_range("no register at " + address);
    if (found->second.index() != value.index())
        throw std::invalid_argument("register " + address + " holds a " + kindName(found->second) +
                                    " value, not a " + kindName(value) + " one");
    found->second = std::move(value);
}

std::map<std::string, RegisterFile::Value> RegisterFile::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_;
}

std::vector<RegisterFile::Value> RegisterFile::readTogether(const std::vector<std::string>& addresses) const {
    std::vector<Value> values;
    values.reserve(addresses.size());
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& address : addresses) {
        const auto found = registers_.find(address);
        if (found == registers_.end()) throw std::out_of_range("no register at " + address);
        values.push_back(found->second);
    }
    return values;
}

}  // namespace velmo
