// A scripted stand-in for the server SDK, linked into unit tests in place of libkxAPI.so.
//
// Every KXAPI_ function is defined here. Connections are numbered by the order of KXAPI_Init
// (1 for the first handle). Tests script each connection's answers and read back the calls made.
// All state sits behind one lock; callbacks run without it, so they may call back in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sdk/kxapi.h"

namespace scripted_sdk {

struct Adapter {
    std::string name = "eth0";
    std::string description = "test adapter";
    std::string mac = "00:11:22:33:44:55";
    std::string ip;
    int32_t connected = 1;
    int32_t dhcp = 0;
    bool failQuery = false;     // every query of this index fails
    bool failReGet = false;     // the second query of this index fails
    bool failPopulate = false;  // the call with text pointers set fails
    // Like Target's knobs, for every text of the adapter at once.
    bool fillWithoutNul = false;
    std::optional<uint64_t> reportedLength;
};

struct Target {
    int id = 0;
    int32_t enabled = 1;
    std::string path;
    bool failQuery = false;
    bool failFill = false;
    // Fill exactly the reported length without a terminating NUL (a careless SDK).
    bool fillWithoutNul = false;
    // Report this length instead of the path's size plus its NUL.
    std::optional<uint64_t> reportedLength;
};

struct Update {
    int id;
    std::string path;  // read up to the NUL
    uint64_t pathLength;
    bool reservedArgumentsNull;
    bool reservedBytesIntact;  // the record's SDK-owned bytes came back as filled
    int32_t enabled;
    int open;  // the connection's opens so far when it was sent: 1 for its first connection
};

struct Connection {
    // Scripted answers.
    int openResult = 0;
    int loginResult = 0;
    bool reportSocket = true;  // once opened, GetSocket reports a real socket
    // While reportSocket holds, GetSocket reports this number instead (e.g. one epoll refuses).
    std::optional<int> reportedSocket;
    int writing = 0;
    int recvResult = 0;
    // Each open makes the new socket readable at once, as a server that answers straight away.
    bool readableOnOpen = false;
    // Recv leaves the socket readable, as a peer that never stops sending.
    bool stayReadable = false;
    // Each open queues these for its first Recv and makes the socket readable: a server that
    // answers every new connection by itself.
    std::vector<std::pair<int, long>> eventsOnOpen;
    int sendResult = 0;
    // Delivered through the callback from inside the next KXAPI_Recv, then forgotten.
    std::vector<std::pair<int, long>> eventsOnRecv;
    int networkInfoResult = 0;
    std::optional<uint64_t> adapterCount;  // defaults to adapters.size()
    std::vector<Adapter> adapters;
    std::vector<Target> targets;
    int updateResult = 0;
    // An update sent changes the target's path, as a server that applies it.
    bool applyUpdates = false;

    // Observed.
    std::vector<Update> updates;
    std::vector<uint64_t> adapterQueries;  // indexes queried, in order
    int opens = 0;
    int closes = 0;
    int cleanups = 0;
    int recvCalls = 0;
    int sendCalls = 0;
    int socketQueries = 0;  // GetSocket calls, which Calls() leaves out

    // Internal.
    KXAPI_CALLBACK callback = nullptr;
    void* userData = nullptr;
    int socketFds[2] = {-1, -1};
};

// Forgets every connection and call; the next KXAPI_Init is connection 1.
void Reset();
// The next `count` KXAPI_Init calls return null.
void FailNextInit(int count = 1);
// The `number`th KXAPI_Init call from now on (1 for the next) returns null.
void FailInitNumber(int number);

// Runs `change` on the connection under the lock; the connection is created if needed, so
// answers can be scripted before the service creates it.
void Configure(int connection, const std::function<void(Connection&)>& change);
// A copy of the connection's state.
Connection Inspect(int connection);
void* Handle(int connection);

// Every call except the frequent GetSocket and IsWriting, as "Name(connection,args...)", with
// connection 0 for a null handle and "?" for an unknown one.
std::vector<std::string> Calls();
void ClearCalls();

// Makes the connection's socket readable, so the next socket pass calls KXAPI_Recv.
void MakeReadable(int connection);
// Closes the far end of the connection's socket: the socket reports a hang-up.
void HangUp(int connection);
// Delivers an event through the connection's registered callback, on the calling thread.
int Deliver(int connection, int event, long result);

}  // namespace scripted_sdk
