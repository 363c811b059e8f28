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
#include <getopt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <event2/event.h>
#include <systemd/sd-daemon.h>

#include "RelayText.h"
#include "SvrHandover.h"
#include "SvrWrapperTarn.h"

// The event base, published by SvrInit for the SIGINT handler; the server
// clears it before it frees the base.
event_base* _pBase = nullptr;

void sigint_handler(int signal);

namespace {

// Set by sigint_handler: a stop was asked for, also before the loop could
// take it.
volatile sig_atomic_t g_stopAsked = 0;

const char kPidDir[] = "/var/run/";
const char kPidSuffix[] = ".pid";
const size_t kExePathMax = 1024;
const size_t kPidTextMax = 16;

const char kUsage[] =
    "usage: relaySvr [-c FILE]                   run the server\n"
    "       relaySvr [-c FILE] --check [--strict]\n"
    "       relaySvr --version | --help\n"
    "\n"
    "TCP relay between requesters, local programs that connect from 127.0.0.1,\n"
    "and devices, peers known by the last octet of their IPv4 address. Byte 1 of\n"
    "a request names the device; the device's next chunk goes back to the\n"
    "requester. Runs in the foreground and logs on standard output.\n"
    "\n"
    "Configuration: FILE, by default relaySvr.ini in the working directory,\n"
    "section [SvrTarn]:\n"
    "  Port=5000              TCP port, all IPv4 addresses (restart to change)\n"
    "  ListenAddress=         addresses devices connect to, and 127.0.0.1 as well;\n"
    "                         empty: every address (restart to change)\n"
    "  DeviceNetworks=        networks devices may come from, e.g. 192.168.1.0/24\n"
    "                         10.0.0.7 (blanks or commas); empty: any address\n"
    "  MaxConnectionsPerAddress=0\n"
    "                         devices from one address at a time; 0: no cap\n"
    "  RequesterReserve=32    descriptors devices never take, kept for requesters\n"
    "  KeepAlive=60           s of silence before a device is probed; 0: off\n"
    "  AckTimeout=30          s data to a device may stay unacknowledged; 0: kernel\n"
    "  LogLevel=chunks        chunks | connections | errors\n"
    "  StatusPort=0           HTTP status (/status, /metrics); 0: off\n"
    "  StatusAddress=127.0.0.1\n"
    "  StatusMaxClients=16    status connections open at once\n"
    "  AnswerWindow=0         ms a device's answer may go on in pieces; 0: off\n"
    "  AnswerOrder=descriptor descriptor | arrival: who of several waiting is answered\n"
    "A missing file means the defaults. A file that cannot be trusted (there but\n"
    "unreadable or not a regular file, an invalid value of any key but Port, the\n"
    "section spelt [svrtarn]) stops the start with status 1, and a reload keeps\n"
    "the running settings; so does a reload that would empty DeviceNetworks.\n"
    "\n"
    "Signals: SIGINT stops in order (\"exit 0\", status 0); SIGHUP reads the\n"
    "configuration again; SIGTERM writes the pending log and ends.\n"
    "PID file and single-instance lock: /var/run/<executable name>.pid.\n"
    "\n"
    "  -c, --config FILE  the configuration file, read at start and on SIGHUP\n"
    "  --check     read the configuration as a start would, print the settings\n"
    "              that would be used and every warning; status 0 when it would\n"
    "              start, 1 when not\n"
    "  --strict    with --check: status 1 also on any warning or note\n"
    "  --version   print the version and exit\n"
    "  -h, --help  print this text and exit\n"
    "--check, --version and --help touch neither the PID file nor the port.\n"
    "Any other option: this text on standard error, status 2.\n";

// Exit status of a command line that cannot be understood.
const int kUsageStatus = 2;

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

// Dispositions from main's first instruction on: nothing written (a warning
// to a pipe whose reader has gone) may end the process by SIGPIPE, a reload
// asked for during start-up must not end it, and a SIGINT at any moment
// stops it in order.
void setStartSignals()
{
    const bool set = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR && std::signal(SIGHUP, SIG_IGN) != SIG_ERR &&
                     std::signal(SIGINT, sigint_handler) != SIG_ERR;
    if (!set)
        CSvrLog::Warn("signal: %s\n", std::strerror(errno));
}

// The orderly end: the pending log first (its count of lost lines, if any,
// is the line before the last), then "exit 0".
int stopInOrder()
{
    CSvrLog::FlushAtStop();
    CSvrLog::Print(CSvrLog::kErrors, CSvrLog::kPrioInfo, "exit 0\n");
    return 0;
}

// The loop delivers these through libevent's signal pipe, so a signal that
// lands just before the loop blocks still wakes it, and the work runs in the
// loop, not in a handler.
void onSigint(evutil_socket_t sig, short, void*)
{
    sd_notify(0, "STOPPING=1");
    sigint_handler(static_cast<int>(sig));
}

// Text for sd_notify's STATUS=: one line, nothing that could start another
// assignment of the message.
std::string notifyText(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    return text;
}

void onSighup(evutil_socket_t, short, void* arg)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu",
               static_cast<unsigned long long>(now.tv_sec) * 1000000ull + now.tv_nsec / 1000);
    std::string why;
    switch (static_cast<CSvrWrapperTarn*>(arg)->Reload(why)) {
    case CSvrWrapperTarn::ReloadResult::Applied:
        sd_notify(0, "READY=1\nSTATUS="); // clears what an earlier reload said
        break;
    case CSvrWrapperTarn::ReloadResult::Partial:
        sd_notifyf(0, "READY=1\nSTATUS=Reload applied in part: %s", notifyText(why).c_str());
        break;
    case CSvrWrapperTarn::ReloadResult::Refused:
        sd_notifyf(0, "READY=1\nSTATUS=Reload refused, the running settings are kept: %s",
                   notifyText(why).c_str());
        break;
    }
}

