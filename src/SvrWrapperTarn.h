// CSvrWrapperTarn: the relay server.
//
// One object holds everything the server has: its settings store, the
// listening port, the libevent event base and listener, the three connection
// tables through which requests and answers are routed, and the optional
// HTTP status server.
//
// Requesters are connections from 127.0.0.1; every other connection is a
// device, known by the last octet of its IPv4 address (its id). Byte 1 of a
// requester's chunk names the device it goes to; the device's next chunk goes
// back to the lowest requester waiting on it. Every walk and every tie goes by
// ascending descriptor.
//
// Everything runs on one thread: the lifecycle calls from main, and every
// callback inside SvrDispatch. Nothing here throws; failures show as flags,
// results and log lines on standard output (warnings on standard error).
#ifndef SVRWRAPPERTARN_H
#define SVRWRAPPERTARN_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include "RelayDefaults.h"
#include "SimpleIni.h"

struct evhttp;
struct evhttp_request;
struct evhttp_bound_socket;

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------

// Standard output and standard error, written so that relaying never waits on
// whoever reads them. Lines are collected in memory and written when kFlushAt
// bytes are pending or kFlushDelayMs after the first unwritten line (a timer
// on the event loop, armed only while something is pending); without a loop
// (start-up, shutdown) each line is written at once.
//
// A terminal, a regular file or /dev/null is written with blocking writes.
// A pipe or a socket (a pager, the journal) is written without blocking: what
// the reader does not take stays pending, at most kMaxPending bytes; past
// that whole lines are dropped and counted, and one line saying how many goes
// out once the reader catches up. Flush at exit waits at most a second.
//
// One thread; Print and Warn may be called at any time after Open, also
// before the loop exists. Never called from a signal handler.
class CSvrLog {
public:
    // What LogLevel keeps: errors < connections < chunks (everything).
    enum Level { kErrors = 0, kConnections = 1, kChunks = 2 };

    static constexpr size_t kFlushAt = 64 * 1024;
    static constexpr size_t kMaxPending = 1024 * 1024;
    static constexpr int kFlushDelayMs = 50;
    static constexpr int kExitFlushMs = 1000;

    // Looks at descriptors 1 and 2 and chooses how to write each. Call once,
    // after descriptors 0 to 2 are known to be open.
    static void Open();
    // From now on lines are batched on this loop; null goes back to writing
    // each line at once (the pending text is written first).
    static void Attach(event_base* base);
    // Writes what is pending, waiting at most kExitFlushMs for a reader that
    // does not take it. Registered with atexit by Open.
    static void FlushAtExit();

    // Sends the standard-output lines to another descriptor from now on, or
    // back to standard output with -1: tests that run the server in-process
    // keep its log apart from their own output. Pending text goes first.
    static void Redirect(int fd);

    static void SetLevel(Level level) { s_level = level; }
    static Level GetLevel() { return s_level; }
    static bool Wants(Level level) { return level <= s_level; }

    // One formatted text on standard output when the level is kept. The
    // format carries its own line end.
    static void Print(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // One formatted text on standard error, whatever the level.
    static void Warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // The three per-chunk lines (level kChunks), composed without reading a
    // format: they are written for every chunk relayed, where interpreting
    // a format would cost a fair part of relaying the chunk. Each writes
    // exactly what Print would with the format shown.
    static void PrintRead(int fd, int n);                          // " %d  OnRead: %d\n"
    static void PrintRequest(unsigned char b0, unsigned char b1);  // " is request: %02x %02x\n"
    static void PrintDo(unsigned char id);                         // " do... [%d]\n"

private:
    static Level s_level;
};

// ---------------------------------------------------------------------------
// The server
// ---------------------------------------------------------------------------

class CSvrWrapperTarn {
public:
    // A chunk is what one read takes from one connection: 1 to kChunkSize bytes.
    static constexpr size_t kChunkSize = relay::kChunkSize;
    static constexpr int kDefaultPort = relay::kDefaultPort;
    // Output watermarks. While a requester's own output, or the output of the
    // device its last request went to, holds more than kHighMark bytes, that
    // requester is not read (its close is still seen); it is read again once
    // that output is down to kLowMark. Devices are never paused, so one slow
    // requester cannot stall the others. Both are well above what a
    // request/answer exchange queues.
    static constexpr size_t kHighMark = 1024 * 1024;
    static constexpr size_t kLowMark = 256 * 1024;
    static constexpr int kBacklog = 1024;
    // Other marks, for tests that want requesters paused after a little
    // traffic. Connections accepted later use them.
    void SetWatermarks(size_t high, size_t low) { m_nHighMark = high; m_nLowMark = low; }

