// Process entry of the relay server: single-instance lock on a PID file,
// start-up, the event loop, reload on SIGHUP and the orderly stop on SIGINT.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <event2/event.h>
#include <systemd/sd-daemon.h>

#include "SvrWrapperTarn.h"

// The event base, published by SvrInit for the SIGINT handler; the server
// clears it when it frees the base.
event_base* _pBase = nullptr;

void sigint_handler(int signal);

namespace {

const char kPidDir[] = "/var/run/";
const char kPidSuffix[] = ".pid";
const size_t kExePathMax = 1024;
const size_t kPidTextMax = 16;

const char kUsage[] =
    "usage: relaySvr [--version | --help | --check]\n"
    "\n"
    "TCP relay between requesters, local programs that connect from 127.0.0.1,\n"
    "and devices, peers known by the last octet of their IPv4 address. Byte 1 of\n"
    "a request names the device; the device's next chunk goes back to the\n"
    "requester. Runs in the foreground and logs on standard output.\n"
    "\n"
    "Configuration: relaySvr.ini in the working directory, section [SvrTarn]:\n"
    "  Port=5000              TCP port, all IPv4 addresses (restart to change)\n"
    "  DeviceNetworks=        networks devices may come from, e.g. 192.168.1.0/24\n"
    "                         10.0.0.7 (blanks or commas); empty: any address\n"
    "  KeepAlive=60           s of silence before a device is probed; 0: off\n"
    "  AckTimeout=30          s data to a device may stay unacknowledged; 0: kernel\n"
    "  LogLevel=chunks        chunks | connections | errors\n"
    "  StatusPort=0           HTTP status (/status, /metrics); 0: off\n"
    "  StatusAddress=127.0.0.1\n"
    "  StatusMaxClients=16    status connections open at once\n"
    "\n"
    "Signals: SIGINT stops in order (\"exit 0\", status 0); SIGHUP reads\n"
    "relaySvr.ini again; SIGTERM writes the pending log and ends.\n"
    "PID file and single-instance lock: /var/run/<executable name>.pid.\n"
    "\n"
    "  --version   print the version and exit\n"
    "  --help      print this text and exit\n"
    "  --check     read relaySvr.ini, print the settings that would be used and\n"
    "              every warning; status 0 when it would start, 1 when not\n"
    "These touch neither the PID file nor the port; other arguments are ignored.\n";

// Descriptors 0, 1 and 2 must not be free: the PID file or a connection
// would take them, stdout would then write log lines into it, and descriptor
// 0 means "none" in the connection tables.
void keepStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// Every connection costs a descriptor: take all that the hard limit allows.
void raiseDescriptorLimit()
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// The loop delivers these through libevent's signal pipe, so a signal that
// lands just before the loop blocks still wakes it, and the work runs in the
// loop, not in a handler.
void onSigint(evutil_socket_t sig, short, void*)
{
    sd_notify(0, "STOPPING=1");
    sigint_handler(static_cast<int>(sig));
}

void onSighup(evutil_socket_t, short, void* arg)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu",
               static_cast<unsigned long long>(now.tv_sec) * 1000000ull + now.tv_nsec / 1000);
    static_cast<CSvrWrapperTarn*>(arg)->Reload();
    sd_notify(0, "READY=1");
}

// SIGTERM still ends the process as it always did, only after the log that
// is pending has been written.
void onSigterm(evutil_socket_t, short, void*)
{
    CSvrLog::FlushAtExit();
    std::signal(SIGTERM, SIG_DFL);
    std::raise(SIGTERM);
}

// --version, --help and --check: answered at once, without the PID file or
// the port. Returns the exit status, or -1 when the server is to run.
int commandLineWord(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--version") {
            CSvrLog::Print(CSvrLog::kErrors, "relaySvr %s\n", RELAYSVR_VERSION);
            return 0;
        }
        if (word == "--help") {
            CSvrLog::Print(CSvrLog::kErrors, "%s", kUsage);
            return 0;
        }
        if (word == "--check") {
            CSvrWrapperTarn svr;
            svr.Init(); // warnings go to stderr
            CSvrLog::Print(CSvrLog::kErrors, "%s", relay::describeSettings(svr.GetSettings()).c_str());
            CSvrLog::Print(CSvrLog::kErrors, "%s\n", svr.InitOk() ? "relaySvr.ini: would start"
                                                                   : "relaySvr.ini: would NOT start");
            return svr.InitOk() ? 0 : 1;
        }
    }
    return -1;
}

} // namespace