// SIGTERM still ends the process as it always did, only after the log that
// is pending has been written.
void onSigterm(evutil_socket_t, short, void*)
{
    CSvrLog::FlushAtExit();
    std::signal(SIGTERM, SIG_DFL);
    std::raise(SIGTERM);
}

// --check: what a start would make of the configuration, without the PID
// file or the port. Status 0 when it would start, 1 when not (or, strict,
// when anything was said on stderr).
int checkConfiguration(const std::string& path, bool strict)
{
    CSvrWrapperTarn svr;
    svr.SetConfigPath(path);
    svr.Init(); // notes, warnings and errors go to stderr
    if (!svr.InitOk()) {
        CSvrLog::Print(CSvrLog::kErrors, "%s\n", (path + ": would NOT start").c_str());
        return 1;
    }
    // The unit's reload runs this too: under the journal the settings are
    // information, not errors.
    CSvrLog::Print(CSvrLog::kErrors, CSvrLog::kPrioInfo, "%s", relay::describeSettings(svr.GetSettings()).c_str());
    const size_t said = svr.InitWarnings();
    if (strict && said > 0) {
        CSvrLog::Print(CSvrLog::kErrors, "%s\n",
                       relay::format("%s: would start, but --strict: %zu warning(s) or note(s)", path.c_str(), said)
                           .c_str());
        return 1;
    }
    CSvrLog::Print(CSvrLog::kErrors, CSvrLog::kPrioInfo, "%s\n", (path + ": would start").c_str());
    return 0;
}

