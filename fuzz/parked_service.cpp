// A service object for fuzzers: its worker stopped, its log lines formatted and dropped.
#include "parked_service.h"

#include <string>

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include "base/logging.h"
#include "double/scripted_kxapi.h"

namespace vaultline::fuzz_support {
namespace {

BOOST_LOG_ATTRIBUTE_KEYWORD(severityAttribute, "Severity", Severity)

class DiscardingBackend : public boost::log::sinks::basic_formatted_sink_backend<
                              char, boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view&, const std::string& line) { bytes_ += line.size(); }

private:
    uint64_t bytes_ = 0;
};

}  // namespace

void InstallDiscardingLog() {
    static Logger fuzzLogger;
    static const bool installed = [] {
        namespace expr = boost::log::expressions;
        auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<DiscardingBackend>>();
        sink->set_formatter(expr::stream << severityAttribute << " " << expr::smessage);
        boost::log::core::get()->add_sink(sink);
        return true;
    }();
    (void)installed;
    logger = &fuzzLogger;
}

ParkedService::ParkedService(uint64_t recycleAfter) : recycleAfter_(recycleAfter) {
    InstallDiscardingLog();
}

bool ParkedService::Due() const {
    return !service_ || served_ >= recycleAfter_;
}

Vaultline& ParkedService::Next() {
    if (Due()) {
        service_.reset();
        scripted_sdk::Reset();
        service_ = std::make_unique<Vaultline>();
        service_->StopWorker();
        served_ = 0;
    }
    ++served_;
    return *service_;
}

}  // namespace vaultline::fuzz_support
