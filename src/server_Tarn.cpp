// Process entry of the relay server: single-instance lock on a PID file,
// start-up, the event loop, and the orderly stop on SIGINT.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <event2/event.h>

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
// Standard output is written once per loop pass; a large buffer keeps a busy
// pass to one write.
const size_t kLogBufferSize = 64 * 1024;

// Descriptors 0, 1 and 2 must not be free: the PID file or a connection
// would take them, stdout would then write log lines into it, and descriptor
// 0 means "none" in the connection tables.
void KeepStandardDescriptors()
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
void RaiseDescriptorLimit()
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// libevent delivers SIGINT through its own signal pipe, so a SIGINT that
// lands just before the loop blocks still wakes it.
void OnSigint(evutil_socket_t sig, short, void*)
{
    sigint_handler(static_cast<int>(sig));
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
        std::printf("Open file failed, error : %s", std::strerror(errno));
        std::exit(1);
    }

    struct flock lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however it grows
    if (fcntl(fd, F_SETLK, &lock) == -1 && (errno == EACCES || errno == EAGAIN)) {
        std::printf("%s already locked, error: %s\n", path.c_str(), std::strerror(errno));
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
        std::printf("Write file failed, file: %s, error: %s\n", path.c_str(), std::strerror(errno));
        close(fd);
        std::exit(1);
    }
    return true;
}

// Asks the event loop to stop after its current pass. Async-signal-safe: it
// only sets the base's break flag. Before the base exists it does nothing.
void sigint_handler(int /*signal*/)
{
    if (_pBase)
        event_base_loopbreak(_pBase);
}

int main(int, char**)
{
    KeepStandardDescriptors();
    RaiseDescriptorLimit();
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, nullptr, _IOFBF, kLogBufferSize);

    if (!runSingleInstance()) {
        std::puts("exit -3 !is already running");
        return -3;
    }

    CSvrWrapperTarn svr;
    svr.Init();

    std::signal(SIGINT, sigint_handler);
    std::signal(SIGPIPE, SIG_IGN);

    svr.SvrInit(&_pBase);
    svr.SvrStart();
    if (!svr.SvrIsOk()) {
        std::puts("exit -2 !SvrIsOk");
        return -2;
    }

    // From here SIGINT comes through the loop. If the signal event cannot be
    // set up, the plain handler stays in place.
    event* sigEv = evsignal_new(_pBase, SIGINT, OnSigint, nullptr);
    if (sigEv && evsignal_add(sigEv, nullptr) != 0) {
        event_free(sigEv);
        sigEv = nullptr;
    }

    svr.SvrDispatch();

    if (sigEv)
        event_free(sigEv); // puts sigint_handler back in place
    svr.SvrClose();
    svr.SvrFree();
    std::puts("exit 0");
    return 0;
}
