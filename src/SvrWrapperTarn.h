// CSvrWrapperTarn: the relay server.
//
// One object holds everything the server has: its settings store, the
// listening port, the libevent event base and listener, the three connection
// tables through which requests and answers are routed, and the optional
// status server.
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
#include <memory>
#include <string>
#include <vector>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include "PauseWatch.h"
#include "RelayDefaults.h"
#include "SimpleIni.h"
#include "StatusServer.h"
#include "SvrAcceptor.h"
#include "SvrHandover.h"
#include "SvrLog.h"
#include "SvrSettings.h"

namespace relay {
struct ConnRecord;
enum class ConnKind : unsigned char;
} // namespace relay

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
    static constexpr int kBacklog = CSvrAcceptor::kBacklog;
    // Other marks, for tests that want requesters paused after a little
    // traffic. Connections accepted later use them.
    void SetWatermarks(size_t high, size_t low) { m_nHighMark = high; m_nLowMark = low; }

    using Settings = relay::Settings;
    using Stats = relay::RelayCounters;

    // Builds an empty server on port kDefaultPort; loads nothing, opens nothing.
    CSvrWrapperTarn();
    // Empties the tables (Free). Never touches the listener or the event base,
    // and closes no connection: SvrClose and SvrFree release those.
    ~CSvrWrapperTarn();
    CSvrWrapperTarn(const CSvrWrapperTarn&) = delete;
    CSvrWrapperTarn& operator=(const CSvrWrapperTarn&) = delete;

    // The configuration file that Init and Reload read: relay::kConfigFile
    // (relaySvr.ini in the working directory) unless set here first.
    void SetConfigPath(const std::string& path) { m_configPath = path; }
    const std::string& GetConfigPath() const { return m_configPath; }

    // Reads the configuration file into the server's own store by the
    // server's one rule (relay::readConfig) and takes the settings of
    // section "SvrTarn" (port default 5000). Every note, warning and error
    // goes to stderr. A missing file gives the defaults; InitOk() is false
    // when the file cannot be trusted (there but unreadable, not a regular
    // file, an invalid value, the section misspelt): the server must then
    // not start, and the settings stay at their defaults. Not in the loop.
    void Init();
    bool InitOk() const { return m_bInitOk; }
    // How many notes and warnings Init said on stderr (errors not counted).
    size_t InitWarnings() const { return m_nInitWarnings; }

    // What a reload did.
    enum class ReloadResult {
        Applied,  // every setting is the file's now ("SvrReload ok!")
        Partial,  // applied, but the new status address could not be bound
        Refused,  // nothing changed: the running settings stay
    };
    // Reads the configuration file again (SIGHUP) by the same rule as Init.
    // DeviceNetworks, KeepAlive, AckTimeout, LogLevel, StatusPort,
    // StatusAddress, AnswerWindow, AnswerOrder, MaxConnectionsPerAddress and
    // RequesterReserve take effect at once; devices now outside
    // DeviceNetworks are closed, the socket options are applied to the
    // connected devices, and the descriptor limit is read again. A changed
    // Port or ListenAddress is reported and ignored. A file that Init would
    // refuse, or one that would empty a non-empty DeviceNetworks, is refused:
    // every running setting stays and stderr says why. No other connection is
    // touched. When the result is not Applied, why holds the reason in one
    // line. In the loop.
    ReloadResult Reload(std::string& why);
    const Settings& GetSettings() const { return m_settings; }

    // Empties the request, destination and buffer tables, in that order,
    // and the per-connection records with them (their read events are freed
    // while the base lives). Frees no buffered connection, closes no socket.
    void Free();

    // Creates the event base and stores it (or null) in *out as well. The
    // server clears *out again when it frees the base, so whoever holds it
    // never sees a freed base.
    void SvrInit(event_base** out);
    // Listens on all IPv4 addresses (or on ListenAddress's and 127.0.0.1),
    // low 16 bits of m_nPort, backlog 1024, and prints "SvrStart ok!"; then
    // starts the status server if one is set (a status port that cannot be
    // bound is reported on stderr and the relay runs without it). Without a
    // base it does nothing; when a listener cannot be created it says why on
    // stderr, frees the base and leaves m_bSvrOk false.
    void SvrStart();
    bool SvrIsOk() const { return m_bSvrOk; }
    // Why SvrIsOk() is false after SvrInit and SvrStart, in one line: what
    // failed, where, and the system's reason ("cannot listen on
    // 0.0.0.0:5000: Address already in use"). Empty while nothing failed.
    const std::string& StartError() const { return m_startError; }

    // Sockets that a previous run handed over through the service manager's
    // descriptor store: SvrStart takes over the listening sockets that still
    // match the configuration (closing the others) and every device that is
    // still connected and admitted, each logged with the accept line, then
    // asks the store to drop its copies. Before SvrStart; the server owns
    // them from here.
    void Inherit(relay::Inherited fds);
    // At a stop with a descriptor store of storeSize (fdStoreSize), after the
    // loop has returned and before SvrClose: writes what is queued for the
    // devices (waiting at most kHandOverFlushMs), then hands the listening
    // sockets and as many device sockets as the store keeps to it, so that
    // the next start takes them over and no device sees the restart.
    // Requesters are not handed over: they close with the process. Returns
    // the devices handed over; 0, said on stderr, when the store took none.
    size_t HandOver(size_t storeSize);
    static constexpr int kHandOverFlushMs = 1000;
    // Counts the descriptors in use once more (everything of the process is
    // set up now), then runs the event loop until it is broken
    // (event_base_loopbreak), also when the break was asked for before it
    // started, or until it has nothing left to wait for.
    void SvrDispatch();
    // Frees the status server and the listeners (closing their sockets).
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
    // Whether the tables, the per-connection records and the acceptor's
    // counts per address agree (SvrTableCheck.cpp); on the first
    // disagreement, says which on stderr and returns false. Tests call it
    // after every step; builds with RELAY_CHECK_TABLES abort on false after
    // every callback.
    bool CheckTables() const;

    // libevent callbacks; arg is always the server object. OnAccept is the
    // callback of every listener: a device refused by DeviceNetworks,
    // MaxConnectionsPerAddress or RequesterReserve is closed there, before
    // any table.
    static void OnAccept(evconnlistener* listener, evutil_socket_t fd, sockaddr* addr, int len, void* arg);
    // Takes one chunk from the connection and routes it: the step that the
    // connection's own read event runs each time it is readable (reading
    // does not go through the bufferevent, which only writes).
    static void OnRead(bufferevent* bev, void* arg);
    // The connection's output is down to kLowMark: reads paused requesters again.
    static void OnWrite(bufferevent* bev, void* arg);
    // End of file or error: the connection leaves every table and is freed.
    static void OnEvent(bufferevent* bev, short events, void* arg);

    // Failed connections described on stderr each second, at most; the rest
    // are counted, and the count follows once the second is over.
    static constexpr int kFailuresToldPerSec = 10;

    // Counters since start, for the status server.
    const Stats& GetStats() const { return m_stats; }
    // What the status server shows, but for the rows of connections. Reads only.
    void Snapshot(relay::StatusSnapshot& out) const;
    // One row for each of at most maxRows connections from descriptor fromFd
    // up, ascending; returns the descriptor to go on from, -1 after the last.
    // Reads only.
    int SnapshotRows(relay::StatusSnapshot& out, int fromFd, size_t maxRows) const;

    SimpleIni m_ini;                      // the settings store: built first, destroyed last
    int m_nPort;
    bool m_bSvrOk;
    bool m_bBaseOk;
    event_base* m_pBase;
    evconnlistener* m_pListener;          // the main listener (the acceptor owns them all)
    std::map<int, int> m_mapReq;          // requester -> device it waits on (0: none)
    std::map<int, int> m_mapDest;         // device -> IPv4 address, network byte order
    std::map<int, bufferevent*> m_mapBuff; // every connection -> its buffered connection

