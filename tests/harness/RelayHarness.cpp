#include "RelayHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace relay_harness {

namespace {

using Clock = std::chrono::steady_clock;

// How often the waits look again. The start looks almost without pause, so
// that a test notices a listening port (and can signal the process) as early
// as possible; a start takes some tens of milliseconds.
constexpr std::chrono::microseconds kStartPollStep{20};
constexpr Millis kPollStep{1};
constexpr Millis kLogPollStep{5};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// One row of /proc/net/tcp or /proc/net/tcp6. Addresses are kept only for
// IPv4, as the 32-bit word the kernel prints (the in_addr as it lies in memory).
struct TcpRow {
    uint32_t localAddr = 0;
    int localPort = 0;
    uint32_t remoteAddr = 0;
    int remotePort = 0;
    int state = 0;
    unsigned long inode = 0;
};

constexpr int kTcpListen = 0x0A;

std::vector<TcpRow> readTcpTable(const char* path) {
    std::vector<TcpRow> rows;
    std::istringstream in(readFile(path));
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retrans, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retrans >> uid >> timeout >> inode))
            continue;
        TcpRow row;
        auto colonL = local.rfind(':');
        auto colonR = remote.rfind(':');
        if (colonL == std::string::npos || colonR == std::string::npos) continue;
        std::string localIp = local.substr(0, colonL);
        std::string remoteIp = remote.substr(0, colonR);
        if (localIp.size() == 8) row.localAddr = static_cast<uint32_t>(std::stoul(localIp, nullptr, 16));
        if (remoteIp.size() == 8) row.remoteAddr = static_cast<uint32_t>(std::stoul(remoteIp, nullptr, 16));
        row.localPort = static_cast<int>(std::stoul(local.substr(colonL + 1), nullptr, 16));
        row.remotePort = static_cast<int>(std::stoul(remote.substr(colonR + 1), nullptr, 16));
        row.state = static_cast<int>(std::stoul(state, nullptr, 16));
        row.inode = std::stoul(inode);
        rows.push_back(row);
    }
    return rows;
}

// The same rows through the kernel's socket-diagnostics interface, which
// filters by state itself. /proc/net/tcp prints every socket, TIME-WAIT ones
// included; on a machine that has just run a load test it can hold tens of
// thousands of lines and take tens of milliseconds to read, too slow to
// notice a listening port at once. Returns false when the interface is not
// available, and the caller falls back to /proc.
bool queryTcpDiag(int family, std::vector<TcpRow>& rows) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    // Every state but TIME-WAIT (6): those sockets have no owner.
    message.request.idiag_states = ~(1U << 6);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        ::close(nl);
        return false;
    }
    std::vector<char> buf(64 * 1024);
    bool done = false, ok = true;
    while (!done && ok) {
        ssize_t n = recv(nl, buf.data(), buf.size(), 0);
        if (n <= 0) {
            ok = false;
            break;
        }
        int len = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                ok = false;
                break;
            }
            const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            TcpRow row;
            if (family == AF_INET) {
                row.localAddr = msg->id.idiag_src[0];
                row.remoteAddr = msg->id.idiag_dst[0];
            }
            row.localPort = ntohs(msg->id.idiag_sport);
            row.remotePort = ntohs(msg->id.idiag_dport);
            row.state = msg->idiag_state;
            row.inode = msg->idiag_inode;
            rows.push_back(row);
        }
    }
    ::close(nl);
    return ok;
}

std::vector<TcpRow> readIpv4Tcp() {
    std::vector<TcpRow> rows;
    if (queryTcpDiag(AF_INET, rows)) return rows;
    return readTcpTable("/proc/net/tcp");
}

std::vector<TcpRow> readAllTcp() {
    std::vector<TcpRow> rows = readIpv4Tcp();
    std::vector<TcpRow> rows6;
    if (!queryTcpDiag(AF_INET6, rows6)) rows6 = readTcpTable("/proc/net/tcp6");
    rows.insert(rows.end(), rows6.begin(), rows6.end());
    return rows;
}

