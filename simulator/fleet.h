// The servers of one fleet file: starting them, reloading the file, saving their state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "archive_server.h"
#include "event_loop.h"

namespace simulator {

class Fleet {
public:
    // Saves the state at the end of every loop turn that applied an update, before the turn's
    // replies leave, so an acknowledged update is always in the state file.
    Fleet(EventLoop& loop, std::string fleetPath, std::string statePath);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Reads the fleet file, binds every listener and writes the state file, then prints the
    // listening lines and "ready". Returns an error text when any step fails.
    std::string Start();

    // Re-reads the fleet file. Servers are matched by name: credentials and behaviour apply to
    // new connections, changed adapters or targets are pushed to logged-in sessions, added
    // servers start, removed ones stop, and a changed address or nonzero port restarts that
    // server's listener (its sessions end). A broken file or a failed bind changes nothing.
    void Reload();

private:
    void SaveState();
    std::vector<const std::string*> StateElements();
    std::unique_ptr<ArchiveServer> Launch(ServerConfig config, Listener listener);
    void ReportReloadError(const std::string& reason) const;

    EventLoop& loop_;
    std::string fleetPath_;
    std::string statePath_;
    std::vector<std::unique_ptr<ArchiveServer>> servers_;  // in file order
    bool stateChanged_ = false;                            // since the state file was last written
};

}  // namespace simulator
