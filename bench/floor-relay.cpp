// relay-floor: the least work a relay with relaySvr's routing can do, as a
// yardstick for the benchmark. Not a product: no settings file, no PID file,
// no flow control (a peer that stops reading makes its queue grow; the load
// generator always reads).
//
//   relay-floor PORT [--log]
//
// One thread, epoll (level-triggered), libc only. Per hop one recv and, when
// the target's socket takes the chunk, one send. Routing is relaySvr's:
// 127.0.0.1 is a requester, any other peer a device known by the last octet
// of its address; byte 1 of a requester's chunk names the device (lowest
// descriptor among devices of that id), and the requester then waits on it
// (or on nothing when no device has the id); a device's chunk goes to the
// lowest-descriptor requester waiting on it, which then waits on nothing, or
// is dropped. With --log it prints relaySvr's log lines, written to stdout
// with one write per epoll pass, as relaySvr does.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RelayDefaults.h"

namespace {

constexpr int kBacklog = 1024;        // relaySvr's listen backlog (SvrWrapperTarn.h)
// Events taken per epoll_wait: the benchmark's busiest scenario has 128 active
// connections, so one pass sees all that are ready.
constexpr int kEventsPerPass = 256;
// Accepts per pass, so that a burst of new connections cannot starve the
// connections already open; the backlog keeps the rest for the next pass.
constexpr int kAcceptsPerPass = 64;
constexpr int kNoConn = -1;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Conn {
    bool open = false;
    bool requester = false;
    unsigned char id = 0;        // device: last octet of its address
    int waitOn = kNoConn;        // requester: the device it waits on
    std::vector<int> waiters;    // device: requesters waiting on it, ascending
    std::string out;             // what the socket did not take yet
    unsigned gen = 0;            // tells a stale epoll event from one for a reused descriptor
};

std::vector<Conn> g_conns;                   // by descriptor
std::vector<int> g_devicesById[256];         // ascending descriptors
int g_ep = -1;
bool g_log = false;
std::string g_logBuf;
in_addr_t g_requesterAddr = 0;

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...)
{
    if (!g_log)
        return;
    char line[128];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0)
        g_logBuf.append(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

void FlushLog()
{
    size_t off = 0;
    while (off < g_logBuf.size()) {
        const ssize_t w = write(STDOUT_FILENO, g_logBuf.data() + off, g_logBuf.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break; // a log that cannot be written is lost, as stdio would lose it
        off += static_cast<size_t>(w);
    }
    g_logBuf.clear();
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

void Watch(int fd, int op, bool wantOut)
{
    epoll_event ev{};
    ev.events = EPOLLIN | (wantOut ? EPOLLOUT : 0u);
    ev.data.u64 = (static_cast<uint64_t>(g_conns[fd].gen) << 32) | static_cast<uint32_t>(fd);
    epoll_ctl(g_ep, op, fd, &ev);
}

void SetWait(int req, int dev)
{
    Conn& r = g_conns[req];
    if (r.waitOn == dev)
        return;
    if (r.waitOn != kNoConn)
        SortedErase(g_conns[r.waitOn].waiters, req);
    r.waitOn = dev;
    if (dev != kNoConn)
        SortedInsert(g_conns[dev].waiters, req);
}

void Close(int fd, bool eof)
{
    Conn& c = g_conns[fd];
    if (!c.open)
        return;
    if (eof)
        Log(" %d connection closed\n", fd);
    else
        Log("OnEvent meet some other error\n");
    Log(" %d remove\n", fd);
    if (c.requester) {
        SetWait(fd, kNoConn);
    } else {
        SortedErase(g_devicesById[c.id], fd);
        for (int r : c.waiters)
            g_conns[r].waitOn = kNoConn;
    }
    close(fd);
    const unsigned gen = c.gen + 1;
    c = Conn();
    c.gen = gen;
}

// Returns false when the target's socket failed: the caller closes it.
bool Forward(int fd, const unsigned char* data, size_t n)
{
    Conn& t = g_conns[fd];
    if (t.out.empty()) {
        const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(n))
            return true;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
        t.out.assign(reinterpret_cast<const char*>(data) + done, n - done);
        Watch(fd, EPOLL_CTL_MOD, true);
        return true;
    }
    t.out.append(reinterpret_cast<const char*>(data), n);
    return true;
}

void OnWritable(int fd)
{
    Conn& c = g_conns[fd];
    const ssize_t sent = send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Close(fd, false);
        return;
    }
    c.out.erase(0, static_cast<size_t>(sent));
    if (c.out.empty())
        Watch(fd, EPOLL_CTL_MOD, false);
}

void OnReadable(int fd)
{
    unsigned char buf[relay::kChunkSize];
    // A one-byte request names device 0, as in relaySvr.
    buf[1] = 0;
    const ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(fd, got == 0);
        return;
    }
    if (got < 0)
        return;
    const size_t n = static_cast<size_t>(got);
    Log(" %d  OnRead: %d\n", fd, static_cast<int>(n));
    int target = kNoConn;
    Conn& c = g_conns[fd];
    if (!c.requester) {
        if (!c.waiters.empty()) {
            target = c.waiters.front();
            SetWait(target, kNoConn);
        }
    } else {
        Log(" is request: %02x %02x\n", buf[0], buf[1]);
        const std::vector<int>& devs = g_devicesById[buf[1]];
        target = devs.empty() ? kNoConn : devs.front();
        SetWait(fd, target);
        if (target != kNoConn)
            Log(" do... [%d]\n", buf[1]);
    }
    if (target != kNoConn && !Forward(target, buf, n))
        Close(target, false);
}

