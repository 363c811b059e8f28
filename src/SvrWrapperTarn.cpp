#include "SvrWrapperTarn.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/buffer.h>

namespace {

const char kIniFile[] = "relaySvr.ini";
const char kIniSection[] = "SvrTarn";
const char kIniPortKey[] = "Port";

// Retry delay for accept after the process or the system ran out of
// descriptors, in case no connection of ours closes to free one.
const timeval kAcceptRetry = {1, 0};

// Only 127.0.0.1 makes a requester; every other address, 127.0.0.2 included,
// is a device.
bool IsRequesterAddress(const in_addr& addr)
{
    const auto* b = reinterpret_cast<const unsigned char*>(&addr.s_addr);
    return b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

// The device id is the last octet of the dotted form, which is the fourth
// byte of the address in network byte order.
unsigned char DeviceId(const in_addr& addr)
{
    return reinterpret_cast<const unsigned char*>(&addr.s_addr)[3];
}

void SortedInsert(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x)
        v.insert(it, x);
}

void SortedErase(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it != v.end() && *it == x)
        v.erase(it);
}

} // namespace

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

CSvrWrapperTarn::CSvrWrapperTarn()
    : SimpleIni(""),
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

void CSvrWrapperTarn::Init()
{
    Load(kIniFile);
    m_nPort = GetValue<int>(kIniSection, kIniPortKey, kDefaultPort);
}

void CSvrWrapperTarn::Free()
{
    m_mapReq.clear();
    m_mapDest.clear();
    m_mapBuff.clear();
    // The index goes with the tables. Our own read events are freed while
    // their base lives; the buffered connections are left alone.
    for (Conn& c : m_conns) {
        if (c.readEv && m_bBaseOk)
            event_free(c.readEv);
    }
    m_conns.clear();
    for (auto& ids : m_devicesById)
        ids.clear();
    m_nIndexedDevices = 0;
}

void CSvrWrapperTarn::SvrInit(event_base** out)
{
    m_pBase = event_base_new();
    m_bBaseOk = m_pBase != nullptr;
    m_ppBaseOut = out;
    if (out)
        *out = m_pBase;
}

void CSvrWrapperTarn::SvrStart()
{
    if (!m_bBaseOk)
        return;

    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_nPort & 0xFFFF));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);

    m_pListener = evconnlistener_new_bind(m_pBase, OnAccept, this,
                                          LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, kBacklog,
                                          reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    if (!m_pListener) {
        event_base_free(m_pBase);
        m_pBase = nullptr;
        m_bBaseOk = false;
        ReleaseBaseOut();
        return;
    }
    // Without an error callback a failing accept (out of descriptors) would
    // be retried on every loop pass: the loop would spin.
    evconnlistener_set_error_cb(m_pListener, OnAcceptError);
    m_bSvrOk = true;
    std::puts("SvrStart ok!");
}

void CSvrWrapperTarn::SvrDispatch()
{
    if (!m_bBaseOk)
        return;
    // One pass at a time, so that what the pass printed reaches a log file or
    // pipe at once, with one write per pass rather than one per line. A break
    // requested before the loop runs (a SIGINT during start-up) is honoured.
    std::fflush(stdout);
    while (!event_base_got_break(m_pBase) && !event_base_got_exit(m_pBase)) {
        int rc = event_base_loop(m_pBase, EVLOOP_ONCE);
        std::fflush(stdout);
        if (rc != 0)
            break; // 1: nothing left to wait for; -1: the backend failed
    }
}

void CSvrWrapperTarn::SvrClose()
{
    if (m_pAcceptRetry) {
        event_free(m_pAcceptRetry);
        m_pAcceptRetry = nullptr;
    }
    if (m_pListener) {
        evconnlistener_free(m_pListener);
        m_pListener = nullptr;
    }
    m_bSvrOk = false;
}

void CSvrWrapperTarn::SvrFree()
{
    if (m_pBase) {
        for (Conn& c : m_conns) {
            if (c.readEv) {
                event_free(c.readEv);
                c.readEv = nullptr;
            }
        }
        event_base_free(m_pBase);
    }
    m_pBase = nullptr;
    m_bBaseOk = false;
    ReleaseBaseOut();
}

