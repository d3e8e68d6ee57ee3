// Reading "vaultline.conf": the archive target, the archive clients and their credentials.
#include <tinyxml2.h>

#include "app/log_text.h"
#include "app/logging.h"
#include "service/vaultline.h"

namespace {

constexpr const char* kConfigurationFile = "vaultline.conf";
constexpr int kDefaultPort = 22609;

// The Port attribute as a decimal integer; absent or not starting with a number keeps the
// default.
int ReadPort(const tinyxml2::XMLElement& element) {
    int port = kDefaultPort;
    element.QueryIntAttribute("Port", &port);
    return port;
}

}  // namespace

bool Vaultline::Initialize() {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(kConfigurationFile) != tinyxml2::XML_SUCCESS) {
        BOOST_LOG_SEV(*logger, FATAL) << "unable to open configuration file " << kConfigurationFile;
        return false;
    }

    const tinyxml2::XMLElement* const root = document.FirstChildElement();
    const tinyxml2::XMLElement* const targetElement =
        root != nullptr ? root->FirstChildElement("ArchiveTarget") : nullptr;
    if (targetElement == nullptr) {
        BOOST_LOG_SEV(*logger, FATAL) << "configuration missing <ArchiveTarget>";
        return false;
    }

    const char* const targetAddressText = targetElement->Attribute("Address");
    const char* const targetUsername = targetElement->Attribute("Username");
    const char* const targetPassword = targetElement->Attribute("Password");
    const int targetPort = ReadPort(*targetElement);
    if (targetAddressText == nullptr || targetUsername == nullptr || targetPassword == nullptr ||
        targetPort <= 0) {
        BOOST_LOG_SEV(*logger, FATAL)
            << "bad <ArchiveTarget>; Address, Username, and Password required";
        return false;
    }
    BOOST_LOG_SEV(*logger, INFO) << "archive target: " << LogText(targetAddressText) << ":"
                                 << targetPort << ", user " << LogText(targetUsername);

    {
        Server server;
        server.address = targetAddressText;
        server.username = targetUsername;
        server.password = targetPassword;
        server.port = static_cast<uint16_t>(targetPort);
        server.isTarget = true;
        auto record = InitServer(server);
        std::lock_guard<std::mutex> lock(recordsMutex);
        target = std::move(record);
    }
    if (!target) {
        return false;
    }

    const tinyxml2::XMLElement* const clientsElement = root->FirstChildElement("ArchiveClients");
    if (clientsElement == nullptr) {
        BOOST_LOG_SEV(*logger, FATAL) << "configuration missing <ArchiveClients>";
        return false;
    }
    const char* const clientUsername = clientsElement->Attribute("Username");
    const char* const clientPassword = clientsElement->Attribute("Password");
    if (clientUsername == nullptr || clientPassword == nullptr) {
        BOOST_LOG_SEV(*logger, FATAL) << "bad <ArchiveClients>; Username and Password required";
        return false;
    }

    for (const tinyxml2::XMLElement* clientElement =
             clientsElement->FirstChildElement("ArchiveClient");
         clientElement != nullptr;
         clientElement = clientElement->NextSiblingElement("ArchiveClient")) {
        const char* const clientAddress = clientElement->Attribute("Address");
        const int clientPort = ReadPort(*clientElement);
        if (clientAddress == nullptr) {
            BOOST_LOG_SEV(*logger, FATAL) << "bad <ArchiveClient>; Address required";
            return false;
        }
        Server server;
        server.address = clientAddress;
        server.username = clientUsername;
        server.password = clientPassword;
        server.port = static_cast<uint16_t>(clientPort);
        auto record = InitServer(server);
        if (!record) {
            return false;
        }
        std::lock_guard<std::mutex> lock(recordsMutex);
        clients.push_back(std::move(record));
    }

    QueueReconnect(target->server, false);
    return true;
}
