// Reading "vaultline.conf": the archive target, the archive clients and their credentials.
#include "configuration/configuration.h"

#include <tinyxml2.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "base/log_text.h"
#include "base/logging.h"

namespace vaultline {

const char* const kConfigurationFile = "vaultline.conf";

namespace {

constexpr int kDefaultPort = 22609;

// The Port attribute as a decimal integer; absent or not starting with a number keeps the
// default.
int ReadPort(const tinyxml2::XMLElement& element) {
    int port = kDefaultPort;
    element.QueryIntAttribute("Port", &port);
    return port;
}

// Ten years: a longer period is no different in practice, and stays far from overflowing the
// clock's arithmetic.
constexpr int64_t kLongestRecheckSeconds = int64_t{10} * 365 * 24 * 3600;

// A command may take long (a mail, a DNS update through a slow server), but not for ever.
constexpr int64_t kLongestOnChangeSeconds = 24 * 3600;

// A count of seconds written by an operator, read whole: blanks around it aside, an optional
// sign and decimal digits, nothing else. "1e3" or "1,000" read by their leading digits would be
// 1 s, which is no reading of what was meant. Absent: `fallback`, quietly. Anything else that is
// not such a number: `fallback`, after one WARNING naming the element, the attribute and the
// text. A number beyond the 64-bit range reads as the nearest end of it, which every caller caps.
int64_t ReadWholeSeconds(const tinyxml2::XMLElement& element, const char* attribute,
                         int64_t fallback) {
    const char* const written = element.Attribute(attribute);
    if (written == nullptr) {
        return fallback;
    }
    constexpr const char* kBlanks = " \t\r\n";
    const std::string_view text(written);
    const std::size_t first = text.find_first_not_of(kBlanks);
    const std::size_t last = text.find_last_not_of(kBlanks);
    std::string_view number =
        first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
    const bool negative = !number.empty() && number.front() == '-';
    if (!number.empty() && (number.front() == '-' || number.front() == '+')) {
        number.remove_prefix(1);
    }
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << "<" << element.Name() << "> " << attribute << " \"" << LogText(text)
            << "\" is not a whole number of seconds; using " << fallback;
        return fallback;
    }
    uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), magnitude);
    static_cast<void>(end);
    constexpr uint64_t kLargest = std::numeric_limits<int64_t>::max();
    if (error == std::errc::result_out_of_range || magnitude > kLargest) {
        magnitude = kLargest;
    }
    const auto value = static_cast<int64_t>(magnitude);
    return negative ? -value : value;
}

// RecheckSeconds: a value that is absent, negative or not a whole number keeps the default.
std::chrono::seconds ReadRecheckPeriod(const tinyxml2::XMLElement& element) {
    const int64_t fallback = ServiceSettings{}.recheckPeriod.count();
    const int64_t seconds = ReadWholeSeconds(element, "RecheckSeconds", fallback);
    if (seconds < 0) {
        return std::chrono::seconds(fallback);
    }
    return std::chrono::seconds(std::min(seconds, kLongestRecheckSeconds));
}

// Validates the first <OnChange> under `root` and reads it into `onChange`, if there is one.
// False after logging the fault at FATAL.
bool ReadOnChange(const tinyxml2::XMLElement& root, std::optional<OnChangeSettings>& onChange) {
    const tinyxml2::XMLElement* const element = root.FirstChildElement("OnChange");
    if (element == nullptr) {
        return true;
    }
    // Run with no shell and no search path, from whatever folder the service runs in.
    const char* const command = element->Attribute("Command");
    if (command == nullptr || command[0] != '/') {
        BOOST_LOG_SEV(*logger, Severity::FATAL)
            << "bad <OnChange>; Command must be an absolute path";
        return false;
    }
    OnChangeSettings read;
    read.command = command;
    // TimeoutSeconds: absent, not a whole number, 0 or negative gives the default.
    const int64_t seconds = ReadWholeSeconds(*element, "TimeoutSeconds", read.timeout.count());
    if (seconds > 0) {
        read.timeout = std::chrono::seconds(std::min(seconds, kLongestOnChangeSeconds));
    }
    onChange = read;
    return true;
}

// Validates the first <Status> under `root` and reads its File into `statusFile`, if there is
// one. The service's working folder is no place for it, so the path must be absolute. False after
// logging the fault at FATAL.
bool ReadStatusFile(const tinyxml2::XMLElement& root, std::optional<std::string>& statusFile) {
    const tinyxml2::XMLElement* const element = root.FirstChildElement("Status");
    if (element == nullptr) {
        return true;
    }
    const char* const file = element->Attribute("File");
    if (file == nullptr || file[0] != '/') {
        BOOST_LOG_SEV(*logger, Severity::FATAL) << "bad <Status>; File must be an absolute path";
        return false;
    }
    statusFile = file;
    return true;
}