void CSvrWrapperTarn::ReleaseBaseOut()
{
    if (m_ppBaseOut)
        *m_ppBaseOut = nullptr;
}

// ---------------------------------------------------------------------------
// Tables and their index
// ---------------------------------------------------------------------------

CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd)
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() ? &m_conns[fd] : nullptr;
}

const CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd) const
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() ? &m_conns[fd] : nullptr;
}

bool CSvrWrapperTarn::IsDest(int fd) const
{
    return m_mapDest.count(fd) != 0;
}

int CSvrWrapperTarn::ReqFind(int destFd) const
{
    const Conn* d = Slot(destFd);
    if (d && d->kind == Kind::Device)
        return d->waiters.empty() ? 0 : d->waiters.front();
    // Not a device of ours: answer from the table itself.
    for (const auto& [req, dest] : m_mapReq) {
        if (dest == destFd)
            return req;
    }
    return 0;
}

int CSvrWrapperTarn::DestFind(unsigned char id) const
{
    if (m_nIndexedDevices == m_mapDest.size()) {
        const std::vector<int>& fds = m_devicesById[id];
        return fds.empty() ? 0 : fds.front();
    }
    // The table was changed behind the index (only a caller poking the
    // table does that): answer from the table itself.
    for (const auto& [fd, addr] : m_mapDest) {
        if (reinterpret_cast<const unsigned char*>(&addr)[3] == id)
            return fd;
    }
    return 0;
}

void CSvrWrapperTarn::BuffRemove(int fd)
{
    auto it = m_mapBuff.find(fd);
    if (it == m_mapBuff.end())
        return;
    m_mapBuff.erase(it);
    if (Conn* c = Slot(fd))
        c->inBuff = false;
    std::printf(" %d remove\n", fd);
}

void CSvrWrapperTarn::Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer)
{
    if (static_cast<size_t>(fd) >= m_conns.size())
        m_conns.resize(std::max<size_t>(static_cast<size_t>(fd) + 1, m_conns.size() * 2));
    Conn& c = m_conns[fd];
    c = Conn();
    c.bev = bev;
    c.readEv = readEv;
    c.inBuff = true;
    m_mapBuff[fd] = bev;
    if (IsRequesterAddress(peer.sin_addr)) {
        c.kind = Kind::Requester;
        c.reqIt = m_mapReq.insert_or_assign(fd, 0).first;
    } else {
        c.kind = Kind::Device;
        c.id = DeviceId(peer.sin_addr);
        int addr;
        std::memcpy(&addr, &peer.sin_addr.s_addr, sizeof(addr));
        m_mapDest[fd] = addr;
        SortedInsert(m_devicesById[c.id], fd);
        ++m_nIndexedDevices;
    }
}

// Records that requester reqFd now waits on destFd (0: on nothing), in the
// request table and in the device's list of waiters.
void CSvrWrapperTarn::SetWait(int reqFd, Conn& req, int destFd)
{
    if (req.waitOn == destFd)
        return;
    if (req.waitOn != 0)
        SortedErase(m_conns[req.waitOn].waiters, reqFd);
    req.waitOn = destFd;
    req.reqIt->second = destFd;
    if (destFd != 0)
        SortedInsert(m_conns[destFd].waiters, reqFd);
}

// A connection leaves every table in this one place, on end of file and on
// error alike; then its buffered connection is freed, closing the socket.
void CSvrWrapperTarn::CloseConn(int fd, bufferevent* bev)
{
    BuffRemove(fd);
    Conn* c = Slot(fd);
    if (c && c->bev == bev) {
        if (c->kind == Kind::Requester) {
            SetWait(fd, *c, 0);
            m_mapReq.erase(c->reqIt);
            if (c->blockedBy != 0) {
                std::vector<int>& blocked = m_conns[c->blockedBy].blocked;
                blocked.erase(std::remove(blocked.begin(), blocked.end(), fd), blocked.end());
            }
        } else if (c->kind == Kind::Device) {
            m_mapDest.erase(fd);
            SortedErase(m_devicesById[c->id], fd);
            --m_nIndexedDevices;
            // Whoever waited on it now waits on nothing: it is sent nothing.
            for (int r : c->waiters) {
                Conn& rc = m_conns[r];
                rc.waitOn = 0;
                rc.reqIt->second = 0;
            }
            for (int r : c->blocked) {
                Conn& rc = m_conns[r];
                if (rc.kind == Kind::Requester && rc.blockedBy == fd) {
                    rc.blockedBy = 0;
                    UpdateReadState(rc);
                }
            }
        }
        if (c->readEv)
            event_free(c->readEv);
        *c = Conn();
    }
    bufferevent_free(bev);

    if (m_bAcceptPaused && m_pListener) {
        m_bAcceptPaused = false;
        if (m_pAcceptRetry)
            evtimer_del(m_pAcceptRetry);
        evconnlistener_enable(m_pListener);
    }
}

