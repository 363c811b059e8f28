// What the relay server's sources share and nobody else sees: the record
// kept for each open connection (CSvrWrapperTarn::Conn) and two small
// helpers; it needs nothing of the server. The server is CSvrWrapperTarn
// (SvrWrapperTarn.h); its sources are SvrWrapperTarn.cpp (event loop glue,
// tables, routing, connection lifecycle), SvrWrapperConfig.cpp
// (configuration, and what the status server is shown),
// SvrWrapperHandover.cpp (sockets handed over at a restart) and
// SvrTableCheck.cpp (the consistency check).
#ifndef SVRCONN_H
#define SVRCONN_H

#include <cstdint>
#include <ctime>
#include <map>
#include <vector>

#include <arpa/inet.h>

#include <event2/bufferevent.h>
#include <event2/event.h>

#include "RelayDefaults.h"

namespace relay {

// A requester (from 127.0.0.1) or a device (every other peer).
enum class ConnKind : unsigned char { Requester, Device };

// Everything about one open connection, indexed by descriptor. This is the
// truth: the three tables mirror it and are written only by Register,
// SetWait and CloseConn. A slot is in use exactly while bev is set, from
// accept until the connection is closed.
struct ConnRecord {
    using Kind = ConnKind;
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
        int answerFrom = 0;           // device whose answer window it holds, 0: none
    } req;
    // Device.
    struct {
        unsigned char id = 0;         // last octet of its address
        std::vector<int> waiters;     // requesters waiting on it, in AnswerOrder
        int answerTo = 0;             // requester holding its answer window, 0: none
        event* windowEv = nullptr;    // ends the answer window; made when the first one opens
        std::vector<int> blocked;     // requesters paused on its output
    } dev;
};

// Only 127.0.0.1 makes a requester; every other address, 127.0.0.2 included,
// is a device, known by the last octet of its dotted form: the fourth byte of
// the address in network byte order.
inline bool isRequesterAddress(uint32_t addrNet)
{
    static const uint32_t requester = inet_addr(kRequesterAddress);
    return addrNet == requester;
}

// Seconds on the monotonic clock, to the tick: for "connected since".
inline int64_t monotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

} // namespace relay

#endif
