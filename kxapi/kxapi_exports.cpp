// The SDK's C entry points: handle checks, exception containment, deferred cleanup.
#include <new>

// Only the entry points are exported; everything else in the library is hidden.
#pragma GCC visibility push(default)
#include "sdk/kxapi.h"
#pragma GCC visibility pop

#include "client_session.h"
#include "result_codes.h"

namespace {

using kxapi::ClientSession;

// Runs `call` on the handle's session. A null handle or an exception (nothing may unwind into C
// callers) gives `failure`. A session cleaned up from inside its callback is freed here, once the
// outermost SDK call on it returns.
template <class Result, class Call>
Result OnSession(void* hkx, Result failure, Call call) {
    auto* session = static_cast<ClientSession*>(hkx);
    if (session == nullptr) {
        return failure;
    }
    Result result = failure;
    try {
        result = call(*session);
    } catch (...) {
        result = failure;
    }
    if (session->CleanupRequested() && !session->InCallback()) {
        delete session;
    }
    return result;
}

}  // namespace

extern "C" {

void* KXAPI_Init(void) {
    return new (std::nothrow) ClientSession;
}

void KXAPI_Cleanup(void* hkx) {
    auto* session = static_cast<ClientSession*>(hkx);
    if (session == nullptr) {
        return;
    }
    if (session->InCallback()) {
        session->RequestCleanup();
    } else {
        delete session;
    }
}

int KXAPI_SetNonBlocking(void* hkx, int enable) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.SetNonBlocking(enable); });
}

int KXAPI_SetCallbackEx(void* hkx, KXAPI_CALLBACK callback, void* userData) {
    return OnSession(hkx, int{kxapi::kInvalidArgument}, [&](ClientSession& session) {
        return session.SetCallback(callback, userData);
    });
}

int KXAPI_Open(void* hkx, const char* address, unsigned short port) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.Open(address, port); });
}

int KXAPI_Login(void* hkx, const char* user, const char* password) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.Login(user, password); });
}

int KXAPI_Close(void* hkx) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [](ClientSession& session) { return session.Close(); });
}

int KXAPI_GetSocket(void* hkx) {
    return OnSession(hkx, -1, [](ClientSession& session) { return session.Socket(); });
}

int KXAPI_IsWriting(void* hkx) {
    return OnSession(hkx, 0, [](ClientSession& session) { return session.IsWriting(); });
}

int KXAPI_Recv(void* hkx) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [](ClientSession& session) { return session.Recv(); });
}

int KXAPI_Send(void* hkx) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [](ClientSession& session) { return session.Send(); });
}

int KXAPI_GetNetworkInfo(void* hkx, NetworkInfo* info) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.GetNetworkInfo(info); });
}

int KXAPI_GetNetworkAdapter(void* hkx, uint64_t index, NetworkAdapter* adapter) {
    return OnSession(hkx, int{kxapi::kInvalidArgument}, [&](ClientSession& session) {
        return session.GetNetworkAdapter(index, adapter);
    });
}

uint64_t KXAPI_GetNumTargets(void* hkx) {
    return OnSession(hkx, uint64_t{0}, [](ClientSession& session) { return session.NumTargets(); });
}

int KXAPI_GetTargetId(void* hkx, uint64_t index) {
    return OnSession(hkx, -1, [&](ClientSession& session) { return session.TargetId(index); });
}

int KXAPI_GetTargetInfo(void* hkx, int id, TargetInfo* info) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.GetTargetInfo(id, info); });
}

int KXAPI_UpdateTargetEx(void* hkx, int id, void* /*reserved1*/, void* /*reserved2*/,
                         TargetInfo* info) {
    return OnSession(hkx, int{kxapi::kInvalidArgument},
                     [&](ClientSession& session) { return session.UpdateTarget(id, info); });
}

}  // extern "C"
