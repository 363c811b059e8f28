#include "SvrLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
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

CSvrLog::Priority CSvrLog::PriorityOf(Level level)
{
    switch (level) {
    case kErrors: return kPrioError;
    case kConnections: return kPrioInfo;
    case kChunks: return kPrioDebug;
    }
    return kPrioInfo;
}

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

// A line saying how many lines were lost, once it is in the pending text:
// where it lies in the stream and which counts it carries. Until its first
// byte is written it can still be dropped, and its counts go back.
struct Note {
    uint64_t begin = 0;
    uint64_t end = 0;           // 0: no note pending
    uint64_t lagged = 0;
    uint64_t failed = 0;
};

// One output stream of the log. Standard output and standard error each have
// one, or share one when they are the same open file; Redirect has its own.
struct LogSink {
    int fd = -1;
    bool inUse = false;
    bool nonBlocking = false;   // a pipe or a socket: never wait for its reader
    bool journal = false;       // the journal's stream: each line starts with "<N>"
    std::string text;           // lines in order; the first `written` bytes have gone out
    size_t written = 0;
    uint64_t textPos = 0;       // bytes written out before text[0]
    bool midLine = false;       // the last byte written did not end a line
    uint64_t lagged = 0;        // lines dropped: the reader was too far behind
    uint64_t failed = 0;        // lines lost to write errors (lastError)
    int lastError = 0;
    bool failing = false;       // the last write failed
    bool stalled = false;       // a stop gave up on this reader: no more waiting
    Note note;
    event* writeEv = nullptr;   // armed while a non-blocking reader lags behind

    size_t Pending() const { return text.size() - written; }
    uint64_t Sent() const { return textPos + written; }
    bool NotePending() const { return note.end != 0; }
};

enum { kStdoutSink, kStderrSink, kRedirectSink, kSinkCount };
LogSink g_sinks[kSinkCount];
bool g_opened = false;
LogSink* g_out = &g_sinks[kStdoutSink];
LogSink* g_err = &g_sinks[kStderrSink];     // &g_sinks[kStdoutSink] when shared
bool g_stdoutLossesTold = false;            // on standard error, at exit
unsigned long long g_dropped = 0;           // lines dropped since the start, every sink
event_base* g_logBase = nullptr;
event* g_logTimer = nullptr;    // armed while something is pending
bool g_logTimerArmed = false;

int64_t nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

LogSink& outSink()
{
    if (!g_opened)
        CSvrLog::Open();
    return *g_out;
}

LogSink& errSink()
{
    if (!g_opened)
        CSvrLog::Open();
    return *g_err;
}

void flushSink(LogSink& s);

void onLogWritable(evutil_socket_t, short, void* arg)
{
    flushSink(*static_cast<LogSink*>(arg));
}

void onLogTimer(evutil_socket_t, short, void*)
{
    g_logTimerArmed = false;
    for (LogSink& s : g_sinks) {
        if (s.inUse)
            flushSink(s);
    }
}

// Chooses how to write the descriptor. A pipe gets a description of its own
// (opened again through /proc), so that making it non-blocking changes
// nothing for another process that shares the pipe.
void openSink(LogSink& s, int fd, const struct stat* st)
{
    s.fd = fd;
    s.inUse = true;
    s.text.reserve(CSvrLog::kFlushAt + CSvrLog::kFlushAt / 4);
    if (!st)
        return;
    if (S_ISFIFO(st->st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) {
            dup2(own, fd);
            close(own);
        }
        s.nonBlocking = true;
    } else if (S_ISSOCK(st->st_mode)) {
        s.nonBlocking = true;
    }
    if (s.nonBlocking) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
            s.nonBlocking = false; // then it is written like a file
    }
}

// Lines in text[from, to): a last one without its line end counts too.
uint64_t countLines(const std::string& text, size_t from, size_t to)
{
    uint64_t n = 0;
    for (size_t i = from; i < to; ++i)
        n += text[i] == '\n';
    return n + (to > from && text[to - 1] != '\n');
}

// The journal's priority prefix "<N>".
struct PriorityPrefix {
    explicit PriorityPrefix(int priority) : text{'<', static_cast<char>('0' + priority), '>'} {}
    static constexpr size_t kSize = 3;
    char text[kSize];
};

