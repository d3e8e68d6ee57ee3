// The status file the running service writes, read back by vaultline-status: a mixed fleet's
// entries, an address change, a reader that never sees a partial file, and the last write at a
// clean stop.
#include <stdlib.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <variant>

#include <gmock/gmock.h>

#include "fleet_fixture.h"
#include "status_format/status_document.h"

using process_support::ClientServer;
using process_support::EndToEnd;
using process_support::kJobTimeout;
using process_support::TargetServer;
using testing_support::ChildProcess;
using testing_support::FleetServer;
using testing_support::WaitUntil;
using vaultline::ParseStatusJson;
using vaultline::StatusDocument;

namespace {

class StatusFileProcess : public EndToEnd {
protected:
    std::string FilePath() const { return (directory.Path() / "run" / "status.json").string(); }
    std::string StatusElement() const {
        std::filesystem::create_directories(directory.Path() / "run");
        return "  <Status File=\"" + FilePath() + "\"/>\n";
    }

    // The file as vaultline-status --json validates it; none while it cannot be read.
    std::optional<StatusDocument> Read() const {
        const auto parsed = ParseStatusJson(testing_support::ReadFile(FilePath()));
        if (const auto* document = std::get_if<StatusDocument>(&parsed)) {
            return *document;
        }
        return std::nullopt;
    }

    // Each client's outcome by its address.
    std::map<std::string, std::string> Outcomes() const {
        std::map<std::string, std::string> outcomes;
        if (const auto document = Read()) {
            for (const auto& client : document->clients) {
                outcomes[client.address] = client.outcome;
            }
        }
        return outcomes;
    }

    // vaultline-status with `arguments`: its exit status and standard output.
    std::pair<int, std::string> RunStatus(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {VAULTLINE_STATUS_BINARY, "--file", FilePath()});
        ChildProcess reader(arguments);
        const auto status = reader.Wait(kJobTimeout);
        return {status.value_or(-1), reader.Stdout()};
    }
};

TEST_F(StatusFileProcess, MixedFleetIsShownPerClientAndFollowsAnAddressChange) {
    FleetServer refusing = ClientServer("refusing", "127.0.0.4", "\\\\10.0.0.5\\archive");
    refusing.knobs["refuseLogin"] = "true";
    Start({TargetServer("10.0.0.5"), ClientServer("correct", "127.0.0.2", "\\\\10.0.0.5\\archive"),
           ClientServer("stale", "127.0.0.3", "\\\\10.0.0.50\\archive"), refusing},
          "", StatusElement());

    // Our SDK sees a refused login as the connection lost, as the log does.
    const std::map<std::string, std::string> expected{{"127.0.0.2", "correct"},
                                                      {"127.0.0.3", "awaiting confirmation"},
                                                      {"127.0.0.4", "unreachable"}};
    ASSERT_TRUE(WaitUntil([&] { return Outcomes() == expected; }, kJobTimeout))
        << testing_support::ReadFile(FilePath()) << service->Stderr();
    const StatusDocument first = *Read();
    EXPECT_EQ(first.currentAddress, "10.0.0.5");
    EXPECT_EQ(first.connection, "logged in");
    EXPECT_EQ(first.pid, service->Pid());
    EXPECT_EQ(first.clients[1].foundHost, "10.0.0.50");
    EXPECT_EQ(first.clients[1].writtenHost, "10.0.0.5");
    EXPECT_GE(first.clients[2].consecutiveFailures, 1);
    EXPECT_EQ(first.clients[2].lastFailure, "connection lost");
    EXPECT_TRUE(first.clients[2].nextDue.has_value());
    EXPECT_THAT(testing_support::ReadFile(FilePath()), testing::Not(testing::HasSubstr("secret")));

    const auto [checkStatus, checkLine] = RunStatus({"--check"});
    EXPECT_EQ(checkStatus, 0) << checkLine;
    EXPECT_THAT(checkLine, testing::StartsWith("VAULTLINE OK - target 127.0.0.1:"));
    const auto [tableStatus, table] = RunStatus({});
    EXPECT_EQ(tableStatus, 0);
    EXPECT_THAT(table, testing::HasSubstr("127.0.0.4:"));
    EXPECT_THAT(table, testing::Not(testing::HasSubstr("127.0.0.2:")));

    auto moved = fleet;
    moved[0] = TargetServer("10.0.0.77");
    ASSERT_TRUE(simulator->Reload(moved));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto document = Read();
            return document && document->currentAddress == "10.0.0.77" &&
                   document->clients[0].outcome == "awaiting confirmation" &&
                   document->clients[1].outcome == "awaiting confirmation";
        },
        kJobTimeout))
        << testing_support::ReadFile(FilePath());
    const StatusDocument second = *Read();
    ASSERT_EQ(second.history.size(), 2u);
    EXPECT_EQ(second.history[0].address, "10.0.0.5");
    EXPECT_EQ(second.history[1].address, "10.0.0.77");
    EXPECT_EQ(second.counters.at("address_changes"), 1);

    StopAndExpectCleanEnd();
    EXPECT_EQ(Read()->state, "stopped");
    const auto [stoppedStatus, stoppedLine] = RunStatus({"--check"});
    EXPECT_EQ(stoppedStatus, 3) << stoppedLine;
    EXPECT_THAT(stoppedLine, testing::StartsWith("VAULTLINE UNKNOWN - the service stopped"));
}

