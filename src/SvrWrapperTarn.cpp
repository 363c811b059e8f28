#include "SvrWrapperTarn.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/buffer.h>

#include "RelayText.h"
#include "SvrConn.h"

using relay::dotted;
using relay::isRequesterAddress;
using relay::monotonicSeconds;

namespace {

// The second in which at most kFailuresToldPerSec failed connections are told.
const int64_t kTellWindowMs = 1000;

unsigned char deviceId(uint32_t addrNet)
{
    return reinterpret_cast<const unsigned char*>(&addrNet)[3];
}

void sortedInsert(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x)
        v.insert(it, x);
}

void sortedErase(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it != v.end() && *it == x)
        v.erase(it);
}

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

// ===========================================================================
// Lifecycle
// ===========================================================================

CSvrWrapperTarn::CSvrWrapperTarn()
    : m_ini(""),
      m_nPort(kDefaultPort),
      m_bSvrOk(false),
      m_bBaseOk(false),
      m_pBase(nullptr),
      m_pListener(nullptr)
{
}

CSvrWrapperTarn::~CSvrWrapperTarn()
{
    Free();
}

void CSvrWrapperTarn::Free()
{
    m_mapReq.clear();
    m_mapDest.clear();
    m_mapBuff.clear();
    // The records go with the tables; the buffered connections are left alone.
    FreeReadEvents();
    m_conns.clear();
    for (auto& ids : m_devicesById)
        ids.clear();
}

void CSvrWrapperTarn::FreeReadEvents()
{
    // An event can only be freed while its base lives.
    for (Conn& c : m_conns) {
        if (c.readEv && m_bBaseOk)
            event_free(c.readEv);
        c.readEv = nullptr;
        if (c.dev.windowEv && m_bBaseOk)
            event_free(c.dev.windowEv);
        c.dev.windowEv = nullptr;
        c.dev.answerTo = 0;
        c.req.answerFrom = 0;
    }
}

void CSvrWrapperTarn::SvrInit(event_base** out)
{
    m_pBase = event_base_new();
    m_bBaseOk = m_pBase != nullptr;
    m_ppBaseOut = out;
    if (out)
        *out = m_pBase;
    m_nStartTime = static_cast<int64_t>(std::time(nullptr));
    m_nLastReloadOkTime = m_nStartTime;
    if (!m_bBaseOk)
        m_startError = "cannot create the event loop (event_base_new failed: out of memory or descriptors)";
    // A paused requester is not read: the watch sees it go.
    if (m_bBaseOk)
        m_pauseWatch.Start(m_pBase, [this](int fd, int err) { PausedPeerGone(fd, err); });
}

void CSvrWrapperTarn::SvrStart()
{
    if (!m_bBaseOk)
        return;

    const CSvrAcceptor::Callbacks callbacks = {OnAccept, OnAcceptError, this, [this] { ResumeAccept(); }};
    const bool inherited = !m_inherited.Empty();
    std::vector<int> listeners;
    listeners.swap(m_inherited.listeners);
    if (!m_acceptor.Listen(m_pBase, m_settings.listenAddresses, m_nPort, callbacks, m_startError,
                           std::move(listeners))) {
        FreeBase();
        return;
    }
    m_pListener = m_acceptor.Main();
    m_bSvrOk = true;
    Log(CSvrLog::kErrors, CSvrLog::kPrioInfo, "SvrStart ok!\n");
    CSvrLog::Attach(m_pBase);

    std::string problem; // said on stderr; the relay runs without the status server
    ApplySettings(m_settings, true, problem);
    if (inherited) {
        TakeOverDevices();
        // The store's copies would keep a socket open for its peer after
        // the relay closed it.
        relay::forgetStored();
    }
    m_acceptor.Measure(m_mapBuff.size());
}

