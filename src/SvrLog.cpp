#include "SvrLog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/event.h>

#include "RelayText.h"

namespace {

const char* const kLevelNames[] = {"errors", "connections", "chunks"};

} // namespace

const char* CSvrLog::LevelName(Level level)
{
    return level >= kErrors && level <= kChunks ? kLevelNames[level] : "?";
}

bool CSvrLog::ParseLevel(const std::string& name, Level& level)
{
    for (int l = kErrors; l <= kChunks; ++l) {
        if (name == kLevelNames[l]) {
            level = static_cast<Level>(l);
            return true;
        }
    }
    return false;
}

namespace {

// One output stream of the log: standard output or standard error.
struct LogSink {
    int fd;
    bool opened = false;
    bool nonBlocking = false;   // a pipe or a socket: never wait for its reader
    std::string text;           // whole lines; the first `written` bytes have gone out
    size_t written = 0;
    uint64_t droppedLines = 0;
    event* writeEv = nullptr;   // armed while a non-blocking reader lags behind

    size_t Pending() const { return text.size() - written; }
};

LogSink g_out{STDOUT_FILENO, false, false, std::string(), 0, 0, nullptr};
LogSink g_err{STDERR_FILENO, false, false, std::string(), 0, 0, nullptr};
event_base* g_logBase = nullptr;
event* g_logTimer = nullptr;    // armed while something is pending
bool g_logTimerArmed = false;

void flushSink(LogSink& s);

void onLogWritable(evutil_socket_t, short, void* arg)
{
    flushSink(*static_cast<LogSink*>(arg));
}

void onLogTimer(evutil_socket_t, short, void*)
{
    g_logTimerArmed = false;
    flushSink(g_out);
    flushSink(g_err);
}

// Chooses how to write the descriptor. A pipe gets a description of its own
// (opened again through /proc), so that making it non-blocking changes
// nothing for another process that shares the pipe.
void openSink(LogSink& s)
{
    s.opened = true;
    s.text.reserve(CSvrLog::kFlushAt + CSvrLog::kFlushAt / 4);
    struct stat st;
    if (fstat(s.fd, &st) != 0)
        return;
    if (S_ISFIFO(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(s.fd);
        const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) {
            dup2(own, s.fd);
            close(own);
        }
        s.nonBlocking = true;
    } else if (S_ISSOCK(st.st_mode)) {
        s.nonBlocking = true;
    }
    if (s.nonBlocking)
        fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) | O_NONBLOCK);
}

// Writes what the descriptor takes. A blocking sink takes all of it (or the
// rest is lost with the descriptor); a non-blocking one keeps the rest and,
// on a loop, waits for the descriptor to take more.
void flushSink(LogSink& s)
{
    while (s.Pending() > 0) {
        const ssize_t n = write(s.fd, s.text.data() + s.written, s.Pending());
        if (n > 0) {
            s.written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && s.nonBlocking) {
            s.text.erase(0, s.written);
            s.written = 0;
            if (g_logBase && !s.writeEv)
                s.writeEv = event_new(g_logBase, s.fd, EV_WRITE, onLogWritable, &s);
            if (s.writeEv)
                event_add(s.writeEv, nullptr);
            return;
        }
        // The reader is gone (or the file cannot grow): nothing more can be written.
        break;
    }
    s.text.clear();
    s.written = 0;
    if (s.droppedLines > 0) {
        const uint64_t dropped = s.droppedLines;
        s.droppedLines = 0;
        s.text = relay::format("relaySvr: %llu log lines dropped: the log was not read in time\n",
                               static_cast<unsigned long long>(dropped));
        flushSink(s);
    }
}

// A line was added: without a loop it goes out at once; on a loop, once
// kFlushAt bytes are pending or when the timer fires.
void afterAppend(LogSink& s)
{
    if (!g_logBase) {
        flushSink(s);
    } else if (s.writeEv && event_pending(s.writeEv, EV_WRITE, nullptr)) {
        // The reader lags: its write event takes over.
    } else if (s.Pending() >= CSvrLog::kFlushAt) {
        flushSink(s);
    } else if (!g_logTimerArmed && g_logTimer) {
        const timeval delay = {0, CSvrLog::kFlushDelayMs * 1000};
        g_logTimerArmed = evtimer_add(g_logTimer, &delay) == 0;
    }
}

// Whether a line may be added. Past the bound, with a reader that lags, the
// line is counted instead of kept: lines are dropped whole, never cut.
bool roomFor(LogSink& s)
{
    if (!s.opened)
        CSvrLog::Open();
    if (s.nonBlocking && s.Pending() >= CSvrLog::kMaxPending) {
        ++s.droppedLines;
        return false;
    }
    return true;
}

