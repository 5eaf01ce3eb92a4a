#include "FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace velmo::files {

namespace {

// What a recording leaves free on its disk, so that the rest of the system goes on: this much,
// or a twentieth of a small disk.
constexpr std::uint64_t kSpareBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kSpareShare = 20;

}  // namespace

std::string bytesText(double bytes) {
    static const char* const kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    std::size_t unit = 0;
    while (bytes >= 999.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytes /= 1000;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string secondsText(std::uint64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(us) / 1e6);
    return text;
}

// Nothing where the file system does not say.
std::optional<DiskSpace> diskSpaceOf(int fd) {
    struct statvfs disk {};
    if (::fstatvfs(fd, &disk) != 0) return std::nullopt;
    const std::uint64_t total = std::uint64_t{disk.f_blocks} * disk.f_frsize;
    return DiskSpace{std::uint64_t{disk.f_bavail} * disk.f_frsize, std::min(kSpareBytes, total / kSpareShare)};
}

[[noreturn]] void throwErrno(const std::string& what, const std::string& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

[[noreturn]] void refuseFile(const std::string& path, const std::string& reason) {
    throw std::invalid_argument(path + ": " + reason);
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot write to", path);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void writeAllAt(int fd, const std::string& text, std::uint64_t offset, const std::string& path) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::pwrite(fd, data + done, text.size() - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot write to", path);
        }
        done += static_cast<std::size_t>(written);
    }
}

std::size_t readAllAt(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot read", path);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Opens the file for reading and gives its size; what is no regular file is not `kind`.
int openRegularFile(const std::string& path, const std::string& kind, std::uint64_t& bytes) {
    // Not blocking: opening a FIFO would otherwise wait for a writer. A regular file reads as
    // before, and anything else is refused once open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throwErrno("cannot open the recording", path);
    try {
        struct stat status {};
        if (::fstat(fd, &status) != 0) throwErrno("cannot read", path);
        if (!S_ISREG(status.st_mode)) refuseFile(path, "not " + kind + " (not a regular file)");
        bytes = static_cast<std::uint64_t>(status.st_size);
        return fd;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace velmo::files