// ---------------------------------------------------------------------------
// Moving bytes
// ---------------------------------------------------------------------------

// Writes a chunk to a target. When nothing is queued for it, the chunk is
// sent at once; only what the socket does not take is queued, and the
// bufferevent writes that when the socket can take more. A target whose send
// fails is noted and closed at the end of the current callback, which still
// uses the tables.
void CSvrWrapperTarn::Forward(int targetFd, Conn& target, const unsigned char* data, size_t n)
{
    if (!target.inBuff)
        return;
    evbuffer* out = bufferevent_get_output(target.bev);
    if (evbuffer_get_length(out) == 0) {
        ssize_t sent = send(targetFd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(n))
            return;
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                m_nBrokenTarget = targetFd;
                return;
            }
            sent = 0;
        }
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    evbuffer_add(out, data, n);
}

size_t CSvrWrapperTarn::Queued(const Conn& c)
{
    return evbuffer_get_length(bufferevent_get_output(c.bev));
}

// A requester is read while neither its own output nor the output of the
// device its last request went to is over the high mark.
void CSvrWrapperTarn::UpdateReadState(Conn& req)
{
    const bool pause = req.selfBlocked || req.blockedBy != 0;
    if (pause == req.readPaused || !req.readEv)
        return;
    if (pause)
        event_del(req.readEv);
    else
        event_add(req.readEv, nullptr);
    req.readPaused = pause;
}

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

void CSvrWrapperTarn::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr* addr, int len, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !addr || addr->sa_family != AF_INET || len < static_cast<int>(sizeof(sockaddr_in))) {
        evutil_closesocket(fd); // nobody would ever own it
        return;
    }
    sockaddr_in peer;
    std::memcpy(&peer, addr, sizeof(peer));

    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
    std::printf("Server OnAccept an socket %04x ip=%s,  id=%d\n",
                static_cast<unsigned>(peer.sin_addr.s_addr), ip, static_cast<int>(fd));

    bufferevent* bev = bufferevent_socket_new(self->m_pBase, fd, BEV_OPT_CLOSE_ON_FREE);
    event* readEv = bev ? event_new(self->m_pBase, fd, EV_READ | EV_PERSIST, OnReadable, self) : nullptr;
    if (!readEv) {
        std::puts("Server bufferevent_socket_new Error!");
        if (bev)
            bufferevent_free(bev); // closes the socket
        else
            evutil_closesocket(fd);
        return;
    }

    // Requests and answers are small and latency-bound: send each at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    self->Register(fd, bev, readEv, peer);
    bufferevent_setcb(bev, OnRead, OnWrite, OnEvent, self);
    // The write callback runs once the output is down to the low mark, which
    // is where paused requesters are read again.
    bufferevent_setwatermark(bev, EV_WRITE, kLowMark, 0);
    // The bufferevent writes what is queued; reading goes through readEv, one
    // recv per chunk and per loop pass (no FIONREAD, no copy through an
    // input buffer), so bytes beyond a chunk wait in the socket, not in memory.
    bufferevent_enable(bev, EV_WRITE);
    event_add(readEv, nullptr);
}

