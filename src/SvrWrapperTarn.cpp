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
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/buffer.h>

#include "RelayText.h"

using relay::dotted;

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

namespace {

// Unanswered keepalive probes after which the kernel drops a device.
const int kKeepAliveProbes = 3;
// Probes go KeepAlive/kProbeDivisor seconds apart (at least 1 s): with the
// acknowledgement timeout set, Linux drops a silent dead peer at its first
// unanswered probe past that timeout, so with the defaults (60, 30) a device
// that falls silent is gone after about 70 s, and without it after 90 s.
const int kProbeDivisor = 6;

// Retry delay for accept after the process or the system ran out of
// descriptors, in case no connection of ours closes to free one.
const timeval kAcceptRetry = {1, 0};

// The second in which at most kFailuresToldPerSec failed connections are told.
const int64_t kTellWindowMs = 1000;

// Only 127.0.0.1 makes a requester; every other address, 127.0.0.2 included,
// is a device, known by the last octet of its dotted form: the fourth byte of
// the address in network byte order.
bool isRequesterAddress(uint32_t addrNet)
{
    static const uint32_t requester = inet_addr(relay::kRequesterAddress);
    return addrNet == requester;
}

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

int64_t monotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The system's reason for a failed bind, with what to do about the two
// that an operator meets.
std::string bindReason(int err, int port)
{
    std::string why = std::strerror(err);
    if (err == EADDRINUSE)
        why += relay::format(" (another socket listens there: ss -ltnp 'sport = :%d' shows whose)", port);
    else if (err == EACCES)
        why += " (a port below 1024 needs CAP_NET_BIND_SERVICE: see relaySvr(8))";
    return why;
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

namespace {

// Says every note, warning and error of a reading on stderr, each after prefix.
void tell(const relay::ConfigReading& r, const char* prefix)
{
    const struct { const std::vector<std::string>* lines; CSvrLog::Priority priority; } kinds[] = {
        {&r.notes, CSvrLog::kPrioNotice}, {&r.warnings, CSvrLog::kPrioWarning}, {&r.errors, CSvrLog::kPrioError}};
    for (const auto& kind : kinds) {
        for (const std::string& line : *kind.lines)
            CSvrLog::Tell(kind.priority, "%s%s\n", prefix, line.c_str());
    }
}

} // namespace

void CSvrWrapperTarn::Init()
{
    const relay::ConfigReading r = relay::readConfig(m_configPath, m_ini);
    tell(r, "");
    m_nInitWarnings = r.notes.size() + r.warnings.size();
    m_bInitOk = r.usable();
    m_settings = m_bInitOk ? r.settings : Settings();
    m_nPort = m_settings.port;
}

CSvrWrapperTarn::ReloadResult CSvrWrapperTarn::Reload(std::string& why)
{
    SimpleIni fresh("");
    const relay::ConfigReading r = relay::readConfig(m_configPath, fresh, &m_settings);
    tell(r, "reload: ");
    if (!r.usable()) {
        why = r.errors.front();
        m_bLastReloadOk = false;
        CSvrLog::Tell(CSvrLog::kPrioError, "reload: %s: the running settings are kept\n", m_configPath.c_str());
        return ReloadResult::Refused;
    }
    Settings s = r.settings;
    if (s.port != m_settings.port)
        CSvrLog::Warn("reload: Port changed from %d to %d: that takes a restart; still listening on %d\n",
                      m_settings.port, s.port, m_settings.port & 0xFFFF);
    s.port = m_settings.port;
    m_ini = fresh;
    if (!ApplySettings(s, false, why)) {
        m_bLastReloadOk = false;
        Log(CSvrLog::kErrors, CSvrLog::kPrioWarning, "SvrReload in part: %s\n", why.c_str());
        return ReloadResult::Partial;
    }
    m_bLastReloadOk = true;
    m_nLastReloadOkTime = static_cast<int64_t>(std::time(nullptr));
    Log(CSvrLog::kErrors, CSvrLog::kPrioInfo, "SvrReload ok!\n");
    return ReloadResult::Applied;
}

// Makes the settings the running ones. At start only the level and the
// status server need work; on reload the connected devices follow too.
bool CSvrWrapperTarn::ApplySettings(const Settings& s, bool atStart, std::string& problem)
{
    const Settings old = m_settings;
    m_settings = s;
    if (!atStart) {
        const bool networksChanged = !relay::sameNetworks(s.deviceNetworks, old.deviceNetworks);
        const bool optionsChanged = s.keepAlive != old.keepAlive || s.ackTimeout != old.ackTimeout;
        const bool answersChanged = s.answerWindowMs != old.answerWindowMs || s.answerOrder != old.answerOrder;
        std::vector<int> outside;
        for (const auto& [fd, addr] : m_mapDest) {
            Conn& dev = m_conns[fd];
            if (answersChanged) {
                // Open windows end; waiters line up as the new order says.
                EndWindow(dev);
                if (s.answerOrder == relay::AnswerOrder::Descriptor)
                    std::sort(dev.dev.waiters.begin(), dev.dev.waiters.end());
            }
            if (networksChanged && !relay::inNetworks(s.deviceNetworks, static_cast<uint32_t>(addr)))
                outside.push_back(fd);
            else if (optionsChanged)
                ApplyDeviceOptions(fd);
        }
        for (int fd : outside) {
            Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, " %d device %s is outside DeviceNetworks now: closed\n", fd,
                dotted(m_conns[fd].addr).c_str());
            CloseConn(fd);
        }
    }
    if (!m_bSvrOk)
        return true;
    if (s.statusPort == 0) {
        if (m_pStatus)
            m_pStatus->Stop();
        return true;
    }
    // Also when nothing changed: a status port that could not be bound
    // before is tried again on every reload.
    const bool moved = s.statusPort != old.statusPort || s.statusAddress != old.statusAddress;
    if (!atStart && !moved && m_pStatus && m_pStatus->Listening()) {
        m_pStatus->SetMaxClients(s.statusMaxClients);
        return true;
    }
    std::string error;
    if (StartStatus(error))
        return true;
    const bool kept = m_pStatus && m_pStatus->Listening();
    problem = relay::format("status: cannot listen on %s:%d: %s; %s", s.statusAddress.c_str(), s.statusPort,
                            error.c_str(), kept ? "the old status address stays" : "running without it");
    CSvrLog::Tell(CSvrLog::kPrioError, "%s\n", problem.c_str());
    if (kept) {
        m_settings.statusPort = old.statusPort;
        m_settings.statusAddress = old.statusAddress;
    }
    return false;
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

    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_nPort & 0xFFFF));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);

    // The socket is made here, as evconnlistener_new_bind would make it
    // (non-blocking, keepalive inherited by every accepted connection,
    // SO_REUSEADDR), so that a failure comes with its step and errno.
    const int on = 1;
    const char* step = "socket";
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
        if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0)
            step = "SO_KEEPALIVE";
        else if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
            step = "SO_REUSEADDR";
        else if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0)
            step = "bind";
        else if (!(m_pListener = evconnlistener_new(m_pBase, OnAccept, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE,
                                                    kBacklog, fd)))
            step = "listen";
    }
    if (!m_pListener) {
        const int err = errno;
        if (fd >= 0)
            close(fd);
        const int port = m_nPort & 0xFFFF;
        m_startError = relay::format("cannot listen on %s:%d: %s: %s", dotted(sin.sin_addr.s_addr).c_str(), port,
                                     step, bindReason(err, port).c_str());
        FreeBase();
        return;
    }
    // Without an error callback a failing accept (out of descriptors) would
    // be retried on every loop pass: the loop would spin.
    evconnlistener_set_error_cb(m_pListener, OnAcceptError);
    m_bSvrOk = true;
    Log(CSvrLog::kErrors, CSvrLog::kPrioInfo, "SvrStart ok!\n");
    CSvrLog::Attach(m_pBase);

    std::string problem; // said on stderr; the relay runs without the status server
    ApplySettings(m_settings, true, problem);
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
    event_base_loop(m_pBase, 0);
}

