// A stand-in for a slow or dead resolver, for tests. Loaded before the C library (LD_PRELOAD, or
// linked into a test), its getaddrinfo takes the host names ending in
//   ".slow.test":     waits LOOKUP_SHIM_DELAY_MS (3000 unless set), then answers as for
//                     127.0.0.1. With LOOKUP_SHIM_GATE set, it answers only once the file named
//                     there exists, at once when it appears during the wait, and otherwise fails
//                     (EAI_AGAIN) after the wait;
//   ".loopback.test": answers as for 127.0.0.1 at once;
//   ".hang.test":     never returns;
// and passes every other call, and every call for numeric addresses only (AI_NUMERICHOST), to the
// C library untouched.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Whether a slow name may be answered: always without a gate, once its file exists with one.
bool GateOpen() {
    const char* gate = std::getenv("LOOKUP_SHIM_GATE");
    return gate == nullptr || access(gate, F_OK) == 0;
}

int AnswerLoopback(GetAddrInfo real, const char* service, const addrinfo* hints,
                   addrinfo** result) {
    addrinfo numeric{};
    if (hints != nullptr) {
        numeric = *hints;
    }
    numeric.ai_flags |= AI_NUMERICHOST;
    return real("127.0.0.1", service, &numeric, result);
}

std::chrono::milliseconds Delay() {
    const char* delay = std::getenv("LOOKUP_SHIM_DELAY_MS");
    return std::chrono::milliseconds(delay != nullptr ? std::atol(delay) : 3000);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node,
                                                                  const char* service,
                                                                  const addrinfo* hints,
                                                                  addrinfo** result) {
    static const auto real = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const std::string_view host = node != nullptr ? node : "";
    if (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0) {
        return real(node, service, hints, result);
    }
    if (EndsWith(host, ".hang.test")) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    if (EndsWith(host, ".loopback.test")) {
        return AnswerLoopback(real, service, hints, result);
    }
    if (!EndsWith(host, ".slow.test")) {
        return real(node, service, hints, result);
    }
    const bool gated = std::getenv("LOOKUP_SHIM_GATE") != nullptr;
    const auto deadline = std::chrono::steady_clock::now() + Delay();
    while (!(gated && GateOpen()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return GateOpen() ? AnswerLoopback(real, service, hints, result) : EAI_AGAIN;
}