TEST_F(StatusFileProcess, AReaderNeverSeesAPartialFileDuringAChangeAcrossManyClients) {
    std::vector<FleetServer> servers{TargetServer("10.0.0.5")};
    for (int i = 0; i < 1000; ++i) {
        servers.push_back(ClientServer("c" + std::to_string(i),
                                       "127.0.1." + std::to_string(i % 250 + 1),
                                       "\\\\10.0.0.5\\archive"));
    }
    Start(servers, "", StatusElement());
    ASSERT_TRUE(WaitUntil([&] { return Read() && Read()->lastSettled; }, kJobTimeout))
        << service->Stderr();

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done) {
            const auto parsed = ParseStatusJson(testing_support::ReadFile(FilePath()));
            bad += std::holds_alternative<std::string>(parsed);
            ++reads;
        }
    });
    auto moved = fleet;
    moved[0] = TargetServer("10.0.0.77");
    const bool reloaded = simulator->Reload(moved);
    const bool followed = WaitUntil(
        [&] {
            const auto document = Read();
            return document && document->currentAddress == "10.0.0.77" &&
                   document->counters.at("rewrites") == 1000;
        },
        kJobTimeout * 3);
    done = true;
    reader.join();
    ASSERT_TRUE(reloaded);
    EXPECT_TRUE(followed) << service->Stderr();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    std::printf("%d reads of the status file during the change\n", reads.load());
    StopAndExpectCleanEnd();
}

TEST_F(StatusFileProcess, RuntimeDirectoryGivesTheFileNeitherGivesNoneAndAMissingFolderAWarning) {
    const std::filesystem::path runtime = directory.Path() / "runtime";
    std::filesystem::create_directories(runtime);
    setenv("RUNTIME_DIRECTORY", runtime.c_str(), 1);
    Start({TargetServer("10.0.0.5"), ClientServer("correct", "127.0.0.2", "\\\\10.0.0.5\\a")});
    unsetenv("RUNTIME_DIRECTORY");
    ASSERT_TRUE(LogShows("closing connection to 127.0.0.2:"));
    EXPECT_TRUE(
        WaitUntil([&] { return std::filesystem::exists(runtime / "status.json"); }, kJobTimeout));
    StopAndExpectCleanEnd();
    EndCase();

    std::filesystem::remove_all(runtime);
    Start({TargetServer("10.0.0.5"), ClientServer("correct", "127.0.0.2", "\\\\10.0.0.5\\a")});
    ASSERT_TRUE(LogShows("closing connection to 127.0.0.2:"));
    StopAndExpectCleanEnd();
    for (const auto& entry : std::filesystem::directory_iterator(directory.Path())) {
        EXPECT_THAT(entry.path().filename().string(), testing::Not(testing::HasSubstr("status")));
    }
    EndCase();

    // Writes that fail cost one WARNING, and every client is still checked.
    const std::string missing = (directory.Path() / "gone" / "status.json").string();
    Start({TargetServer("10.0.0.5"), ClientServer("stale", "127.0.0.2", "\\\\10.0.0.4\\a")}, "",
          "  <Status File=\"" + missing + "\"/>\n");
    ASSERT_TRUE(WaitUntil([&] { return simulator->TargetPath("stale", 7) == "\\\\10.0.0.5\\a"; },
                          kJobTimeout))
        << service->Stderr();
    ASSERT_TRUE(LogShows("closing connection to 127.0.0.2:"));
    StopAndExpectCleanEnd();
    EXPECT_EQ(testing_support::CountOf(service->Stderr(), "WARNING status file " + missing +
                                                              " not written; error 2: No such "
                                                              "file or directory; the service "
                                                              "goes on without it\n"),
              1)
        << service->Stderr();
}

}  // namespace