void addLine(LogSink& s, const char* text, size_t n)
{
    if (!roomFor(s))
        return;
    s.text.append(text, n);
    afterAppend(s);
}

// A formatted line, composed straight into the pending text. Lines with a
// format come at most once per connection: printf's cost does not matter
// here (LineBuilder composes the per-chunk lines).
void append(LogSink& s, const char* fmt, va_list ap)
{
    if (!roomFor(s))
        return;
    relay::vappend(s.text, fmt, ap);
    afterAppend(s);
}

// Writes what is pending until the deadline, waiting for a slow reader.
void drainSink(LogSink& s, int64_t deadlineMs)
{
    while (s.Pending() > 0 || s.droppedLines > 0) {
        flushSink(s);
        if (s.Pending() == 0)
            return;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t left = deadlineMs - (now.tv_sec * 1000 + now.tv_nsec / 1000000);
        pollfd p = {s.fd, POLLOUT, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return;
    }
}

void onLibeventLog(int severity, const char* msg)
{
    if (severity >= EVENT_LOG_WARN)
        CSvrLog::Warn("libevent: %s\n", msg);
}

} // namespace

void CSvrLog::Open()
{
    if (g_out.opened)
        return;
    openSink(g_out);
    openSink(g_err);
    event_set_log_callback(onLibeventLog);
    std::atexit(FlushAtExit);
}

namespace {

// Moves the log to another loop (null: none), freeing the events of the old one.
void moveToLoop(event_base* base)
{
    for (LogSink* s : {&g_out, &g_err}) {
        if (s->writeEv) {
            event_free(s->writeEv);
            s->writeEv = nullptr;
        }
    }
    if (g_logTimer) {
        event_free(g_logTimer);
        g_logTimer = nullptr;
    }
    g_logTimerArmed = false;
    g_logBase = base;
    if (base)
        g_logTimer = evtimer_new(base, onLogTimer, nullptr);
    flushSink(g_out);
    flushSink(g_err);
}

} // namespace

void CSvrLog::Attach(event_base* base)
{
    if (!g_logBase)
        moveToLoop(base);
}

void CSvrLog::Detach(event_base* base)
{
    if (base && g_logBase == base)
        moveToLoop(nullptr);
}

void CSvrLog::Redirect(int fd)
{
    Open();
    flushSink(g_out);
    g_out.fd = fd >= 0 ? fd : STDOUT_FILENO;
}

void CSvrLog::FlushAtExit()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = now.tv_sec * 1000 + now.tv_nsec / 1000000 + kExitFlushMs;
    drainSink(g_out, deadline);
    drainSink(g_err, deadline);
}

void CSvrLog::Print(Level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(g_out, fmt, ap);
    va_end(ap);
}

namespace {

// Builds one short line in place: literal pieces and numbers.
class LineBuilder {
public:
    template <size_t N>
    LineBuilder& Text(const char (&text)[N])
    {
        std::memcpy(m_p, text, N - 1);
        m_p += N - 1;
        return *this;
    }
    LineBuilder& Dec(int v)
    {
        unsigned u = static_cast<unsigned>(v);
        if (v < 0) {
            *m_p++ = '-';
            u = 0u - u;
        }
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        while (n > 0)
            *m_p++ = digits[--n];
        return *this;
    }
    LineBuilder& Hex2(unsigned char v)
    {
        *m_p++ = "0123456789abcdef"[v >> 4];
        *m_p++ = "0123456789abcdef"[v & 15];
        return *this;
    }
    void Add() { addLine(g_out, m_line, static_cast<size_t>(m_p - m_line)); }

private:
    char m_line[64]; // the longest line: two ints and 11 bytes of text
    char* m_p = m_line;
};

} // namespace

void CSvrLog::PrintRead(int fd, int n)
{
    LineBuilder().Text(" ").Dec(fd).Text("  OnRead: ").Dec(n).Text("\n").Add();
}

void CSvrLog::PrintRequest(unsigned char b0, unsigned char b1)
{
    LineBuilder().Text(" is request: ").Hex2(b0).Text(" ").Hex2(b1).Text("\n").Add();
}

void CSvrLog::PrintDo(unsigned char id)
{
    LineBuilder().Text(" do... [").Dec(id).Text("]\n").Add();
}

void CSvrLog::Warn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(g_err, fmt, ap);
    va_end(ap);
}