void OnAcceptable(int listenFd)
{
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // EAGAIN, or out of descriptors: the backlog keeps it for a later pass
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        Log("Server OnAccept an socket %04x ip=%s,  id=%d\n",
            static_cast<unsigned>(peer.sin_addr.s_addr), ip, fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (static_cast<size_t>(fd) >= g_conns.size())
            g_conns.resize(std::max<size_t>(static_cast<size_t>(fd) + 1, g_conns.size() * 2));
        Conn& c = g_conns[fd];
        c.open = true;
        c.requester = peer.sin_addr.s_addr == g_requesterAddr;
        if (!c.requester) {
            c.id = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr)[3];
            SortedInsert(g_devicesById[c.id], fd);
        }
        Watch(fd, EPOLL_CTL_ADD, false);
    }
}

} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0)
            g_log = true;
        else
            port = std::atoi(argv[i]);
    }
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: relay-floor PORT [--log]\n");
        return 2;
    }
    inet_pton(AF_INET, relay::kRequesterAddress, &g_requesterAddr);

    // Every connection costs a descriptor: take all that the hard limit allows.
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal; // no SA_RESTART: epoll_wait returns EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // the benchmark stays on this machine
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        listen(lfd, kBacklog) != 0) {
        std::perror("relay-floor: listen");
        return 1;
    }
    g_ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.u64 = static_cast<uint32_t>(lfd);
    epoll_ctl(g_ep, EPOLL_CTL_ADD, lfd, &lev);
    g_conns.resize(static_cast<size_t>(lfd) + 1);

    epoll_event evs[kEventsPerPass];
    while (!g_stop) {
        const int n = epoll_wait(g_ep, evs, kEventsPerPass, -1);
        if (n < 0 && errno != EINTR) {
            std::perror("relay-floor: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = static_cast<int>(evs[i].data.u64 & 0xffffffffu);
            const unsigned gen = static_cast<unsigned>(evs[i].data.u64 >> 32);
            if (fd == lfd) {
                OnAcceptable(lfd);
                continue;
            }
            if (!g_conns[fd].open || g_conns[fd].gen != gen)
                continue; // closed earlier in this pass
            if (evs[i].events & EPOLLOUT)
                OnWritable(fd);
            if (g_conns[fd].open && g_conns[fd].gen == gen &&
                (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                OnReadable(fd);
        }
        FlushLog();
    }
    FlushLog();
    std::printf("exit 0\n");
    return 0;
}
