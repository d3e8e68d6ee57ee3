// vaultline-status on files it cannot use: a clear message and exit status 1, or 3 with --check;
// and on command lines it cannot take.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "status_format/status_document.h"
#include "support/child_process.h"

namespace {

using testing_support::ChildProcess;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunStatus(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{VAULTLINE_STATUS_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess program(command);
    const auto status = program.Wait(std::chrono::seconds(20));
    return {status.value_or(-1), program.Stdout(), program.Stderr()};
}

TEST(StatusProgramTest, UnusableFilesGiveAClearMessageAndTheirExitStatus) {
    testing_support::TempDirectory directory;
    vaultline::StatusDocument document;
    document.updated = 1;
    const std::string good = vaultline::StatusJson(document);
    std::string future = good;
    future.replace(future.find("\"format\":1"), 10, "\"format\":2");
    const struct {
        const char* name;
        std::string contents;
        const char* message;
    } cases[] = {
        {"missing", "",
         "cannot read PATH: No such file or directory (no service writing it, or no "
         "permission)"},
        {"empty", "", "PATH: not JSON, or cut short"},
        {"truncated", good.substr(0, good.size() / 2), "PATH: not JSON, or cut short"},
        {"foreign", "{\"name\": \"something else\"}", "PATH: not a Vaultline status file"},
        {"future", future,
         "PATH: format 2, which this program does not read (it reads 1); use the "
         "vaultline-status of the running service"},
        {"missing field", "{\"format\":1,\"service\":{}}",
         "PATH: a field is missing or wrong: key 'pid' not found"},
        {"wrong field", "{\"format\":1,\"service\":{\"pid\":\"x\"}}",
         "PATH: a field is missing or wrong: \"pid\" has the wrong type"},
        // Neither may be read: a folder has no text, and a FIFO would hang the check.
        {"folder", "", "PATH is not a Vaultline status file (not a regular file of sensible size)"},
        {"fifo", "", "PATH is not a Vaultline status file (not a regular file of sensible size)"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = (directory.Path() / test.name).string();
        const std::string name = test.name;
        if (name == "folder") {
            std::filesystem::create_directory(path);
        } else if (name == "fifo") {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (name != "missing") {
            directory.WriteFile(test.name, test.contents);
        }
        std::string message = test.message;
        message.replace(message.find("PATH"), 4, path);

        const Outcome plain = RunStatus({"--file", path});
        EXPECT_EQ(plain.status, 1);
        EXPECT_EQ(plain.err, "vaultline-status: " + message + "\n");
        EXPECT_EQ(plain.out, "");
        const Outcome check = RunStatus({"--file", path, "--check"});
        EXPECT_EQ(check.status, 3);
        EXPECT_EQ(check.out, "VAULTLINE UNKNOWN - " + message + "\n");
    }
}

TEST(StatusProgramTest, BadCommandLinesAreRefusedWithUsage) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* error;
    } cases[] = {
        {{"--json", "--prometheus"}, 1, "choose one of --json, --prometheus and --check"},
        {{"--check", "--json"}, 3, "choose one of --json, --prometheus and --check"},
        {{"site-a", "--file", "/x"}, 1, "give an instance or --file, not both"},
        {{"../etc"}, 1, "INSTANCE must name a vaultline@ instance, without '/': ../etc"},
        {{"--check", "--warning-age", "0"}, 3, "--warning-age 0"},
        {{"--check", "--warning-age", "600", "--critical-age", "300"}, 3, "below the warning age"},
        {{"a", "b"}, 1, "too many positional options"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.arguments.front());
        const Outcome run = RunStatus(test.arguments);
        EXPECT_EQ(run.status, test.status);
        EXPECT_THAT(run.err, ::testing::HasSubstr("Usage: vaultline-status [INSTANCE] [options]"));
        EXPECT_THAT(run.err, ::testing::HasSubstr(test.error));
    }
}

}  // namespace
