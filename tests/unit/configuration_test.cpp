// Reading "vaultline.conf": what each fault reports, the port rules, and the records built.
#include <gmock/gmock.h>

#include "configuration/configuration.h"
#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using unit_support::ServiceTest;

namespace {

constexpr const char* kClients =
    "<ArchiveClients Username='u' Password='p'><ArchiveClient Address='c1'/></ArchiveClients>";

struct FaultCase {
    const char* name;
    std::string file;
    std::string fatal;
    int sdkInstances;  // KXAPI_Init calls before the fault
};

class ConfigurationFaults : public ServiceTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ConfigurationFaults, FirstFaultInFileOrderIsTheOnlyOneReported) {
    const auto& fault = GetParam();
    WriteConfiguration(fault.file);
    EXPECT_FALSE(service->Initialize());
    const auto lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "FATAL " + fault.fatal);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("FATAL", 0) == 0; }),
              1);
    const auto calls = scripted_sdk::Calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& call) { return call.rfind("Init", 0) == 0; }),
              fault.sdkInstances);
    // No connection is queued after a failed start-up.
    WaitForPasses();
    EXPECT_THAT(scripted_sdk::Calls(), Not(::testing::Contains(HasSubstr("Open"))));
}

const std::string kTarget = "<ArchiveTarget Address='t' Username='u' Password='p'/>";

