#include "SvrAcceptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/event.h>

#include "RelayDefaults.h"
#include "RelayProc.h"
#include "RelayText.h"
#include "SvrLog.h"

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

} // namespace

CSvrAcceptor::~CSvrAcceptor()
{
    Close();
}

namespace {

// The system's reason for a failed bind, and what to do about the usual ones.
std::string bindReason(int err, int port)
{
    std::string why = std::strerror(err);
    if (err == EADDRINUSE)
        why += relay::format(" (another socket listens there: ss -ltnp 'sport = :%d' shows whose)", port);
    else if (err == EACCES)
        why += " (a port below 1024 needs CAP_NET_BIND_SERVICE: see relaySvr(8))";
    return why;
}

// The listening socket among fds that is bound to addrNet and, unless it is
// 0, portNet (network byte order); -1 for none. It leaves fds.
int takeListening(std::vector<int>& fds, uint32_t addrNet, uint16_t portNet)
{
    for (auto it = fds.begin(); it != fds.end(); ++it) {
        sockaddr_in sin;
        socklen_t len = sizeof(sin);
        int listening = 0;
        socklen_t optLen = sizeof(listening);
        if (getsockname(*it, reinterpret_cast<sockaddr*>(&sin), &len) != 0 || sin.sin_family != AF_INET ||
            getsockopt(*it, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optLen) != 0 || !listening)
            continue;
        if (sin.sin_addr.s_addr == addrNet && (portNet == 0 || sin.sin_port == portNet)) {
            const int fd = *it;
            fds.erase(it);
            return fd;
        }
    }
    return -1;
}

} // namespace

