#include "RelayHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary | std::ios::trunc) << content);
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

// Waits until the socket is ready for events; false once the deadline has passed.
bool pollUntil(int fd, short events, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    pollfd p{fd, events, 0};
    if (left <= 0) return false;
    poll(&p, 1, static_cast<int>(left));
    return true;
}

template <class Done>
bool waitUntil(Millis timeout, std::chrono::microseconds step, Done done) {
    for (auto deadline = Clock::now() + timeout;; std::this_thread::sleep_for(step)) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
    }
}

uint32_t addressWord(const std::string& ip) {
    in_addr addr{};
    inet_pton(AF_INET, ip.c_str(), &addr);
    return addr.s_addr;
}

// One row of /proc/net/tcp or /proc/net/tcp6. The file lists TIME-WAIT
// sockets too, tens of thousands after a load test, and the kernel writes it
// as it is read: it is read line by line, each line scanned once for the
// fields needed here, and a look for listeners stops after them (they come
// first), before the kernel has written the rest.
struct TcpRow {
    unsigned localPort = 0, remotePort = 0, state = 0;
    char remote[33] = {};  // remote address as printed (IPv4: "%08X" of the in_addr word)
    unsigned long inode = 0;
};
constexpr unsigned kTcpListen = 0x0A;

std::vector<TcpRow> tcpTable(const char* path, bool listenersOnly = false) {
    std::vector<TcpRow> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    for (TcpRow r; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "%*d: %*[0-9A-F]:%x %32[0-9A-F]:%x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &r.localPort, r.remote, &r.remotePort, &r.state, &r.inode) == 5) {
            if (listenersOnly && r.state != kTcpListen) break;
            rows.push_back(r);
        }
    return rows;
}

// Descriptor -> link target ("socket:[inode]", a path, ...) for every open
// descriptor of the process; empty when the process is gone.
std::map<int, std::string> descriptors(pid_t pid) {
    std::map<int, std::string> fds;
    const std::string dirPath = "/proc/" + std::to_string(pid) + "/fd/";
    if (DIR* dir = opendir(dirPath.c_str())) {
        while (dirent* entry = readdir(dir)) {
            char target[256] = {};
            if (entry->d_name[0] != '.' && readlink((dirPath + entry->d_name).c_str(), target, sizeof target - 1) > 0)
                fds[std::atoi(entry->d_name)] = target;
        }
        closedir(dir);
    }
    return fds;
}

// Socket inode -> descriptor, for every socket the process holds.
std::map<unsigned long, int> socketInodes(pid_t pid) {
    std::map<unsigned long, int> inodes;
    for (const auto& [fd, target] : descriptors(pid))
        if (unsigned long inode = 0; std::sscanf(target.c_str(), "socket:[%lu]", &inode) == 1) inodes[inode] = fd;
    return inodes;
}

// The IPv4 port on which the process listens, 0 when it listens on none.
// With wanted set, that port or 0: a status server may listen beside it.
int listeningPortOf(pid_t pid, int wanted = 0) {
    const std::map<unsigned long, int> inodes = socketInodes(pid);
    if (!inodes.empty())
        for (const TcpRow& row : tcpTable("/proc/net/tcp", true))
            if (inodes.count(row.inode) && (wanted == 0 || static_cast<int>(row.localPort) == wanted))
                return static_cast<int>(row.localPort);
    return 0;
}

// Runs a program as another user.
constexpr char kSetpriv[] = "/usr/bin/setpriv";
// Runs a program under other resource limits (util-linux): set before the
// program starts, so that it never sees the old ones.
constexpr char kPrlimit[] = "/usr/bin/prlimit";

// The server keeps its PID file in /var/run: without the right to write
// there, no test that starts it can run.
class VarRunCheck : public ::testing::Environment {
public:
    void SetUp() override {
        if (access("/var/run/", W_OK) != 0)
            GTEST_SKIP() << "/var/run is not writable: the server cannot hold its PID file there";
    }
};
[[maybe_unused]] ::testing::Environment* const g_varRunCheck = ::testing::AddGlobalTestEnvironment(new VarRunCheck);