void CSvrWrapperTarn::SvrClose()
{
    m_pStatus.reset();
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

bool CSvrWrapperTarn::CheckTables() const
{
    auto fail = [](int fd, const char* what) {
        CSvrLog::Tell(CSvrLog::kPrioError, "CheckTables: descriptor %d: %s\n", fd, what);
        return false;
    };
    size_t requesters = 0, devices = 0, indexed = 0;
    for (const auto& ids : m_devicesById) {
        indexed += ids.size();
        if (!std::is_sorted(ids.begin(), ids.end()))
            return fail(ids.front(), "devices of an id out of order");
    }
    for (size_t i = 0; i < m_conns.size(); ++i) {
        const int fd = static_cast<int>(i);
        const Conn& c = m_conns[i];
        if (!c.bev) {
            if (m_mapBuff.count(fd) || m_mapReq.count(fd) || m_mapDest.count(fd))
                return fail(fd, "closed but still in a table");
            continue;
        }
        const auto buff = m_mapBuff.find(fd);
        if (buff == m_mapBuff.end() || buff->second != c.bev)
            return fail(fd, "open but not in the buffer table");
        if (c.kind == Kind::Requester) {
            ++requesters;
            const auto req = m_mapReq.find(fd);
            if (req == m_mapReq.end() || req != c.req.it || req->second != c.req.waitOn || m_mapDest.count(fd))
                return fail(fd, "requester record and request table disagree");
            const Conn* d = Slot(c.req.waitOn);
            if (c.req.waitOn != 0 && (!d || d->kind != Kind::Device ||
                                      std::count(d->dev.waiters.begin(), d->dev.waiters.end(), fd) != 1))
                return fail(fd, "waits on a device that does not list it");
            const Conn* from = Slot(c.req.answerFrom);
            if (c.req.answerFrom != 0 && (!from || from->kind != Kind::Device || from->dev.answerTo != fd))
                return fail(fd, "holds an answer window the device does not give it");
            const Conn* b = Slot(c.req.blockedBy);
            if (c.req.blockedBy != 0 && (!b || std::count(b->dev.blocked.begin(), b->dev.blocked.end(), fd) != 1))
                return fail(fd, "paused on a device that does not list it");
            if (c.readPaused != (c.req.selfBlocked || c.req.blockedBy != 0))
                return fail(fd, "read state and pause reasons disagree");
        } else {
            ++devices;
            const auto dest = m_mapDest.find(fd);
            if (dest == m_mapDest.end() || static_cast<uint32_t>(dest->second) != c.addr || m_mapReq.count(fd) ||
                !std::binary_search(m_devicesById[c.dev.id].begin(), m_devicesById[c.dev.id].end(), fd))
                return fail(fd, "device record and destination table disagree");
            if (m_settings.answerOrder == relay::AnswerOrder::Descriptor &&
                !std::is_sorted(c.dev.waiters.begin(), c.dev.waiters.end()))
                return fail(fd, "waiters out of order");
            const Conn* holder = Slot(c.dev.answerTo);
            if (c.dev.answerTo != 0 &&
                (!holder || holder->kind != Kind::Requester || holder->req.answerFrom != fd || !c.dev.waiters.empty()))
                return fail(fd, "answer window held by a requester that does not hold it, or beside waiters");
            for (int r : c.dev.waiters) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.waitOn != fd)
                    return fail(fd, "lists a waiter that waits elsewhere");
            }
            for (int r : c.dev.blocked) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.blockedBy != fd)
                    return fail(fd, "lists a paused requester that is not paused on it");
            }
            if (c.readPaused)
                return fail(fd, "a device is never paused");
        }
    }
    if (m_mapReq.size() != requesters || m_mapDest.size() != devices || indexed != devices ||
        m_mapBuff.size() != requesters + devices)
        return fail(-1, "a table holds a descriptor that has no open connection");
    return true;
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

    if (!requester && !relay::inNetworks(self->m_settings.deviceNetworks, addrNet)) {
        ++self->m_stats.refusedDevices;
        self->Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, "Server refused a device from %s: outside DeviceNetworks\n",
                  dotted(addrNet).c_str());
        evutil_closesocket(fd);
        return;
    }

    self->Log(CSvrLog::kConnections, "Server OnAccept an socket %04x ip=%s,  id=%d\n",
              static_cast<unsigned>(addrNet), dotted(addrNet).c_str(), static_cast<int>(fd));

    bufferevent* bev = bufferevent_socket_new(self->m_pBase, fd, BEV_OPT_CLOSE_ON_FREE);
    event* readEv = bev ? event_new(self->m_pBase, fd, EV_READ | EV_PERSIST, OnReadable, self) : nullptr;
    if (!readEv) {
        self->Log(CSvrLog::kErrors, "Server bufferevent_socket_new Error!\n");
        if (bev)
            bufferevent_free(bev); // closes the socket
        else
            evutil_closesocket(fd);
        return;
    }

    // Requests and answers are small and latency-bound: send each at once.
    const int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        CSvrLog::Warn("accept: descriptor %d: TCP_NODELAY not set: %s\n", static_cast<int>(fd), std::strerror(errno));
    if (!requester)
        self->ApplyDeviceOptions(fd);

    self->Register(fd, bev, readEv, peer);
    // No read callback: reading goes through readEv (below), never through
    // the bufferevent's input.
    bufferevent_setcb(bev, nullptr, OnWrite, OnEvent, self);
    // The write callback runs once the output is down to the low mark, which
    // is where paused requesters are read again.
    bufferevent_setwatermark(bev, EV_WRITE, self->m_nLowMark, 0);
    // The bufferevent writes what is queued (writing is enabled from its
    // creation, and its write event is armed only while something is
    // queued); reading goes through readEv, one recv per chunk and per loop
    // pass (no FIONREAD, no copy through an input buffer), so bytes beyond a
    // chunk wait in the socket, not in memory.
    event_add(readEv, nullptr);
    self->AfterCallback();
}

