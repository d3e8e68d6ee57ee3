// The service's account of itself for systemd: watchdog timing, client outcomes, the status line.
#include "service/status_report.h"

#include <algorithm>
#include <sstream>

namespace vaultline {

namespace {

constexpr auto kStatusInterval = std::chrono::seconds(1);
// A pass can begin up to this much after the ping fell due; pinging that much early keeps the
// pings at least twice per watchdog interval.
constexpr auto kPassLength = std::chrono::milliseconds(100);

bool IsFailure(ClientOutcome outcome) {
    return outcome != ClientOutcome::Correct && outcome != ClientOutcome::Rewritten;
}

std::string LocalClockTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// How long until a recheck, rounded up so that it never reads 0 before it is due: seconds
// under a minute, minutes up to an hour, then hours and minutes ("1 h 5 min", "2 h").
std::string RecheckWait(std::chrono::steady_clock::duration wait) {
    const auto seconds =
        std::max<long long>(std::chrono::ceil<std::chrono::seconds>(wait).count(), 0);
    std::ostringstream text;
    if (seconds < 60) {
        text << seconds << " s";
        return text.str();
    }
    const long long minutes = (seconds + 59) / 60;
    if (minutes <= 60) {
        text << minutes << " min";
    } else if (minutes % 60 == 0) {
        text << minutes / 60 << " h";
    } else {
        text << minutes / 60 << " h " << minutes % 60 << " min";
    }
    return text.str();
}

}  // namespace

StatusReport::StatusReport(std::chrono::microseconds watchdogInterval)
    : pingPeriod_(watchdogInterval.count() > 0
                      ? std::max<Clock::duration>(watchdogInterval / 2 - kPassLength,
                                                  Clock::duration::zero())
                      : Clock::duration::max()) {}

void StatusReport::RecordOutcome(const void* client, ClientOutcome outcome) {
    MutexLock lock(mutex_);
    const auto [entry, added] = outcomes_.try_emplace(client, outcome);
    if (added || entry->second != outcome) {
        entry->second = outcome;
        changed_ = true;
    }
}

void StatusReport::TargetAddressChanged(const std::string& address, std::time_t when) {
    MutexLock lock(mutex_);
    targetAddress_ = address;
    targetSince_ = LocalClockTime(when);
    outcomes_.clear();
    changed_ = true;
}

void StatusReport::RecheckScheduled(std::optional<Clock::time_point> due) {
    MutexLock lock(mutex_);
    rechecksKnown_ = true;
    nextRecheck_ = due;
    changed_ = true;
}

void StatusReport::RetryQueued(Clock::time_point due) {
    MutexLock lock(mutex_);
    retries_.insert(due);
}

void StatusReport::RetryRan(Clock::time_point due) {
    MutexLock lock(mutex_);
    const auto entry = retries_.find(due);
    if (entry != retries_.end()) {
        retries_.erase(entry);
    }
    changed_ = true;
}

std::string StatusReport::Text(Clock::time_point now, std::size_t clientCount) const {
    MutexLock lock(mutex_);
    return TextLocked(now, clientCount);
}

std::string StatusReport::TextLocked(Clock::time_point now, std::size_t clientCount) const {
    std::ostringstream text;
    if (targetAddress_.empty()) {
        text << "waiting for the target's address";
    } else {
        std::size_t correct = 0;
        std::size_t rewritten = 0;
        std::size_t failing = 0;
        for (const auto& [client, outcome] : outcomes_) {
            correct += outcome == ClientOutcome::Correct;
            rewritten += outcome == ClientOutcome::Rewritten;
            failing += IsFailure(outcome);
        }
        text << "target " << targetAddress_ << " (since " << targetSince_ << "); " << correct
             << (correct == 1 ? " client" : " clients") << " correct, " << rewritten
             << " rewritten, " << failing << " failing";
        if (clientCount > outcomes_.size()) {
            text << ", " << clientCount - outcomes_.size() << " unchecked";
        }
        if (nextRecheck_) {
            text << "; next recheck in " << RecheckWait(*nextRecheck_ - now);
        } else if (rechecksKnown_) {
            text << "; rechecks off";
        }
    }
    if (!retries_.empty()) {
        const auto wait = *retries_.begin() - now;
        // Whole seconds, rounded up, so a pending retry never reads as 0 s before it is due.
        const auto seconds = std::max<Clock::duration::rep>(
            std::chrono::ceil<std::chrono::seconds>(wait).count(), 0);
        text << "; next retry in " << seconds << " s";
    }
    return text.str();
}

std::string StatusReport::Pass(Clock::time_point now, std::size_t clientCount) {
    MutexLock lock(mutex_);
    std::string message;
    if (pingPeriod_ != Clock::duration::max() && (!pinged_ || now - lastPing_ >= pingPeriod_)) {
        message = "WATCHDOG=1";
        pinged_ = true;
        lastPing_ = now;
    }
    if (clientCount != lastClientCount_) {
        lastClientCount_ = clientCount;
        changed_ = true;
    }
    // The countdowns change by themselves, so a pending retry keeps the line under review, and
    // so does a recheck, once a second.
    const bool recheckCountdown =
        nextRecheck_ && !targetAddress_.empty() && now - lastCountdownReview_ >= kStatusInterval;
    const bool review = changed_ || !retries_.empty() || recheckCountdown;
    if (review && (!statusSent_ || now - lastStatus_ >= kStatusInterval)) {
        changed_ = false;
        lastCountdownReview_ = now;
        std::string text = TextLocked(now, clientCount);
        if (text != lastText_) {
            message += message.empty() ? "STATUS=" : "\nSTATUS=";
            message += text;
            lastText_ = std::move(text);
            statusSent_ = true;
            lastStatus_ = now;
        }
    }
    return message;
}

}  // namespace vaultline
