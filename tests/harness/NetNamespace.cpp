#include "harness/NetNamespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace relay_harness {

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The largest answer a device in the namespace sends.
constexpr size_t kMaxAnswer = 64 * 1024;
constexpr size_t kHeaderBytes = 4;

}  // namespace

std::string answerBytes(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(answerByte(i));
    return s;
}

NetNamespace::NetNamespace() {
    const std::string n = std::to_string(getpid() % 100000);
    m_name = "relay-t" + n;
    m_host = "rvh" + n;
    m_peer = "rvn" + n;
    const std::string net = "10.250." + std::to_string(getpid() % 250) + ".";
    hostAddr = net + "1";
    nsAddr = net + "2";
    m_ok = run("ip netns add " + m_name) && run("ip link add " + m_host + " type veth peer name " + m_peer) &&
           run("ip link set " + m_peer + " netns " + m_name) && run("ip addr add " + hostAddr + "/30 dev " + m_host) &&
           run("ip link set " + m_host + " up") && run(in() + "ip addr add " + nsAddr + "/30 dev " + m_peer) &&
           run(in() + "ip link set " + m_peer + " up");
}

NetNamespace::~NetNamespace() {
    killDevices();
    run("ip netns del " + m_name);
    run("ip link del " + m_host);
}

void NetNamespace::killDevices() {
    for (pid_t p : m_children) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    m_children.clear();
}

std::string NetNamespace::in() const { return "ip netns exec " + m_name + " "; }

bool NetNamespace::cut() { return run(in() + "ip link set " + m_peer + " down"); }

bool NetNamespace::mend() { return run(in() + "ip link set " + m_peer + " up"); }

bool NetNamespace::limit(const std::string& rate) {
    run(in() + "tc qdisc del dev " + m_peer + " root");
    return rate.empty() ||
           run(in() + "tc qdisc add dev " + m_peer + " root tbf rate " + rate + " burst 1540 latency 400ms");
}

bool NetNamespace::mtu(int bytes) {
    const std::string m = std::to_string(bytes);
    return run("ip link set dev " + m_host + " mtu " + m) && run(in() + "ip link set dev " + m_peer + " mtu " + m);
}

pid_t NetNamespace::device(int port, DeviceReply reply) {
    const std::string nsPath = "/var/run/netns/" + m_name;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, hostAddr.c_str(), &to.sin_addr);
    const std::string answer = answerBytes(reply.size < kMaxAnswer ? reply.size : kMaxAnswer);
    const pid_t pid = fork();
    if (pid == 0) {  // only system calls from here
        // The test's own sockets must not stay open in here, or their close
        // would never reach the relay.
        close_range(3, ~0U, 0);
        // A socket belongs to the namespace it is made in: join first.
        const int ns = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(1);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) _exit(1);
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
            if (answer.empty()) {
                send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            } else if (reply.headerFirst && answer.size() > kHeaderBytes) {
                send(fd, answer.data(), kHeaderBytes, MSG_NOSIGNAL);
                send(fd, answer.data() + kHeaderBytes, answer.size() - kHeaderBytes, MSG_NOSIGNAL);
            } else {
                send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
        _exit(0);
    }
    if (pid > 0) m_children.push_back(pid);
    return pid;
}

}  // namespace relay_harness