    // What relaySvr.ini sets, beyond the port, in section "SvrTarn".
    struct Network {
        uint32_t addr;   // host byte order, host bits cleared
        uint32_t mask;   // host byte order
    };
    struct Settings {
        int port = kDefaultPort;              // as GetValue<int> reads it; low 16 bits used
        std::vector<Network> deviceNetworks;  // empty: devices from any address
        int keepAlive = 60;                   // s of silence before probing a device; 0 off
        int ackTimeout = 30;                  // s data to a device may stay unacknowledged; 0 kernel default
        CSvrLog::Level logLevel = CSvrLog::kChunks;
        int statusPort = 0;                   // HTTP status server; 0 off
        std::string statusAddress = "127.0.0.1";
    };
    // What reading the settings found wrong.
    struct SettingsCheck {
        std::vector<std::string> warnings;  // one line each, without line end
        bool badValue = false;              // a known key's value was not valid: its default is used
        std::string error;                  // why DeviceNetworks cannot be read, when it cannot
    };
    // Reads the settings from a loaded store into out. Every doubtful value
    // (an unknown key, a Port that is not 1..65535, a bad KeepAlive,
    // AckTimeout, LogLevel, StatusPort or StatusAddress, which keep their
    // defaults) adds one warning. Returns false, with the reason in
    // check.error, when DeviceNetworks cannot be read: the server must not
    // start open to every address because of a typo.
    static bool ReadSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check);
    // The settings as the lines "Key=value" of relaySvr.ini, for --check.
    static std::string DescribeSettings(const Settings& s);

    // Builds an empty server on port kDefaultPort; loads nothing, opens nothing.
    CSvrWrapperTarn();
    // Empties the tables (Free). Never touches the listener or the event base,
    // and closes no connection: SvrClose and SvrFree release those.
    ~CSvrWrapperTarn();
    CSvrWrapperTarn(const CSvrWrapperTarn&) = delete;
    CSvrWrapperTarn& operator=(const CSvrWrapperTarn&) = delete;

    // Loads "relaySvr.ini" from the working directory into the server's own
    // store and takes the settings from section "SvrTarn" (port default
    // 5000). A missing file or key is not an error; a file that is not a
    // regular file (a FIFO, a device) is not read, with a warning on stderr.
    // Warnings go to stderr; InitOk() is false when DeviceNetworks is
    // unreadable (the reason is on stderr).
    void Init();
    bool InitOk() const { return m_bInitOk; }
    // Reads relaySvr.ini again (SIGHUP). DeviceNetworks, KeepAlive,
    // AckTimeout, LogLevel, StatusPort and StatusAddress take effect at once;
    // devices now outside DeviceNetworks are closed, the socket options are
    // applied to the connected devices. A changed Port is reported and
    // ignored. An unreadable file or a bad value keeps the running settings
    // and says why on stderr. No other connection is touched. In the loop.
    void Reload();
    const Settings& GetSettings() const { return m_settings; }

    // Empties the request, destination and buffer tables, in that order,
    // and the per-connection records with them (their read events are freed
    // while the base lives). Frees no buffered connection, closes no socket.
    void Free();

