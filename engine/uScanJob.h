// The record that the scan pool and its workers pass between them, and the
// small integer vocabularies of a scan.
#pragma once

#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What to scan: the index of the main window's target selector.
using TScanTarget = int32_t;
constexpr TScanTarget stLocalComputer = 0;
constexpr TScanTarget stRemoteComputer = 1;
constexpr TScanTarget stEntireNetwork = 2;
constexpr TScanTarget stIPRange = 3;
constexpr TScanTarget stAddressList = 4;
constexpr TScanTarget stActiveDirectory = 5;
constexpr TScanTarget stExpression = 6;

// How to find the MAC addresses; smAll runs the others in the order 0 to 4.
using TScanMethod = int32_t;
constexpr TScanMethod smAll = -1;
constexpr TScanMethod smArp = 0;
constexpr TScanMethod smNetBios = 1;
constexpr TScanMethod smNetApi = 2;
constexpr TScanMethod smWmi = 3;
constexpr TScanMethod smSnmp = 4;

// The reachability check (option DefaultCheckState); any other value makes
// every remote host unreachable.
using TCheckState = int32_t;
constexpr TCheckState csDontCheck = -1;
constexpr TCheckState csPing = 0;
constexpr TCheckState csTcpConnect = 1;

// Outcome of a job, code of the pool's status event and kind of a log line.
using TJobStatus = int32_t;
constexpr TJobStatus jsNone = -1;       // no status yet
constexpr TJobStatus jsComplete = 0;    // MAC addresses found, or names listed
constexpr TJobStatus jsInactive = 1;    // the host failed the reachability check
constexpr TJobStatus jsInformation = 2; // scan start, finish, start of an enumeration
constexpr TJobStatus jsNotFound = 3;    // no MAC address, an error, or no names

// One job. The pool fills the first fields in the main thread, the worker
// works on it in its own thread, and the pool takes the results back in the
// main thread.
struct TScanJob {
    std::string Address; // host name or dotted address; "*" to enumerate; empty: no more work
    bool Alive = false;  // result of the last reachability check
    std::string IP;      // dotted address resolved from Address
    // The computer being built; the job owns it until the pool takes it.
    std::unique_ptr<TComputer> Computer;
    TScanTarget Target = 0;
    TScanMethod Method = 0;
    TJobStatus Status = jsNone;
    std::string Message; // log text of the outcome; empty: no log line
    // Names found by an enumeration job; null means "not set", which is not
    // the same as an empty list (an enumeration that found nothing).
    std::unique_ptr<std::vector<std::string>> Names;
    bool ADIncludeDisabled = false; // directory search: include disabled accounts
    // Why the reachability check could not be made at all (no ICMP socket
    // can be opened); empty when it could. The host then counts as not
    // answering, and the pool says why once per scan.
    std::string CheckError;
    // The options and messages the worker uses, copied in the main thread
    // when the job is handed out (TakeEngineSettings).
    TEngineSettings Settings;

    // Empties the record before it is handed out again: nothing of the
    // previous job survives, its computer and names are freed, the status is
    // jsNone and the settings are the built-in defaults.
    void Reset();
};