// Sockets of the process that are not listening: its connections (and any
// socket it has not bound yet).
size_t connectedSockets(pid_t pid) {
    std::map<unsigned long, int> inodes = socketInodes(pid);
    for (const TcpRow& row : tcpTable("/proc/net/tcp", true)) inodes.erase(row.inode);
    return inodes.size();
}

sockaddr_in inetAddress(uint32_t word, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = word;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

void setExit(ExitInfo& info, int status) {
    info.exited = true;
    if (WIFEXITED(status)) info.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) info.signal = WTERMSIG(status);
}

}  // namespace

// ---- System probes ---------------------------------------------------------

int pickFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = inetAddress(INADDR_ANY, 0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

bool isPortListening(int port) {
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"})
        for (const TcpRow& row : tcpTable(path, true))
            if (static_cast<int>(row.localPort) == port) return true;
    return false;
}

int descriptorCount(pid_t pid) {
    const size_t n = descriptors(pid).size();
    return n == 0 ? -1 : static_cast<int>(n);
}

bool waitDescriptorCount(pid_t pid, int count, Millis timeout) {
    return waitUntil(timeout, kLogPollStep, [&] { return descriptorCount(pid) == count; });
}

double cpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    unsigned long user = 0, system = 0;
    // After the command name: state, five numbers, five counters, then
    // utime and stime (fields 14 and 15).
    if (paren == std::string::npos ||
        std::sscanf(stat.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2)
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- Log lines -------------------------------------------------------------

std::string acceptLine(const std::string& ip, int fd) {
    return format("Server OnAccept an socket %04x ip=%s,  id=%d", addressWord(ip), ip.c_str(), fd);
}
std::string readLine(int fd, int n) { return format(" %d  OnRead: %d", fd, n); }
std::string requestLine(unsigned char byte0, unsigned char byte1) {
    return format(" is request: %02x %02x", static_cast<unsigned>(byte0), static_cast<unsigned>(byte1));
}
std::string doLine(unsigned char id) { return format(" do... [%d]", static_cast<int>(id)); }
std::string closedLine(int fd) { return format(" %d connection closed", fd); }
std::string removeLine(int fd) { return format(" %d remove", fd); }
std::string lockedLine(const std::string& path, const std::string& errorText) {
    return format("%s already locked, error: %s", path.c_str(), errorText.c_str());
}

StartOptions Status::options(const std::string& more) const {
    StartOptions o;
    o.iniExtra = ini() + more;
    return o;
}

::testing::AssertionResult Status::start(RelayServer& srv, rlim_t fileLimit) const {
    StartOptions o = options();
    o.fileLimit = fileLimit;
    if (!srv.start(o)) return ::testing::AssertionFailure() << "the server did not start: " << srv.log();
    if (!waitFor(kDataTimeout, [&] { return isPortListening(port); }))
        return ::testing::AssertionFailure() << "the status port " << port << " does not listen: " << srv.log();
    return ::testing::AssertionSuccess();
}

int indexOf(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i] == text) return i;
    return -1;
}

::testing::AssertionResult holdsRun(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    const int first = expected.empty() ? 0 : indexOf(lines, expected.front());
    if (first < 0 || lines.size() < first + expected.size() ||
        !std::equal(expected.begin(), expected.end(), lines.begin() + first)) {
        auto failure = ::testing::AssertionFailure() << "expected the run\n";
        for (const std::string& l : expected) failure << "  " << l << "\n";
        failure << "in the lines\n";
        for (const std::string& l : lines) failure << "  " << l << "\n";
        return failure;
    }
    return ::testing::AssertionSuccess();
}

std::string request(unsigned char tag, unsigned char id, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    s[0] = static_cast<char>(tag);
    if (n > 1) s[1] = static_cast<char>(id);
    return s;
}

