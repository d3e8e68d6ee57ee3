// The server SDK's binary interface as the service uses it: functions, callback and records.
//
// Any library exporting these symbols with these record layouts (x86-64, little-endian) can be
// dropped in as libkxAPI.so. Bytes named `reserved*` belong to the SDK: callers zero them before a
// query and pass them back untouched.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct tagPayloadType tagPayloadType;  // opaque; never read

typedef int (*KXAPI_CALLBACK)(int event, long result, tagPayloadType* payload, unsigned long length,
                              void* userData);

// Texts follow a two-call convention: a call with null text pointers reports each text's
// length (terminator included); a second call with the pointers aimed at buffers of exactly
// those lengths copies the texts in.

struct NetworkInfo {
    uint64_t size;  // caller sets sizeof(NetworkInfo)
    uint8_t reserved1[8];
    uint64_t adapterCount;
    uint8_t reserved2[8];
};

struct NetworkAdapter {
    uint64_t size;  // caller sets sizeof(NetworkAdapter)
    char* name;
    uint64_t nameLength;
    char* description;
    uint64_t descriptionLength;
    char* mac;
    uint64_t macLength;
    char* ip;  // dotted decimal IPv4, "0.0.0.0" when the adapter has none
    uint64_t ipLength;
    uint8_t reserved1[48];
    int32_t connected;
    uint8_t reserved2[12];
    int32_t dhcp;
    uint8_t reserved3[28];
};

struct TargetInfoExtension {
    uint64_t size;  // caller sets sizeof(TargetInfoExtension)
    uint8_t reserved[8];
};

struct TargetInfo {
    uint64_t size;  // caller sets sizeof(TargetInfo)
    int32_t enabled;
    uint8_t reserved1[12];
    char* path;  // "\\host\share"
    uint64_t pathLength;
    uint8_t reserved2[160];
    TargetInfoExtension extension;
};

void* KXAPI_Init(void);         // NULL on failure
void KXAPI_Cleanup(void* hkx);  // accepts NULL
int KXAPI_SetNonBlocking(void* hkx, int enable);
int KXAPI_SetCallbackEx(void* hkx, KXAPI_CALLBACK callback, void* userData);
int KXAPI_Open(void* hkx, const char* address, unsigned short port);
int KXAPI_Login(void* hkx, const char* user, const char* password);
int KXAPI_Close(void* hkx);
int KXAPI_GetSocket(void* hkx);
int KXAPI_IsWriting(void* hkx);
int KXAPI_Recv(void* hkx);
int KXAPI_Send(void* hkx);
int KXAPI_GetNetworkInfo(void* hkx, NetworkInfo* info);
int KXAPI_GetNetworkAdapter(void* hkx, uint64_t index, NetworkAdapter* adapter);
uint64_t KXAPI_GetNumTargets(void* hkx);
int KXAPI_GetTargetId(void* hkx, uint64_t index);
int KXAPI_GetTargetInfo(void* hkx, int id, TargetInfo* info);
int KXAPI_UpdateTargetEx(void* hkx, int id, void* reserved1, void* reserved2, TargetInfo* info);

}  // extern "C"

// Event codes delivered through the callback.
constexpr int KXAPI_EVENT_LOGIN = 2;           // result's low byte: 0 success, else the reason
constexpr int KXAPI_EVENT_DATA_READY = 3;      // the server's data is complete (again)
constexpr int KXAPI_EVENT_CLOSE_REQUEST = 30;  // the server asks the connection to end
// Our own SDK's, not the vendor's: one more complete piece of a data set has arrived (the set's
// start, an adapter or a target). It lets a connection whose large data set arrives slowly keep
// going while the pieces keep coming. An SDK without it never delivers it, and a connection's data
// deadline then counts from the login. The code stays far from the small codes a vendor uses.
constexpr int KXAPI_EVENT_DATA_PROGRESS = 4096;

static_assert(sizeof(void*) == 8, "the SDK's record layout is that of a 64-bit build");

static_assert(sizeof(NetworkInfo) == 32, "NetworkInfo layout");
static_assert(offsetof(NetworkInfo, size) == 0, "NetworkInfo layout");
static_assert(offsetof(NetworkInfo, adapterCount) == 16, "NetworkInfo layout");

static_assert(sizeof(NetworkAdapter) == 168, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, name) == 8, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, nameLength) == 16, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, description) == 24, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, descriptionLength) == 32, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, mac) == 40, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, macLength) == 48, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, ip) == 56, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, ipLength) == 64, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, connected) == 120, "NetworkAdapter layout");
static_assert(offsetof(NetworkAdapter, dhcp) == 136, "NetworkAdapter layout");

static_assert(sizeof(TargetInfoExtension) == 16, "TargetInfoExtension layout");
static_assert(sizeof(TargetInfo) == 216, "TargetInfo layout");
static_assert(offsetof(TargetInfo, size) == 0, "TargetInfo layout");
static_assert(offsetof(TargetInfo, enabled) == 8, "TargetInfo layout");
static_assert(offsetof(TargetInfo, path) == 24, "TargetInfo layout");
static_assert(offsetof(TargetInfo, pathLength) == 32, "TargetInfo layout");
static_assert(offsetof(TargetInfo, extension) == 200, "TargetInfo layout");
