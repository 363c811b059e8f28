// CSvrWrapperTarn: the relay server.
//
// One object holds everything the server has: its settings store (the base
// class), the listening port, the libevent event base and listener, and the
// three connection tables through which requests and answers are routed.
//
// Requesters are connections from 127.0.0.1; every other connection is a
// device, known by the last octet of its IPv4 address (its id). Byte 1 of a
// requester's chunk names the device it goes to; the device's next chunk goes
// back to the lowest requester waiting on it. Every walk and every tie goes by
// ascending descriptor.
//
// Everything runs on one thread: the lifecycle calls from main, and every
// callback inside SvrDispatch. Nothing here throws; failures show as flags,
// results and log lines on standard output.
#ifndef SVRWRAPPERTARN_H
#define SVRWRAPPERTARN_H

#include <cstddef>
#include <map>
#include <vector>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include "SimpleIni.h"

class CSvrWrapperTarn : public SimpleIni {
public:
    // A chunk is what one read takes from one connection: 1 to kChunkSize bytes.
    static constexpr size_t kChunkSize = 4096;
    // Output watermarks. While a requester's own output, or the output of the
    // device its last request went to, holds more than kHighMark bytes, that
    // requester is not read; it is read again once that output is down to
    // kLowMark. Devices are never paused, so one slow requester cannot stall
    // the others. Both are well above what a request/answer exchange queues.
    static constexpr size_t kHighMark = 1024 * 1024;
    static constexpr size_t kLowMark = 256 * 1024;
    static constexpr int kBacklog = 1024;
    static constexpr int kDefaultPort = 5000;

    // Builds an empty server on port kDefaultPort; loads nothing, opens nothing.
    CSvrWrapperTarn();
    // Empties the tables (Free). Never touches the listener or the event base,
    // and closes no connection: SvrClose and SvrFree release those.
    ~CSvrWrapperTarn();
    CSvrWrapperTarn(const CSvrWrapperTarn&) = delete;
    CSvrWrapperTarn& operator=(const CSvrWrapperTarn&) = delete;

    // Loads "relaySvr.ini" from the working directory into the server's own
    // store and takes the port from section "SvrTarn", key "Port" (default
    // 5000). A missing file or key is not an error; nothing is printed.
    void Init();

    // Empties the request, destination and buffer tables, in that order.
    // Frees no buffered connection.
    void Free();

    // Creates the event base and stores it (or null) in *out as well. The
    // server clears *out again when it frees the base, so whoever holds it
    // never sees a freed base.
    void SvrInit(event_base** out);
    // Listens on all IPv4 addresses, low 16 bits of m_nPort, backlog 1024,
    // and prints "SvrStart ok!". Without a base it does nothing; when the
    // listener cannot be created it frees the base and leaves m_bSvrOk false.
    void SvrStart();
    bool SvrIsOk() const { return m_bSvrOk; }
    // Runs the event loop until it is broken (event_base_loopbreak) or has
    // nothing left to wait for. Standard output is flushed once per pass.
    void SvrDispatch();
    // Frees the listener (closing the listening socket).
    void SvrClose();
    // Frees the event base. Open connections are left as they are.
    void SvrFree();

    // True when the descriptor has an entry in the destination table.
    bool IsDest(int fd) const;
    // The lowest requester that waits on the device, 0 for none. Answered
    // from an index kept beside the tables (waiters of each device, and
    // devices of each id, in ascending order), so routing a chunk costs no
    // table walk however many connections are open.
    int ReqFind(int destFd) const;
    // The lowest device whose address ends in the id, 0 for none.
    int DestFind(unsigned char id) const;
    // Erases the descriptor's buffer-table entry and prints " %d remove",
    // or does nothing when there is none.
    void BuffRemove(int fd);

    // libevent callbacks; arg is always the server object.
    static void OnAccept(evconnlistener* listener, evutil_socket_t fd, sockaddr* addr, int len, void* arg);
    // Takes one chunk from the connection and routes it.
    static void OnRead(bufferevent* bev, void* arg);
    // The connection's output is down to kLowMark: reads paused requesters again.
    static void OnWrite(bufferevent* bev, void* arg);
    // End of file or error: the connection leaves every table and is freed.
    static void OnEvent(bufferevent* bev, short events, void* arg);

    int m_nPort;
    bool m_bSvrOk;
    bool m_bBaseOk;
    event_base* m_pBase;
    evconnlistener* m_pListener;
    std::map<int, int> m_mapReq;          // requester -> device it waits on (0: none)
    std::map<int, int> m_mapDest;         // device -> IPv4 address, network byte order
    std::map<int, bufferevent*> m_mapBuff; // every connection -> its buffered connection

private:
    enum class Kind : unsigned char { None, Requester, Device };

    // What the hot path needs about one connection, indexed by descriptor, so
    // that routing a chunk costs no table walk. It mirrors the tables above:
    // bev is set exactly while m_mapBuff has the descriptor, kind follows
    // m_mapReq/m_mapDest, and reqIt points at the requester's m_mapReq entry.
    struct Conn {
        bufferevent* bev = nullptr;       // set from accept until freed
        event* readEv = nullptr;          // our own read event (one recv per chunk)
        bool inBuff = false;              // m_mapBuff holds it: chunks may be written to it
        Kind kind = Kind::None;
        bool readPaused = false;          // readEv is not armed
        bool selfBlocked = false;         // requester: its own output is over kHighMark
        unsigned char id = 0;             // device: last octet of its address
        int waitOn = 0;                   // requester: device it waits on, 0: none
        int blockedBy = 0;                // requester: device whose output is over kHighMark
        std::map<int, int>::iterator reqIt;
        std::vector<int> waiters;         // device: requesters waiting on it, ascending
        std::vector<int> blocked;         // device: requesters paused on its output
    };

    Conn* Slot(int fd);
    const Conn* Slot(int fd) const;
    static void OnReadable(evutil_socket_t fd, short what, void* arg);
    static void OnAcceptError(evconnlistener* listener, void* arg);
    static void OnAcceptRetry(evutil_socket_t fd, short what, void* arg);
    static size_t Queued(const Conn& c);

    void Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer);
    void SetWait(int reqFd, Conn& req, int destFd);
    void Forward(int targetFd, Conn& target, const unsigned char* data, size_t n);
    void CloseConn(int fd, bufferevent* bev);
    void UpdateReadState(Conn& req);
    void ReleaseBaseOut();

    event_base** m_ppBaseOut = nullptr;   // where SvrInit published the base
    std::vector<Conn> m_conns;            // by descriptor
    std::vector<int> m_devicesById[256];  // devices of each id, ascending
    size_t m_nIndexedDevices = 0;         // devices in m_devicesById
    int m_nBrokenTarget = 0;              // target whose send failed in this callback
    bool m_bAcceptPaused = false;         // out of descriptors: listener disabled
    event* m_pAcceptRetry = nullptr;      // re-enables the listener after kAcceptRetry
};

#endif