// <ArchiveTarget>, the first one: the server handed to `accept` first.
bool ReadTarget(const tinyxml2::XMLElement* root,
                const std::function<bool(const ServerConfig&)>& accept) {
    const tinyxml2::XMLElement* const targetElement =
        root != nullptr ? root->FirstChildElement("ArchiveTarget") : nullptr;
    if (targetElement == nullptr) {
        BOOST_LOG_SEV(*logger, Severity::FATAL) << "configuration missing <ArchiveTarget>";
        return false;
    }

    const char* const targetAddressText = targetElement->Attribute("Address");
    const char* const targetUsername = targetElement->Attribute("Username");
    const char* const targetPassword = targetElement->Attribute("Password");
    const int targetPort = ReadPort(*targetElement);
    if (targetAddressText == nullptr || targetUsername == nullptr || targetPassword == nullptr ||
        targetPort <= 0) {
        BOOST_LOG_SEV(*logger, Severity::FATAL)
            << "bad <ArchiveTarget>; Address, Username, and Password required";
        return false;
    }
    BOOST_LOG_SEV(*logger, Severity::INFO)
        << "archive target: " << LogText(targetAddressText) << ":" << targetPort << ", user "
        << LogText(targetUsername);

    ServerConfig target;
    target.address = targetAddressText;
    target.username = targetUsername;
    target.password = targetPassword;
    target.port = static_cast<uint16_t>(targetPort);
    target.isTarget = true;
    return accept(target);
}

// <ArchiveClients>, the first one: the clients' login and the recheck period, then each
// <ArchiveClient> in file order.
bool ReadClients(const tinyxml2::XMLElement& root,
                 const std::function<bool(const ServerConfig&)>& accept,
                 ServiceSettings* settings) {
    const tinyxml2::XMLElement* const clientsElement = root.FirstChildElement("ArchiveClients");
    if (clientsElement == nullptr) {
        BOOST_LOG_SEV(*logger, Severity::FATAL) << "configuration missing <ArchiveClients>";
        return false;
    }
    const char* const clientUsername = clientsElement->Attribute("Username");
    const char* const clientPassword = clientsElement->Attribute("Password");
    if (clientUsername == nullptr || clientPassword == nullptr) {
        BOOST_LOG_SEV(*logger, Severity::FATAL)
            << "bad <ArchiveClients>; Username and Password required";
        return false;
    }
    if (settings != nullptr) {
        settings->recheckPeriod = ReadRecheckPeriod(*clientsElement);
    }
    std::optional<OnChangeSettings> onChange;
    if (!ReadOnChange(root, onChange)) {
        return false;
    }
    if (settings != nullptr) {
        settings->onChange = onChange;
    }
    std::optional<std::string> statusFile;
    if (!ReadStatusFile(root, statusFile)) {
        return false;
    }
    if (settings != nullptr) {
        settings->statusFile = statusFile;
    }

    for (const tinyxml2::XMLElement* clientElement =
             clientsElement->FirstChildElement("ArchiveClient");
         clientElement != nullptr;
         clientElement = clientElement->NextSiblingElement("ArchiveClient")) {
        const char* const clientAddress = clientElement->Attribute("Address");
        const int clientPort = ReadPort(*clientElement);
        if (clientAddress == nullptr) {
            BOOST_LOG_SEV(*logger, Severity::FATAL) << "bad <ArchiveClient>; Address required";
            return false;
        }
        ServerConfig client;
        client.address = clientAddress;
        client.username = clientUsername;
        client.password = clientPassword;
        client.port = static_cast<uint16_t>(clientPort);
        if (!accept(client)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::ostream& operator<<(std::ostream& stream, const ServerConfig& server) {
    return stream << LogText(server.address) << ":" << server.port;
}

bool ReadConfiguration(const char* path, const std::function<bool(const ServerConfig&)>& accept,
                       ServiceSettings* settings) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path) != tinyxml2::XML_SUCCESS) {
        BOOST_LOG_SEV(*logger, Severity::FATAL) << "unable to open configuration file " << path;
        return false;
    }
    // Each element in the order its faults are reported; the target is found only inside the
    // root, so a document whose root has no <ArchiveTarget> gets no further.
    const tinyxml2::XMLElement* const root = document.FirstChildElement();
    return ReadTarget(root, accept) && ReadClients(*root, accept, settings);
}

}  // namespace vaultline