// Prefixes each line of text[from, end) with the priority; the first only
// when it starts a line (it may continue one left open).
void prefixLines(std::string& text, size_t from, bool firstStartsLine, int priority)
{
    const PriorityPrefix prefix(priority);
    const std::string lines = text.substr(from);
    text.resize(from);
    bool lineStart = firstStartsLine;
    for (size_t pos = 0; pos < lines.size();) {
        const size_t nl = lines.find('\n', pos);
        const size_t end = nl == std::string::npos ? lines.size() : nl + 1;
        if (lineStart)
            text.append(prefix.text, PriorityPrefix::kSize);
        text.append(lines, pos, end - pos);
        pos = end;
        lineStart = true;
    }
}

// Whether the last byte given to the sink, written or pending, left its
// line open.
bool lineOpen(const LogSink& s)
{
    return s.text.empty() ? s.midLine : s.text.back() != '\n';
}

// Adds the line(s) with the counts of lost lines behind the pending text,
// unless a note not yet begun is there already. A note begun is a line like
// any other from now on: its counts have left the sink's counts.
void addNote(LogSink& s)
{
    if ((s.lagged == 0 && s.failed == 0) || (s.NotePending() && s.note.begin >= s.Sent()))
        return;
    s.note.begin = s.textPos + s.text.size();
    const size_t from = s.text.size();
    if (s.lagged > 0)
        s.text += relay::format("relaySvr: %llu log lines dropped: the log was not read in time\n",
                                static_cast<unsigned long long>(s.lagged));
    if (s.failed > 0)
        s.text += relay::format("relaySvr: %llu log lines dropped: %s\n",
                                static_cast<unsigned long long>(s.failed), std::strerror(s.lastError));
    if (s.journal)
        prefixLines(s.text, from, true, CSvrLog::kPrioWarning);
    s.note.end = s.textPos + s.text.size();
    s.note.lagged = s.lagged;
    s.note.failed = s.failed;
    s.lagged = s.failed = 0;
}

// Gives up the pending lines not yet begun and counts them in `lost`. A line
// already begun stays, so that it is finished before anything follows it; a
// note not yet begun goes back to the counts instead of being counted.
void dropPending(LogSink& s, uint64_t& lost)
{
    size_t keep = s.written;
    if (s.midLine) {
        const size_t nl = s.text.find('\n', s.written);
        keep = nl == std::string::npos ? s.text.size() : nl + 1;
    }
    size_t end = s.text.size();
    if (s.NotePending()) {
        // Not fully written yet, so it ends within the text.
        const size_t noteEnd = static_cast<size_t>(s.note.end - s.textPos);
        if (s.note.begin < s.textPos + keep) {
            keep = std::max(keep, noteEnd); // begun: it is finished whole
        } else {
            const size_t noteBegin = static_cast<size_t>(s.note.begin - s.textPos);
            const uint64_t after = countLines(s.text, noteEnd, end);
            lost += after;
            g_dropped += after;
            end = noteBegin;
            s.lagged += s.note.lagged;
            s.failed += s.note.failed;
            s.note = Note();
        }
    }
    if (end > keep) {
        const uint64_t n = countLines(s.text, keep, end);
        lost += n;
        g_dropped += n;
    }
    s.text.resize(keep);
}

// A write failed for good (a full disk, a reader gone): what is pending is
// lost and counted, and the count follows the line begun, if any.
void writeFailed(LogSink& s, int err)
{
    s.failing = true;
    s.lastError = err;
    dropPending(s, s.failed);
    addNote(s);
}

