#include "harness/InProcessRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <event2/event.h>
#include <event2/listener.h>

namespace relay_harness {

namespace {

int listeningPort(evconnlistener* listener) {
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    getsockname(evconnlistener_get_fd(listener), reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

sockaddr_in ipv4(const std::string& ip, int port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &sin.sin_addr);
    return sin;
}

// A persistent timer that ends each EVLOOP_ONCE pass within a millisecond.
void onTick(evutil_socket_t, short, void*) {}

}  // namespace

InProcessRelay::InProcessRelay() {
    // As in the server process: a write to a peer that reset fails, it does
    // not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    char path[] = "/tmp/inprocess-relay-XXXXXX";
    m_logFd = mkstemp(path);
    EXPECT_GE(m_logFd, 0);
    unlink(path);
    CSvrLog::Redirect(m_logFd);
    m_svr.m_nPort = 0;
    m_svr.SvrInit(&m_pBase);
    m_svr.SvrStart();
    EXPECT_TRUE(m_svr.SvrIsOk());
    if (m_svr.SvrIsOk()) {
        m_port = listeningPort(m_svr.m_pListener);
        static const timeval tick{0, 1000};
        m_pTick = event_new(m_svr.m_pBase, -1, EV_PERSIST, onTick, nullptr);
        if (m_pTick) event_add(m_pTick, &tick);
    }
}

InProcessRelay::~InProcessRelay() {
    for (auto& c : m_clients)
        if (c->fd >= 0) ::close(c->fd);
    if (m_svr.SvrIsOk()) {
        // Let the server see every close, so that nothing stays allocated.
        EXPECT_TRUE(pump([&] { return m_svr.m_mapBuff.empty(); }));
        EXPECT_TRUE(m_svr.CheckTables());
        if (m_pTick) event_free(m_pTick);
        m_svr.SvrClose();
        m_svr.SvrFree();
    }
    CSvrLog::Redirect(-1);
    if (m_logFd >= 0) ::close(m_logFd);
}

void InProcessRelay::pass() {
    if (m_svr.m_pBase) event_base_loop(m_svr.m_pBase, EVLOOP_ONCE);
}

InProcessRelay::Client& InProcessRelay::connectFrom(const std::string& ip, int receiveBuffer) {
    m_clients.push_back(std::make_unique<Client>());
    Client& c = *m_clients.back();
    const int raw = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    c.fd = fcntl(raw, F_DUPFD_CLOEXEC, kClientFdFloor);
    ::close(raw);
    if (receiveBuffer > 0) setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in local = ipv4(ip, 0), server = ipv4("127.0.0.1", m_port);
    EXPECT_EQ(bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0) << ip << ": " << strerror(errno);
    const int rc = connect(c.fd, reinterpret_cast<sockaddr*>(&server), sizeof(server));
    EXPECT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
    socklen_t len = sizeof(local);
    getsockname(c.fd, reinterpret_cast<sockaddr*>(&local), &len);
    // The server's end is the accepted socket whose peer is our end.
    auto findServerEnd = [&] {
        for (const auto& entry : m_svr.m_mapBuff) {
            sockaddr_in peer{};
            socklen_t plen = sizeof(peer);
            if (getpeername(entry.first, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 &&
                peer.sin_port == local.sin_port && peer.sin_addr.s_addr == local.sin_addr.s_addr) {
                c.serverFd = entry.first;
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(pump(findServerEnd)) << "the server did not accept the connection from " << ip;
    if (receiveBuffer > 0 && c.serverFd >= 0)
        setsockopt(c.serverFd, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof(receiveBuffer));
    return c;
}

bool InProcessRelay::send(Client& c, const std::string& bytes) {
    size_t sent = 0;
    pump([&] {
        const ssize_t n = ::send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent += static_cast<size_t>(n);
        return sent == bytes.size() || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
    return sent == bytes.size();
}

std::string InProcessRelay::receive(Client& c, size_t n, Millis timeout) {
    std::string got;
    char buf[65536];
    pump(
        [&] {
            for (;;) {
                const ssize_t r = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
                if (r > 0) {
                    got.append(buf, static_cast<size_t>(r));
                    continue;
                }
                return got.size() >= n || r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            }
        },
        timeout);
    return got;
}

std::string InProcessRelay::receiveFor(Client& c, Millis window) {
    return receive(c, static_cast<size_t>(-1) / 2, window);
}

bool InProcessRelay::close(Client& c, bool reset) {
    const std::string line = removeLine(c.serverFd);
    const int before = countLine(line);
    if (reset) {
        const linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    }
    ::close(c.fd);
    c.fd = -1;
    return waitForLine(line, before + 1);
}

void InProcessRelay::closeNow(Client& c) {
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

std::vector<std::string> InProcessRelay::logLines() {
    std::string text;
    char buf[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_logFd, buf, sizeof(buf), at);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return completeLines(text);
}

int InProcessRelay::countLine(const std::string& line) {
    int n = 0;
    for (const std::string& l : logLines()) n += l == line;
    return n;
}

bool InProcessRelay::waitForLine(const std::string& line, int count, Millis timeout) {
    // The log is written at most every 50 ms: look a little less often than
    // the loop runs.
    int passes = 0;
    return pump([&] { return ++passes % 8 == 0 && countLine(line) >= count; }, timeout);
}

::testing::AssertionResult relays(InProcessRelay& relay, InProcessRelay::Client& from, InProcessRelay::Client& to,
                                  const std::string& bytes) {
    if (!relay.send(from, bytes)) return ::testing::AssertionFailure() << "could not send " << bytes.size() << " bytes";
    const std::string got = relay.receive(to, bytes.size());
    if (got != bytes)
        return ::testing::AssertionFailure() << "sent " << bytes.size() << " bytes, received " << got.size() << ": \""
                                             << got.substr(0, 64) << "\"";
    return ::testing::AssertionSuccess();
}

}  // namespace relay_harness
