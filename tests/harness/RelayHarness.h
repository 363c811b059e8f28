// RelayHarness: drives the relaySvr binary as a black box over loopback.
//
// RelayServer owns one private copy of the binary in a fresh directory under
// /tmp. The copy has a file name of its own (relaySvr-t<pid>-<n>), so every
// RelayServer has its own PID file /var/run/<name>.pid and tests may run in
// parallel. Each start writes relaySvr.ini into that directory, runs the copy
// there with standard output and standard error going to a log file, and waits
// until the process listens. Listening sockets and connections are looked up
// in /proc/net/tcp and matched to the process through /proc/PID/fd; the
// harness never makes a probe connection, which the server would log.
//
// Clients are sockets owned by the RelayServer that made them. A requester
// connects from 127.0.0.1; a device binds its socket to another loopback
// address first (127.0.0.N is a device with id N). After connecting, the
// harness waits until the server has accepted the connection and records the
// descriptor the server gave it.
//
// Every wait has a deadline; on expiry a function returns false, an empty
// result or -1 and never blocks further. Only the process a RelayServer
// started is ever signalled. The destructor stops a process still running
// (SIGINT, then SIGKILL), closes all clients and removes the directory and
// the PID file.
//
// Every test of an executable that links the harness is skipped, with the
// reason, when /var/run is not writable (the server's PID file lives there).
//
// Environment: RELAY_TEST_SERVER (or RELAYSVR_BIN) names the program to copy
// and start instead of the built server (tests/valgrind.sh passes a wrapper
// that runs it under valgrind).
#ifndef RELAY_HARNESS_H
#define RELAY_HARNESS_H

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace relay_harness {

using Millis = std::chrono::milliseconds;

// Deadlines: generous, so that a slow shared machine never makes a test fail.
inline constexpr Millis kStartTimeout{10000};
inline constexpr Millis kStopTimeout{10000};
inline constexpr Millis kDataTimeout{5000};
// How long "nothing arrives" is watched for: short, since dropped data is
// dropped at once; data that is forwarded arrives well within this.
inline constexpr Millis kQuietWindow{300};

// ---- System probes ---------------------------------------------------------

// A TCP port that was free a moment ago (bound on 0.0.0.0:0, then closed).
int pickFreePort();
// True when any IPv4 or IPv6 socket on this machine listens on the port.
bool isPortListening(int port);
// Number of open descriptors of the process (/proc/PID/fd), -1 when unknown.
int descriptorCount(pid_t pid);
// Waits until the process holds exactly count descriptors.
bool waitDescriptorCount(pid_t pid, int count, Millis timeout = kDataTimeout);
// The process's user plus system CPU time in seconds, negative when unknown.
double cpuSeconds(pid_t pid);

// ---- Log lines ---------------------------------------------------------------

inline constexpr char kErrorLine[] = "OnEvent meet some other error";
inline constexpr char kStartOkLine[] = "SvrStart ok!";
inline constexpr char kExitOkLine[] = "exit 0";
inline constexpr char kExitLockedLine[] = "exit -3 !is already running";
inline constexpr char kExitNotOkLine[] = "exit -2 !SvrIsOk";

// One log line (without its line feed), formatted like the server formats it.
std::string acceptLine(const std::string& ip, int fd);
std::string readLine(int fd, int n);
std::string requestLine(unsigned char byte0, unsigned char byte1);
std::string doLine(unsigned char id);
std::string closedLine(int fd);
std::string removeLine(int fd);
std::string lockedLine(const std::string& path, const std::string& errorText);

// The complete lines of a text (a last line without line feed is left out).
std::vector<std::string> completeLines(const std::string& text);
// Index of the first line equal to text at or after from, -1 when there is none.
int indexOf(const std::vector<std::string>& lines, const std::string& text, int from = 0);
// The lines hold exactly the expected ones one after the other, from the
// first of them on.
::testing::AssertionResult holdsRun(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

// A request of n bytes: byte 0 is a tag, byte 1 the device id, the rest a
// letter pattern.
std::string request(unsigned char tag, unsigned char id, size_t n = 6);

// Polls done() every few milliseconds until it holds; false once the
// timeout has passed.
template <class Done>
bool waitFor(Millis timeout, Done done) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(Millis(5));
    }
    return true;
}

// ---- HTTP (the status server) ------------------------------------------------

struct HttpReply {
    int status = 0;        // 0: no reply (no connection, timeout, not HTTP)
    std::string headers;   // the header lines, as sent
    std::string body;
};
// Sends one HTTP/1.0 request ("GET /metrics", "POST /status", ...), with a
// body when one is given, to 127.0.0.1:port and reads the reply until the
// server closes.
HttpReply httpRequest(int port, const std::string& methodAndPath, Millis timeout = kDataTimeout,
                      const std::string& body = "");