HttpReply httpRequest(int port, const std::string& methodAndPath, Millis timeout, const std::string& body) {
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = inetAddress(htonl(INADDR_LOOPBACK), port);
    const timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string text;
    const std::string request = methodAndPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                                (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                                "\r\n" + body;
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const auto deadline = Clock::now() + timeout;
        char buf[65536];
        for (ssize_t n; Clock::now() < deadline && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
            text.append(buf, static_cast<size_t>(n));
    }
    if (fd >= 0) ::close(fd);
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos || std::sscanf(text.c_str(), "HTTP/1.%*d %d", &reply.status) != 1) return HttpReply();
    reply.headers = text.substr(0, end + 2);
    reply.body = text.substr(end + 4);
    return reply;
}

double metric(const std::string& text, const std::string& series) {
    const std::string key = "\n" + series + " ";
    const size_t at = ("\n" + text).find(key);
    return at == std::string::npos ? -1 : std::strtod(text.c_str() + at + key.size() - 1, nullptr);
}

std::vector<std::string> completeLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

::testing::AssertionResult isClean(const ExitInfo& e) {
    const std::vector<std::string> lines = completeLines(e.log);
    if (e.exited && e.status == 0 && e.signal == 0 && !lines.empty() && lines.back() == kExitOkLine)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exited " << e.exited << ", status " << e.status << ", signal " << e.signal
                                         << "; log (its end):\n" << e.log.substr(e.log.size() - std::min<size_t>(e.log.size(), 3000));
}

// ---- Client ----------------------------------------------------------------

size_t Client::write(const std::string& bytes, Millis timeout) {
    size_t sent = 0;
    const auto deadline = Clock::now() + timeout;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || !pollUntil(m_fd, POLLOUT, deadline)) break;
    }
    return sent;
}

std::string Client::receive(size_t n, Millis timeout) {
    std::string got;
    const auto deadline = Clock::now() + timeout;
    char buf[65536];
    while (m_fd >= 0 && got.size() < n && !m_peerClosed) {
        const ssize_t r = recv(m_fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
            continue;
        }
        m_peerClosed = r == 0 || (errno != EAGAIN && errno != EINTR);
        if (m_peerClosed || !pollUntil(m_fd, POLLIN, deadline)) break;
    }
    return got;
}

std::string Client::receiveFor(Millis window) { return receive(static_cast<size_t>(-1) / 2, window); }