// Keepalive and the acknowledgement timeout find a device whose link died
// without a FIN or RST (cellular, NAT): the kernel reports ETIMEDOUT and the
// device is closed like any failed connection.
bool CSvrWrapperTarn::ApplyDeviceOptions(int fd)
{
    const int keepAlive = m_settings.keepAlive;
    const int on = keepAlive > 0;
    const int interval = std::max(1, keepAlive / kProbeDivisor);
    const unsigned int ackMs = static_cast<unsigned int>(m_settings.ackTimeout) * 1000u;
    struct Option { int level; int name; const void* value; socklen_t size; const char* label; } options[] = {
        {SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on), "SO_KEEPALIVE"},
        {IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive, sizeof(keepAlive), "TCP_KEEPIDLE"},
        {IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval), "TCP_KEEPINTVL"},
        {IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(kKeepAliveProbes), "TCP_KEEPCNT"},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, &ackMs, sizeof(ackMs), "TCP_USER_TIMEOUT"},
    };
    for (const Option& o : options) {
        // The keepalive timing means nothing with keepalive off.
        if (!on && o.level == IPPROTO_TCP && o.name != TCP_USER_TIMEOUT)
            continue;
        if (setsockopt(fd, o.level, o.name, o.value, o.size) != 0) {
            // Without these a device whose link dies stays in the tables.
            ++m_stats.deviceOptionFailures;
            CSvrLog::Warn("device %d: %s not set (%s): a dead link to it may go unnoticed\n", fd, o.label,
                          std::strerror(errno));
            return false;
        }
    }
    return true;
}