void CSvrWrapperTarn::SvrDispatch()
{
    if (!m_bBaseOk)
        return;
    // event_base_loop clears a break that was asked for before it started:
    // honour one that a SIGINT during start-up asked for. Once the loop runs,
    // every SIGINT comes through it (main's signal event), so none can fall
    // between this test and the loop.
    if (event_base_got_break(m_pBase))
        return;
    m_acceptor.Measure(m_mapBuff.size());
    event_base_loop(m_pBase, 0);
}

void CSvrWrapperTarn::SvrClose()
{
    m_pStatus.reset();
    m_acceptor.Close();
    m_pListener = nullptr;
    m_bSvrOk = false;
}

void CSvrWrapperTarn::SvrFree()
{
    FreeBase();
}

// Releases the base and everything of ours registered on it, on the failed
// start and on the orderly stop alike.
void CSvrWrapperTarn::FreeBase()
{
    // Unpublished first: a signal handler that reads it must never find a
    // base being freed.
    if (m_ppBaseOut)
        *m_ppBaseOut = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (m_pBase) {
        CSvrLog::Detach(m_pBase);
        TellUntold();
        if (m_pUntold) {
            event_free(m_pUntold);
            m_pUntold = nullptr;
        }
        m_pStatus.reset();
        m_acceptor.Close();
        m_pListener = nullptr;
        FreeReadEvents();
        m_pauseWatch.Stop();
        event_base_free(m_pBase);
    }
    m_pBase = nullptr;
    m_bBaseOk = false;
}

// ===========================================================================
// Tables: registered in Register, waits changed in SetWait, left in CloseConn
// ===========================================================================

CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd)
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() && m_conns[fd].bev ? &m_conns[fd] : nullptr;
}

const CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd) const
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() && m_conns[fd].bev ? &m_conns[fd] : nullptr;
}

bool CSvrWrapperTarn::IsDest(int fd) const
{
    return m_mapDest.count(fd) != 0;
}

int CSvrWrapperTarn::ReqFind(int destFd) const
{
    const Conn* d = Slot(destFd);
    return d && d->kind == Kind::Device && !d->dev.waiters.empty() ? d->dev.waiters.front() : 0;
}

int CSvrWrapperTarn::DestFind(unsigned char id) const
{
    const std::vector<int>& fds = m_devicesById[id];
    return fds.empty() ? 0 : fds.front();
}

void CSvrWrapperTarn::BuffRemove(int fd)
{
    auto it = m_mapBuff.find(fd);
    if (it == m_mapBuff.end())
        return;
    m_mapBuff.erase(it);
    Log(CSvrLog::kConnections, " %d remove\n", fd);
}

void CSvrWrapperTarn::Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer)
{
    if (static_cast<size_t>(fd) >= m_conns.size())
        m_conns.resize(std::max<size_t>(static_cast<size_t>(fd) + 1, m_conns.size() * 2));
    Conn& c = m_conns[fd];
    c = Conn();
    c.bev = bev;
    c.readEv = readEv;
    c.addr = peer.sin_addr.s_addr;
    c.since = monotonicSeconds();
    m_mapBuff[fd] = bev;
    if (isRequesterAddress(c.addr)) {
        c.kind = Kind::Requester;
        c.req.it = m_mapReq.insert_or_assign(fd, 0).first;
        ++m_stats.acceptedRequesters;
    } else {
        c.kind = Kind::Device;
        c.dev.id = deviceId(c.addr);
        m_mapDest[fd] = static_cast<int>(c.addr);
        sortedInsert(m_devicesById[c.dev.id], fd);
        m_idSeen[c.dev.id] = true;
        m_acceptor.DeviceOpened(c.addr);
        ++m_stats.acceptedDevices;
    }
}

