// Placeholder SDK: every handle is valid, every connection attempt fails.
#include <new>

#include "sdk/kxapi.h"

namespace {
struct Handle {};
}  // namespace

extern "C" {
void* KXAPI_Init(void) { return new (std::nothrow) Handle; }
void KXAPI_Cleanup(void* hkx) { delete static_cast<Handle*>(hkx); }
int KXAPI_SetNonBlocking(void*, int) { return 0; }
int KXAPI_SetCallbackEx(void*, KXAPI_CALLBACK, void*) { return 0; }
int KXAPI_Open(void*, const char*, unsigned short) { return -1; }
int KXAPI_Login(void*, const char*, const char*) { return -1; }
int KXAPI_Close(void*) { return 0; }
int KXAPI_GetSocket(void*) { return -1; }
int KXAPI_IsWriting(void*) { return 0; }
int KXAPI_Recv(void*) { return -1; }
int KXAPI_Send(void*) { return -1; }
int KXAPI_GetNetworkInfo(void*, NetworkInfo*) { return -1; }
int KXAPI_GetNetworkAdapter(void*, uint64_t, NetworkAdapter*) { return -1; }
uint64_t KXAPI_GetNumTargets(void*) { return 0; }
int KXAPI_GetTargetId(void*, uint64_t) { return -1; }
int KXAPI_GetTargetInfo(void*, int, TargetInfo*) { return -1; }
int KXAPI_UpdateTargetEx(void*, int, void*, void*, TargetInfo*) { return -1; }
}