// The command line. Answers --version, --help and --check at once; returns
// the exit status then, or -1 when the server is to run, with config set to
// the configuration file.
int commandLineWord(int argc, char** argv, std::string& config)
{
    enum { kCheck = 256, kStrict, kVersion };
    static const option kOptions[] = {
        {"config", required_argument, nullptr, 'c'}, {"check", no_argument, nullptr, kCheck},
        {"strict", no_argument, nullptr, kStrict},   {"version", no_argument, nullptr, kVersion},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    bool check = false, strict = false, version = false, help = false, bad = false;
    config = relay::kConfigFile;
    for (int opt; (opt = getopt_long(argc, argv, "c:h", kOptions, nullptr)) != -1;) {
        switch (opt) {
        case 'c':
            config = optarg;
            bad = bad || config.empty();
            break;
        case kCheck: check = true; break;
        case kStrict: strict = true; break;
        case kVersion: version = true; break;
        case 'h': help = true; break;
        default: bad = true; break; // getopt_long has said what is wrong
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (argv[i][0] == '-')
            bad = true; // "-", or an option after "--"
        else
            CSvrLog::Warn("relaySvr: argument \"%s\" is ignored\n", argv[i]);
    }
    if (bad || (strict && !check)) {
        CSvrLog::Tell(CSvrLog::kPrioError, "%s", kUsage);
        return kUsageStatus;
    }
    if (help) {
        CSvrLog::Print(CSvrLog::kErrors, CSvrLog::kPrioInfo, "%s", kUsage);
        return 0;
    }
    if (version) {
        CSvrLog::Print(CSvrLog::kErrors, CSvrLog::kPrioInfo, "relaySvr %s\n", RELAYSVR_VERSION);
        return 0;
    }
    return check ? checkConfiguration(config, strict) : -1;
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

namespace {

// What to do about a PID file that cannot be opened, for the errors an
// operator meets.
const char* pidFileHint(int err)
{
    switch (err) {
    case EACCES:
    case EROFS:
        return " (it must exist and be writable for this user: the package's tmpfiles.d entry makes it; "
               "or run as root)";
    case ELOOP:
        return " (a symbolic link there is refused)";
    default:
        return "";
    }
}

// The process that holds the lock on the file, 0 when not known.
pid_t lockHolder(int fd)
{
    struct flock probe;
    std::memset(&probe, 0, sizeof(probe));
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? probe.l_pid : 0;
}

} // namespace

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
        const int err = errno;
        CSvrLog::Print(CSvrLog::kErrors, "Open file failed, error : %s", std::strerror(err));
        // The line above has no line end; this one starts on its own.
        CSvrLog::Tell(CSvrLog::kPrioError, "relaySvr: cannot open the PID file %s: %s%s\n", path.c_str(),
                      std::strerror(err), pidFileHint(err));
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
        const pid_t holder = lockHolder(fd);
        CSvrLog::Tell(CSvrLog::kPrioError, "relaySvr: %s is locked by %s: a relaySvr of this name runs already\n",
                      path.c_str(),
                      holder > 0 ? relay::format("process %d", static_cast<int>(holder)).c_str() : "another process");
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

// Records the stop and asks the event loop to stop after its current pass;
// main looks at the record where no loop runs yet. Safe in a signal handler
// because libevent's thread support is never enabled here: without it,
// event_base_loopbreak only sets the base's break flag, taking no lock and
// waking nobody. The base is read once; the server clears _pBase before it
// frees the base, so a late SIGINT finds null.
void sigint_handler(int /*signal*/)
{
    g_stopAsked = 1;
    if (event_base* base = _pBase)
        event_base_loopbreak(base);
}

int main(int argc, char** argv)
{
    setStartSignals();
    keepStandardDescriptors();
    CSvrLog::Open();
    std::string config;
    if (const int status = commandLineWord(argc, argv, config); status >= 0)
        return status;
    raiseDescriptorLimit();
    if (g_stopAsked)
        return stopInOrder();

    if (!runSingleInstance()) {
        CSvrLog::Print(CSvrLog::kErrors, "exit -3 !is already running\n");
        return -3;
    }

    CSvrWrapperTarn svr;
    svr.SetConfigPath(config);
    svr.Init();
    if (!svr.InitOk()) {
        // The configuration cannot be trusted: the reasons are on stderr.
        CSvrLog::Tell(CSvrLog::kPrioError, "%s: not started\n", config.c_str());
        return 1;
    }
    if (g_stopAsked)
        return stopInOrder();
    // A restart under systemd: the sockets the previous run handed over.
    svr.Inherit(relay::takeInherited());

    svr.SvrInit(&_pBase);
    svr.SvrStart();
    if (!svr.SvrIsOk()) {
        CSvrLog::Print(CSvrLog::kErrors, "exit -2 !SvrIsOk\n");
        CSvrLog::Tell(CSvrLog::kPrioError, "relaySvr: %s\n", svr.StartError().c_str());
        return -2;
    }

    // From here the signals come through the loop. A signal event that
    // cannot be set up leaves the plain disposition in place. A SIGINT
    // before its event was added is in g_stopAsked: the loop is not run.
    struct { int sig; event_callback_fn fn; event* ev; } sigs[] = {
        {SIGINT, onSigint, nullptr}, {SIGHUP, onSighup, nullptr}, {SIGTERM, onSigterm, nullptr}};
    for (auto& s : sigs) {
        s.ev = evsignal_new(_pBase, s.sig, s.fn, &svr);
        if (s.ev && evsignal_add(s.ev, nullptr) != 0) {
            event_free(s.ev);
            s.ev = nullptr;
        }
    }
    if (g_stopAsked) {
        sd_notify(0, "STOPPING=1");
    } else {
        sd_notify(0, "READY=1");
        svr.SvrDispatch();
    }

    for (auto& s : sigs) {
        if (s.ev)
            event_free(s.ev); // puts the plain disposition back in place
    }
    // Under a service manager that keeps descriptors, the devices stay
    // connected through to the next start.
    if (const size_t store = relay::fdStoreSize())
        svr.HandOver(store);
    svr.SvrClose();
    svr.SvrFree();
    return stopInOrder();
}