// Records that requester reqFd now waits on destFd (0: on nothing), in the
// request table and in the device's list of waiters.
void CSvrWrapperTarn::SetWait(int reqFd, Conn& req, int destFd)
{
    if (req.req.waitOn == destFd)
        return;
    const bool byDescriptor = m_settings.answerOrder == relay::AnswerOrder::Descriptor;
    if (req.req.waitOn != 0) {
        std::vector<int>& waiters = m_conns[req.req.waitOn].dev.waiters;
        if (byDescriptor)
            sortedErase(waiters, reqFd);
        else
            waiters.erase(std::find(waiters.begin(), waiters.end(), reqFd));
    }
    req.req.waitOn = destFd;
    req.req.it->second = destFd;
    if (destFd != 0) {
        Conn& dev = m_conns[destFd];
        if (byDescriptor)
            sortedInsert(dev.dev.waiters, reqFd);
        else
            dev.dev.waiters.push_back(reqFd);  // asked last, answered last
        // Somebody else waits on it now: its next chunk is theirs.
        if (dev.dev.answerTo != 0)
            EndWindow(dev);
    }
}

// The device's chunk just went to requester reqFd as an answer: its next
// chunks follow while the window stays open. A no-op with AnswerWindow=0.
void CSvrWrapperTarn::OpenWindow(int devFd, Conn& dev, int reqFd, Conn& req)
{
    // Only while nobody else waits: their turn comes first.
    if (m_settings.answerWindowMs <= 0 || !dev.dev.waiters.empty())
        return;
    if (!dev.dev.windowEv) {
        // A pure timer that carries the device's descriptor to its callback.
        dev.dev.windowEv = event_new(m_pBase, devFd, 0, OnWindowEnd, this);
        if (!dev.dev.windowEv)
            return;  // no window: one chunk answers, as without the key
    }
    dev.dev.answerTo = reqFd;
    req.req.answerFrom = devFd;
    RearmWindow(dev);
}

void CSvrWrapperTarn::RearmWindow(Conn& dev)
{
    const timeval window = {m_settings.answerWindowMs / 1000, (m_settings.answerWindowMs % 1000) * 1000};
    if (event_add(dev.dev.windowEv, &window) != 0)
        EndWindow(dev);
}

void CSvrWrapperTarn::EndWindow(Conn& dev)
{
    if (dev.dev.answerTo == 0)
        return;
    m_conns[dev.dev.answerTo].req.answerFrom = 0;
    dev.dev.answerTo = 0;
    event_del(dev.dev.windowEv);
}

void CSvrWrapperTarn::OnWindowEnd(evutil_socket_t fd, short, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (Conn* c = self->Slot(fd); c && c->kind == Kind::Device) {
        self->EndWindow(*c);
        self->AfterCallback();
    }
}

// A connection leaves every table in this one place, on end of file, on
// error and on refusal alike; then its buffered connection is freed, which
// closes the socket.
void CSvrWrapperTarn::CloseConn(int fd)
{
    Conn* c = Slot(fd);
    if (!c)
        return;
    BuffRemove(fd);
    if (c->readPaused)
        m_pauseWatch.Remove(fd);
    if (c->kind == Kind::Requester) {
        if (c->req.answerFrom != 0)
            EndWindow(m_conns[c->req.answerFrom]);
        SetWait(fd, *c, 0);
        m_mapReq.erase(c->req.it);
        if (c->req.blockedBy != 0) {
            std::vector<int>& blocked = m_conns[c->req.blockedBy].dev.blocked;
            blocked.erase(std::remove(blocked.begin(), blocked.end(), fd), blocked.end());
        }
    } else {
        m_mapDest.erase(fd);
        sortedErase(m_devicesById[c->dev.id], fd);
        m_acceptor.DeviceClosed(c->addr);
        // Whoever waited on it now waits on nothing: it is sent nothing.
        for (int r : c->dev.waiters) {
            m_conns[r].req.waitOn = 0;
            m_conns[r].req.it->second = 0;
        }
        ReleaseBlocked(fd, *c);
        EndWindow(*c);
        if (c->dev.windowEv)
            event_free(c->dev.windowEv);
    }
    if (c->readEv)
        event_free(c->readEv);
    bufferevent_free(c->bev);
    *c = Conn();
    ResumeAccept();
}

void CSvrWrapperTarn::AfterCallback()
{
#ifdef RELAY_CHECK_TABLES
    if (!CheckTables())
        std::abort();
#endif
}