// Base name of the running executable (the real file behind any link), or
// an empty text when it cannot be found.
std::string currentExeName()
{
    char path[kExePathMax];
    std::memset(path, 0, sizeof(path));
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return std::string(); // failed, or the path may have been cut
    const char* slash = std::strrchr(path, '/');
    if (!slash)
        return std::string();
    return std::string(slash + 1);
}

// Takes the write lock on /var/run/<name>.pid and writes our PID into it.
// Returns false when another process holds the lock; ends the process with
// status 1 when the file cannot be used. The file stays open and locked
// until the process ends.
bool runSingleInstance()
{
    const std::string name = currentExeName();
    if (name.empty())
        std::exit(1);
    const std::string path = std::string(kPidDir) + name + kPidSuffix;

    // O_NOFOLLOW: a link planted at the PID path must not make us truncate
    // the file it points to.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        CSvrLog::Print(CSvrLog::kErrors, "Open file failed, error : %s", std::strerror(errno));
        std::exit(1);
    }

    struct flock lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however it grows
    if (fcntl(fd, F_SETLK, &lock) == -1 && (errno == EACCES || errno == EAGAIN)) {
        CSvrLog::Print(CSvrLog::kErrors, "%s already locked, error: %s\n", path.c_str(), std::strerror(errno));
        close(fd);
        return false;
    }
    // Any other failure of the lock request is not fatal: we run unlocked.

    char pid[kPidTextMax];
    std::memset(pid, 0, sizeof(pid));
    std::snprintf(pid, sizeof(pid), "%d", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0) {
        // Ignored: the write below still puts the PID at offset 0.
    }
    if (write(fd, pid, std::strlen(pid)) < 0) {
        CSvrLog::Print(CSvrLog::kErrors, "Write file failed, file: %s, error: %s\n", path.c_str(),
                       std::strerror(errno));
        close(fd);
        std::exit(1);
    }
    return true;
}

// Asks the event loop to stop after its current pass. Safe in a signal
// handler because libevent's thread support is never enabled here: without
// it, event_base_loopbreak only sets the base's break flag, taking no lock
// and waking nobody. Before the base exists it does nothing.
void sigint_handler(int /*signal*/)
{
    if (_pBase)
        event_base_loopbreak(_pBase);
}

int main(int argc, char** argv)
{
    // A reload request that comes before the loop takes SIGHUP must not end
    // the server.
    std::signal(SIGHUP, SIG_IGN);
    keepStandardDescriptors();
    CSvrLog::Open();
    if (const int status = commandLineWord(argc, argv); status >= 0)
        return status;
    raiseDescriptorLimit();

    if (!runSingleInstance()) {
        CSvrLog::Print(CSvrLog::kErrors, "exit -3 !is already running\n");
        return -3;
    }

    CSvrWrapperTarn svr;
    svr.Init();
    if (!svr.InitOk())
        return 1; // DeviceNetworks cannot be read: the reason is on stderr

    std::signal(SIGINT, sigint_handler);
    std::signal(SIGPIPE, SIG_IGN);

    svr.SvrInit(&_pBase);
    svr.SvrStart();
    if (!svr.SvrIsOk()) {
        CSvrLog::Print(CSvrLog::kErrors, "exit -2 !SvrIsOk\n");
        return -2;
    }

    // From here the signals come through the loop. A signal event that
    // cannot be set up leaves the plain disposition in place.
    struct { int sig; event_callback_fn fn; event* ev; } sigs[] = {
        {SIGINT, onSigint, nullptr}, {SIGHUP, onSighup, nullptr}, {SIGTERM, onSigterm, nullptr}};
    for (auto& s : sigs) {
        s.ev = evsignal_new(_pBase, s.sig, s.fn, &svr);
        if (s.ev && evsignal_add(s.ev, nullptr) != 0) {
            event_free(s.ev);
            s.ev = nullptr;
        }
    }
    sd_notify(0, "READY=1");

    svr.SvrDispatch();

    for (auto& s : sigs) {
        if (s.ev)
            event_free(s.ev); // puts the plain disposition back in place
    }
    svr.SvrClose();
    svr.SvrFree();
    CSvrLog::Print(CSvrLog::kErrors, "exit 0\n");
    return 0;
}
