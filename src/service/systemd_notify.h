// The notification socket to systemd; silent when systemd did not ask for notifications.
#pragma once

#include <chrono>
#include <string>

namespace vaultline {

class SystemdNotifier {
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (with WATCHDOG_PID) once, from the environment.
    SystemdNotifier();

    // True when NOTIFY_SOCKET names a socket to notify.
    bool Enabled() const { return enabled_; }
    // The watchdog interval systemd asked this process to keep; zero when there is none.
    std::chrono::microseconds WatchdogInterval() const { return watchdogInterval_; }

    // Any thread. Sends `state` ("READY=1", "STOPPING=1", ... one assignment per line); does
    // nothing when not enabled. A failed send is ignored: systemd's view is advisory.
    void Notify(const std::string& state) const;

private:
    bool enabled_ = false;
    std::chrono::microseconds watchdogInterval_{0};
};

}  // namespace vaultline
