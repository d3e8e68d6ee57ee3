// The on-change command's output cut into lines for the log, with bounds on a line's length and
// on the lines one run may log.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vaultline {

class OutputLines {
public:
    // A longer line is cut to this many bytes, so output without newlines cannot grow memory.
    static constexpr std::size_t kMaxLineBytes = 4096;
    // Lines beyond these are counted, not handed on.
    static constexpr std::size_t kMaxLines = 100;

    // Called for each line handed on, without its newline; `cut` when the line was longer.
    using LineSink = std::function<void(std::string_view line, bool cut)>;

    // Takes the next bytes of the output.
    void Feed(std::string_view bytes, const LineSink& sink);
    // The output has ended: a last line without a newline is handed on too.
    void Finish(const LineSink& sink);
    // Complete lines that were not handed on because the allowance was spent.
    std::size_t LeftOut() const { return leftOut_; }

private:
    void EndLine(const LineSink& sink);

    std::string line_;
    bool cut_ = false;
    std::size_t handedOn_ = 0;
    std::size_t leftOut_ = 0;
};

}  // namespace vaultline
