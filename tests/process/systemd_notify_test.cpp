// What the service tells systemd through NOTIFY_SOCKET: readiness, watchdog pings, the status
// line and stopping, against simulated servers.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

using ::testing::HasSubstr;
using testing_support::ChildProcess;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::Simulator;
using testing_support::TempDirectory;
using testing_support::WaitUntil;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kJobTimeout = std::chrono::seconds(20);

struct Notification {
    Clock::time_point at;
    std::string text;
};

// A datagram socket standing in for systemd's notification socket; records every message with
// the time it arrived.
class NotifyListener {
public:
    explicit NotifyListener(const std::filesystem::path& path) : path_(path.string()) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path_.size() >= sizeof address.sun_path) {
            throw std::runtime_error("cannot create the notification socket");
        }
        path_.copy(address.sun_path, path_.size());
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind the notification socket " + path_);
        }
        // Short receive timeouts let the reader notice the end.
        timeval timeout{0, 50'000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        reader_ = std::thread([this] { Read(); });
    }
    ~NotifyListener() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }

    const std::string& Path() const { return path_; }

    std::vector<Notification> All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    // Every assignment `name=value` received, one per line of each message, with its time.
    std::vector<Notification> Assignments(const std::string& name) const {
        std::vector<Notification> found;
        for (const auto& message : All()) {
            std::istringstream lines(message.text);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind(name + "=", 0) == 0) {
                    found.push_back({message.at, line.substr(name.size() + 1)});
                }
            }
        }
        return found;
    }

    bool WaitFor(const std::string& name, const std::string& part,
                 std::chrono::milliseconds timeout = kJobTimeout) const {
        return WaitUntil(
            [&] {
                const auto found = Assignments(name);
                return std::any_of(found.begin(), found.end(), [&](const Notification& n) {
                    return n.text.find(part) != std::string::npos;
                });
            },
            timeout);
    }

private:
    void Read() {
        char buffer[4096];
        while (!stop_) {
            const ssize_t size = recv(fd_, buffer, sizeof buffer, 0);
            if (size >= 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({Clock::now(), std::string(buffer, size)});
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Notification> received_;  // guarded by mutex_
    std::thread reader_;
};

FleetServer TargetServer(const std::string& ip) {
    FleetServer target;
    target.name = "target";
    target.adapters = {FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", ip, true, true}};
    return target;
}

FleetServer ClientServer(const std::string& name, const std::string& path) {
    FleetServer client;
    client.name = name;
    client.username = "backup";
    client.password = "client-secret";
    client.targets = {FleetTarget{7, true, path}};
    return client;
}

std::string ConfigurationFor(const Simulator& simulator, const std::vector<FleetServer>& fleet) {
    std::ostringstream xml;
    xml << "<Vaultline>\n  <ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"admin\" Password=\"secret\"/>\n"
        << "  <ArchiveClients Username=\"backup\" Password=\"client-secret\">\n";
    for (const auto& server : fleet) {
        if (server.name != "target") {
            xml << "    <ArchiveClient Address=\"127.0.0.1\" Port=\"" << simulator.Port(server.name)
                << "\"/>\n";
        }
    }
    xml << "  </ArchiveClients>\n</Vaultline>\n";
    return xml.str();
}

// Starts vaultline in `directory` with the notification variables systemd would set.
std::unique_ptr<ChildProcess> StartNotifying(const TempDirectory& directory,
                                             const NotifyListener& listener) {
    setenv("NOTIFY_SOCKET", listener.Path().c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    auto service = std::make_unique<ChildProcess>(std::vector<std::string>{VAULTLINE_BINARY, "-c"},
                                                  directory.Path());
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    return service;
}

// The shortest time between two consecutive status lines.
Clock::duration ShortestGap(const std::vector<Notification>& lines) {
    Clock::duration shortest = Clock::duration::max();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        shortest = std::min(shortest, lines[i].at - lines[i - 1].at);
    }
    return shortest;
}

class SystemdNotify : public ::testing::Test {
protected:
    void Start(std::vector<FleetServer> servers) {
        fleet = std::move(servers);
        simulator = std::make_unique<Simulator>(fleet);
        directory.WriteFile("vaultline.conf", ConfigurationFor(*simulator, fleet));
        service = StartNotifying(directory, listener);
    }

    std::vector<FleetServer> fleet;
    std::unique_ptr<Simulator> simulator;
    TempDirectory directory;
    NotifyListener listener{directory.Path() / "notify"};
    std::unique_ptr<ChildProcess> service;
};

TEST_F(SystemdNotify, ReadyWatchdogAndStatusFollowTheFleetUntilStopping) {
    Start({TargetServer("10.0.0.5"), ClientServer("stale", "\\\\10.0.0.50\\archive"),
           ClientServer("correct", "\\\\10.0.0.5\\archive"), ClientServer("malformed", "archive")});
    const auto started = Clock::now();

    ASSERT_TRUE(listener.WaitFor("READY", "1")) << service->Stderr();
    ASSERT_TRUE(listener.WaitFor("STATUS", "; 1 client correct, 1 rewritten, 1 failing"))
        << service->Stderr();
    auto lines = listener.Assignments("STATUS");
    EXPECT_EQ(lines.front().text, "waiting for the target's address");
    EXPECT_THAT(lines.back().text,
                testing::MatchesRegex("target 10\\.0\\.0\\.5 \\(since [0-9][0-9]:[0-9][0-9]:"
                                      "[0-9][0-9]\\); 1 client correct, 1 rewritten, 1 failing; "
                                      "next recheck in 60 min"));

    auto moved = fleet;
    moved[0] = TargetServer("10.0.0.77");
    ASSERT_TRUE(simulator->Reload(moved));
    ASSERT_TRUE(listener.WaitFor("STATUS", "; 0 clients correct, 2 rewritten, 1 failing"))
        << service->Stderr();
    EXPECT_THAT(listener.Assignments("STATUS").back().text,
                testing::StartsWith("target 10.0.0.77 (since "));

    // Long enough for a fair count of watchdog pings.
    std::this_thread::sleep_until(started + 5s);
    const auto beforeStop = Clock::now();
    const auto pings = listener.Assignments("WATCHDOG");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(beforeStop - started);
    EXPECT_GE(static_cast<long>(pings.size()), seconds.count() - 1)
        << "pings in " << seconds.count() << " s";

    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(10s), 0);
    EXPECT_TRUE(listener.WaitFor("STOPPING", "1", 2s));
    const auto all = listener.All();
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const Notification& n) { return n.text == "READY=1"; }),
              1);
    EXPECT_GE(ShortestGap(listener.Assignments("STATUS")), 900ms);
}

