// Shared set-up for the service's unit tests: captured log lines, a scratch working directory
// holding "vaultline.conf", the scripted SDK, and running code on the worker thread.
#include "unit/service_fixture.h"

#include <future>
#include <mutex>
#include <sstream>

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

namespace vaultline {

namespace unit_support {

namespace {

BOOST_LOG_ATTRIBUTE_KEYWORD(severityAttribute, "Severity", Severity)

class CollectingBackend : public boost::log::sinks::basic_formatted_sink_backend<
                              char, boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view&, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

using CollectingSink = boost::log::sinks::synchronous_sink<CollectingBackend>;

}  // namespace

struct LogCapture::Impl {
    boost::shared_ptr<CollectingBackend> backend = boost::make_shared<CollectingBackend>();
    boost::shared_ptr<CollectingSink> sink = boost::make_shared<CollectingSink>(backend);
    Logger testLogger;
    Logger* previousLogger = nullptr;
};

LogCapture::LogCapture() : impl_(std::make_unique<Impl>()) {
    namespace expr = boost::log::expressions;
    impl_->sink->set_formatter(expr::stream << severityAttribute << " " << expr::smessage);
    boost::log::core::get()->set_logging_enabled(true);
    boost::log::core::get()->add_sink(impl_->sink);
    impl_->previousLogger = logger;
    logger = &impl_->testLogger;
}

LogCapture::~LogCapture() {
    logger = impl_->previousLogger;
    boost::log::core::get()->remove_sink(impl_->sink);
}

std::vector<std::string> LogCapture::Lines() const {
    return impl_->backend->Lines();
}

std::vector<std::string> LogCapture::LinesFrom(std::size_t skip) const {
    auto lines = Lines();
    lines.erase(lines.begin(), lines.begin() + std::min(skip, lines.size()));
    return lines;
}

bool LogCapture::Contains(const std::string& line) const {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool LogCapture::WaitFor(const std::string& line, std::chrono::milliseconds timeout) const {
    return testing_support::WaitUntil([&] { return Contains(line); }, timeout);
}

ServiceTest::ServiceTest() : previousDirectory(std::filesystem::current_path()) {
    scripted_sdk::Reset();
    std::filesystem::current_path(directory.Path());
    service = std::make_unique<Vaultline>(TestTimes(), clock);
}

ServiceTimes ServiceTest::TestTimes() {
    ServiceTimes times;
    times.passWait = std::chrono::milliseconds(10);
    return times;
}

void ServiceTest::Restart(const ServiceTimes& times) {
    service.reset();
    scripted_sdk::Reset();
    service = std::make_unique<Vaultline>(times, clock);
}

ServiceTest::~ServiceTest() {
    service.reset();
    std::filesystem::current_path(previousDirectory);
    scripted_sdk::Reset();
}

void ServiceTest::WriteConfiguration(const std::string& xml) {
    directory.WriteFile("vaultline.conf", xml);
}

void ServiceTest::WriteStandardConfiguration(int clientCount,
                                             const std::string& clientsAttributes) {
    std::ostringstream xml;
    xml << "<Vaultline>\n"
        << "  <ArchiveTarget Address=\"10.0.0.1\" Username=\"admin\" Password=\"target-secret\"/>\n"
        << "  <ArchiveClients Username=\"backup\" Password=\"client-secret\"" << clientsAttributes
        << ">\n";
    for (int client = 1; client <= clientCount; ++client) {
        xml << "    <ArchiveClient Address=\"10.0.1." << client << "\"/>\n";
    }
    xml << "  </ArchiveClients>\n</Vaultline>\n";
    WriteConfiguration(xml.str());
}

void ServiceTest::OnWorker(const std::function<void()>& work) {
    std::promise<void> done;
    Access().Schedule(
        [&] {
            work();
            done.set_value();
        },
        false);
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

void ServiceTest::WaitForPasses(int passes) {
    // Each task runs between two passes, so queuing one after the other spans a whole pass.
    for (int pass = 0; pass < passes; ++pass) {
        OnWorker([] {});
    }
}

void ServiceTest::LearnTargetAddress(const std::string& ip) {
    scripted_sdk::Adapter adapter;
    adapter.ip = ip;
    scripted_sdk::Configure(1, [&](scripted_sdk::Connection& c) { c.adapters = {adapter}; });
    Access().DoGetAddress(TargetServer());
}

}  // namespace unit_support

}  // namespace vaultline
