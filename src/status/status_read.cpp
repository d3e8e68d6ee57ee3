// Reading a status file and saying plainly why one cannot be used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "status/status_views.h"

namespace vaultline {

namespace {

// Far above the file of the largest fleet (about 400 bytes a client), so a wrong path to a huge
// file is refused rather than read into memory.
constexpr std::size_t kLargestFile = std::size_t{256} << 20;

std::string CannotRead(const std::string& path, int error) {
    return "cannot read " + path + ": " + std::strerror(error);
}

}  // namespace

std::variant<StatusDocument, std::string> ReadStatusFile(const std::string& path) {
    // Not blocking on the open: a FIFO at the path must not hang a monitoring check.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return CannotRead(path, errno) + " (no service writing it, or no permission)";
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kLargestFile) {
        close(fd);
        return path + " is not a Vaultline status file (not a regular file of sensible size)";
    }
    // The service replaces the file whole, so one that grows while read is not ours either.
    std::string text;
    char buffer[65536];
    while (text.size() <= kLargestFile) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            const int error = errno;
            close(fd);
            return CannotRead(path, error);
        }
        if (count == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    if (text.size() > kLargestFile) {
        return path + " is not a Vaultline status file (not a regular file of sensible size)";
    }
    auto parsed = ParseStatusJson(text);
    if (const std::string* const reason = std::get_if<std::string>(&parsed)) {
        return path + ": " + *reason;
    }
    return parsed;
}

}  // namespace vaultline