void Client::close(bool reset) {
    if (m_fd < 0) return;
    if (reset) {
        linger lg{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(m_fd);
    m_fd = -1;
}

::testing::AssertionResult relays(Client& from, Client& to, const std::string& bytes) {
    if (!from.send(bytes)) return ::testing::AssertionFailure() << "the send failed";
    const std::string got = to.receive(bytes.size());
    if (got == bytes) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "received \"" << got << "\" (" << got.size() << " bytes), not \"" << bytes << "\"";
}

// ---- RelayServer -----------------------------------------------------------

bool canRunAs(const std::string& user, std::string& why) {
    if (geteuid() != 0)
        why = "the test does not run as root";
    else if (access(kSetpriv, X_OK) != 0)
        why = std::string(kSetpriv) + " is not installed";
    else if (!getpwnam(user.c_str()))
        why = "there is no user " + user;
    else
        return true;
    return false;
}

std::string RelayServer::defaultBinary() {
    for (const char* name : {"RELAY_TEST_SERVER", "RELAYSVR_BIN"})
        if (const char* env = std::getenv(name); env && *env) return env;
    return RELAYSVR_BIN;
}

RelayServer::RelayServer(const std::string& binary) {
    static std::atomic<int> copies{0};
    char tmpl[] = "/tmp/relaysvr-it-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    m_dir = tmpl;
    m_exeName = "relaySvr-t" + std::to_string(getpid()) + "-" + std::to_string(++copies);
    m_exePath = m_dir + "/" + m_exeName;
    std::error_code ec;
    if (!std::filesystem::copy_file(binary, m_exePath, ec) || chmod(m_exePath.c_str(), 0755) != 0) m_exePath.clear();
    // A file of an earlier test process with the same PID must not mislead.
    unlink(pidFilePath().c_str());
}

RelayServer::~RelayServer() {
    closeAllClients();
    if (m_stdoutPipe >= 0) ::close(m_stdoutPipe);
    if (signal(SIGINT) && !waitExit().exited) {
        kill(m_pid, SIGKILL);
        waitExit();
    }
    std::error_code ec;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    if (!m_exeName.empty()) unlink(pidFilePath().c_str());
}

std::string RelayServer::pidFileContent() const { return readFile(pidFilePath()); }

// Starts the copy in workDir with stdin from /dev/null and stdout and stderr
// into workDir/relaySvr.log. posix_spawn returns once the child has run exec,
// so nobody looks at the child while it still holds copies of our sockets.
pid_t RelayServer::spawn(const std::string& workDir, const StartOptions& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (options.asanOptions.empty() || std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.push_back(*e);
    if (const char* asan = std::getenv("ASAN_OPTIONS"); !options.asanOptions.empty())
        env.push_back("ASAN_OPTIONS=" + (asan && *asan ? std::string(asan) + ":" : "") + options.asanOptions);
    env.insert(env.end(), options.env.begin(), options.env.end());
    const size_t inherited = options.inherit.size();
    if (inherited > 0) {
        std::string names;
        for (const auto& d : options.inherit) names += (names.empty() ? "" : ":") + d.second;
        env.push_back("LISTEN_FDS=" + std::to_string(inherited));
        env.push_back("LISTEN_FDNAMES=" + names);
    }
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());

    // The program and its arguments: the copy, or setpriv running it as the user.
    std::vector<std::string> words;
    const bool limitFirst = options.fileLimit != 0 && access(kPrlimit, X_OK) == 0;
    if (limitFirst)
        words = {kPrlimit, "--nofile=" + std::to_string(options.fileLimit) + ":" + std::to_string(options.fileLimit)};
    if (!options.user.empty()) {
        const passwd* pw = getpwnam(options.user.c_str());
        if (!pw) return -1;
        words.insert(words.end(), {kSetpriv, "--reuid=" + std::to_string(pw->pw_uid),
                                   "--regid=" + std::to_string(pw->pw_gid), "--clear-groups"});
        // The user must reach its working directory and own its PID file
        // (it may not create files in /var/run).
        const int pidFd = open(pidFilePath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        const bool ready = pidFd >= 0 && fchown(pidFd, pw->pw_uid, pw->pw_gid) == 0 && chmod(workDir.c_str(), 0755) == 0;
        if (pidFd >= 0) ::close(pidFd);
        if (!ready) return -1;
    }
    // LISTEN_PID must be the server's own PID: a shell learns it and execs.
    if (inherited > 0) words.insert(words.end(), {"/bin/sh", "-c", "export LISTEN_PID=$$; exec \"$0\" \"$@\""});
    words.push_back(m_exePath);
    words.insert(words.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    const std::string logPath = workDir + "/relaySvr.log";
    int pipeFds[2] = {-1, -1};
    if (options.stdoutPipe && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (options.closeStdin)
        posix_spawn_file_actions_addclose(&files, 0);
    else
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (options.outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&files, options.outputFd, 1);
        posix_spawn_file_actions_adddup2(&files, options.outputFd, 2);
    } else if (options.closeStdout)
        posix_spawn_file_actions_addclose(&files, 1);
    else if (options.stdoutPipe)
        posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
    else
        posix_spawn_file_actions_adddup2(&files, 2, 1);
    // Inherited descriptors go to 3, 4, ... through a stage above every
    // source, so that no move overwrites a descriptor still to be moved.
    int stage = static_cast<int>(3 + inherited);
    for (const auto& d : options.inherit) stage = std::max(stage, d.first + 1);
    for (size_t i = 0; i < inherited; ++i)
        posix_spawn_file_actions_adddup2(&files, options.inherit[i].first, stage + static_cast<int>(i));
    for (size_t i = 0; i < inherited; ++i)
        posix_spawn_file_actions_adddup2(&files, stage + static_cast<int>(i), 3 + static_cast<int>(i));
    posix_spawn_file_actions_addclosefrom_np(&files, 3 + static_cast<int>(inherited));
    posix_spawn_file_actions_addchdir_np(&files, workDir.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;  // SIGINT must not arrive blocked
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &files, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (pipeFds[1] >= 0) {
        ::close(pipeFds[1]);
        fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        if (err == 0) m_stdoutPipe = pipeFds[0];
        else ::close(pipeFds[0]);
    }
    if (err != 0) {
        std::fprintf(stderr, "RelayHarness: cannot start %s: %s\n", m_exePath.c_str(), std::strerror(err));
        return -1;
    }
    // Soft and hard limit both: the server raises its soft limit to the hard
    // one. Without the prlimit program the limit comes a moment after the
    // start.
    const rlimit limit{options.fileLimit, options.fileLimit};
    if (options.fileLimit != 0 && !limitFirst) prlimit(pid, RLIMIT_NOFILE, &limit, nullptr);
    return pid;
}

bool RelayServer::start(const StartOptions& options) {
    if (m_exePath.empty() || running()) return false;
    closeAllClients();
    m_clients.clear();
    m_port = m_configuredPort = 0;
    if (m_stdoutPipe >= 0) ::close(m_stdoutPipe);
    m_stdoutPipe = -1;
    const std::string iniPath = m_dir + "/relaySvr.ini";
    unlink(iniPath.c_str());
    if (options.writeIni) {
        if (!options.ini) m_configuredPort = pickFreePort();
        const std::string level = options.logLevel.empty() ? "" : "LogLevel=" + options.logLevel + "\n";
        if (!writeFile(iniPath, options.ini.value_or("[SvrTarn]\nPort=" + std::to_string(m_configuredPort) + "\n" +
                                                     level + options.iniExtra)))
            return false;
    }
    m_hasLog = !options.closeStdout && !options.stdoutPipe && options.outputFd < 0;
    m_logsAccepts = m_hasLog && options.logLevel != "errors";
    m_pid = spawn(m_dir, options);
    if (m_pid < 0) return false;
    m_reaped = false;
    if (!options.waitListen) return running();
    waitUntil(kStartTimeout, kStartPollStep,
              [&] { return !running() || (m_port = listeningPortOf(m_pid, m_configuredPort)) > 0; });
    return m_port > 0;
}

bool RelayServer::running() {
    if (m_pid <= 0 || m_reaped) return false;
    const pid_t r = waitpid(m_pid, &m_waitStatus, WNOHANG);
    m_reaped = r == m_pid;
    return r == 0;
}

std::string RelayServer::log() const { return readFile(m_dir + "/relaySvr.log"); }

std::string RelayServer::readStdoutPipe() {
    std::string got;
    char buf[65536];
    for (ssize_t n; m_stdoutPipe >= 0 && (n = read(m_stdoutPipe, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    return got;
}

int RelayServer::countLine(const std::string& line) const {
    int count = 0;
    for (const std::string& l : logLines()) count += l == line;
    return count;
}

bool RelayServer::waitForLine(const std::string& line, int count, Millis timeout) const {
    return waitUntil(timeout, kLogPollStep, [&] { return countLine(line) >= count; });
}

int RelayServer::findServerFd(const Client& client) const {
    const std::string remote = format("%08X", addressWord(client.m_address));
    for (const TcpRow& row : tcpTable("/proc/net/tcp")) {
        if (static_cast<int>(row.localPort) != m_port || static_cast<int>(row.remotePort) != client.localPort() ||
            remote != row.remote || row.inode == 0)
            continue;
        const std::map<unsigned long, int> inodes = socketInodes(m_pid);
        const auto it = inodes.find(row.inode);
        return it == inodes.end() ? -1 : it->second;
    }
    return -1;
}

Client& RelayServer::connectFrom(const std::string& ip, bool waitAccept, int receiveBuffer, const std::string& to) {
    m_clients.push_back(std::unique_ptr<Client>(new Client));
    Client& client = *m_clients.back();
    client.m_address = ip;
    const size_t logBefore = waitAccept && m_logsAccepts ? log().size() : 0;
    client.m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // The connect is bounded; the local port is chosen at connect, by the
    // full address pair, so that many short connections from one address do
    // not run out of ports.
    const timeval connectTimeout{5, 0};
    const int one = 1;
    setsockopt(client.m_fd, SOL_SOCKET, SO_SNDTIMEO, &connectTimeout, sizeof connectTimeout);
    setsockopt(client.m_fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (receiveBuffer > 0) setsockopt(client.m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local = inetAddress(addressWord(ip), 0);
    const sockaddr_in server = inetAddress(addressWord(to), m_port);
    socklen_t len = sizeof local;
    if (client.m_fd < 0 || (ip != "127.0.0.1" && bind(client.m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        connect(client.m_fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 ||
        getsockname(client.m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        ADD_FAILURE() << "connect from " << ip << " failed: " << std::strerror(errno);
        client.close();
        return client;
    }
    fcntl(client.m_fd, F_SETFL, fcntl(client.m_fd, F_GETFL) | O_NONBLOCK);
    client.m_localPort = ntohs(local.sin_port);
    if (!waitAccept) return client;

    int serverFd = -1;
    bool accepted = waitUntil(kDataTimeout, kPollStep, [&] { return (serverFd = findServerFd(client)) >= 0; });
    // The descriptor may have been used before: the accept line must come
    // after what the log held before the connect.
    const std::string line = "\n" + acceptLine(ip, serverFd) + "\n";
    if (accepted && m_logsAccepts)
        accepted = waitUntil(kDataTimeout, kLogPollStep, [&] { return ("\n" + log()).find(line, logBefore) != std::string::npos; });
    if (accepted) {
        client.m_serverFd = serverFd;
    } else {
        ADD_FAILURE() << "the server did not accept the connection from " << ip << ":" << client.m_localPort;
        client.close();
    }
    return client;
}

bool RelayServer::closeClient(Client& client, bool reset) {
    const int fd = client.serverFd();
    const int before = fd >= 0 ? countLine(removeLine(fd)) : 0;
    client.close(reset);
    return fd >= 0 && waitForLine(removeLine(fd), before + 1);
}

void RelayServer::closeAllClients() {
    for (auto& client : m_clients) client->close();
}

ExitInfo RelayServer::stop() {
    closeAllClients();
    waitUntil(kDataTimeout, kLogPollStep, [&] {
        if (!running()) return true;
        int open = 0;  // accept lines less remove lines
        for (const std::string& line : m_logsAccepts ? logLines() : std::vector<std::string>{})
            if (int fd = 0; line.compare(0, 16, "Server OnAccept ") == 0) ++open;
            else if (std::sscanf(line.c_str(), " %d", &fd) == 1 && line == removeLine(fd)) --open;
        return open <= 0 && connectedSockets(m_pid) == 0;  // listeners only
    });
    signal(SIGINT);
    return waitExit();
}

bool RelayServer::signal(int sig) { return running() && kill(m_pid, sig) == 0; }

ExitInfo RelayServer::waitExit(Millis timeout) {
    ExitInfo info;
    waitUntil(timeout, kPollStep, [&] { return !running(); });
    if (m_reaped && m_pid > 0) setExit(info, m_waitStatus);
    info.log = log();
    return info;
}

ExitInfo RelayServer::runAgain(const std::string& sub, const std::string& ini) {
    ExitInfo info;
    const std::string workDir = m_dir + "/" + sub;
    if (mkdir(workDir.c_str(), 0755) != 0 || !writeFile(workDir + "/relaySvr.ini", ini)) return info;
    const pid_t pid = spawn(workDir, StartOptions{});
    int status = 0;
    if (pid < 0) return info;
    if (waitUntil(kStopTimeout, kPollStep, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        setExit(info, status);
    } else {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    info.log = readFile(workDir + "/relaySvr.log");
    return info;
}

}  // namespace relay_harness
