// Writing the status file on a thread of its own, so that a slow or full file system delays or
// drops a write and never holds up the worker.
#include "service/status_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <thread>

#include "base/log_text.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "base/system_errors.h"

namespace vaultline {

// Shared by the writer object and its thread, so a thread left stuck in a write at a stop can
// still end safely after the object has gone.
struct StatusFileWriter::Shared {
    std::string path;
    Mutex mutex;
    CondVar wake;
    std::optional<StatusDocument> waiting GUARDED_BY(mutex);
    bool finishing GUARDED_BY(mutex) = false;
    bool done GUARDED_BY(mutex) = false;
};

namespace {

void WriteLoop(const std::shared_ptr<StatusFileWriter::Shared>& shared) {
    bool warned = false;
    MutexLock lock(shared->mutex);
    while (true) {
        while (!shared->waiting && !shared->finishing) {
            shared->wake.Wait(shared->mutex);
        }
        if (!shared->waiting) {
            break;
        }
        StatusDocument document = std::move(*shared->waiting);
        shared->waiting.reset();
        lock.Unlock();
        // Turning the document into text is the larger part of a write's cost, so it is done
        // here rather than on the worker.
        int error = 0;
        try {
            error = ReplaceFile(shared->path, StatusJson(document));
        } catch (const std::bad_alloc&) {
            // Out of memory for the text: this write is dropped like a failed one, and the next
            // document is tried afresh; an exception here would end the whole process.
            error = ENOMEM;
        }
        // A write left stuck at a stop may end after the logger has gone.
        if (error != 0 && !warned && logger != nullptr) {
            BOOST_LOG_SEV(*logger, Severity::WARNING)
                << "status file " << LogText(shared->path) << " not written" << ErrorSuffix(error)
                << "; the service goes on without it";
        }
        warned = error != 0;
        lock.Lock();
    }
    shared->done = true;
    shared->wake.NotifyAll();
}

}  // namespace

std::string StatusFilePath(const std::optional<std::string>& configured,
                           const char* runtimeDirectory) {
    if (configured) {
        return *configured;
    }
    if (runtimeDirectory == nullptr || runtimeDirectory[0] == '\0') {
        return "";
    }
    const std::string folders = runtimeDirectory;
    return folders.substr(0, folders.find(':')) + "/status.json";
}

int ReplaceFile(const std::string& path, const std::string& text) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temporary = folder + ".status.XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    // The service's umask would leave the group, which readers belong to, out.
    if (fchmod(fd, 0640) != 0) {
        error = errno;
    }
    for (std::size_t written = 0; error == 0 && written < text.size();) {
        const ssize_t count = write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno != EINTR) {
            error = errno;
        } else if (count > 0) {
            written += static_cast<std::size_t>(count);
        }
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temporary.c_str());
    }
    return error;
}

StatusFileWriter::~StatusFileWriter() {
    Finish(std::nullopt, std::chrono::seconds(1));
}

void StatusFileWriter::Start(const std::string& path) {
    // A second start (a test reading configuration after configuration) keeps the first file.
    if (path.empty() || shared_) {
        return;
    }
    shared_ = std::make_shared<Shared>();
    shared_->path = path;
    std::thread(WriteLoop, shared_).detach();
    enabled_.store(true, std::memory_order_release);
}

void StatusFileWriter::Offer(StatusDocument document) {
    MutexLock lock(shared_->mutex);
    shared_->waiting = std::move(document);
    shared_->wake.NotifyAll();
}

void StatusFileWriter::Finish(std::optional<StatusDocument> last, std::chrono::milliseconds limit) {
    if (!Enabled()) {
        return;
    }
    enabled_.store(false, std::memory_order_release);
    MutexLock lock(shared_->mutex);
    if (last) {
        shared_->waiting = std::move(last);
    }
    shared_->finishing = true;
    shared_->wake.NotifyAll();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!shared_->done && shared_->wake.WaitUntil(shared_->mutex, deadline)) {
    }
}

}  // namespace vaultline
