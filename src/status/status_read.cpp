// Reading a status file and saying plainly why one cannot be used.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "status/status_views.h"

namespace vaultline {

namespace {
// Far above the file of the largest fleet (about 400 bytes a client), so a wrong path to a huge
// file is refused rather than read into memory.
constexpr std::streamoff kLargestFile = 256 << 20;
}  // namespace

std::variant<StatusDocument, std::string> ReadStatusFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return "cannot read " + path + ": " + std::strerror(errno) +
               " (no service writing it, or no permission)";
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kLargestFile) {
        return path + " is not a Vaultline status file (not a readable file of sensible size)";
    }
    in.seekg(0);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return "cannot read " + path + ": " + std::strerror(errno);
    }
    auto parsed = ParseStatusJson(text.str());
    if (const std::string* const reason = std::get_if<std::string>(&parsed)) {
        return path + ": " + *reason;
    }
    return parsed;
}

}  // namespace vaultline
