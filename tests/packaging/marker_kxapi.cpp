// A libkxAPI.so that only announces itself: the package test puts it where an operator would put
// the vendor's library and checks that the installed service loads it instead of ours.
//
// KXAPI_Init writes a marker line to stderr and fails, so the service logs its start-up failure
// and ends at once; no other entry point is ever reached, but all exist so the library loads.
#include <cstdio>

#include "sdk/kxapi.h"

extern "C" {

__attribute__((visibility("default"))) void* KXAPI_Init(void) {
    std::fputs("marker libkxAPI.so: KXAPI_Init\n", stderr);
    return nullptr;
}

__attribute__((visibility("default"))) void KXAPI_Cleanup(void*) {}
__attribute__((visibility("default"))) int KXAPI_SetNonBlocking(void*, int) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_SetCallbackEx(void*, KXAPI_CALLBACK, void*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_Open(void*, const char*, unsigned short) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_Login(void*, const char*, const char*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_Close(void*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_GetSocket(void*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_IsWriting(void*) {
    return 0;
}
__attribute__((visibility("default"))) int KXAPI_Recv(void*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_Send(void*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_GetNetworkInfo(void*, NetworkInfo*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_GetNetworkAdapter(void*, uint64_t,
                                                                   NetworkAdapter*) {
    return -1;
}
__attribute__((visibility("default"))) uint64_t KXAPI_GetNumTargets(void*) {
    return 0;
}
__attribute__((visibility("default"))) int KXAPI_GetTargetId(void*, uint64_t) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_GetTargetInfo(void*, int, TargetInfo*) {
    return -1;
}
__attribute__((visibility("default"))) int KXAPI_UpdateTargetEx(void*, int, void*, void*,
                                                                TargetInfo*) {
    return -1;
}
}