// ===========================================================================
// Moving bytes
// ===========================================================================

// Reads one chunk and routes it: a device's chunk answers, a requester's
// chunk asks. End of file closes the connection; bytes beyond one chunk stay
// in the socket for a later pass.
void CSvrWrapperTarn::ReadChunk(int fd, Conn& c)
{
    unsigned char buf[kChunkSize];
    // Byte 1 routes a request; a one-byte request must read it as 0. The rest
    // of the buffer is only ever used up to the bytes received.
    buf[0] = 0;
    buf[1] = 0;
    const ssize_t got = recv(fd, buf, kChunkSize, 0);
    if (got == 0) {
        PeerClosed(fd);
        return;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            ConnFailed(fd, errno);
        return;
    }
    const size_t n = static_cast<size_t>(got);
    if (Logs(CSvrLog::kChunks))
        CSvrLog::PrintRead(fd, static_cast<int>(n));
    c.bytesIn += n;
    if (c.kind == Kind::Device)
        RouteAnswer(fd, c, buf, n);
    else
        RouteRequest(fd, c, buf, n);
}

// Byte 1 names the device; a request for an id no device has cancels the
// requester's wait and goes nowhere. A requester whose device's output is
// over the high mark is paused until it drains.
void CSvrWrapperTarn::RouteRequest(int fd, Conn& c, const unsigned char* data, size_t n)
{
    if (Logs(CSvrLog::kChunks))
        CSvrLog::PrintRequest(data[0], data[1]);
    // A new request ends the answer it was taking.
    if (c.req.answerFrom != 0)
        EndWindow(m_conns[c.req.answerFrom]);
    m_stats.bytesFromRequesters += n;
    const int d = DestFind(data[1]);
    SetWait(fd, c, d);
    if (d == 0) {
        ++m_stats.requestsNoDevice;
        return;
    }
    if (Logs(CSvrLog::kChunks))
        CSvrLog::PrintDo(data[1]);
    ++m_stats.requestsForwarded;
    Conn& dc = m_conns[d];
    const Sent sent = Forward(d, dc, data, n);
    if (sent == Sent::Broken) {
        ConnFailed(d, errno);
    } else if (sent == Sent::Queued && c.req.blockedBy == 0 && Queued(dc) > m_nHighMark) {
        c.req.blockedBy = d;
        dc.dev.blocked.push_back(fd);
        SetPaused(fd, c);
    }
}

// The first requester waiting on this device (AnswerOrder) takes the chunk
// and then waits on nothing. Without one, the chunk continues the answer
// whose window is open, or is dropped.
void CSvrWrapperTarn::RouteAnswer(int fd, Conn& c, const unsigned char* data, size_t n)
{
    m_stats.bytesFromDevices += n;
    int r = ReqFind(fd);
    if (r != 0) {
        ++m_stats.answersDelivered;
        SetWait(r, m_conns[r], 0);
        OpenWindow(fd, c, r, m_conns[r]);
    } else if (c.dev.answerTo != 0) {
        ++m_stats.answersContinued;
        r = c.dev.answerTo;
        RearmWindow(c);
    } else {
        ++m_stats.answersUnasked;
        return;
    }
    Conn& rc = m_conns[r];
    const Sent sent = Forward(r, rc, data, n);
    if (sent == Sent::Broken) {
        ConnFailed(r, errno);
    } else if (sent == Sent::Queued && !rc.req.selfBlocked && Queued(rc) > m_nHighMark) {
        rc.req.selfBlocked = true;
        SetPaused(r, rc);
    }
}