    // Creates the event base and stores it (or null) in *out as well. The
    // server clears *out again when it frees the base, so whoever holds it
    // never sees a freed base.
    void SvrInit(event_base** out);
    // Listens on all IPv4 addresses, low 16 bits of m_nPort, backlog 1024,
    // and prints "SvrStart ok!"; then starts the status server if one is
    // set (a status port that cannot be bound is reported on stderr and the
    // relay runs without it). Without a base it does nothing; when the
    // listener cannot be created it frees the base and leaves m_bSvrOk false.
    void SvrStart();
    bool SvrIsOk() const { return m_bSvrOk; }
    // Runs the event loop until it is broken (event_base_loopbreak), also
    // when the break was asked for before it started, or until it has
    // nothing left to wait for.
    void SvrDispatch();
    // Frees the status server and the listener (closing their sockets).
    void SvrClose();
    // Frees the event base with every event of the server. Open connections
    // are left as they are.
    void SvrFree();

    // True when the descriptor has an entry in the destination table.
    bool IsDest(int fd) const;
    // The lowest requester that waits on the device, 0 for none.
    int ReqFind(int destFd) const;
    // The lowest device whose address ends in the id, 0 for none.
    int DestFind(unsigned char id) const;
    // Erases the descriptor's buffer-table entry and prints " %d remove",
    // or does nothing when there is none. Part of closing a connection.
    void BuffRemove(int fd);
    // Whether the tables and the per-connection records agree; on the first
    // disagreement, says which on stderr and returns false. Tests call it
    // after every step; builds with RELAY_CHECK_TABLES abort on false after
    // every callback.
    bool CheckTables() const;

    // libevent callbacks; arg is always the server object.
    static void OnAccept(evconnlistener* listener, evutil_socket_t fd, sockaddr* addr, int len, void* arg);
    // Takes one chunk from the connection and routes it. libevent does not
    // call it (reading goes through the connection's own read event, which
    // calls the same step); it is the entry point for one chunk.
    static void OnRead(bufferevent* bev, void* arg);
    // The connection's output is down to kLowMark: reads paused requesters again.
    static void OnWrite(bufferevent* bev, void* arg);
    // End of file or error: the connection leaves every table and is freed.
    static void OnEvent(bufferevent* bev, short events, void* arg);

    // Counters since start, for the status server.
    struct Stats {
        uint64_t acceptedRequesters = 0, acceptedDevices = 0, refusedDevices = 0;
        uint64_t requestsForwarded = 0, requestsNoDevice = 0;
        uint64_t answersDelivered = 0, answersUnasked = 0;
        uint64_t bytesFromRequesters = 0, bytesFromDevices = 0;
        uint64_t backpressurePauses = 0, acceptPauses = 0, deadDevices = 0;
    };
    const Stats& GetStats() const { return m_stats; }
    // The /status and /metrics documents, as the status server sends them.
    std::string StatusJson() const;
    std::string MetricsText() const;

    SimpleIni m_ini;                      // the settings store: built first, destroyed last
    int m_nPort;
    bool m_bSvrOk;
    bool m_bBaseOk;
    event_base* m_pBase;
    evconnlistener* m_pListener;
    std::map<int, int> m_mapReq;          // requester -> device it waits on (0: none)
    std::map<int, int> m_mapDest;         // device -> IPv4 address, network byte order
    std::map<int, bufferevent*> m_mapBuff; // every connection -> its buffered connection

private:
    enum class Kind : unsigned char { Requester, Device };
    // What forwarding a chunk did to its target.
    enum class Sent : unsigned char { Done, Queued, Broken };