void CSvrWrapperTarn::OnAcceptError(evconnlistener*, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->PauseAccept(EVUTIL_SOCKET_ERROR());
}

// Out of descriptors or memory: the pending connection stays in the backlog.
// Stop accepting until one of ours closes (or, failing that, until the retry
// timer fires) instead of retrying on every pass.
void CSvrWrapperTarn::PauseAccept(int err)
{
    if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM)
        return;
    if (m_bAcceptPaused || !m_pListener)
        return;
    evconnlistener_disable(m_pListener);
    if (m_pStatus)
        m_pStatus->Pause();
    m_bAcceptPaused = true;
    ++m_stats.acceptPauses;
    CSvrLog::Warn("accept: %s; accepting again when a connection closes\n", std::strerror(err));
    if (!m_pAcceptRetry)
        m_pAcceptRetry = evtimer_new(m_pBase, OnAcceptRetry, this);
    if (m_pAcceptRetry)
        evtimer_add(m_pAcceptRetry, &kAcceptRetry);
}

void CSvrWrapperTarn::ResumeAccept()
{
    if (!m_bAcceptPaused || !m_pListener)
        return;
    m_bAcceptPaused = false;
    if (m_pAcceptRetry)
        evtimer_del(m_pAcceptRetry);
    evconnlistener_enable(m_pListener);
    if (m_pStatus)
        m_pStatus->Resume();
}

