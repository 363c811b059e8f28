// CStatusServer: the relay's optional HTTP status server. GET /status gives
// the connections as one JSON document, GET /metrics the counters in
// Prometheus text format; HEAD gives the headers only, other methods 405.
//
// It runs on the relay's event loop (libevent's evhttp) and reads the relay
// only through what the relay puts in a StatusSnapshot when asked: it never
// sees the relay's tables or records. The documents themselves are made by
// statusJson and metricsText, pure functions of a snapshot.
//
// One thread: every call, and every callback it makes, runs on the loop's
// thread. Nothing throws; failures come back as results and error texts.
#ifndef STATUSSERVER_H
#define STATUSSERVER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct event_base;
struct evconnlistener;
struct evhttp;
struct evhttp_bound_socket;
struct evhttp_request;

namespace relay {

// The relay's counters since its start.
struct RelayCounters {
    uint64_t acceptedRequesters = 0, acceptedDevices = 0, refusedDevices = 0;
    uint64_t requestsForwarded = 0, requestsNoDevice = 0;
    uint64_t answersDelivered = 0, answersUnasked = 0;
    uint64_t answersContinued = 0;      // chunks that continued an answer inside its window
    uint64_t bytesFromRequesters = 0, bytesFromDevices = 0;
    uint64_t backpressurePauses = 0, acceptPauses = 0, deadDevices = 0;
    uint64_t deviceOptionFailures = 0;  // keepalive or acknowledgement timeout not set on a device
    // Devices closed at accept: refusedDevices outside DeviceNetworks, these
    // beyond MaxConnectionsPerAddress and inside RequesterReserve.
    uint64_t refusedPerAddress = 0, refusedReserve = 0;
};

struct DeviceRow {
    int fd = 0;
    int id = 0;
    uint32_t addr = 0;            // network byte order
    int64_t connectedSeconds = 0;
    std::vector<int> waiters;     // requesters waiting on it, in the order they will be answered
    int answeringTo = 0;          // requester whose answer window is open, 0: none
    uint64_t bytesIn = 0, bytesOut = 0;
};

struct RequesterRow {
    int fd = 0;
    int waitingOn = 0;            // the device's descriptor, 0: none
    int64_t connectedSeconds = 0;
};

// The relay as the documents show it.
struct StatusSnapshot {
    int pid = 0;
    int port = 0;                 // the relay's listening port
    int64_t startTime = 0;        // Unix time
    int64_t uptimeSeconds = 0;
    int requesterReserve = 0;     // descriptors kept for requesters
    uint64_t descriptorLimit = 0; // the relay's RLIMIT_NOFILE, 0: unknown
    RelayCounters counters;
    size_t requesters = 0, devices = 0;
    // Devices connected per id, for the ids that ever had one (-1: never).
    long devicesById[256] = {};
    // Filled only when connections are asked for (/status).
    std::vector<DeviceRow> deviceRows;        // ascending descriptors
    std::vector<RequesterRow> requesterRows;  // ascending descriptors
};

// The /status document: pid, port, uptime, the reserve and limit of
// descriptors, devices refused by reason, one object per device and per
// requester.
std::string statusJson(const StatusSnapshot& s);
// The /metrics document, Prometheus text format 0.0.4.
std::string metricsText(const StatusSnapshot& s);

class CStatusServer {
public:
    // Fills the snapshot; with connections also its rows. Called on each request.
    using Fill = std::function<void(StatusSnapshot& out, bool connections)>;
    // Accepting on the status port failed with this errno (out of descriptors):
    // the relay decides whether to pause (Pause) and when to resume (Resume).
    using AcceptFailed = std::function<void(int err)>;

    // A client that sends or takes nothing for this long is dropped.
    static constexpr int kTimeoutSec = 5;
    static constexpr size_t kMaxHeaders = 8192;

    CStatusServer(event_base* base, Fill fill, AcceptFailed acceptFailed);
    // Stop()s.
    ~CStatusServer();
    CStatusServer(const CStatusServer&) = delete;
    CStatusServer& operator=(const CStatusServer&) = delete;

    // Listens on address:port (IPv4), in place of any earlier address; on
    // failure the earlier address, if any, stays and error says why.
    bool Listen(const std::string& address, int port, std::string& error);
    bool Listening() const { return m_pSocket != nullptr; }
    // Closes the listener and every status connection.
    void Stop();
    // Stops and starts accepting on the status port (the relay ran out of
    // descriptors, and got some back).
    void Pause();
    void Resume();

private:
    static void OnRequest(evhttp_request* req, void* arg);
    static void OnAcceptError(evconnlistener* listener, void* arg);

    event_base* m_pBase;
    Fill m_fill;
    AcceptFailed m_acceptFailed;
    evhttp* m_pHttp = nullptr;
    evhttp_bound_socket* m_pSocket = nullptr;
};

} // namespace relay

#endif
