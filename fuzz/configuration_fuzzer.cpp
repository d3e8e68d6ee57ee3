// libFuzzer entry: any bytes as "vaultline.conf", read by the service's start-up.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "double/scripted_kxapi.h"
#include "parked_service.h"
#include "service/test_access.h"

namespace {

// The service reads its configuration from the working directory. The fuzzer enters a scratch
// directory of its own only around each start-up: libFuzzer itself reads and writes corpus paths
// relative to the directory it was started in.
class ScratchDirectory {
public:
    ScratchDirectory() {
        // Memory-backed where possible: the file is rewritten for every input.
        char pattern[] = "/dev/shm/vaultline-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("scratch directory");
            std::abort();
        }
        path_ = pattern;
        home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (home_ < 0) {
            std::perror("working directory");
            std::abort();
        }
    }
    ~ScratchDirectory() {
        std::remove((path_ + "/vaultline.conf").c_str());
        rmdir(path_.c_str());
        close(home_);
    }
    void Enter() const {
        if (chdir(path_.c_str()) != 0) {
            std::perror("scratch directory");
            std::abort();
        }
    }
    void Leave() const {
        if (fchdir(home_) != 0) {
            std::perror("working directory");
            std::abort();
        }
    }

private:
    std::string path_;
    int home_ = -1;
};

void WriteConfiguration(const uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen("vaultline.conf", "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::perror("vaultline.conf");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const ScratchDirectory scratch;
    // Each accepted file leaves one queued connection attempt behind until the service is
    // replaced.
    static auto& parked = *new vaultline::fuzz_support::ParkedService(4096);
    vaultline::Vaultline& service = parked.Next();
    scratch.Enter();
    WriteConfiguration(data, size);
    const bool accepted = service.Initialize();
    scratch.Leave();
    const vaultline::ServiceTestAccess access(service);
    if (accepted && !access.HasTarget()) {
        std::abort();  // a successful start-up always has its target record
    }
    access.DropRecords();
    // No record holds an SDK handle any more, so the scripted SDK's state can go with them.
    scripted_sdk::Reset();
    return 0;
}