// Writes a chunk to a target. When nothing is queued for it, the chunk is
// sent at once; only what the socket does not take is queued, and the
// bufferevent writes that when the socket can take more. Broken: the send
// failed (errno says why) and the caller closes the target.
CSvrWrapperTarn::Sent CSvrWrapperTarn::Forward(int targetFd, Conn& target, const unsigned char* data, size_t n)
{
    target.bytesOut += n;
    evbuffer* out = bufferevent_get_output(target.bev);
    if (evbuffer_get_length(out) == 0) {
        ssize_t sent = send(targetFd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(n))
            return Sent::Done;
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return Sent::Broken;
            sent = 0;
        }
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    evbuffer_add(out, data, n);
    return Sent::Queued;
}

size_t CSvrWrapperTarn::Queued(const Conn& c)
{
    return evbuffer_get_length(bufferevent_get_output(c.bev));
}

// A requester is read while neither its own output nor the output of the
// device its last request went to is over the high mark. While it is not
// read, the pause watch looks out for its close.
void CSvrWrapperTarn::SetPaused(int fd, Conn& req)
{
    const bool pause = req.req.selfBlocked || req.req.blockedBy != 0;
    if (pause == req.readPaused)
        return;
    req.readPaused = pause;
    if (pause) {
        ++m_stats.backpressurePauses;
        event_del(req.readEv);
        m_pauseWatch.Add(fd);
    } else {
        m_pauseWatch.Remove(fd);
        event_add(req.readEv, nullptr);
    }
}

// The device's output has drained (or the device is gone): every requester
// paused on it may be read again.
void CSvrWrapperTarn::ReleaseBlocked(int devFd, Conn& dev)
{
    std::vector<int> blocked;
    blocked.swap(dev.dev.blocked);
    for (int r : blocked) {
        Conn* rc = Slot(r);
        if (rc && rc->kind == Kind::Requester && rc->req.blockedBy == devFd) {
            rc->req.blockedBy = 0;
            SetPaused(r, *rc);
        }
    }
}

// The peer closed the connection (end of file; for a paused requester also
// a half-close): it leaves every table.
void CSvrWrapperTarn::PeerClosed(int fd)
{
    Log(CSvrLog::kConnections, " %d connection closed\n", fd);
    CloseConn(fd);
}

// A read or write on the connection failed: it is closed like any other. A
// device whose link died (keepalive or the acknowledgement timeout gave up
// on it) is counted and named. TCP reports that as ETIMEDOUT, or as the last
// ICMP error it met on the way there (host or network unreachable).
void CSvrWrapperTarn::ConnFailed(int fd, int err)
{
    Conn* c = Slot(fd);
    if (!c)
        return;
    const bool linkDied = err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN;
    if (c->kind == Kind::Device && linkDied) {
        ++m_stats.deadDevices;
        Log(CSvrLog::kErrors, " %d dead device %s dropped: %s\n", fd, dotted(c->addr).c_str(), std::strerror(err));
    }
    Log(CSvrLog::kErrors, "OnEvent meet some other error\n");
    TellFailure(fd, *c, err);
    CloseConn(fd);
}

// Which connection failed and why, on stderr: kFailuresToldPerSec of them
// each second, so that a flood of resets cannot flood the log; the others
// are counted, and their count is told once the second is over.
void CSvrWrapperTarn::TellFailure(int fd, const Conn& c, int err)
{
    const int64_t now = monotonicMs();
    if (now - m_nToldSinceMs >= kTellWindowMs) {
        TellUntold(); // should its timer not have fired yet
        m_nToldSinceMs = now;
        m_nTold = 0;
    }
    if (m_nTold < kFailuresToldPerSec) {
        ++m_nTold;
        const std::string peer = c.kind == Kind::Device ? relay::format("device %d", c.dev.id) : "requester";
        CSvrLog::Tell(CSvrLog::kPrioError, " %d: connection from %s (%s) failed: %s\n", fd, dotted(c.addr).c_str(),
                      peer.c_str(), err != 0 ? std::strerror(err) : "no reason given");
        return;
    }
    if (m_nUntold++ > 0)
        return;
    if (!m_pUntold)
        m_pUntold = evtimer_new(m_pBase, OnUntold, this);
    const int64_t left = std::max<int64_t>(0, m_nToldSinceMs + kTellWindowMs - now);
    const timeval wait = {static_cast<time_t>(left / 1000), static_cast<suseconds_t>(left % 1000 * 1000)};
    // Without the timer the count waits for the next failure or the stop.
    if (m_pUntold)
        evtimer_add(m_pUntold, &wait);
}

