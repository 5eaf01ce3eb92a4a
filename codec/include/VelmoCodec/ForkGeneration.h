#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace velmo {

// How many fork() calls lie between the process's first ancestor that loaded this library and
// the calling process. An object that records it when it is made can tell, in a child, that
// it was made before the fork: its locks may then be held by a thread that the child does not
// have, and waiting for them would never end.
std::uint64_t forkGeneration();

// Owns a T that threads lock and wait on. In a process forked after the T was made, the
// parent's threads may have held its locks or waited on its conditions, and destroying those
// can wait forever for threads the child does not have: there the T is leaked on purpose.
template <typename T>
class ForkGuarded {
public:
    template <typename... Args>
    explicit ForkGuarded(Args&&... args)
        : value_(std::make_unique<T>(std::forward<Args>(args)...)), generation_(forkGeneration()) {}
    ~ForkGuarded() {
        if (forked()) static_cast<void>(value_.release());
    }
    ForkGuarded(const ForkGuarded&) = delete;
    ForkGuarded& operator=(const ForkGuarded&) = delete;

    // True in a process forked after the T was made.
    bool forked() const { return generation_ != forkGeneration(); }
    T& operator*() const { return *value_; }
    T* operator->() const { return value_.get(); }

private:
    std::unique_ptr<T> value_;
    std::uint64_t generation_;
};

}  // namespace velmo