    // Everything about one open connection, indexed by descriptor. This is
    // the truth: the three tables above mirror it and are written only by
    // Register, SetWait and CloseConn. A slot is in use exactly while bev is
    // set, from accept until the connection is closed.
    struct Conn {
        // Common.
        bufferevent* bev = nullptr;       // output queue; the socket closes when it is freed
        event* readEv = nullptr;          // our own read event (one recv per chunk)
        Kind kind = Kind::Requester;
        bool readPaused = false;          // readEv is not armed; the pause watch has the socket
        uint32_t addr = 0;                // peer IPv4 address, network byte order
        int64_t since = 0;                // accepted at, monotonic seconds
        uint64_t bytesIn = 0;             // bytes read from the peer
        uint64_t bytesOut = 0;            // bytes forwarded to the peer
        // Requester.
        struct {
            int waitOn = 0;               // device it waits on, 0: none
            int blockedBy = 0;            // device whose output is over kHighMark
            bool selfBlocked = false;     // its own output is over kHighMark
            std::map<int, int>::iterator it; // its m_mapReq entry
        } req;
        // Device.
        struct {
            unsigned char id = 0;         // last octet of its address
            bool dead = false;            // dropped by keepalive or the acknowledgement timeout
            std::vector<int> waiters;     // requesters waiting on it, ascending
            std::vector<int> blocked;     // requesters paused on its output
        } dev;
    };

    // Loop and socket glue.
    Conn* Slot(int fd);
    const Conn* Slot(int fd) const;
    static void OnReadable(evutil_socket_t fd, short what, void* arg);
    static void OnPauseWatch(evutil_socket_t fd, short what, void* arg);
    static void OnAcceptError(evconnlistener* listener, void* arg);
    static void OnAcceptRetry(evutil_socket_t fd, short what, void* arg);
    static void OnStatusAcceptError(evconnlistener* listener, void* arg);
    void PauseAccept(int err);
    void ResumeAccept();
    bool Admitted(uint32_t addrNet) const;
    void ApplyDeviceOptions(int fd) const;
    void AfterCallback();

    // Tables: the only writers.
    void Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer);
    void SetWait(int reqFd, Conn& req, int destFd);
    void CloseConn(int fd);

    // Moving bytes.
    void ReadChunk(int fd, Conn& c);
    void RouteRequest(int fd, Conn& c, const unsigned char* data, size_t n);
    void RouteAnswer(int fd, const unsigned char* data, size_t n);
    Sent Forward(int targetFd, Conn& target, const unsigned char* data, size_t n);
    static size_t Queued(const Conn& c);
    void SetPaused(int fd, Conn& req);
    void ReleaseBlocked(int devFd, Conn& dev);
    void ConnFailed(int fd, int err);

    // Lifecycle helpers.
    void FreeBase();
    void StartPauseWatch();
    void FreeReadEvents();
    bool ApplySettings(const Settings& s, bool atStart);

    // Status server.
    bool StartStatus(std::string& error);
    void StopStatus();
    static void OnStatusRequest(evhttp_request* req, void* arg);

    // Scalars and pointers carry a type mark (n, b, p, pp) like the members
    // above; records and containers are named without one.
    Settings m_settings;
    bool m_bInitOk = true;
    size_t m_nHighMark = kHighMark;
    size_t m_nLowMark = kLowMark;
    Stats m_stats;
    int64_t m_nStartTime = 0;                // Unix time of the start
    event_base** m_ppBaseOut = nullptr;      // where SvrInit published the base
    std::vector<Conn> m_conns;               // by descriptor
    std::vector<int> m_devicesById[256];     // devices of each id, ascending
    std::vector<bool> m_idSeen = std::vector<bool>(256); // ids that ever had a device, for /metrics
    int m_nPauseWatchFd = -1;                // epoll set of paused requesters, watched for their close
    event* m_pPauseWatchEv = nullptr;
    bool m_bAcceptPaused = false;            // out of descriptors: listener disabled
    event* m_pAcceptRetry = nullptr;         // re-enables the listener after a while
    evhttp* m_pStatus = nullptr;             // the status server, when StatusPort is set
    evhttp_bound_socket* m_pStatusSocket = nullptr;
};

#endif
