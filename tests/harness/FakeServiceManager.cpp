#include "harness/FakeServiceManager.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace relay_harness {

namespace {

// A notification carries at most this many descriptors (the kernel's SCM_MAX_FD).
constexpr size_t kMaxFdsPerMessage = 253;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace

FakeServiceManager::FakeServiceManager(size_t storeSize) : m_storeSize(storeSize) {
    char dir[] = "/tmp/relay-notify-XXXXXX";
    if (!mkdtemp(dir)) return;
    m_dir = dir;
    m_path = m_dir + "/notify";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, m_path.c_str(), sizeof(addr.sun_path) - 1);
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    // A large store of 1,000 devices arrives in a burst of messages.
    const int size = 8 << 20;
    if (m_fd >= 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

FakeServiceManager::~FakeServiceManager() {
    for (auto& s : m_stored) ::close(s.first);
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.empty()) unlink(m_path.c_str());
    if (!m_dir.empty()) rmdir(m_dir.c_str());
}

std::vector<std::string> FakeServiceManager::env() const {
    std::vector<std::string> e = {"NOTIFY_SOCKET=" + m_path};
    if (m_storeSize > 0) e.push_back("FDSTORE=" + std::to_string(m_storeSize));
    return e;
}

void FakeServiceManager::drain(Millis timeout) {
    bool waited = timeout.count() == 0;
    for (;;) {
        char text[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
        iovec iov{text, sizeof(text) - 1};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(m_fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0) {
            if (waited) return;
            pollfd p{m_fd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(timeout.count()));
            waited = true;
            continue;
        }
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const int* at = reinterpret_cast<const int*>(CMSG_DATA(c));
            fds.insert(fds.end(), at, at + count);
        }
        text[n] = '\0';
        const std::string message(text, static_cast<size_t>(n));
        m_messages.push_back(message);
        std::string name = "stored";
        bool store = false, remove = false;
        for (const std::string& l : linesOf(message)) {
            if (l == "FDSTORE=1") store = true;
            if (l == "FDSTOREREMOVE=1") remove = true;
            if (l.rfind("FDNAME=", 0) == 0) name = l.substr(7);
        }
        for (int fd : fds) {
            // As systemd: kept up to the store's size, the rest closed.
            if (store && m_stored.size() < m_storeSize)
                m_stored.emplace_back(fd, name);
            else
                ::close(fd);
        }
        if (remove) {
            for (auto& s : m_stored)
                if (s.second == name) ::close(s.first);
            m_stored.erase(std::remove_if(m_stored.begin(), m_stored.end(),
                                          [&](const std::pair<int, std::string>& s) { return s.second == name; }),
                           m_stored.end());
        }
    }
}

bool FakeServiceManager::waitFor(const std::string& line, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const std::string& m : m_messages)
            for (const std::string& l : linesOf(m))
                if (l == line) return true;
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        drain(std::min(left, Millis(50)));
    }
}

size_t FakeServiceManager::storedNamed(const std::string& name) const {
    return static_cast<size_t>(std::count_if(m_stored.begin(), m_stored.end(),
                                             [&](const std::pair<int, std::string>& s) { return s.second == name; }));
}

}  // namespace relay_harness
