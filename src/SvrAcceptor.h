// CSvrAcceptor: the accepting side of the relay server.
//
// It owns the relay's listening sockets: one on every IPv4 address, or one
// on each address that devices connect to plus one on 127.0.0.1 for
// requesters, all on one port and all handing their connections to the same
// accept callback. It stops and starts accepting when the process runs out
// of descriptors or memory, with a timer as the fallback when no connection
// closes. And it decides, at accept and before any table, whether a new
// device may stay: not while fewer than RequesterReserve descriptors are
// left below the process's limit (those are kept for requesters, and room
// for the status server's connections besides), and not beyond
// MaxConnectionsPerAddress devices from one address.
//
// Free descriptors are counted without a system call per accept: the limit
// and the descriptors that are not connections are measured at start and
// on reload (Measure), the connections are the caller's count, and an
// accepted descriptor N also shows that 0..N-1 are in use (the kernel gives
// out the lowest free one).
//
// One thread, the loop's. The acceptor never closes a connection it handed
// over and never reads the server's tables; the server reports each device
// that enters or leaves them (DeviceOpened, DeviceClosed).
#ifndef SVRACCEPTOR_H
#define SVRACCEPTOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <event2/listener.h>

class CSvrAcceptor {
public:
    static constexpr int kBacklog = 1024;

    // What becomes of a device that was just accepted.
    enum class Verdict : unsigned char {
        Admit,
        PerAddress,  // its address already has MaxConnectionsPerAddress devices
        Reserve,     // fewer than RequesterReserve descriptors are left
    };

    // The callbacks of every listener, and what to do when the retry timer
    // fires while accepting is paused.
    struct Callbacks {
        evconnlistener_cb accept;
        evconnlistener_errorcb acceptError;  // accept failed: EVUTIL_SOCKET_ERROR() says why
        void* arg;                           // the user argument of both
        std::function<void()> retry;
    };

    CSvrAcceptor() = default;
    // Close()s.
    ~CSvrAcceptor();
    CSvrAcceptor(const CSvrAcceptor&) = delete;
    CSvrAcceptor& operator=(const CSvrAcceptor&) = delete;

    // Listens on port (low 16 bits; 0: the system chooses one, which every
    // listener then shares), backlog kBacklog, with LEV_OPT_CLOSE_ON_FREE |
    // LEV_OPT_REUSEABLE: on 0.0.0.0 when addresses (network byte order) is
    // empty, else on each of them and on 127.0.0.1. A socket of inherited
    // (listening sockets a previous run handed over) that listens on one of
    // these addresses and the port is taken over instead of binding anew:
    // what waits in its backlog is accepted. Listen owns every inherited
    // socket: the ones it does not take over, it closes. False when any
    // address cannot be bound: error then names the address and the reason,
    // and nothing listens. Not in the loop.
    bool Listen(event_base* base, const std::vector<uint32_t>& addresses, int port, const Callbacks& callbacks,
                std::string& error, std::vector<int> inherited = {});
    // How many of the listening sockets were taken over by the last Listen.
    size_t TakenOver() const { return m_nTakenOver; }
    // The listening sockets, for a handover.
    std::vector<int> Fds() const;
    // The first listener (ListenAddress's first address, or 0.0.0.0); null
    // when not listening.
    evconnlistener* Main() const { return m_listeners.empty() ? nullptr : m_listeners.front(); }
    // The port listened on, 0 when not listening.
    int Port() const;
    // Frees the retry timer and every listener, closing their sockets.
    void Close();

    // Out of descriptors or memory (err is EMFILE, ENFILE, ENOBUFS or
    // ENOMEM): stops every listener, says so on stderr and arms the retry
    // timer; true when accepting was running until now. Any other err, or
    // already paused: nothing, false.
    bool Pause(int err);
    // Accepts again; true when it was paused.
    bool Resume();
    bool Paused() const { return m_bPaused; }

    // The rules for devices: at most maxPerAddress from one address (0: no
    // cap); reserve descriptors kept for requesters, and statusKeep more
    // that devices leave for the status server. Returns true when the
    // per-address counts start from nothing (a cap was just set): the caller
    // then reports every device it holds with DeviceOpened.
    bool SetRules(int maxPerAddress, int reserve, int statusKeep);
    // Reads the descriptor limit (RLIMIT_NOFILE) and counts the descriptors
    // that are not among the caller's connections (poll(2) over the table,
    // opening none). At start, once everything is set up, and on reload.
    void Measure(size_t connections);
    // Whether the device from addrNet, accepted as descriptor fd, may stay,
    // while the caller holds this many connections. Requesters are not
    // asked. No system call.
    Verdict Admit(int fd, uint32_t addrNet, size_t connections) const;
    // A device entered or left the server's tables. Without a cap nothing
    // is counted: inline, so that this costs a test.
    void DeviceOpened(uint32_t addrNet) {
        if (m_nMaxPerAddress > 0)
            ++m_perAddress[addrNet];
    }
    void DeviceClosed(uint32_t addrNet) {
        if (m_nMaxPerAddress > 0)
            Uncount(addrNet);
    }

    // Socket options of an accepted connection. Every connection gets
    // TCP_NODELAY (requests and answers are small and latency-bound); a
    // missing one is only said on stderr.
    static void SetNoDelay(int fd);
    // A device also gets keepalive after keepAlive s of silence (0: off) and
    // TCP_USER_TIMEOUT of ackTimeout s (0: the kernel's). False, said on
    // stderr, when one could not be set: a dead link to the device may then
    // go unnoticed. Also for connected devices on reload.
    static bool SetDeviceOptions(int fd, int keepAlive, int ackTimeout);

    // The limit as measured (0: unknown), and the reserve.
    uint64_t DescriptorLimit() const { return m_nLimit; }
    int Reserve() const { return m_nReserve; }
    int MaxPerAddress() const { return m_nMaxPerAddress; }
    // Devices by address (network byte order), while a cap is set.
    const std::unordered_map<uint32_t, int>& PerAddress() const { return m_perAddress; }

private:
    static void OnRetry(evutil_socket_t fd, short what, void* arg);
    void Uncount(uint32_t addrNet);

    event_base* m_pBase = nullptr;
    std::vector<evconnlistener*> m_listeners;
    std::function<void()> m_retry;
    event* m_pRetry = nullptr;             // made on the first pause
    bool m_bPaused = false;
    size_t m_nTakenOver = 0;
    int m_nMaxPerAddress = 0;
    int m_nReserve = 0;
    int m_nStatusKeep = 0;
    uint64_t m_nLimit = 0;                 // RLIMIT_NOFILE's soft limit; 0: unknown
    size_t m_nOthers = 0;                  // open descriptors that are not connections
    bool m_bStarved = false;               // the reserve leaves devices nothing
    std::unordered_map<uint32_t, int> m_perAddress; // devices by address, while a cap is set
};

#endif