void CSvrWrapperTarn::OnAcceptRetry(evutil_socket_t, short, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->ResumeAccept();
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
// The log and the status server
// ===========================================================================

void CSvrWrapperTarn::Log(CSvrLog::Level level, const char* fmt, ...) const
{
    if (!Logs(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    const std::string line = relay::vformat(fmt, ap);
    va_end(ap);
    CSvrLog::Print(level, "%s", line.c_str());
}

void CSvrWrapperTarn::Log(CSvrLog::Level level, CSvrLog::Priority priority, const char* fmt, ...) const
{
    if (!Logs(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    const std::string line = relay::vformat(fmt, ap);
    va_end(ap);
    CSvrLog::Print(level, priority, "%s", line.c_str());
}

bool CSvrWrapperTarn::StartStatus(std::string& error)
{
    if (!m_pStatus) {
        m_pStatus = std::make_unique<relay::CStatusServer>(
            m_pBase, [this](relay::StatusSnapshot& out) { Snapshot(out); },
            [this](relay::StatusSnapshot& out, int fromFd, size_t maxRows) {
                return SnapshotRows(out, fromFd, maxRows);
            },
            // Out of descriptors on the status port: both listeners pause, as
            // on the relay port, and resume together.
            [this](int err) { PauseAccept(err); }, m_settings.statusMaxClients);
        if (m_bAcceptPaused)
            m_pStatus->Pause();
    }
    m_pStatus->SetMaxClients(m_settings.statusMaxClients);
    return m_pStatus->Listen(m_settings.statusAddress, m_settings.statusPort, error);
}

void CSvrWrapperTarn::Snapshot(relay::StatusSnapshot& out) const
{
    out.pid = static_cast<int>(getpid());
    out.port = m_nPort & 0xFFFF;
    if (m_pListener) {
        sockaddr_in sin;
        socklen_t len = sizeof(sin);
        if (getsockname(evconnlistener_get_fd(m_pListener), reinterpret_cast<sockaddr*>(&sin), &len) == 0)
            out.port = ntohs(sin.sin_port);
    }
    out.startTime = m_nStartTime;
    out.uptimeSeconds = static_cast<int64_t>(std::time(nullptr)) - m_nStartTime;
    out.version = RELAYSVR_VERSION;
    out.lastReloadOk = m_bLastReloadOk;
    out.lastReloadOkTime = m_nLastReloadOkTime;
    out.logLinesDropped = CSvrLog::LinesDropped();
    out.counters = m_stats;
    out.requesters = m_mapReq.size();
    out.devices = m_mapDest.size();
    for (int id = 0; id < 256; ++id)
        out.devicesById[id] = m_idSeen[id] ? static_cast<long>(m_devicesById[id].size()) : -1;
}

// Devices and requesters together, by ascending descriptor, so that a slice
// is one short walk of the two tables from where the last one ended.
int CSvrWrapperTarn::SnapshotRows(relay::StatusSnapshot& out, int fromFd, size_t maxRows) const
{
    const int64_t now = monotonicSeconds();
    auto dev = m_mapDest.lower_bound(fromFd);
    auto req = m_mapReq.lower_bound(fromFd);
    for (size_t n = 0; n < maxRows; ++n) {
        const bool deviceNext = dev != m_mapDest.end() && (req == m_mapReq.end() || dev->first < req->first);
        if (deviceNext) {
            const Conn& c = m_conns[dev->first];
            out.deviceRows.push_back({dev->first, c.dev.id, static_cast<uint32_t>(dev->second), now - c.since,
                                      c.dev.waiters, c.dev.answerTo, c.bytesIn, c.bytesOut});
            ++dev;
        } else if (req != m_mapReq.end()) {
            out.requesterRows.push_back({req->first, req->second, now - m_conns[req->first].since});
            ++req;
        } else {
            return -1;
        }
    }
    if (dev == m_mapDest.end() && req == m_mapReq.end())
        return -1;
    if (dev == m_mapDest.end())
        return req->first;
    return req == m_mapReq.end() ? dev->first : std::min(dev->first, req->first);
}
