// The free rules for texts from servers: which address texts are addresses, and how any text
// is written into a log line.
#include <gtest/gtest.h>

#include "base/log_text.h"
#include "sync/ipv4_address.h"

namespace vaultline {

namespace {

TEST(IsIPv4Address, OnlyDottedQuadsOfDecimalOctetsAreAddresses) {
    const struct {
        std::string text;
        bool address;
    } cases[] = {
        {"10.0.0.1", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"192.168.1.200", true},
        {"", false},
        {"10.0.0.1\\evil", false},
        {"::1", false},
        {"999.1.1.1", false},
        {"256.0.0.1", false},
        {"nas.example.com", false},
        {std::string(300, '1'), false},
        {"10.0.0.1\r\n", false},
        {" 10.0.0.1", false},
        {"10.0.0.1 ", false},
        {"10.0.0", false},
        {"10.0.0.1.5", false},
        {"010.0.0.1", false},
        {"0x0a.0.0.1", false},
        {"10.0.0.-1", false},
        {std::string("10.0.0.1\0evil", 13), false},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(IsIPv4Address(testCase.text), testCase.address) << LogText(testCase.text);
    }
}

TEST(LogText, ControlBytesAreEscapedAndEverythingElseKept) {
    const struct {
        std::string text;
        std::string logged;
    } cases[] = {
        {"eth0", "eth0"},
        {"", ""},
        {"\\\\10.0.0.5\\archive\\daily", "\\\\10.0.0.5\\archive\\daily"},
        {"name\n<0>forged", "name\\x0a<0>forged"},
        {"a\r\nb", "a\\x0d\\x0ab"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"tab\there", "tab\\x09here"},
        {"\x1f\x7f", "\\x1f\\x7f"},
        {" ~", " ~"},
        {"caf\xc3\xa9 \xc2\xa0\xff", "caf\xc3\xa9 \xc2\xa0\xff"},
        {"csi\x9b"
         "2J \x80",
         "csi\\x9b2J \\x80"},
        {"nel\xc2\x85 csi\xc2\x9b"
         "2J",
         "nel\\xc2\\x85 csi\\xc2\\x9b2J"},
        {"\xd1\x80 \xe2\x82\xac \xf0\x9f\x98\x80", "\xd1\x80 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"overlong \xc0\x9b\xe0\x80\x9b", "overlong \\xc0\\x9b\\xe0\\x80\\x9b"},
        {"lone \xc2 lead \xc2", "lone \xc2 lead \xc2"},
        {"\\x0a stays", "\\x0a stays"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(LogText(testCase.text), testCase.logged) << testCase.logged;
    }
}

}  // namespace

}  // namespace vaultline
