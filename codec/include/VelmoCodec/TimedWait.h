#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmo {

// condition.wait(lock, done) with timed waits: the untimed wait is a symbol of a newer C++
// runtime than the wheels' manylinux policy allows, while the timed ones are inline.
template <typename Done>
void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Done done) {
    while (!done()) condition.wait_for(lock, std::chrono::seconds(1));
}

}  // namespace velmo