void CSvrWrapperTarn::TellUntold()
{
    if (m_pUntold)
        evtimer_del(m_pUntold);
    if (m_nUntold == 0)
        return;
    CSvrLog::Tell(CSvrLog::kPrioError,
                  "relaySvr: %llu more connections failed in the last second, not told one by one (at most %d a "
                  "second are)\n",
                  static_cast<unsigned long long>(m_nUntold), kFailuresToldPerSec);
    m_nUntold = 0;
}

void CSvrWrapperTarn::OnUntold(evutil_socket_t, short, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->TellUntold();
}

// ===========================================================================
// Callbacks
// ===========================================================================

void CSvrWrapperTarn::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr* addr, int len, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !addr || addr->sa_family != AF_INET || len < static_cast<int>(sizeof(sockaddr_in))) {
        evutil_closesocket(fd); // nobody would ever own it
        return;
    }
    sockaddr_in peer;
    std::memcpy(&peer, addr, sizeof(peer));
    const uint32_t addrNet = peer.sin_addr.s_addr;
    const bool requester = isRequesterAddress(addrNet);

    if (!requester && self->RefuseDevice(fd, addrNet)) {
        evutil_closesocket(fd);
        return;
    }
    self->Enter(fd, peer);
    self->AfterCallback();
}

// A connection enters the relay, accepted or taken over: logged, given its
// buffered connection, read event and options, and registered. False when
// it could not be set up (out of memory); it is closed then.
bool CSvrWrapperTarn::Enter(int fd, const sockaddr_in& peer)
{
    const uint32_t addrNet = peer.sin_addr.s_addr;
    Log(CSvrLog::kConnections, "Server OnAccept an socket %04x ip=%s,  id=%d\n", static_cast<unsigned>(addrNet),
        dotted(addrNet).c_str(), fd);

    bufferevent* bev = bufferevent_socket_new(m_pBase, fd, BEV_OPT_CLOSE_ON_FREE);
    event* readEv = bev ? event_new(m_pBase, fd, EV_READ | EV_PERSIST, OnReadable, this) : nullptr;
    if (!readEv) {
        Log(CSvrLog::kErrors, "Server bufferevent_socket_new Error!\n");
        if (bev)
            bufferevent_free(bev); // closes the socket
        else
            evutil_closesocket(fd);
        return false;
    }

    CSvrAcceptor::SetNoDelay(fd);
    if (!isRequesterAddress(addrNet))
        ApplyDeviceOptions(fd);

    Register(fd, bev, readEv, peer);
    // No read callback: reading goes through readEv (below), never through
    // the bufferevent's input.
    bufferevent_setcb(bev, nullptr, OnWrite, OnEvent, this);
    // The write callback runs once the output is down to the low mark, which
    // is where paused requesters are read again.
    bufferevent_setwatermark(bev, EV_WRITE, m_nLowMark, 0);
    // The bufferevent writes what is queued (writing is enabled from its
    // creation, and its write event is armed only while something is
    // queued); reading goes through readEv, one recv per chunk and per loop
    // pass (no FIONREAD, no copy through an input buffer), so bytes beyond a
    // chunk wait in the socket, not in memory.
    event_add(readEv, nullptr);
    return true;
}