TEST_F(SystemdNotify, FailedStartUpIsNeverReported) {
    // No vaultline.conf in the working directory.
    service = StartNotifying(directory, listener);
    ASSERT_EQ(service->Wait(kJobTimeout), 0);
    EXPECT_THAT(service->Stderr(), HasSubstr("Program complete."));
    std::this_thread::sleep_for(200ms);
    for (const auto& message : listener.All()) {
        EXPECT_THAT(message.text, testing::Not(HasSubstr("READY=1")));
    }
}

TEST_F(SystemdNotify, StatusGoesOutAtMostOnceASecondUnderAFloodOfEvents) {
    // Connections that drop soon after their login, logins refused at random and updates
    // rejected: outcomes and retries change many times a second.
    std::vector<FleetServer> servers{TargetServer("10.0.0.5")};
    for (int i = 0; i < 40; ++i) {
        auto client = ClientServer("client" + std::to_string(i), "\\\\nas\\archive");
        client.knobs = {{"dropAfterLoginMs", "50"},
                        {"refuseProbability", "0.3"},
                        {"rejectUpdates", i % 2 == 0 ? "true" : "false"},
                        {"seed", std::to_string(17 + i)}};
        servers.push_back(client);
    }
    std::cout << "simulator seeds 17.." << 17 + 39 << "\n";
    Start(servers);
    ASSERT_TRUE(listener.WaitFor("READY", "1")) << service->Stderr();
    std::this_thread::sleep_for(6s);
    const auto lines = listener.Assignments("STATUS");
    std::ostringstream shown;
    for (const auto& line : lines) {
        shown
            << std::chrono::duration_cast<std::chrono::milliseconds>(line.at - lines[0].at).count()
            << " ms: " << line.text << "\n";
    }
    EXPECT_GE(lines.size(), 4u) << shown.str();
    EXPECT_GE(ShortestGap(lines), 900ms) << shown.str();
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10s), 0);
}

}  // namespace
