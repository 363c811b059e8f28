// CStatusServer: the relay's optional HTTP status server. GET /status gives
// the connections as one JSON document, GET /metrics the counters in
// Prometheus text format; HEAD gives the headers only, other methods 405.
//
// It runs on the relay's event loop and reads the relay only through what the
// relay puts in a StatusSnapshot when asked: it never sees the relay's
// tables or records. The documents themselves are made by StatusJson and
// metricsText, pure functions of snapshots.
//
// It is a small HTTP/1.x server of its own on an evconnlistener and
// bufferevents (libevent's evhttp cannot cap or refuse connections, has no
// total deadline and answers some methods before the server sees them). It
// can never hurt relaying:
// - at most a set number of status connections at once, none of them within
//   kDescriptorReserve of the descriptor limit; the others are closed at once;
// - each request must arrive whole within kRequestSec of the connection and
//   each reply be taken within kReplySec;
// - the /status document is built in slices of kRowsPerSlice connections,
//   one slice per loop pass, at most once per kStatusMaxAgeMs (requests in
//   between get the last one);
// - one connection is accepted per loop pass, and what the server sends
//   (with kConnectionCost for each connection) is held to kBudgetPerSec on
//   average: past that it accepts nothing until the budget is back, and new
//   clients wait in the backlog.
//
// One thread: every call, and every callback it makes, runs on the loop's
// thread. Nothing throws; failures come back as results and error texts.
#ifndef STATUSSERVER_H
#define STATUSSERVER_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct bufferevent;
struct event;
struct event_base;
struct evconnlistener;

namespace relay {

// The relay's counters since its start.
struct RelayCounters {
    uint64_t acceptedRequesters = 0, acceptedDevices = 0, refusedDevices = 0;
    uint64_t requestsForwarded = 0, requestsNoDevice = 0;
    uint64_t answersDelivered = 0, answersUnasked = 0;
    uint64_t answersContinued = 0;      // chunks that continued an answer inside its window
    uint64_t bytesFromRequesters = 0, bytesFromDevices = 0;
    uint64_t backpressurePauses = 0, acceptPauses = 0, deadDevices = 0;
    uint64_t deviceOptionFailures = 0;
    uint64_t devicesAdopted = 0;        // taken over from a previous run through the service manager  // keepalive or acknowledgement timeout not set on a device
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

// The process as Prometheus's process collector shows it, from /proc/self.
struct ProcessStats {
    bool known = false;           // /proc/self/stat was read
    double cpuSeconds = 0;        // user and system
    uint64_t residentBytes = 0, virtualBytes = 0;
    double startTime = 0;         // Unix time, in seconds
    long openFds = -1;            // -1: unknown (no descriptor limit)
    uint64_t maxFds = 0;          // RLIMIT_NOFILE, soft; 0: unknown
};

// Reads the process's figures: /proc/self/stat, the descriptors open in
// /proc/self/fd (where the kernel does not give their number directly, a
// directory walk, done at most once a second), and RLIMIT_NOFILE. What
// cannot be read stays unknown. On the loop's thread only.
ProcessStats readProcessStats();

// The relay as the documents show it.
struct StatusSnapshot {
    int pid = 0;
    int port = 0;                 // the relay's listening port
    int64_t startTime = 0;        // Unix time
    int64_t uptimeSeconds = 0;
    int requesterReserve = 0;     // descriptors kept for requesters
    uint64_t descriptorLimit = 0; // the relay's RLIMIT_NOFILE, 0: unknown
    const char* version = "";     // the relay's version
    bool lastReloadOk = true;     // the last reload took (all of it); true before any
    int64_t lastReloadOkTime = 0; // Unix time of the last reload that took, or of the start
    uint64_t logLinesDropped = 0; // log lines dropped since the start
    ProcessStats process;         // filled for /metrics only
    RelayCounters counters;
    size_t requesters = 0, devices = 0;
    // Devices connected per id, for the ids that ever had one (-1: never).
    long devicesById[256] = {};
    // Status connections closed at once (the status server's own count).
    uint64_t statusClientsRefused = 0;
    // Rows of connections, ascending descriptors: all of them, or one slice.
    std::vector<DeviceRow> deviceRows;
    std::vector<RequesterRow> requesterRows;
};

// A document as the pieces it was made in: sent one after the other, they
// are the whole document. No piece is much over 64 KiB (but for a device
// with thousands of waiting requesters), so that neither making nor freeing
// one holds the loop.
struct Document {
    std::vector<std::string> pieces;
    size_t Size() const;
};

// The /status document: pid, port, uptime, the reserve and limit of
// descriptors, devices refused by reason, one object per device and per
// requester. Made from the head of one snapshot and the rows of as many
// snapshots as it takes (each with higher descriptors than the one before),
// so that a large document can be made a slice at a time.
class StatusJson {
public:
    // Takes pid, port, uptime, the descriptors and the refusals from the
    // snapshot; its rows are not read.
    explicit StatusJson(const StatusSnapshot& head);
    // Appends the snapshot's rows.
    void Add(const StatusSnapshot& rows);
    // The whole document; the builder is left empty.
    Document Finish();

private:
    std::string m_head;
    std::vector<std::string> m_devices, m_requesters;
};

// The /metrics document, Prometheus text format 0.0.4.
std::string metricsText(const StatusSnapshot& s);

class CStatusServer {
public:
    // Fills everything but the rows. Called for each document.
    using Fill = std::function<void(StatusSnapshot& out)>;
    // Fills the rows of at most maxRows connections whose descriptors are
    // fromFd or above, ascending; returns the descriptor to go on from, or
    // -1 when there are no more.
    using FillRows = std::function<int(StatusSnapshot& out, int fromFd, size_t maxRows)>;
    // Accepting on the status port failed with this errno (out of descriptors):
    // the relay decides whether to pause (Pause) and when to resume (Resume).
    using AcceptFailed = std::function<void(int err)>;