// The value of one sample of a Prometheus text document, such as
// metric(text, "relaysvr_requests_total{outcome=\"forwarded\"}"); -1 when absent.
double metric(const std::string& text, const std::string& series);

struct StartOptions;
class RelayServer;

// A status port for a test (a free one), the ini line that turns it on, and
// the relay's metrics read from it.
struct Status {
    int port = pickFreePort();
    std::string ini() const { return "StatusPort=" + std::to_string(port) + "\n"; }
    // Start options with the status server on, and more keys of [SvrTarn].
    StartOptions options(const std::string& more = "") const;
    // Starts the server with the status server on (fileLimit: see
    // StartOptions) and waits until the status port listens too.
    ::testing::AssertionResult start(RelayServer& srv, rlim_t fileLimit = 0) const;
    std::string metrics() const { return httpRequest(port, "GET /metrics").body; }
    double value(const std::string& series) const { return metric(metrics(), series); }
};


// ---- Clients ---------------------------------------------------------------

// One TCP connection to the server. Made by RelayServer::connect*; owned by
// that RelayServer, which closes it at the latest when it stops. One thread
// at a time may use a client.
class Client {
public:
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { close(); }

    // Local port of the client socket.
    int localPort() const { return m_localPort; }
    // Descriptor the server gave this connection; -1 when not known (the
    // connection was made without waiting for the accept).
    int serverFd() const { return m_serverFd; }
    // The client's own socket, -1 once closed.
    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // True once a read saw the server close the connection (or reset it).
    bool peerClosed() const { return m_peerClosed; }

    // Sends what the peer takes within the timeout (timeout 0: what the
    // socket takes at once); returns the number of bytes sent.
    size_t write(const std::string& bytes, Millis timeout);
    // Sends all bytes; false on an error or when they were not all taken in time.
    bool send(const std::string& bytes, Millis timeout = kDataTimeout) {
        return write(bytes, timeout) == bytes.size();
    }
    // Reads until n bytes have arrived, the peer closed or the deadline passed;
    // returns what arrived (fewer than n bytes on timeout).
    std::string receive(size_t n, Millis timeout = kDataTimeout);
    // Collects whatever arrives within the window (0: what is there now). For
    // "nothing arrives" checks: an empty result means nothing came.
    std::string receiveFor(Millis window = kQuietWindow);
    // Normal close (FIN), or with reset an abortive one (the peer sees a reset).
    void close(bool reset = false);

private:
    friend class RelayServer;
    Client() = default;

    int m_fd = -1;
    std::string m_address;  // where the connection comes from
    int m_localPort = 0;
    int m_serverFd = -1;
    bool m_peerClosed = false;
};

// Sends bytes from one client; success when the other one then receives
// exactly those bytes.
::testing::AssertionResult relays(Client& from, Client& to, const std::string& bytes);

// ---- The server process ----------------------------------------------------

struct StartOptions {
    // Content of relaySvr.ini; unset: "[SvrTarn]\nPort=<free port>\n" followed
    // by iniExtra (more keys of section SvrTarn, each line ending in "\n").
    std::optional<std::string> ini;
    std::string iniExtra;
    // LogLevel written into the default relaySvr.ini ("" leaves it out). With
    // "errors" no accept line is logged, and connect* waits for the accepted
    // socket only.
    std::string logLevel;
    // False: no relaySvr.ini in the working directory.
    bool writeIni = true;
    // RLIMIT_NOFILE soft and hard limit for the process, from its start
    // (through prlimit(1)); 0 keeps the current.
    rlim_t fileLimit = 0;
    // Start with descriptor 0 (stdin) and/or 1 (stdout) closed. Standard
    // error still goes to the log file; with stdout closed, the log holds no
    // server lines, and clients learn their server descriptor from /proc.
    bool closeStdin = false;
    bool closeStdout = false;
    // Standard output into a pipe that nobody reads until readStdoutPipe():
    // the log file then holds standard error only.
    bool stdoutPipe = false;
    // When set: standard output and standard error both on this descriptor
    // of the caller's (a pipe or a socket it reads, or whose reader it has
    // closed); the caller keeps it and closes it. The log file stays empty.
    int outputFd = -1;
    // False: start() returns as soon as the process runs the new program,
    // without waiting for it to listen (true when it is running then).
    bool waitListen = true;
    // Appended to ASAN_OPTIONS (which the test's environment may set), for
    // instance "detect_leaks=0" for runs that end with connections still open.
    std::string asanOptions;
    // Arguments after the program's name; none by default.
    std::vector<std::string> args;
    // More environment ("NAME=value").
    std::vector<std::string> env;
    // Descriptors the process gets at 3, 4, ... with LISTEN_FDS,
    // LISTEN_FDNAMES (these names) and LISTEN_PID set, as systemd passes a
    // socket or its descriptor store to a service. The caller keeps them.
    std::vector<std::pair<int, std::string>> inherit;
    // Run as this user, with its group and no other (through setpriv), not
    // as the test; the directory and the PID file are made reachable for it.
    // Needs root; canRunAs() tells.
    std::string user;
};

