// The record the relay server keeps for each open connection
// (CSvrWrapperTarn::Conn), shared by the server's sources only: routing in
// SvrWrapperTarn.cpp, the consistency check in SvrTableCheck.cpp.
#ifndef SVRCONN_H
#define SVRCONN_H

#include <cstdint>
#include <map>
#include <vector>

#include "SvrWrapperTarn.h"

// Everything about one open connection, indexed by descriptor. This is the
// truth: the three tables mirror it and are written only by Register,
// SetWait and CloseConn. A slot is in use exactly while bev is set, from
// accept until the connection is closed.
struct CSvrWrapperTarn::Conn {
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

#endif