// Whether the device just accepted as fd must go, counted and logged here:
// outside DeviceNetworks first, then the acceptor's rules.
bool CSvrWrapperTarn::RefuseDevice(int fd, uint32_t addrNet)
{
    if (!relay::inNetworks(m_settings.deviceNetworks, addrNet)) {
        ++m_stats.refusedDevices;
        Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, "Server refused a device from %s: outside DeviceNetworks\n",
            dotted(addrNet).c_str());
        return true;
    }
    switch (m_acceptor.Admit(fd, addrNet, m_mapBuff.size())) {
    case CSvrAcceptor::Verdict::PerAddress:
        ++m_stats.refusedPerAddress;
        Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, "Server refused a device from %s: over MaxConnectionsPerAddress\n",
            dotted(addrNet).c_str());
        return true;
    case CSvrAcceptor::Verdict::Reserve:
        ++m_stats.refusedReserve;
        Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, "Server refused a device from %s: inside RequesterReserve\n",
            dotted(addrNet).c_str());
        return true;
    case CSvrAcceptor::Verdict::Admit:
        break;
    }
    return false;
}

bool CSvrWrapperTarn::ApplyDeviceOptions(int fd)
{
    if (CSvrAcceptor::SetDeviceOptions(fd, m_settings.keepAlive, m_settings.ackTimeout))
        return true;
    ++m_stats.deviceOptionFailures;
    return false;
}

void CSvrWrapperTarn::OnAcceptError(evconnlistener*, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->PauseAccept(EVUTIL_SOCKET_ERROR());
}

// Out of descriptors or memory: the relay's listeners and the status
// server's stop accepting together, and start again together.
void CSvrWrapperTarn::PauseAccept(int err)
{
    if (!m_acceptor.Pause(err))
        return;
    if (m_pStatus)
        m_pStatus->Pause();
    ++m_stats.acceptPauses;
}

void CSvrWrapperTarn::ResumeAccept()
{
    if (!m_acceptor.Resume())
        return;
    if (m_pStatus)
        m_pStatus->Resume();
}

// The one step that reads: from the connection's read event and from OnRead.
void CSvrWrapperTarn::ReadReady(int fd)
{
    if (Conn* c = Slot(fd)) {
        ReadChunk(fd, *c);
        AfterCallback();
    }
}

void CSvrWrapperTarn::OnReadable(evutil_socket_t fd, short, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->ReadReady(fd);
}

void CSvrWrapperTarn::OnRead(bufferevent* bev, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    if (const Conn* c = self->Slot(fd); c && c->bev == bev)
        self->ReadReady(fd);
}

// A paused requester closed, half-closed or failed: it can ask nothing
// more, and is closed like any other.
void CSvrWrapperTarn::PausedPeerGone(int fd, int err)
{
    const Conn* c = Slot(fd);
    if (!c || !c->readPaused)
        m_pauseWatch.Remove(fd);
    else if (err != 0)
        ConnFailed(fd, err);
    else
        PeerClosed(fd);
    AfterCallback();
}

void CSvrWrapperTarn::OnWrite(bufferevent* bev, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    Conn* c = self->Slot(fd);
    if (!c || c->bev != bev)
        return;
    if (c->kind == Kind::Requester && c->req.selfBlocked) {
        c->req.selfBlocked = false;
        self->SetPaused(fd, *c);
    } else if (c->kind == Kind::Device) {
        self->ReleaseBlocked(fd, *c);
    }
    self->AfterCallback();
}

void CSvrWrapperTarn::OnEvent(bufferevent* bev, short events, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    if (Conn* c = self->Slot(fd); !c || c->bev != bev)
        return;
    if (events & BEV_EVENT_EOF) {
        self->PeerClosed(fd);
    } else if (events & BEV_EVENT_ERROR) {
        self->ConnFailed(fd, EVUTIL_SOCKET_ERROR());
    }
    self->AfterCallback();
}

// ===========================================================================
// The log
// ===========================================================================

void CSvrWrapperTarn::Log(CSvrLog::Level level, const char* fmt, ...) const
{
    if (!Logs(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    CSvrLog::VPrint(level, CSvrLog::PriorityOf(level), fmt, ap);
    va_end(ap);
}

void CSvrWrapperTarn::Log(CSvrLog::Level level, CSvrLog::Priority priority, const char* fmt, ...) const
{
    if (!Logs(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    CSvrLog::VPrint(level, priority, fmt, ap);
    va_end(ap);
}