// Whether the harness can start the server as the user (root, setpriv and
// the user present); why not, in why.
bool canRunAs(const std::string& user, std::string& why);

struct ExitInfo {
    bool exited = false;  // the process ended before the deadline
    int status = -1;      // WEXITSTATUS when it exited normally, else -1
    int signal = 0;       // terminating signal, 0 when it exited normally
    std::string log;      // the whole log at the end
};
// The orderly end after SIGINT: status 0, and "exit 0" the last line.
::testing::AssertionResult isClean(const ExitInfo& e);

class RelayServer {
public:
    // Makes the directory and the copy of the binary; starts nothing.
    explicit RelayServer(const std::string& binary = defaultBinary());
    static std::string defaultBinary();
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Starts the copy (again, after an earlier run has ended: the log is
    // started afresh, and the clients of the earlier run are closed and
    // dropped, so references to them must not be used any more) and waits
    // until it listens. False when it ended first (waitExit() then tells
    // how) or did not listen before kStartTimeout.
    bool start(const StartOptions& options = {});

    pid_t pid() const { return m_pid; }
    // Port the running process listens on (as the kernel shows it); 0 before.
    int port() const { return m_port; }
    // Port written into the default relaySvr.ini of the last start.
    int configuredPort() const { return m_configuredPort; }
    // With stdoutPipe: what the pipe holds now (read without waiting); the
    // read end, -1 without.
    std::string readStdoutPipe();
    int stdoutPipeFd() const { return m_stdoutPipe; }
    const std::string& dir() const { return m_dir; }
    // "/var/run/<exe name>.pid" and its content ("" when missing).
    std::string pidFilePath() const { return "/var/run/" + m_exeName + ".pid"; }
    std::string pidFileContent() const;
    // True while the started process has not ended.
    bool running();

    // ---- log ----
    std::string log() const;
    std::vector<std::string> logLines() const { return completeLines(log()); }
    // Number of complete log lines equal to line.
    int countLine(const std::string& line) const;
    // Waits until at least count complete lines equal line.
    bool waitForLine(const std::string& line, int count = 1, Millis timeout = kDataTimeout) const;

    // ---- clients ----
    // A connection from any loopback address. With waitAccept the harness
    // waits until the accepted socket shows in /proc/PID/fd and, when the
    // server has a log, its accept line is logged; without, the connection
    // may still sit in the backlog. receiveBuffer > 0 sets the socket's
    // SO_RCVBUF before connecting (a peer that soon stops taking data); to
    // is the server's address to connect to. When the connect or the wait
    // fails, the test fails and the client is closed.
    Client& connectFrom(const std::string& ip, bool waitAccept = true, int receiveBuffer = 0,
                        const std::string& to = "127.0.0.1");
    // A requester, from 127.0.0.1.
    Client& connectRequester(bool waitAccept = true) { return connectFrom("127.0.0.1", waitAccept); }
    // A device with id N, from 127.0.0.N (N in 2..255).
    Client& connectDevice(int id, bool waitAccept = true) {
        return connectFrom("127.0.0." + std::to_string(id), waitAccept);
    }
    // Closes the client (normally, or with a reset) and waits until the
    // server has logged one more remove line for its descriptor than before.
    // False when that line did not come before the deadline (or the client's
    // server descriptor is not known). Needs the log (stdout not closed).
    bool closeClient(Client& client, bool reset = false);

    // ---- stopping ----
    // Orderly stop: closes every open client and waits (at most kDataTimeout)
    // until the server has logged as many remove lines as accept lines and
    // holds no socket but its listener, then SIGINT and waits for the exit.
    ExitInfo stop();
    // stop(), and the end is the orderly one.
    ::testing::AssertionResult stopsCleanly() { return isClean(stop()); }
    // Sends a signal to the started process (only to it).
    bool signal(int sig);
    // Waits for the started process to end.
    ExitInfo waitExit(Millis timeout = kStopTimeout);

    // Runs the same copy once more, from the subdirectory sub of dir() with
    // its own relaySvr.ini and log, while this one may still run; waits for
    // that second process to end (killing it after the deadline).
    ExitInfo runAgain(const std::string& sub, const std::string& ini);

private:
    pid_t spawn(const std::string& workDir, const StartOptions& options);
    int findServerFd(const Client& client) const;
    void closeAllClients();

    std::string m_dir;
    std::string m_exeName;
    std::string m_exePath;
    pid_t m_pid = -1;
    bool m_reaped = true;
    int m_waitStatus = 0;
    bool m_hasLog = true;
    bool m_logsAccepts = true;
    int m_stdoutPipe = -1;
    int m_port = 0;
    int m_configuredPort = 0;
    std::vector<std::unique_ptr<Client>> m_clients;
};

}  // namespace relay_harness

#endif