    // The request head must arrive whole within this of the connection, and
    // the reply be taken within this of its being ready (totals, not idle
    // times).
    static constexpr int kRequestSec = 5;
    static constexpr int kReplySec = 5;
    // The request line and headers may take this much; more gets 431.
    static constexpr size_t kMaxHead = 8192;
    // What follows the head (a body) is read and dropped up to this much;
    // past it the connection is closed.
    static constexpr size_t kMaxDiscard = 64 * 1024;
    // A status connection is closed at once when its descriptor is this close
    // to RLIMIT_NOFILE: those are the relay's.
    static constexpr int kDescriptorReserve = 32;
    // Rows per loop pass while a /status document is built: well under a
    // millisecond of the loop.
    static constexpr size_t kRowsPerSlice = 128;
    // A /status document is built at most this often; requests in between
    // get the last one.
    static constexpr int kStatusMaxAgeMs = 1000;
    // What one connection may write in one loop pass.
    static constexpr size_t kMaxWritePerPass = 64 * 1024;
    // The budget, in bytes sent: a connection counts as kConnectionCost more
    // (accepting, reading, answering and closing one cost about what sending
    // that does). A client that asks as fast as it is answered costs the
    // relay 3 to 6% of a core, measured, whatever it asks for.
    static constexpr int64_t kBudgetPerSec = 32 << 20;
    static constexpr int64_t kBudgetBurst = 4 << 20;
    static constexpr int64_t kConnectionCost = 256 << 10;
    static constexpr int kBacklog = 128;

    // maxClients: status connections open at once (SetMaxClients changes it).
    CStatusServer(event_base* base, Fill fill, FillRows fillRows, AcceptFailed acceptFailed, int maxClients);
    // Stop()s.
    ~CStatusServer();
    CStatusServer(const CStatusServer&) = delete;
    CStatusServer& operator=(const CStatusServer&) = delete;

    // Listens on address:port (IPv4) in place of any earlier address, which
    // is closed first (the two may overlap: 127.0.0.1 and 0.0.0.0 on one
    // port). When the new address cannot be bound the earlier one is bound
    // again; false, with error saying why, and Listening() tells whether the
    // earlier address is back. Open status connections stay.
    bool Listen(const std::string& address, int port, std::string& error);
    bool Listening() const { return m_pListener != nullptr; }
    // New connections over n are closed at once (n >= 1); open ones stay.
    void SetMaxClients(int n) { m_nMaxClients = n > 0 ? static_cast<size_t>(n) : 1; }
    // Closes the listener and every status connection; the count of refused
    // connections stays.
    void Stop();
    // Stops and starts accepting on the status port (the relay ran out of
    // descriptors, and got some back). Holds across Listen.
    void Pause();
    void Resume();

private:
    struct Client;
    enum class Doc : unsigned char { Status, Metrics };

    bool Bind(const sockaddr_in& at, std::string& error);
    void CloseListener();
    void UpdateListener();
    void Charge(int64_t bytes);
    void Throttle();
    void Accept(int fd);
    void ReadHead(Client& c);
    void Answer(Client& c, bool head, Doc doc);
    void Reply(Client& c, int code, const char* reason, const char* type, std::shared_ptr<const Document> body,
               const char* extraHeader = "");
    void NextSlice();
    void BuildSlice();
    void Close(Client* c);

    static void OnAccept(evconnlistener* listener, int fd, sockaddr* addr, int len, void* arg);
    static void OnAcceptError(evconnlistener* listener, void* arg);
    static void OnSlice(int fd, short what, void* arg);
    static void OnThrottleEnd(int fd, short what, void* arg);
    // arg: the Client.
    static void OnClientRead(bufferevent* bev, void* arg);
    static void OnClientWrite(bufferevent* bev, void* arg);
    static void OnClientEvent(bufferevent* bev, short events, void* arg);
    static void OnDeadline(int fd, short what, void* arg);

    event_base* m_pBase;
    Fill m_fill;
    FillRows m_fillRows;
    AcceptFailed m_acceptFailed;
    size_t m_nMaxClients;
    evconnlistener* m_pListener = nullptr;
    sockaddr_in m_bound{};                   // where m_pListener listens
    bool m_bPaused = false;                  // by the relay
    bool m_bThrottled = false;               // by the budget, until m_pThrottle fires
    int64_t m_nBudget = kBudgetBurst;        // bytes, at m_nBudgetAtMs
    int64_t m_nBudgetAtMs = 0;
    event* m_pThrottle = nullptr;
    uint64_t m_nRefused = 0;                 // connections closed at once, for /metrics
    std::vector<std::unique_ptr<Client>> m_clients;
    // The /status document: the last one, when its build started, the one
    // being built (and where it goes on) and the clients waiting for it.
    std::shared_ptr<const Document> m_statusDoc;
    int64_t m_nStatusBuiltMs = 0;
    std::unique_ptr<StatusJson> m_pBuild;
    int m_nBuildFrom = 0;
    int64_t m_nBuildStartMs = 0;
    std::vector<Client*> m_waiting;
    event* m_pSlice = nullptr;               // runs the next slice on the next pass
};

} // namespace relay

#endif
