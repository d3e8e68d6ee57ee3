// The on-change command's output cut into lines for the log, with bounds on a line's length and
// on the lines one run may log.
#include "on_change/output_lines.h"

#include <algorithm>

namespace vaultline {

void OutputLines::Feed(std::string_view bytes, const LineSink& sink) {
    while (!bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, newline);
        const std::size_t room = kMaxLineBytes - line_.size();
        line_.append(piece.substr(0, std::min(room, piece.size())));
        cut_ = cut_ || piece.size() > room;
        if (newline == std::string_view::npos) {
            return;
        }
        EndLine(sink);
        bytes.remove_prefix(newline + 1);
    }
}

void OutputLines::Finish(const LineSink& sink) {
    if (!line_.empty() || cut_) {
        EndLine(sink);
    }
}

void OutputLines::EndLine(const LineSink& sink) {
    if (handedOn_ < kMaxLines) {
        ++handedOn_;
        sink(line_, cut_);
    } else {
        ++leftOut_;
    }
    line_.clear();
    cut_ = false;
}

}  // namespace vaultline
