// Records by the time something falls due for them, so that a pass finds what is due without
// looking at the records that have nothing due.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "base/clock.h"

namespace vaultline {

// Each record has at most one live entry, whose time `mark` finds in the record. A due
// time that moves later leaves the entry where it is: when it comes up, the record says whether
// anything is due and by when, and is put back at its new time. One that moves earlier gets a new
// entry, and the old one is dropped when it comes up. One thread only; the records must outlive
// their entries.
template <typename Record>
class DueIndex {
public:
    using TimePoint = Clock::TimePoint;
    // Finds, in a record, the time of its live entry.
    using Mark = std::optional<TimePoint>& (*)(Record&);

    explicit DueIndex(Mark mark) : mark_(mark) {}

    // `record` comes up no later than `due`.
    void Watch(Record& record, TimePoint due) {
        std::optional<TimePoint>& indexedAt = mark_(record);
        if (indexedAt && *indexedAt <= due) {
            return;
        }
        entries_.emplace(due, &record);
        indexedAt = due;
    }

    // Takes out the records whose entries are due by `now` and hands each to `visit`, earliest
    // first. An entry says only that something may be due: `visit` reads the record to tell, and
    // watches it again if its due time has moved on.
    template <typename Visit>
    void TakeDue(TimePoint now, Visit visit) {
        if (entries_.empty() || entries_.begin()->first > now) {
            return;
        }
        std::vector<Record*> due;
        const auto end = entries_.upper_bound(now);
        for (auto entry = entries_.begin(); entry != end; ++entry) {
            std::optional<TimePoint>& indexedAt = mark_(*entry->second);
            if (indexedAt == entry->first) {
                indexedAt.reset();
                due.push_back(entry->second);
            }
        }
        entries_.erase(entries_.begin(), end);
        for (Record* record : due) {
            visit(*record);
        }
    }

    // Forgets every entry, for records that are going away.
    void Clear() { entries_.clear(); }

private:
    const Mark mark_;
    std::multimap<TimePoint, Record*> entries_;
};

}  // namespace vaultline