void CSvrWrapperTarn::OnAcceptError(evconnlistener* listener, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    const int err = EVUTIL_SOCKET_ERROR();
    if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM)
        return;
    // Out of descriptors or memory: the pending connection stays in the
    // backlog. Stop accepting until one of ours closes (or, failing that,
    // until the retry timer fires) instead of retrying on every pass.
    if (self->m_bAcceptPaused)
        return;
    evconnlistener_disable(listener);
    self->m_bAcceptPaused = true;
    std::fprintf(stderr, "accept: %s; accepting again when a connection closes\n", std::strerror(err));
    if (!self->m_pAcceptRetry)
        self->m_pAcceptRetry = evtimer_new(self->m_pBase, OnAcceptRetry, self);
    if (self->m_pAcceptRetry)
        evtimer_add(self->m_pAcceptRetry, &kAcceptRetry);
}

void CSvrWrapperTarn::OnAcceptRetry(evutil_socket_t, short, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (self->m_bAcceptPaused && self->m_pListener) {
        self->m_bAcceptPaused = false;
        evconnlistener_enable(self->m_pListener);
    }
}

void CSvrWrapperTarn::OnReadable(evutil_socket_t fd, short, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (Conn* c = self->Slot(fd); c && c->bev)
        OnRead(c->bev, self);
}

void CSvrWrapperTarn::OnRead(bufferevent* bev, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    Conn* c = self->Slot(fd);
    if (!c || c->bev != bev)
        return;

    unsigned char buf[kChunkSize];
    // Byte 1 routes a request; a one-byte request must read it as 0. The rest
    // of the buffer is only ever used up to the bytes received.
    buf[0] = 0;
    buf[1] = 0;
    const bool fromDevice = c->kind == Kind::Device;

    const ssize_t got = recv(fd, buf, kChunkSize, 0);
    if (got == 0) {
        OnEvent(bev, BEV_EVENT_EOF | BEV_EVENT_READING, self);
        return;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            OnEvent(bev, BEV_EVENT_ERROR | BEV_EVENT_READING, self);
        return;
    }
    const size_t n = static_cast<size_t>(got);
    std::printf(" %d  OnRead: %d\n", fd, static_cast<int>(n));

    if (fromDevice) {
        // Answer path: the lowest requester waiting on this device takes the
        // chunk and then waits on nothing; without one the chunk is dropped.
        const int r = self->ReqFind(fd);
        if (r > 0) {
            Conn& rc = self->m_conns[r];
            self->SetWait(r, rc, 0);
            self->Forward(r, rc, buf, n);
            if (rc.inBuff && self->m_nBrokenTarget != r && Queued(rc) > kHighMark) {
                rc.selfBlocked = true;
                self->UpdateReadState(rc);
            }
        }
    } else {
        // Request path: byte 1 names the device; a request for an id no
        // device has cancels the requester's wait and goes nowhere.
        std::printf(" is request: %02x %02x\n", buf[0], buf[1]);
        const int d = self->DestFind(buf[1]);
        self->SetWait(fd, *c, d);
        if (d != 0) {
            std::printf(" do... [%d]\n", buf[1]);
            Conn& dc = self->m_conns[d];
            self->Forward(d, dc, buf, n);
            if (dc.inBuff && self->m_nBrokenTarget != d && Queued(dc) > kHighMark && c->blockedBy == 0) {
                c->blockedBy = d;
                dc.blocked.push_back(fd);
                self->UpdateReadState(*c);
            }
        }
    }

    if (self->m_nBrokenTarget != 0) {
        const int t = self->m_nBrokenTarget;
        self->m_nBrokenTarget = 0;
        OnEvent(self->m_conns[t].bev, BEV_EVENT_ERROR | BEV_EVENT_WRITING, self);
    }
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
    if (c->kind == Kind::Requester && c->selfBlocked) {
        c->selfBlocked = false;
        self->UpdateReadState(*c);
    } else if (c->kind == Kind::Device && !c->blocked.empty()) {
        for (int r : c->blocked) {
            Conn& rc = self->m_conns[r];
            if (rc.kind == Kind::Requester && rc.blockedBy == fd) {
                rc.blockedBy = 0;
                self->UpdateReadState(rc);
            }
        }
        c->blocked.clear();
    }
}

void CSvrWrapperTarn::OnEvent(bufferevent* bev, short events, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    if (events & BEV_EVENT_EOF) {
        std::printf(" %d connection closed\n", fd);
        self->CloseConn(fd, bev);
    } else if (events & BEV_EVENT_ERROR) {
        std::puts("OnEvent meet some other error");
        self->CloseConn(fd, bev);
    }
}
