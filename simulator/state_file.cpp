// Rendering the fleet state as XML with tinyxml2 and replacing the state file atomically.
#include "state_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <tinyxml2.h>

namespace simulator {
namespace {

std::string RenderState(const std::vector<ServerState>& servers) {
    tinyxml2::XMLPrinter printer;
    printer.PushHeader(false, true);
    printer.OpenElement("FleetState");
    for (const ServerState& server : servers) {
        printer.OpenElement("Server");
        printer.PushAttribute("name", server.config->name.c_str());
        printer.PushAttribute("address", server.config->address.c_str());
        printer.PushAttribute("port", static_cast<unsigned>(server.port));
        for (const TargetConfig& target : server.config->targets) {
            printer.OpenElement("Target");
            printer.PushAttribute("id", target.id);
            printer.PushAttribute("enabled", target.enabled ? "true" : "false");
            printer.PushAttribute("path", target.path.c_str());
            printer.CloseElement();
        }
        printer.CloseElement();
    }
    printer.CloseElement();
    return std::string(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
}

}  // namespace

std::string WriteStateFile(const std::string& path, const std::vector<ServerState>& servers) {
    const std::string contents = RenderState(servers);
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