// Writes what the descriptor takes, then the count of lost lines if there
// is one. A non-blocking sink keeps the rest and, on a loop, waits for the
// descriptor to take more; after an error the next flush tries again.
void flushSink(LogSink& s)
{
    for (;;) {
        while (s.Pending() > 0) {
            const ssize_t n = write(s.fd, s.text.data() + s.written, s.Pending());
            if (n > 0) {
                s.written += static_cast<size_t>(n);
                s.midLine = s.text[s.written - 1] != '\n';
                s.failing = false;
                if (s.NotePending() && s.Sent() >= s.note.end)
                    s.note = Note();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Also a terminal or file that someone else made non-blocking.
                s.nonBlocking = true;
                s.failing = false;
                s.textPos += s.written;
                s.text.erase(0, s.written);
                s.written = 0;
                if (g_logBase && !s.writeEv)
                    s.writeEv = event_new(g_logBase, s.fd, EV_WRITE, onLogWritable, &s);
                if (s.writeEv)
                    event_add(s.writeEv, nullptr);
                return;
            }
            writeFailed(s, n < 0 ? errno : EIO);
            return;
        }
        s.textPos += s.written;
        s.text.clear();
        s.written = 0;
        if (s.lagged == 0 && s.failed == 0)
            return;
        addNote(s);
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
    if (s.nonBlocking && s.Pending() >= CSvrLog::kMaxPending) {
        ++s.lagged;
        ++g_dropped;
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
// here (LineBuilder composes the per-chunk lines). With ownLine it starts on
// a fresh line: a line of standard error after one of standard output that
// was left open (the PID file's error has no line end).
void append(LogSink& s, int priority, bool ownLine, const char* fmt, va_list ap)
{
    if (!roomFor(s))
        return;
    bool open = lineOpen(s);
    if (ownLine && open) {
        s.text += '\n';
        open = false;
    }
    const size_t from = s.text.size();
    relay::vappend(s.text, fmt, ap);
    if (s.journal && s.text.size() > from)
        prefixLines(s.text, from, !open, priority);
    afterAppend(s);
}

// The lines lost on a sink and not yet told by a note that was written whole.
void unreported(const LogSink& s, uint64_t& lagged, uint64_t& failed)
{
    lagged = s.lagged + (s.NotePending() ? s.note.lagged : 0);
    failed = s.failed + (s.NotePending() ? s.note.failed : 0);
}

// Writes what the sinks in use hold for as long as their readers keep
// taking it: a reader is given up after kExitIdleSeconds seconds in which it
// took nothing (after the first, if it took nothing at all), and every
// reader after kExitMaxMs. What is given up is counted, and the count is
// the last line. A sink given up before is tried once, without waiting.
void drainSinks()
{
    struct Watch {
        LogSink* s;
        uint64_t mark;
        int idle;
        bool took;
        bool done;
    };
    Watch watches[kSinkCount];
    size_t count = 0;
    for (LogSink& s : g_sinks) {
        if (s.inUse)
            watches[count++] = Watch{&s, s.Sent(), 0, false, false};
    }
    const int64_t start = nowMs();
    const int64_t cap = start + CSvrLog::kExitMaxMs;
    int64_t windowEnd = start + CSvrLog::kExitFlushMs;
    for (;;) {
        pollfd fds[kSinkCount];
        Watch* polled[kSinkCount];
        nfds_t n = 0;
        for (size_t i = 0; i < count; ++i) {
            Watch& w = watches[i];
            if (w.done)
                continue;
            flushSink(*w.s);
            if (w.s->Pending() == 0 || w.s->failing || w.s->stalled) {
                w.done = true;
                continue;
            }
            fds[n] = pollfd{w.s->fd, POLLOUT, 0};
            polled[n++] = &w;
        }
        if (n == 0)
            return;
        const int64_t now = nowMs();
        bool gaveUp = false;
        if (now >= windowEnd || now >= cap) {
            for (nfds_t i = 0; i < n; ++i) {
                Watch& w = *polled[i];
                if (w.s->Sent() != w.mark)
                    w.took = true;
                else
                    ++w.idle;
                w.mark = w.s->Sent();
                if (now >= cap || w.idle >= CSvrLog::kExitIdleSeconds || (w.idle > 0 && !w.took)) {
                    dropPending(*w.s, w.s->lagged);
                    addNote(*w.s);
                    w.s->stalled = true;
                    gaveUp = true;
                }
            }
            windowEnd = now + CSvrLog::kExitFlushMs;
        }
        if (gaveUp)
            continue; // the count may still go out; then the sink is done
        const int64_t wait = std::min(windowEnd, cap) - now;
        if (poll(fds, n, static_cast<int>(std::max<int64_t>(wait, 0))) < 0 && errno != EINTR)
            return;
    }
}

void onLibeventLog(int severity, const char* msg)
{
    if (severity >= EVENT_LOG_WARN)
        CSvrLog::Tell(severity >= EVENT_LOG_ERR ? CSvrLog::kPrioError : CSvrLog::kPrioWarning, "libevent: %s\n", msg);
}

// Whether the descriptor is the stream that JOURNAL_STREAM ("device:inode",
// in decimal) names: systemd connected it to the journal.
bool isJournalStream(const struct stat& st)
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    char rest = 0;
    return stream && std::sscanf(stream, "%llu:%llu%c", &dev, &ino, &rest) == 2 &&
           static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

} // namespace

void CSvrLog::Open()
{
    if (g_opened)
        return;
    g_opened = true;
    struct stat out, err;
    const bool haveOut = fstat(STDOUT_FILENO, &out) == 0;
    const bool haveErr = fstat(STDERR_FILENO, &err) == 0;
    openSink(g_sinks[kStdoutSink], STDOUT_FILENO, haveOut ? &out : nullptr);
    g_sinks[kStdoutSink].journal = haveOut && isJournalStream(out);
    // One file behind both (a terminal, the journal's socket, 2>&1): one
    // sink keeps their lines whole and in order.
    if (haveOut && haveErr && out.st_dev == err.st_dev && out.st_ino == err.st_ino) {
        g_err = &g_sinks[kStdoutSink];
    } else {
        openSink(g_sinks[kStderrSink], STDERR_FILENO, haveErr ? &err : nullptr);
        g_sinks[kStderrSink].journal = haveErr && isJournalStream(err);
    }
    event_set_log_callback(onLibeventLog);
    std::atexit(FlushAtExit);
}

namespace {

// Moves the log to another loop (null: none), freeing the events of the old one.
void moveToLoop(event_base* base)
{
    for (LogSink& s : g_sinks) {
        if (s.writeEv) {
            event_free(s.writeEv);
            s.writeEv = nullptr;
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
    for (LogSink& s : g_sinks) {
        if (s.inUse)
            flushSink(s);
    }
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
    LogSink& r = g_sinks[kRedirectSink];
    flushSink(*g_out);
    if (r.writeEv) {
        event_free(r.writeEv);
        r.writeEv = nullptr;
    }
    r = LogSink();
    g_out = &g_sinks[kStdoutSink];
    if (fd < 0)
        return;
    r.fd = fd;
    r.inUse = true;
    const int flags = fcntl(fd, F_GETFL);
    r.nonBlocking = flags != -1 && (flags & O_NONBLOCK) != 0;
    g_out = &r;
}

void CSvrLog::FlushAtStop()
{
    if (g_opened)
        drainSinks();
}

void CSvrLog::FlushAtExit()
{
    FlushAtStop();
    // What standard output lost (with what it still holds now), said where
    // it may still be read.
    LogSink& out = g_sinks[kStdoutSink];
    if (!g_opened || g_stdoutLossesTold || g_err == &out)
        return;
    dropPending(out, out.failing ? out.failed : out.lagged);
    uint64_t lagged = 0, failed = 0;
    unreported(out, lagged, failed);
    if (lagged == 0 && failed == 0)
        return;
    g_stdoutLossesTold = true;
    if (lagged > 0)
        Warn("relaySvr: standard output: %llu log lines dropped: the log was not read in time\n",
             static_cast<unsigned long long>(lagged));
    if (failed > 0)
        Warn("relaySvr: standard output: %llu log lines dropped: %s\n", static_cast<unsigned long long>(failed),
             std::strerror(out.lastError));
    drainSinks();
}

void CSvrLog::Print(Level level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(outSink(), PriorityOf(level), false, fmt, ap);
    va_end(ap);
}

void CSvrLog::Print(Level, Priority priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(outSink(), priority, false, fmt, ap);
    va_end(ap);
}

void CSvrLog::VPrint(Level, Priority priority, const char* fmt, va_list ap)
{
    append(outSink(), priority, false, fmt, ap);
}

unsigned long long CSvrLog::LinesDropped()
{
    return g_dropped;
}

namespace {

// Builds one short line of standard output in place: literal pieces and
// numbers, behind the debug priority on the journal's stream.
class LineBuilder {
public:
    LineBuilder() : m_sink(outSink())
    {
        if (m_sink.journal)
            Text("<7>");
    }
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
    void Add() { addLine(m_sink, m_line, static_cast<size_t>(m_p - m_line)); }

private:
    LogSink& m_sink;
    char m_line[64]; // the longest line: a prefix, two ints and 11 bytes of text
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
    append(errSink(), kPrioWarning, true, fmt, ap);
    va_end(ap);
}

void CSvrLog::Tell(Priority priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(errSink(), priority, true, fmt, ap);
    va_end(ap);
}
