// Rendering the fleet state as XML with tinyxml2 and replacing the state file atomically.
#include "state_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <tinyxml2.h>

namespace simulator {
namespace {

// Writes every piece in order, resuming after short writes; 0 or the errno of the failure.
int WriteAll(int file, std::vector<iovec>& pieces) {
    std::size_t next = 0;
    while (next < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - next, IOV_MAX));
        ssize_t written = writev(file, &pieces[next], count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        while (next < pieces.size() && static_cast<std::size_t>(written) >= pieces[next].iov_len) {
            written -= static_cast<ssize_t>(pieces[next].iov_len);
            ++next;
        }
        if (next < pieces.size()) {
            pieces[next].iov_base = static_cast<char*>(pieces[next].iov_base) + written;
            pieces[next].iov_len -= static_cast<std::size_t>(written);
        }
    }
    return 0;
}

}  // namespace

std::string RenderServerState(const ServerConfig& config, uint16_t port) {
    tinyxml2::XMLPrinter printer(nullptr, false, 1);
    printer.OpenElement("Server");
    printer.PushAttribute("name", config.name.c_str());
    printer.PushAttribute("address", config.address.c_str());
    printer.PushAttribute("port", static_cast<unsigned>(port));
    for (const TargetConfig& target : config.targets) {
        printer.OpenElement("Target");
        printer.PushAttribute("id", target.id);
        printer.PushAttribute("enabled", target.enabled ? "true" : "false");
        printer.PushAttribute("path", target.path.c_str());
        printer.CloseElement();
    }
    printer.CloseElement();
    return std::string(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1)) + "\n";
}

std::string WriteStateFile(const std::string& path,
                           const std::vector<const std::string*>& servers) {
    static const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FleetState>\n";
    static const std::string kTail = "</FleetState>\n";
    // Written straight from the elements: a large fleet's document is never copied in memory.
    std::vector<iovec> pieces;
    pieces.reserve(servers.size() + 2);
    const auto add = [&](const std::string& piece) {
        pieces.push_back({const_cast<char*>(piece.data()), piece.size()});
    };
    add(kHead);
    for (const std::string* server : servers) {
        add(*server);
    }
    add(kTail);

    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        return "cannot write state file " + temporary + ": " + std::strerror(errno);
    }
    const int writeError = WriteAll(file, pieces);
    const int closeError = close(file) == 0 ? 0 : errno;
    if (writeError != 0 || closeError != 0) {
        std::remove(temporary.c_str());
        return "cannot write state file " + temporary + ": " +
               std::strerror(writeError != 0 ? writeError : closeError);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        return "cannot replace state file " + path + ": " + std::strerror(error);
    }
    return {};
}

}  // namespace simulator
