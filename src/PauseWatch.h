// CPauseWatch: sockets that are not being read, watched for their close.
//
// A connection that is not read (a requester paused by backpressure) cannot
// see its peer go through its read event. The watch keeps such sockets in an
// epoll set of its own (EPOLLRDHUP; a reset shows as EPOLLERR) and the loop
// watches the set: when a peer closes, half-closes or resets, the watch calls
// back. libevent cannot do this with EV_CLOSED alone: it reports a reset as a
// read and write event, which such an event does not take, and its epoll set
// would report the socket on every pass.
//
// One thread, the loop's. Without the set (Start failed) a pause simply stops
// reading: Add and Remove then do nothing.
#ifndef PAUSEWATCH_H
#define PAUSEWATCH_H

#include <functional>

struct event;
struct event_base;

class CPauseWatch {
public:
    // The peer of fd closed or half-closed (err 0), or the socket failed
    // (err: its error). The socket is still in the set: remove it, or close it.
    using Gone = std::function<void(int fd, int err)>;

    CPauseWatch() = default;
    ~CPauseWatch() { Stop(); }
    CPauseWatch(const CPauseWatch&) = delete;
    CPauseWatch& operator=(const CPauseWatch&) = delete;

    // Makes the set and registers it on the loop; false when either fails.
    bool Start(event_base* base, Gone gone);
    // Frees the event and closes the set; call before the loop is freed.
    void Stop();
    void Add(int fd);
    // Also for a socket that is about to be closed.
    void Remove(int fd);

private:
    static void OnReady(int setFd, short what, void* arg);

    int m_nSetFd = -1;
    event* m_pEvent = nullptr;
    Gone m_gone;
};

#endif
