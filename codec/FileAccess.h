#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// POSIX file access for the recording's writer and readers: whole reads and writes that retry
// interrupted calls, errors that name the path, and the disk's free space.
namespace velmo::files {

// std::system_error with errno, saying what failed on which path.
[[noreturn]] void throwErrno(const std::string& what, const std::string& path);
// std::invalid_argument: "path: reason".
[[noreturn]] void refuseFile(const std::string& path, const std::string& reason);

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& path);
void writeAllAt(int fd, const std::string& text, std::uint64_t offset, const std::string& path);
// Fewer bytes than asked only at the end of the file.
std::size_t readAllAt(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset, const std::string& path);
// Opens the file for reading and gives its size; what is no regular file is not `kind`.
int openRegularFile(const std::string& path, const std::string& kind, std::uint64_t& bytes);

struct DiskSpace {
    std::uint64_t free;
    std::uint64_t spare;
};

// Free space on the file's disk and the share of it a recording leaves; nothing where the file
// system does not say.
std::optional<DiskSpace> diskSpaceOf(int fd);

// Sizes and durations as messages give them: "12.3 MB", "1.50 s".
std::string bytesText(double bytes);
std::string secondsText(std::uint64_t us);

}  // namespace velmo::files
