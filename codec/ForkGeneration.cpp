#include <VelmoCodec/ForkGeneration.h>

#include <pthread.h>

#include <atomic>

namespace velmo {

namespace {

std::atomic<std::uint64_t> generation{0};

// Runs in the child, before fork() returns there; the child has one thread then.
void countChild() { generation.fetch_add(1, std::memory_order_relaxed); }

const bool counting = pthread_atfork(nullptr, nullptr, &countChild) == 0;

}  // namespace

std::uint64_t forkGeneration() {
    // Without the handler no child could be told apart; the registration only fails for lack
    // of memory at load time.
    static_cast<void>(counting);
    return generation.load(std::memory_order_relaxed);
}

}  // namespace velmo
