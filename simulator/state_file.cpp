// Rendering the fleet state as XML with tinyxml2 and replacing the state file atomically.
#include "state_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <tinyxml2.h>

namespace simulator {

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
    std::size_t size = kHead.size() + kTail.size();
    for (const std::string* server : servers) {
        size += server->size();
    }
    std::string contents;
    contents.reserve(size);
    contents += kHead;
    for (const std::string* server : servers) {
        contents += *server;
    }
    contents += kTail;
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return "cannot write state file " + temporary + ": " + std::strerror(errno);
    }
    const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        const int error = written ? errno : writeError;
        std::remove(temporary.c_str());
        return "cannot write state file " + temporary + ": " + std::strerror(error);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        return "cannot replace state file " + path + ": " + std::strerror(error);
    }
    return {};
}

}  // namespace simulator
