// Writing the status file on a thread of its own, so that a slow or full file system delays or
// drops a write and never holds up the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "status_format/status_document.h"

namespace vaultline {

// Where the status file goes: `configured` when given; else "status.json" in the first folder of
// `runtimeDirectory` (systemd's RUNTIME_DIRECTORY, folders separated by ':'), when set and not
// empty; else "", no file.
std::string StatusFilePath(const std::optional<std::string>& configured,
                           const char* runtimeDirectory);

// Replaces the file at `path` by one holding `text`, mode 0640, atomically: a reader finds the
// old file or the new one, never a part. 0, or the errno of the step that failed.
int ReplaceFile(const std::string& path, const std::string& text);

class StatusFileWriter {
public:
    StatusFileWriter() = default;
    // Finishes as Finish does, without a last document, waiting at most a second.
    ~StatusFileWriter();
    StatusFileWriter(const StatusFileWriter&) = delete;
    StatusFileWriter& operator=(const StatusFileWriter&) = delete;

    // Main thread, before the worker can reach Offer. Starts the writing thread, unless `path`
    // is empty or a thread was started before.
    void Start(const std::string& path);
    // Any thread. True between a Start with a path and Finish.
    bool Enabled() const { return enabled_.load(std::memory_order_acquire); }

    // Worker thread; never waits on the file. Hands over the latest document: one handed over
    // before and not yet written is dropped. The first failed write logs one WARNING; after a
    // write succeeds again, the next failure does too.
    void Offer(StatusDocument document);

    // Main thread, once the worker has stopped. Writes `last` (instead of a document still
    // waiting), then ends the writing thread; waits at most `limit` for both, after which a
    // write stuck in the file system is left to end with the process.
    void Finish(std::optional<StatusDocument> last, std::chrono::milliseconds limit);

    // What the writing thread shares with the object; opaque outside the writer's file.
    struct Shared;

private:
    std::atomic<bool> enabled_{false};
    std::shared_ptr<Shared> shared_;
};

}  // namespace vaultline