bool CSvrAcceptor::Listen(event_base* base, const std::vector<uint32_t>& addresses, int port,
                          const Callbacks& callbacks, std::string& error, std::vector<int> inherited)
{
    Close();
    m_nTakenOver = 0;
    m_pBase = base;
    m_retry = callbacks.retry;
    std::vector<uint32_t> binds = addresses;
    const uint32_t requesters = inet_addr(relay::kRequesterAddress);
    if (binds.empty())
        binds.push_back(htonl(INADDR_ANY));
    else if (std::find(binds.begin(), binds.end(), requesters) == binds.end())
        binds.push_back(requesters);

    uint16_t portNet = htons(static_cast<uint16_t>(port & 0xFFFF));
    for (uint32_t addr : binds) {
        sockaddr_in sin;
        std::memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_port = portNet;
        sin.sin_addr.s_addr = addr;
        const unsigned flags = LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE;
        evconnlistener* l = nullptr;
        const int adopted = takeListening(inherited, addr, portNet);
        if (adopted >= 0) {
            // Already listening: a negative backlog keeps libevent from
            // calling listen() again.
            evutil_make_socket_nonblocking(adopted);
            l = evconnlistener_new(base, callbacks.accept, callbacks.arg, flags, -1, adopted);
            if (l)
                ++m_nTakenOver;
            else
                close(adopted);
        }
        if (!l)
            l = evconnlistener_new_bind(base, callbacks.accept, callbacks.arg, flags, kBacklog,
                                        reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
        if (!l) {
            error = relay::format("cannot listen on %s:%d: %s", relay::dotted(addr).c_str(), ntohs(portNet),
                                  bindReason(errno, ntohs(portNet)).c_str());
            Close();
            for (int fd : inherited)
                close(fd);
            return false;
        }
        // Without an error callback a failing accept (out of descriptors)
        // would be retried on every loop pass: the loop would spin.
        evconnlistener_set_error_cb(l, callbacks.acceptError);
        m_listeners.push_back(l);
        // Port 0: the others take the port the system chose for the first.
        if (portNet == 0)
            portNet = htons(static_cast<uint16_t>(Port()));
    }
    // Sockets of a port or an address no longer configured.
    for (int fd : inherited)
        close(fd);
    return true;
}

std::vector<int> CSvrAcceptor::Fds() const
{
    std::vector<int> fds;
    for (evconnlistener* l : m_listeners)
        fds.push_back(evconnlistener_get_fd(l));
    return fds;
}

int CSvrAcceptor::Port() const
{
    if (!Main())
        return 0;
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    if (getsockname(evconnlistener_get_fd(Main()), reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return 0;
    return ntohs(sin.sin_port);
}

void CSvrAcceptor::Close()
{
    if (m_pRetry) {
        event_free(m_pRetry);
        m_pRetry = nullptr;
    }
    for (auto it = m_listeners.rbegin(); it != m_listeners.rend(); ++it)
        evconnlistener_free(*it);
    m_listeners.clear();
    m_bPaused = false;
}

// The pending connection stays in the backlog. Accepting stops until one of
// ours closes (or, failing that, until the retry timer fires) instead of
// failing again on every pass.
bool CSvrAcceptor::Pause(int err)
{
    if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM)
        return false;
    if (m_bPaused || m_listeners.empty())
        return false;
    for (evconnlistener* l : m_listeners)
        evconnlistener_disable(l);
    m_bPaused = true;
    CSvrLog::Warn("accept: %s; accepting again when a connection closes\n", std::strerror(err));
    if (!m_pRetry)
        m_pRetry = evtimer_new(m_pBase, OnRetry, this);
    if (m_pRetry)
        evtimer_add(m_pRetry, &kAcceptRetry);
    return true;
}

bool CSvrAcceptor::Resume()
{
    if (!m_bPaused)
        return false;
    m_bPaused = false;
    if (m_pRetry)
        evtimer_del(m_pRetry);
    for (evconnlistener* l : m_listeners)
        evconnlistener_enable(l);
    return true;
}

void CSvrAcceptor::OnRetry(evutil_socket_t, short, void* arg)
{
    auto* self = static_cast<CSvrAcceptor*>(arg);
    if (self->m_retry)
        self->m_retry();
    else
        self->Resume();
}

void CSvrAcceptor::SetNoDelay(int fd)
{
    const int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        CSvrLog::Warn("accept: descriptor %d: TCP_NODELAY not set: %s\n", fd, std::strerror(errno));
}

// Keepalive and the acknowledgement timeout find a device whose link died
// without a FIN or RST (cellular, NAT): the kernel reports ETIMEDOUT and the
// device is closed like any failed connection.
bool CSvrAcceptor::SetDeviceOptions(int fd, int keepAlive, int ackTimeout)
{
    const int on = keepAlive > 0;
    const int interval = std::max(1, keepAlive / kProbeDivisor);
    const unsigned int ackMs = static_cast<unsigned int>(ackTimeout) * 1000u;
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
            CSvrLog::Warn("device %d: %s not set (%s): a dead link to it may go unnoticed\n", fd, o.label,
                          std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool CSvrAcceptor::SetRules(int maxPerAddress, int reserve, int statusKeep)
{
    const bool fresh = maxPerAddress > 0 && m_nMaxPerAddress == 0;
    if (maxPerAddress == 0 || fresh)
        m_perAddress.clear();
    m_nMaxPerAddress = maxPerAddress;
    m_nReserve = reserve;
    m_nStatusKeep = reserve > 0 ? statusKeep : 0;
    return fresh;
}

void CSvrAcceptor::Measure(size_t connections)
{
    m_nLimit = relay::descriptorLimit();
    const size_t open = relay::openDescriptors(m_nLimit);
    m_nOthers = open > connections ? open - connections : 0;
    // Said once, not on every measure: no device could ever stay.
    const bool starved = m_nReserve > 0 && m_nLimit > 0 && m_nOthers + 1 + m_nReserve + m_nStatusKeep > m_nLimit;
    if (starved && !m_bStarved)
        CSvrLog::Warn("RequesterReserve=%d: with %zu descriptors in use and a limit of %llu, no device can "
                      "connect\n", m_nReserve, m_nOthers, static_cast<unsigned long long>(m_nLimit));
    m_bStarved = starved;
}

CSvrAcceptor::Verdict CSvrAcceptor::Admit(int fd, uint32_t addrNet, size_t connections) const
{
    if (m_nMaxPerAddress > 0) {
        const auto it = m_perAddress.find(addrNet);
        if (it != m_perAddress.end() && it->second >= m_nMaxPerAddress)
            return Verdict::PerAddress;
    }
    if (m_nReserve > 0 && m_nLimit > 0) {
        // The new descriptor is open and not yet among the connections.
        const uint64_t open = std::max<uint64_t>(m_nOthers + connections + 1, static_cast<uint64_t>(fd) + 1);
        if (open + static_cast<uint64_t>(m_nReserve) + static_cast<uint64_t>(m_nStatusKeep) > m_nLimit)
            return Verdict::Reserve;
    }
    return Verdict::Admit;
}

void CSvrAcceptor::Uncount(uint32_t addrNet)
{
    const auto it = m_perAddress.find(addrNet);
    if (it != m_perAddress.end() && --it->second <= 0)
        m_perAddress.erase(it);
}