// Socket inode -> descriptor, for every socket the process holds.
std::map<unsigned long, int> socketInodes(pid_t pid) {
    std::map<unsigned long, int> inodes;
    std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(dirPath.c_str());
    if (!dir) return inodes;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[256] = {};
        std::string link = dirPath + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes[inode] = std::atoi(entry->d_name);
    }
    closedir(dir);
    return inodes;
}

uint32_t addressWord(const std::string& ip) {
    in_addr addr{};
    inet_pton(AF_INET, ip.c_str(), &addr);
    return addr.s_addr;
}

bool waitUntil(Millis timeout, std::chrono::microseconds step, const std::function<bool()>& done) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

std::atomic<int> g_copyCounter{0};

}  // namespace

// ---- System probes ---------------------------------------------------------

int pickFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    int port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool isPortListening(int port) {
    for (const TcpRow& row : readAllTcp())
        if (row.state == kTcpListen && row.localPort == port) return true;
    return false;
}

int listeningPortOf(pid_t pid) {
    std::map<unsigned long, int> inodes = socketInodes(pid);
    if (inodes.empty()) return 0;
    for (const TcpRow& row : readAllTcp())
        if (row.state == kTcpListen && inodes.count(row.inode)) return row.localPort;
    return 0;
}

int descriptorCount(pid_t pid) {
    std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(dirPath.c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

double cpuSeconds(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    // After the command name: field 3 (state) onwards; utime and stime are
    // fields 14 and 15.
    std::istringstream fields(stat.substr(paren + 1));
    std::vector<std::string> tokens;
    for (std::string t; fields >> t;) tokens.push_back(t);
    if (tokens.size() < 13) return -1;
    double ticks = std::stod(tokens[11]) + std::stod(tokens[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- Log texts and helpers -------------------------------------------------

std::string acceptLine(const std::string& ip, int fd) {
    return format(kAcceptFormat, addressWord(ip), ip.c_str(), fd);
}
std::string readLine(int fd, int n) { return format(kReadFormat, fd, n); }
std::string requestLine(unsigned char byte0, unsigned char byte1) {
    return format(kRequestFormat, static_cast<unsigned>(byte0), static_cast<unsigned>(byte1));
}
std::string doLine(unsigned char id) { return format(kDoFormat, static_cast<int>(id)); }
std::string closedLine(int fd) { return format(kClosedFormat, fd); }
std::string removeLine(int fd) { return format(kRemoveFormat, fd); }
std::string lockedLine(const std::string& path, const std::string& errorText) {
    return format(kLockedFormat, path.c_str(), errorText.c_str());
}

std::vector<std::string> completeLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

std::vector<AcceptRecord> parseAcceptLines(const std::string& log) {
    std::vector<AcceptRecord> records;
    for (const std::string& line : completeLines(log)) {
        char word[16] = {}, ip[32] = {};
        int fd = 0, end = 0;
        if (std::sscanf(line.c_str(), "Server OnAccept an socket %15[0-9a-f] ip=%31[0-9.],  id=%d%n", word, ip, &fd,
                        &end) == 3 &&
            static_cast<size_t>(end) == line.size())
            records.push_back({word, ip, fd});
    }
    return records;
}

// ---- Client ----------------------------------------------------------------

Client::~Client() {
    if (m_fd >= 0) ::close(m_fd);
}

bool Client::send(const std::string& bytes) {
    if (m_fd < 0) return false;
    size_t sent = 0;
    auto deadline = Clock::now() + kDataTimeout;
    while (sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{m_fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

std::string Client::receive(size_t n, Millis timeout) {
    std::string got;
    if (m_fd < 0) return got;
    auto deadline = Clock::now() + timeout;
    char buf[65536];
    while (got.size() < n && !m_peerClosed) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left < 0) break;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            if (Clock::now() >= deadline) break;
            continue;
        }
        ssize_t r = recv(m_fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
        } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            m_peerClosed = true;
        }
    }
    return got;
}

std::string Client::receiveFor(Millis window) {
    return receive(static_cast<size_t>(-1) / 2, window);
}

void Client::close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

void Client::reset() {
    if (m_fd < 0) return;
    linger lg{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
}

// ---- RelayServer -----------------------------------------------------------

std::string RelayServer::defaultBinary() {
    if (const char* env = std::getenv("RELAYSVR_BIN"); env && *env) return env;
#ifdef RELAYSVR_BIN
    return RELAYSVR_BIN;
#else
    return "";
#endif
}

RelayServer::RelayServer(const std::string& binary) {
    char tmpl[] = "/tmp/relaysvr-it-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    m_dir = tmpl;
    m_exeName = "relaySvr-t" + std::to_string(getpid()) + "-" + std::to_string(++g_copyCounter);
    m_exePath = m_dir + "/" + m_exeName;
    m_logPath = m_dir + "/relaySvr.log";
    std::error_code ec;
    std::filesystem::copy_file(binary, m_exePath, ec);
    if (ec || chmod(m_exePath.c_str(), 0755) != 0) m_exePath.clear();
    // A file of an earlier test process with the same PID must not mislead.
    unlink(pidFilePath().c_str());
}

RelayServer::~RelayServer() {
    if (running()) {
        closeAllClients();
        signal(SIGINT);
        if (!waitExit(kStopTimeout).exited) {
            kill(m_pid, SIGKILL);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_reaped = true;
        }
    }
    m_clients.clear();
    if (const char* keep = std::getenv("RELAY_HARNESS_KEEP"); keep && *keep == '1') {
        std::fprintf(stderr, "RelayHarness: kept %s\n", m_dir.c_str());
    } else if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    if (!m_exeName.empty()) unlink(pidFilePath().c_str());
}

std::string RelayServer::pidFilePath() const { return "/var/run/" + m_exeName + ".pid"; }

std::string RelayServer::pidFileContent() const { return readFile(pidFilePath()); }

pid_t RelayServer::spawn(const std::string& workDir, const std::string& logPath, const StartOptions& options) {
    // Everything the child needs is prepared before fork: after it, the child
    // makes only async-signal-safe calls.
    std::map<std::string, std::string> envMap;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) envMap[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    if (!options.detectLeaks) {
        std::string& asan = envMap["ASAN_OPTIONS"];
        asan += asan.empty() ? "detect_leaks=0" : ":detect_leaks=0";
    }
    for (const std::string& entry : options.env) {
        auto eq = entry.find('=');
        if (eq != std::string::npos) envMap[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : envMap) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = m_exePath;
    char* argv[] = {exe.data(), nullptr};
    rlimit limit{options.fileLimit, options.fileLimit};

    // The child reports a failure before exec through this pipe; a successful
    // exec closes it (close-on-exec) without a word. Until exec the child is
    // a copy of this process, with its sockets: nobody may look at it before.
    int execPipe[2];
    if (pipe2(execPipe, O_CLOEXEC) != 0) return -1;

    pid_t pid = fork();
    if (pid < 0) {
        ::close(execPipe[0]);
        ::close(execPipe[1]);
        return -1;
    }
    if (pid > 0) {
        ::close(execPipe[1]);
        int childErrno = 0;
        ssize_t n;
        do {
            n = read(execPipe[0], &childErrno, sizeof childErrno);
        } while (n < 0 && errno == EINTR);
        ::close(execPipe[0]);
        if (n > 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            std::fprintf(stderr, "RelayHarness: cannot start %s: %s\n", m_exePath.c_str(), std::strerror(childErrno));
            return -1;
        }
        return pid;
    }

    // Child.
    auto fail = [&](int code) {
        int e = errno;
        ssize_t ignored = write(execPipe[1], &e, sizeof e);
        (void)ignored;
        _exit(code);
    };
    int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (logFd < 0 || nullFd < 0) fail(126);
    dup2(nullFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    // Inherit nothing else: a client socket of the test held open by the
    // child would keep that connection alive after the test closed it. The
    // pipe is kept until exec (it is close-on-exec).
    if (execPipe[1] > 3 && syscall(SYS_close_range, 3U, static_cast<unsigned>(execPipe[1] - 1), 0U) != 0)
        for (int fd = 3; fd < execPipe[1]; ++fd) ::close(fd);
    if (syscall(SYS_close_range, static_cast<unsigned>(execPipe[1] + 1), ~0U, 0U) != 0)
        for (int fd = execPipe[1] + 1; fd < 65536; ++fd) ::close(fd);
    if (options.closeStdin) ::close(0);
    if (options.closeStdout) ::close(1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (options.fileLimit != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) fail(125);
    if (chdir(workDir.c_str()) != 0) fail(124);
    execve(argv[0], argv, envp.data());
    fail(127);
    return -1;
}

bool RelayServer::start(const StartOptions& options) {
    if (m_exePath.empty() || running()) return false;
    closeAllClients();
    m_clients.clear();
    m_port = 0;
    m_configuredPort = 0;

    std::string iniPath = m_dir + "/relaySvr.ini";
    if (options.writeIni) {
        std::string ini;
        if (options.ini) {
            ini = *options.ini;
        } else {
            m_configuredPort = pickFreePort();
            ini = "[SvrTarn]\nPort=" + std::to_string(m_configuredPort) + "\n";
        }
        if (!writeFile(iniPath, ini)) return false;
    } else {
        unlink(iniPath.c_str());
    }

    m_hasLog = !options.closeStdout;
    m_pid = spawn(m_dir, m_logPath, options);
    if (m_pid < 0) return false;
    m_reaped = false;
    return options.waitListening ? waitListening(kStartTimeout) : true;
}

bool RelayServer::waitListening(Millis timeout) {
    bool up = waitUntil(timeout, kStartPollStep, [&] {
        if (!running()) return true;
        m_port = listeningPortOf(m_pid);
        return m_port > 0;
    });
    return up && m_port > 0;
}

bool RelayServer::running() {
    if (m_pid <= 0 || m_reaped) return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_reaped = true;
        m_waitStatus = status;
        return false;
    }
    return r == 0;
}

std::string RelayServer::log() const { return readFile(m_logPath); }

std::vector<std::string> RelayServer::logLines() const { return completeLines(log()); }

int RelayServer::countLine(const std::string& line) const {
    int count = 0;
    for (const std::string& l : logLines())
        if (l == line) ++count;
    return count;
}

bool RelayServer::waitForLine(const std::string& line, int count, Millis timeout) const {
    return waitUntil(timeout, kLogPollStep, [&] { return countLine(line) >= count; });
}

bool RelayServer::waitForText(const std::string& text, Millis timeout) const {
    return waitUntil(timeout, kLogPollStep, [&] { return log().find(text) != std::string::npos; });
}

int RelayServer::findServerFd(const Client& client) const {
    if (m_pid <= 0) return -1;
    uint32_t word = addressWord(client.address());
    unsigned long inode = 0;
    for (const TcpRow& row : readIpv4Tcp())
        if (row.localPort == m_port && row.remotePort == client.localPort() && row.remoteAddr == word &&
            row.inode != 0)
            inode = row.inode;
    if (inode == 0) return -1;
    std::map<unsigned long, int> inodes = socketInodes(m_pid);
    auto it = inodes.find(inode);
    return it == inodes.end() ? -1 : it->second;
}

Client& RelayServer::connectRequester(AcceptWait wait) { return connectFrom("127.0.0.1", wait); }

Client& RelayServer::connectDevice(int id, AcceptWait wait) {
    return connectFrom("127.0.0." + std::to_string(id), wait);
}

Client& RelayServer::connectFrom(const std::string& ip, AcceptWait wait, int receiveBuffer) {
    m_clients.push_back(std::unique_ptr<Client>(new Client));
    Client& client = *m_clients.back();
    client.m_address = ip;
    std::vector<AcceptRecord> before = wait == AcceptWait::Log ? parseAcceptLines(log()) : std::vector<AcceptRecord>{};

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return client;
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addressWord(ip);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(m_port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    if ((ip != "127.0.0.1" && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        ::close(fd);
        return client;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    client.m_fd = fd;
    client.m_localPort = ntohs(local.sin_port);
    if (wait == AcceptWait::None) return client;

    int serverFd = -1;
    if (!waitUntil(kDataTimeout, kPollStep, [&] { return (serverFd = findServerFd(client)) >= 0; })) {
        client.close();
        return client;
    }
    if (wait == AcceptWait::Log) {
        // The descriptor may have been used before: wait for one more accept
        // line for this address and descriptor than there was.
        int seen = 0;
        for (const AcceptRecord& r : before)
            if (r.ip == ip && r.fd == serverFd) ++seen;
        if (!waitForLine(acceptLine(ip, serverFd), seen + 1)) {
            client.close();
            return client;
        }
    }
    client.m_serverFd = serverFd;
    return client;
}

bool RelayServer::closeClient(Client& client, bool reset, Millis timeout) {
    int fd = client.serverFd();
    int before = fd >= 0 ? countLine(removeLine(fd)) : 0;
    if (reset)
        client.reset();
    else
        client.close();
    return fd >= 0 && waitForLine(removeLine(fd), before + 1, timeout);
}

void RelayServer::closeAllClients() {
    for (auto& client : m_clients) client->close();
}

void RelayServer::waitClientsGone(Millis timeout) {
    waitUntil(timeout, kLogPollStep, [&] {
        if (!running()) return true;
        if (m_hasLog) {
            std::string text = log();
            size_t removes = 0;
            for (const std::string& line : completeLines(text)) {
                int fd = 0;
                if (std::sscanf(line.c_str(), " %d", &fd) == 1 && line == removeLine(fd)) ++removes;
            }
            if (removes < parseAcceptLines(text).size()) return false;
        }
        // Every socket but the listener is closed.
        std::map<unsigned long, int> inodes = socketInodes(m_pid);
        size_t listening = 0;
        for (const TcpRow& row : readAllTcp())
            if (row.state == kTcpListen && inodes.count(row.inode)) ++listening;
        return inodes.size() <= listening;
    });
}

bool RelayServer::signal(int sig) {
    if (!running()) return false;
    return kill(m_pid, sig) == 0;
}

ExitInfo RelayServer::waitExit(Millis timeout) {
    ExitInfo info;
    waitUntil(timeout, kPollStep, [&] { return !running(); });
    if (m_reaped && m_pid > 0) {
        info.exited = true;
        if (WIFEXITED(m_waitStatus)) info.status = WEXITSTATUS(m_waitStatus);
        if (WIFSIGNALED(m_waitStatus)) info.signal = WTERMSIG(m_waitStatus);
    }
    info.log = log();
    return info;
}

ExitInfo RelayServer::stop(Millis timeout) {
    closeAllClients();
    waitClientsGone(kDataTimeout);
    signal(SIGINT);
    return waitExit(timeout);
}

ExitInfo RelayServer::runAgain(const std::string& sub, const std::string& ini, Millis timeout) {
    ExitInfo info;
    std::string workDir = m_dir + "/" + sub;
    std::string logPath = workDir + "/relaySvr.log";
    std::error_code ec;
    std::filesystem::create_directories(workDir, ec);
    if (ec || !writeFile(workDir + "/relaySvr.ini", ini) || m_exePath.empty()) return info;
    pid_t pid = spawn(workDir, logPath, StartOptions{});
    if (pid < 0) return info;
    int status = 0;
    bool ended = waitUntil(timeout, kPollStep, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        info.exited = true;
        if (WIFEXITED(status)) info.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) info.signal = WTERMSIG(status);
    }
    info.log = readFile(logPath);
    return info;
}

}  // namespace relay_harness
