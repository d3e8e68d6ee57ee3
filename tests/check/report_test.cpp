// The report's and the JSON document's texts, and the exit status the findings add up to.
#include <sstream>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "check/report.h"

namespace vaultline {

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

Findings UsableTarget() {
    Findings findings;
    findings.target.address = "10.0.0.1";
    findings.target.port = 22609;
    findings.target.reach = Reach::DataRead();
    AdapterRecord adapter;
    adapter.name = "eth0";
    adapter.ip = "10.0.0.5";
    adapter.connected = 1;
    adapter.dhcp = 1;
    findings.target.adapters = {adapter};
    findings.target.chosen = 0;
    findings.target.archiveAddress = "10.0.0.5";
    return findings;
}

ClientFinding Client(ClientOutcome outcome) {
    ClientFinding client;
    client.address = "10.0.1.1";
    client.port = 22609;
    client.outcome = outcome;
    return client;
}

ClientFinding Interrupted() {
    ClientFinding client = Client(ClientOutcome::Unreachable);
    client.interrupted = true;
    return client;
}

TEST(CheckExitStatus, FailuresOutweighRewritesWhichOutweighCorrectClients) {
    struct Case {
        std::vector<ClientFinding> clients;
        int status;
    };
    const Case cases[] = {
        {{}, 0},
        {{Client(ClientOutcome::Correct), Client(ClientOutcome::Correct)}, 0},
        {{Client(ClientOutcome::Correct), Client(ClientOutcome::Rewritten)}, 2},
        {{Client(ClientOutcome::Rewritten), Client(ClientOutcome::BadFormat)}, 1},
        {{Client(ClientOutcome::NoTarget)}, 1},
        {{Client(ClientOutcome::LoginRefused)}, 1},
        {{Client(ClientOutcome::Unreachable)}, 1},
        {{Client(ClientOutcome::Stalled), Client(ClientOutcome::Correct)}, 1},
        {{Interrupted()}, 1},
    };
    for (const Case& c : cases) {
        Findings findings = UsableTarget();
        findings.clients = c.clients;
        EXPECT_EQ(ExitStatus(findings), c.status) << ::testing::PrintToString(c.clients.size());
    }
    Findings noAddress = UsableTarget();
    noAddress.target.problem = TargetProblem::NotIPv4;
    EXPECT_EQ(ExitStatus(noAddress), 1);
    Findings refused = UsableTarget();
    refused.target.reach = Reach::Failed(ClientOutcome::LoginRefused);
    EXPECT_EQ(ExitStatus(refused), 1);
}

// Paths and adapter texts come from servers: they must not break a line or a document.
TEST(CheckReport, ServerTextsAreEscapedInBothForms) {
    Findings findings = UsableTarget();
    findings.target.adapters[0].description = "nic\r\n\"quoted\"";
    findings.target.adapters[0].name =
        "eth\xc2\x9b"
        "0\x9b";  // CSI in UTF-8, then raw
    ClientFinding client = Client(ClientOutcome::Rewritten);
    client.path = std::string("\\\\nas\\a\x01\x1b[0m\"\x7f", 14);
    client.newPath = "\\\\10.0.0.5\\a";
    client.severalEnabled = true;
    findings.clients = {client, Client(ClientOutcome::Correct)};
    findings.clients[1].path = std::string("\\\\10.0.0.5\\\xff\xfe", 13);

    std::ostringstream text;
    WriteTextReport(text, findings);
    EXPECT_THAT(text.str(),
                HasSubstr("  adapter 0 eth\\xc2\\x9b0\\x9b (nic\\x0d\\x0a\"quoted\") IP 10.0.0.5"));
    EXPECT_THAT(text.str(),
                HasSubstr("  10.0.1.1:22609 several enabled targets (first used); would rewrite "
                          "\\\\nas\\a\\x01\\x1b[0m\"\\x7f -> \\\\10.0.0.5\\a\n"));
    EXPECT_THAT(text.str(), Not(HasSubstr("\x1b")));

    std::ostringstream json;
    WriteJsonReport(json, findings);
    const std::string document = json.str();
    EXPECT_EQ(std::count(document.begin(), document.end(), '\n'), 1);
    EXPECT_TRUE(std::all_of(document.begin(), document.end(),
                            [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); }));
    EXPECT_THAT(document, HasSubstr(R"("path":"\\\\nas\\a\u0001\u001b[0m\"\u007f")"));
    const auto parsed = nlohmann::json::parse(document);
    EXPECT_EQ(parsed["clients"][0]["path"], client.path);
    EXPECT_EQ(parsed["clients"][0]["verdict"], "would rewrite");
    EXPECT_EQ(parsed["clients"][0]["newPath"], client.newPath);
    EXPECT_EQ(parsed["clients"][0]["severalEnabledTargets"], true);
    EXPECT_THAT(document, HasSubstr(R"(\\\\10.0.0.5\\\ufffd\ufffd")"));
    // Bytes that are not UTF-8 are replaced, not passed on.
    EXPECT_EQ(parsed["clients"][1]["path"], "\\\\10.0.0.5\\\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(parsed["target"]["adapters"][0]["description"], "nic\r\n\"quoted\"");
    // JSON is for programs: the UTF-8 control keeps its character, escaped; the raw byte is not
    // UTF-8 and is replaced.
    EXPECT_THAT(document, HasSubstr(R"("name":"eth\u009b0\ufffd")"));
    EXPECT_EQ(parsed["target"]["archiveAddress"], "10.0.0.5");
    EXPECT_EQ(parsed["target"]["chosenAdapter"], 0);
    EXPECT_EQ(parsed["exitStatus"], 2);
}

}  // namespace

}  // namespace vaultline