private:
    // Everything about one open connection (SvrConn.h).
    using Conn = relay::ConnRecord;
    using Kind = relay::ConnKind;
    // What forwarding a chunk did to its target.
    enum class Sent : unsigned char { Done, Queued, Broken };

    // Loop and socket glue.
    Conn* Slot(int fd);
    const Conn* Slot(int fd) const;
    void ReadReady(int fd);
    static void OnReadable(evutil_socket_t fd, short what, void* arg);
    void PausedPeerGone(int fd, int err);
    static void OnAcceptError(evconnlistener* listener, void* arg);
    void PauseAccept(int err);
    void ResumeAccept();
    bool RefuseDevice(int fd, uint32_t addrNet);
    bool Enter(int fd, const sockaddr_in& peer);
    void TakeOverDevices();
    size_t FlushDevices(const std::vector<int>& fds);
    bool ApplyDeviceOptions(int fd);
    void AfterCallback();
    bool Logs(CSvrLog::Level level) const { return level <= m_settings.logLevel; }
    void Log(CSvrLog::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    void Log(CSvrLog::Level level, CSvrLog::Priority priority, const char* fmt, ...) const
        __attribute__((format(printf, 4, 5)));

    // Tables: the only writers.
    void Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer);
    void SetWait(int reqFd, Conn& req, int destFd);
    void CloseConn(int fd);

    // Moving bytes.
    void ReadChunk(int fd, Conn& c);
    void RouteRequest(int fd, Conn& c, const unsigned char* data, size_t n);
    void RouteAnswer(int fd, Conn& c, const unsigned char* data, size_t n);
    void OpenWindow(int devFd, Conn& dev, int reqFd, Conn& req);
    void RearmWindow(Conn& dev);
    void EndWindow(Conn& dev);
    static void OnWindowEnd(evutil_socket_t fd, short what, void* arg);
    Sent Forward(int targetFd, Conn& target, const unsigned char* data, size_t n);
    static size_t Queued(const Conn& c);
    void SetPaused(int fd, Conn& req);
    void ReleaseBlocked(int devFd, Conn& dev);
    void PeerClosed(int fd);
    void ConnFailed(int fd, int err);
    void TellFailure(int fd, const Conn& c, int err);
    void TellUntold();
    static void OnUntold(evutil_socket_t fd, short what, void* arg);

    // Lifecycle helpers.
    void FreeBase();
    void FreeReadEvents();
    // False, with the reason in problem, when the status server could not
    // move to its new address (the rest is applied).
    bool ApplySettings(const Settings& s, bool atStart, std::string& problem);
    bool StartStatus(std::string& error);

    // Scalars and pointers carry a type mark (n, b, p, pp) like the members
    // above; records and containers are named without one.
    Settings m_settings;
    std::string m_configPath = relay::kConfigFile;
    bool m_bInitOk = true;
    size_t m_nInitWarnings = 0;
    size_t m_nHighMark = kHighMark;
    size_t m_nLowMark = kLowMark;
    Stats m_stats;
    int64_t m_nStartTime = 0;                // Unix time of the start
    std::string m_startError;                // why the start failed
    bool m_bLastReloadOk = true;             // the last reload took (all of it)
    int64_t m_nLastReloadOkTime = 0;         // Unix time it took, or of the start
    // Failed connections told on stderr in the second that began at
    // m_nToldSinceMs, and those not told; m_pUntold tells their count.
    int64_t m_nToldSinceMs = 0;
    int m_nTold = 0;
    uint64_t m_nUntold = 0;
    event* m_pUntold = nullptr;
    event_base** m_ppBaseOut = nullptr;      // where SvrInit published the base
    std::vector<Conn> m_conns;               // by descriptor
    std::vector<int> m_devicesById[256];     // devices of each id, ascending
    std::vector<bool> m_idSeen = std::vector<bool>(256); // ids that ever had a device, for /metrics
    CPauseWatch m_pauseWatch;                // paused requesters, watched for their close
    CSvrAcceptor m_acceptor;                 // the listeners, and who may stay
    relay::Inherited m_inherited;            // handed over by a previous run, until SvrStart
    std::unique_ptr<relay::CStatusServer> m_pStatus; // while StatusPort is set and bound
};

#endif
