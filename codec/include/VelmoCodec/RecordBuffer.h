#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmo {

// Records in a block of malloc's, for output that is handed on whole (to NumPy, say). Unlike a
// std::vector, room is added without writing to it, so a decoder writes each record once, and
// the block grows by realloc, which moves a large block by remapping its pages, not by copying.
template <typename Record>
class RecordBuffer {
    static_assert(std::is_trivially_copyable_v<Record>, "records are moved as bytes");

public:
    RecordBuffer() = default;
    ~RecordBuffer() { std::free(records_); }
    RecordBuffer(RecordBuffer&& other) noexcept
        : records_(std::exchange(other.records_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    RecordBuffer(const RecordBuffer&) = delete;
    RecordBuffer& operator=(const RecordBuffer&) = delete;
    RecordBuffer& operator=(RecordBuffer&&) = delete;

    Record* data() { return records_; }
    const Record* data() const { return records_; }
    std::size_t size() const { return size_; }

    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        void* grown = records_ == nullptr ? allocate(count * sizeof(Record))
                                          : std::realloc(records_, count * sizeof(Record));
        if (grown == nullptr) throw std::bad_alloc();
        records_ = static_cast<Record*>(grown);
        capacity_ = count;
    }

    // Room for `more` records past the end, not initialised; the size includes them.
    Record* grow(std::size_t more) {
        if (size_ + more > capacity_) reserve(std::max(size_ + more, capacity_ + capacity_ / 2));
        Record* room = records_ + size_;
        size_ += more;
        return room;
    }

    // Keeps the first count records, count at most size().
    void truncate(std::size_t count) { size_ = count; }

    void append(const Record* first, const Record* last) {
        const auto count = static_cast<std::size_t>(last - first);
        if (count > 0) std::memcpy(static_cast<void*>(grow(count)), first, count * sizeof(Record));
    }

    // Gives back the room past the end; the records stay where they are.
    void shrinkToFit() {
        if (size_ == 0 || size_ == capacity_) return;
        if (void* smaller = std::realloc(records_, size_ * sizeof(Record))) {
            records_ = static_cast<Record*>(smaller);
            capacity_ = size_;
        }
    }

    // Gives the block up, to be freed with std::free (null when nothing was ever reserved).
    Record* release() {
        size_ = capacity_ = 0;
        return std::exchange(records_, nullptr);
    }

private:
    // A large block is fresh memory, and the kernel's work to fault it in 4 KiB pages costs more
    // than writing the records into it: such blocks ask for huge pages, as NumPy does for its own
    // arrays of this size, and start on a huge page's boundary, without which the pages around
    // both ends stay small. realloc and free take such a block as any other.
    static void* allocate(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::size_t kHugePageRequestBytes = std::size_t{4} << 20;
        constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
        if (bytes >= kHugePageRequestBytes) {
            void* memory = nullptr;
            if (posix_memalign(&memory, kHugePageBytes, bytes) != 0) return nullptr;
            // Only a hint: where the kernel refuses it, the pages come as before.
            madvise(memory, bytes, MADV_HUGEPAGE);
            return memory;
        }
#endif
        return std::malloc(bytes);
    }

    Record* records_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace velmo