INSTANTIATE_TEST_SUITE_P(
    Faults, ConfigurationFaults,
    ::testing::Values(
        FaultCase{"Empty", "", "unable to open configuration file vaultline.conf", 0},
        FaultCase{"WhiteSpaceOnly", " \n\t \n", "unable to open configuration file vaultline.conf",
                  0},
        FaultCase{"Malformed", "<Root><ArchiveTarget></Root>",
                  "unable to open configuration file vaultline.conf", 0},
        FaultCase{"OnlyAComment", "<!-- nothing here -->", "configuration missing <ArchiveTarget>",
                  0},
        FaultCase{"NoTarget", "<Root>" + std::string(kClients) + "</Root>",
                  "configuration missing <ArchiveTarget>", 0},
        FaultCase{"TargetNested", "<Root><X><ArchiveTarget/></X></Root>",
                  "configuration missing <ArchiveTarget>", 0},
        FaultCase{
            "TargetWithoutPassword",
            "<Root><ArchiveTarget Address='t' Username='u'/>" + std::string(kClients) + "</Root>",
            "bad <ArchiveTarget>; Address, Username, and Password required", 0},
        FaultCase{"TargetPortZero",
                  "<Root><ArchiveTarget Address='t' Username='u' Password='p' Port='0'/></Root>",
                  "bad <ArchiveTarget>; Address, Username, and Password required", 0},
        FaultCase{"TargetPortNegative",
                  "<Root><ArchiveTarget Address='t' Username='u' Password='p' Port='-5'/></Root>",
                  "bad <ArchiveTarget>; Address, Username, and Password required", 0},
        FaultCase{"NoClients", "<Root>" + kTarget + "</Root>",
                  "configuration missing <ArchiveClients>", 1},
        FaultCase{"ClientsWithoutUsername",
                  "<Root>" + kTarget + "<ArchiveClients Password='p'/></Root>",
                  "bad <ArchiveClients>; Username and Password required", 1},
        FaultCase{"ClientWithoutAddress",
                  "<Root>" + kTarget +
                      "<ArchiveClients Username='u' Password='p'><ArchiveClient Address='c1'/>"
                      "<ArchiveClient Port='1'/></ArchiveClients></Root>",
                  "bad <ArchiveClient>; Address required", 2},
        FaultCase{"OnChangeRelative",
                  "<Root>" + kTarget + kClients + "<OnChange Command='bin/notify'/></Root>",
                  "bad <OnChange>; Command must be an absolute path", 1},
        FaultCase{"OnChangeEmpty", "<Root>" + kTarget + kClients + "<OnChange Command=''/></Root>",
                  "bad <OnChange>; Command must be an absolute path", 1},
        FaultCase{"OnChangeWithoutCommand",
                  "<Root>" + kTarget + kClients + "<OnChange TimeoutSeconds='5'/></Root>",
                  "bad <OnChange>; Command must be an absolute path", 1},
        FaultCase{"StatusFileRelative",
                  "<Root>" + kTarget + kClients + "<Status File='run/status.json'/></Root>",
                  "bad <Status>; File must be an absolute path", 1},
        FaultCase{"StatusFileEmpty", "<Root>" + kTarget + kClients + "<Status File=''/></Root>",
                  "bad <Status>; File must be an absolute path", 1}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(ServiceTest, MissingOrUnreadableConfigurationCannotBeOpened) {
    EXPECT_FALSE(service->Initialize());
    EXPECT_THAT(log.Lines(), ElementsAre("FATAL unable to open configuration file vaultline.conf"));

    unit_support::LogCapture capture;
    Vaultline fresh;
    std::filesystem::create_directory(directory.Path() / "vaultline.conf");
    EXPECT_FALSE(fresh.Initialize());
    EXPECT_THAT(capture.Lines(),
                ElementsAre("FATAL unable to open configuration file vaultline.conf"));
}

TEST_F(ServiceTest, ValidConfigurationBuildsRecordsInFileOrderAndConnectsOnlyTheTarget) {
    WriteConfiguration(R"(<?xml version="1.0"?>
<AnyRootName>
  <ArchiveTarget Address="10.0.0.1" Username="admin" Password="s3cr&amp;t" Extra="ignored"/>
  <ArchiveTarget Address="10.9.9.9" Username="second" Password="ignored"/>
  <Comment>text is ignored</Comment>
  <ArchiveClients Username="backup" Password="client-pass">
    <ArchiveClient Address="alpha" Port="70000" Username="ignored"/>
    <Other Address="skipped"/>
    <ArchiveClient Address="" Port="-1"/>
    <!-- a comment between clients -->
    <ArchiveClient Address="gamma" Port="0"/>
  </ArchiveClients>
</AnyRootName>)");
    ASSERT_TRUE(service->Initialize());
    WaitForPasses();

    EXPECT_EQ(log.Lines().at(0), "INFO archive target: 10.0.0.1:22609, user admin");
    EXPECT_EQ(log.Lines().at(1), "INFO connecting to server 10.0.0.1:22609");
    for (const auto& line : log.Lines()) {
        EXPECT_THAT(line, Not(HasSubstr("s3cr")));
        EXPECT_THAT(line, Not(HasSubstr("client-pass")));
    }

    const Vaultline::Server& target = TargetServer();
    EXPECT_TRUE(target.config.isTarget);
    EXPECT_EQ(target.config.password, "s3cr&t");
    ASSERT_EQ(Access().ClientCount(), 3u);
    const struct {
        const char* address;
        uint16_t port;
    } expected[] = {{"alpha", 70000 & 0xffff}, {"", 65535}, {"gamma", 0}};
    for (std::size_t i = 0; i < 3; ++i) {
        const Vaultline::Server& client = ClientServer(i);
        EXPECT_EQ(client.config.address, expected[i].address);
        EXPECT_EQ(client.config.port, expected[i].port);
        EXPECT_EQ(client.config.username, "backup");
        EXPECT_EQ(client.config.password, "client-pass");
        EXPECT_FALSE(client.config.isTarget);
        EXPECT_EQ(client.link.State(), ConnState::Closed);
    }
    const auto calls = scripted_sdk::Calls();
    ASSERT_GE(calls.size(), 14u);
    EXPECT_THAT(
        std::vector<std::string>(calls.begin(), calls.begin() + 14),
        ElementsAre("Init()=1", "SetNonBlocking(1,1)", "SetCallbackEx(1)", "Init()=2",
                    "SetNonBlocking(2,1)", "SetCallbackEx(2)", "Init()=3", "SetNonBlocking(3,1)",
                    "SetCallbackEx(3)", "Init()=4", "SetNonBlocking(4,1)", "SetCallbackEx(4)",
                    "Open(1,10.0.0.1,22609)", "Login(1,admin,s3cr&t)"));
    EXPECT_EQ(calls.size(), 14u) << "only the target is connected";
}

TEST_F(ServiceTest, TargetPortDefaultsWrapsAndIgnoresTextThatIsNotANumber) {
    const struct {
        const char* port;
        const char* logged;
        uint16_t kept;
    } cases[] = {
        {"abc", "22609", 22609}, {" 42x", "42", 42}, {"+7", "7", 7}, {"65537", "65537", 1}};
    for (const auto& example : cases) {
        scripted_sdk::Reset();
        unit_support::LogCapture capture;
        Vaultline fresh;  // Initialize runs once per service
        WriteConfiguration(std::string("<R><ArchiveTarget Address='t' Username='u' Password='p' "
                                       "Port='") +
                           example.port + "'/><ArchiveClients Username='u' Password='p'/></R>");
        ASSERT_TRUE(fresh.Initialize()) << example.port;
        EXPECT_EQ(capture.Lines().at(0),
                  std::string("INFO archive target: t:") + example.logged + ", user u");
        EXPECT_EQ(ServiceTestAccess(fresh).TargetRecord().server.config.port, example.kept)
            << example.port;
    }
}

// A number of seconds is read whole or not at all: read by its leading digits, "1e3" would
// recheck every client every second.
TEST_F(ServiceTest, RecheckSecondsDefaultsToAnHourAndZeroTurnsRechecksOff) {
    const struct {
        const char* attribute;
        long long seconds;
        const char* warning;  // null: none
    } cases[] = {
        {"", 3600, nullptr},
        {" RecheckSeconds='-5'", 3600, nullptr},
        {" RecheckSeconds='0'", 0, nullptr},
        {" RecheckSeconds=' +90 '", 90, nullptr},
        {" RecheckSeconds='99999999999999'", 315360000, nullptr},
        {" RecheckSeconds='99999999999999999999999'", 315360000, nullptr},
        {" RecheckSeconds='abc'", 3600, "\"abc\""},
        {" RecheckSeconds='1e3'", 3600, "\"1e3\""},
        {" RecheckSeconds='1,000'", 3600, "\"1,000\""},
        {" RecheckSeconds='0.5'", 3600, "\"0.5\""},
        {" RecheckSeconds=' 90s'", 3600, "\" 90s\""},
        {" RecheckSeconds=''", 3600, "\"\""},
        {" RecheckSeconds='-'", 3600, "\"-\""},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.attribute);
        WriteConfiguration("<R>" + kTarget + "<ArchiveClients Username='u' Password='p'" +
                           example.attribute + "/></R>");
        ServiceSettings settings;
        settings.recheckPeriod = std::chrono::seconds(7);
        const std::size_t mark = log.Lines().size();
        ASSERT_TRUE(ReadConfiguration(
            kConfigurationFile, [](const ServerConfig&) { return true; }, &settings));
        EXPECT_EQ(settings.recheckPeriod.count(), example.seconds);
        std::vector<std::string> expected;
        if (example.warning != nullptr) {
            expected.push_back(std::string("WARNING <ArchiveClients> RecheckSeconds ") +
                               example.warning + " is not a whole number of seconds; using 3600");
        }
        std::vector<std::string> warnings;
        for (const auto& line : log.LinesFrom(mark)) {
            if (line.rfind("WARNING", 0) == 0) {
                warnings.push_back(line);
            }
        }
        EXPECT_EQ(warnings, expected);
    }
}

TEST_F(ServiceTest, OnChangeIsOptionalTheFirstCountsAndItsTimeoutDefaultsToAMinute) {
    const struct {
        const char* elements;
        const char* command;  // null: no command
        long long seconds;
        bool warned;
    } cases[] = {{"", nullptr, 0, false},
                 {"<OnChange Command='/a'/>", "/a", 60, false},
                 {"<OnChange Command='/a' TimeoutSeconds='abc'/>", "/a", 60, true},
                 {"<OnChange Command='/a' TimeoutSeconds='1e3'/>", "/a", 60, true},
                 {"<OnChange Command='/a' TimeoutSeconds='0'/>", "/a", 60, false},
                 {"<OnChange Command='/a' TimeoutSeconds='-5'/>", "/a", 60, false},
                 {"<OnChange Command='/a' TimeoutSeconds='5'/>", "/a", 5, false},
                 {"<OnChange Command='/a' TimeoutSeconds='\t5\n'/>", "/a", 5, false},
                 {"<OnChange Command='/a' TimeoutSeconds='99999999999'/>", "/a", 86400, false},
                 {"<OnChange Command='/a'/><OnChange Command='b'/>", "/a", 60, false}};
    for (const auto& example : cases) {
        SCOPED_TRACE(example.elements);
        WriteConfiguration("<R>" + kTarget + kClients + example.elements + "</R>");
        ServiceSettings settings;
        const std::size_t mark = log.Lines().size();
        ASSERT_TRUE(ReadConfiguration(
            kConfigurationFile, [](const ServerConfig&) { return true; }, &settings));
        ASSERT_EQ(settings.onChange.has_value(), example.command != nullptr);
        if (settings.onChange) {
            EXPECT_EQ(settings.onChange->command, example.command);
            EXPECT_EQ(settings.onChange->timeout.count(), example.seconds);
        }
        const auto lines = log.LinesFrom(mark);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.rfind("WARNING <OnChange> TimeoutSeconds", 0) == 0;
                                }),
                  example.warned ? 1 : 0);
    }
}

TEST_F(ServiceTest, ClientSdkFailureAfterTheTargetStopsStartUpWithoutAFatalLine) {
    WriteStandardConfiguration(2);
    scripted_sdk::FailInitNumber(2);
    EXPECT_FALSE(service->Initialize());
    EXPECT_THAT(log.Lines(), ElementsAre("INFO archive target: 10.0.0.1:22609, user admin",
                                         "ERROR kxAPI initialization failed"));
    ASSERT_TRUE(Access().HasTarget());
    EXPECT_EQ(Access().ClientCount(), 0u);
    WaitForPasses();
    service.reset();
    const auto calls = scripted_sdk::Calls();
    EXPECT_EQ(calls.back(), "Cleanup(1)");
    EXPECT_THAT(calls, ::testing::Contains("Cleanup(0)"));
    EXPECT_THAT(calls, Not(::testing::Contains(HasSubstr("Open"))));
}

}  // namespace

}  // namespace vaultline
