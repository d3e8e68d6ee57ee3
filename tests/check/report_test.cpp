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
    findings.target.reach = Reach::DataRead;
    AdapterFinding adapter;
    adapter.name = "eth0";
    adapter.ip = "10.0.0.5";
    adapter.connected = true;
    adapter.dhcp = true;
    findings.target.adapters = {adapter};
    findings.target.chosen = 0;
    findings.target.archiveAddress = "10.0.0.5";
    return findings;
}

ClientFinding Client(Verdict verdict) {
    ClientFinding client;
    client.address = "10.0.1.1";
    client.port = 22609;
    client.verdict = verdict;
    return client;
}

TEST(CheckExitStatus, FailuresOutweighRewritesWhichOutweighCorrectClients) {
    struct Case {
        std::vector<Verdict> verdicts;
        int status;
    };
    const Case cases[] = {
        {{}, 0},
        {{Verdict::Correct, Verdict::Correct}, 0},
        {{Verdict::Correct, Verdict::WouldRewrite}, 2},
        {{Verdict::WouldRewrite, Verdict::BadFormat}, 1},
        {{Verdict::NoEnabledTarget}, 1},
        {{Verdict::LoginRefused}, 1},
        {{Verdict::Unreachable}, 1},
        {{Verdict::TimedOut, Verdict::Correct}, 1},
        {{Verdict::Interrupted}, 1},
    };
    for (const Case& c : cases) {
        Findings findings = UsableTarget();
        for (const Verdict verdict : c.verdicts) {
            findings.clients.push_back(Client(verdict));
        }
        EXPECT_EQ(ExitStatus(findings), c.status) << ::testing::PrintToString(c.verdicts.size());
    }
    Findings noAddress = UsableTarget();
    noAddress.target.problem = TargetProblem::NotIPv4;
    EXPECT_EQ(ExitStatus(noAddress), 1);
    Findings refused = UsableTarget();
    refused.target.reach = Reach::LoginRefused;
    EXPECT_EQ(ExitStatus(refused), 1);
}

// Paths and adapter texts come from servers: they must not break a line or a document.
TEST(CheckReport, ServerTextsAreEscapedInBothForms) {
    Findings findings = UsableTarget();
    findings.target.adapters[0].description = "nic\r\n\"quoted\"";
    findings.target.adapters[0].name =
        "eth\xc2\x9b"
        "0\x9b";  // CSI in UTF-8, then raw
    ClientFinding client = Client(Verdict::WouldRewrite);
    client.path = std::string("\\\\nas\\a\x01\x1b[0m\"\x7f", 14);
    client.newPath = "\\\\10.0.0.5\\a";
    client.severalEnabled = true;
    findings.clients = {client, Client(Verdict::Correct)};
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
