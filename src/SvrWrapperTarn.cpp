#include "SvrWrapperTarn.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/buffer.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

namespace {

const char kIniFile[] = "relaySvr.ini";
const char kIniSection[] = "SvrTarn";

// Keys of section "SvrTarn".
const char kKeyPort[] = "Port";
const char kKeyDeviceNetworks[] = "DeviceNetworks";
const char kKeyKeepAlive[] = "KeepAlive";
const char kKeyAckTimeout[] = "AckTimeout";
const char kKeyLogLevel[] = "LogLevel";
const char kKeyStatusPort[] = "StatusPort";
const char kKeyStatusAddress[] = "StatusAddress";
const char* const kKnownKeys[] = {kKeyPort, kKeyDeviceNetworks, kKeyKeepAlive, kKeyAckTimeout,
                                  kKeyLogLevel, kKeyStatusPort, kKeyStatusAddress};
const char* const kLevelNames[] = {"errors", "connections", "chunks"};

// TCP_KEEPIDLE cannot exceed this (the kernel's MAX_TCP_KEEPIDLE).
const long kMaxKeepAlive = 32767;
// TCP_USER_TIMEOUT takes milliseconds in an int; a day is plenty.
const long kMaxAckTimeout = 86400;
// Unanswered keepalive probes after which the kernel drops a device.
const int kKeepAliveProbes = 3;
// Probes go KeepAlive/kProbeDivisor seconds apart (at least 1 s): with the
// acknowledgement timeout set, Linux drops a silent dead peer at its first
// unanswered probe past that timeout, so with the defaults (60, 30) a device
// that falls silent is gone after about 70 s, and without it after 90 s.
const int kProbeDivisor = 6;

// Retry delay for accept after the process or the system ran out of
// descriptors, in case no connection of ours closes to free one.
const timeval kAcceptRetry = {1, 0};
// Paused requesters whose close is handled per pass of the pause watch.
const int kPauseWatchBatch = 64;
// A status client that sends or takes nothing for this long is dropped.
const int kStatusTimeoutSec = 5;
const size_t kStatusMaxHeaders = 8192;

// Only 127.0.0.1 makes a requester; every other address, 127.0.0.2 included,
// is a device, known by the last octet of its dotted form: the fourth byte of
// the address in network byte order.
bool isRequesterAddress(uint32_t addrNet)
{
    const auto* b = reinterpret_cast<const unsigned char*>(&addrNet);
    return b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

unsigned char deviceId(uint32_t addrNet)
{
    return reinterpret_cast<const unsigned char*>(&addrNet)[3];
}

std::string dotted(uint32_t addrNet)
{
    char ip[INET_ADDRSTRLEN] = "";
    in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, ip, sizeof(ip));
    return ip;
}

void sortedInsert(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x)
        v.insert(it, x);
}

void sortedErase(std::vector<int>& v, int x)
{
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it != v.end() && *it == x)
        v.erase(it);
}

int64_t monotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

// True for a non-empty run of decimal digits whose value is lo..hi.
bool plainNumber(const std::string& text, long lo, long hi, long& out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= lo && out <= hi;
}

// One item of DeviceNetworks: "a.b.c.d" or "a.b.c.d/n", n from 0 to 32.
bool parseNetwork(const std::string& item, CSvrWrapperTarn::Network& out)
{
    const size_t slash = item.find('/');
    long bits = 32;
    if (slash != std::string::npos && !plainNumber(item.substr(slash + 1), 0, 32, bits))
        return false;
    in_addr a;
    if (inet_pton(AF_INET, item.substr(0, slash).c_str(), &a) != 1)
        return false;
    out.mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    out.addr = ntohl(a.s_addr) & out.mask;
    return true;
}

std::string describeNetwork(const CSvrWrapperTarn::Network& n)
{
    int bits = 0;
    for (uint32_t m = n.mask; m != 0; m <<= 1)
        ++bits;
    return dotted(htonl(n.addr)) + "/" + std::to_string(bits);
}

} // namespace

// ===========================================================================
// The log
// ===========================================================================

CSvrLog::Level CSvrLog::s_level = CSvrLog::kChunks;

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
        s.text = format("relaySvr: %llu log lines dropped: the log was not read in time\n",
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

// Adds one whole line; past the bound, with a reader that lags, the line is
// counted instead of kept, never cut.
void addLine(LogSink& s, const char* text, size_t n)
{
    if (!s.opened)
        CSvrLog::Open();
    if (s.nonBlocking && s.Pending() >= CSvrLog::kMaxPending) {
        ++s.droppedLines;
        return;
    }
    s.text.append(text, n);
    afterAppend(s);
}

// Lines with a format come at most once per connection: printf's cost does
// not matter here (LineBuilder composes the per-chunk lines).
void append(LogSink& s, const char* fmt, va_list ap)
{
    char line[512];
    va_list copy;
    va_copy(copy, ap);
    const int len = std::vsnprintf(line, sizeof(line), fmt, copy);
    va_end(copy);
    if (len < 0)
        return;
    if (static_cast<size_t>(len) < sizeof(line)) {
        addLine(s, line, static_cast<size_t>(len));
        return;
    }
    std::string longer(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(&longer[0], longer.size(), fmt, ap);
    addLine(s, longer.data(), static_cast<size_t>(len));
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

void CSvrLog::Attach(event_base* base)
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

void CSvrLog::Print(Level level, const char* fmt, ...)
{
    if (!Wants(level))
        return;
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
    if (Wants(kChunks))
        LineBuilder().Text(" ").Dec(fd).Text("  OnRead: ").Dec(n).Text("\n").Add();
}

void CSvrLog::PrintRequest(unsigned char b0, unsigned char b1)
{
    if (Wants(kChunks))
        LineBuilder().Text(" is request: ").Hex2(b0).Text(" ").Hex2(b1).Text("\n").Add();
}

void CSvrLog::PrintDo(unsigned char id)
{
    if (Wants(kChunks))
        LineBuilder().Text(" do... [").Dec(id).Text("]\n").Add();
}

void CSvrLog::Warn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    append(g_err, fmt, ap);
    va_end(ap);
}

// ===========================================================================
// Settings
// ===========================================================================

bool CSvrWrapperTarn::ReadSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check)
{
    std::vector<std::string>& warnings = check.warnings;
    Settings s;
    s.port = ini.GetValue<int>(kIniSection, kKeyPort, kDefaultPort);
    const std::string absent(SimpleIni::kAbsent);
    auto text = [&](const char* key) { return ini.GetValue(kIniSection, key, absent); };
    auto given = [&](const char* key) { return text(key) != absent; };
    bool& bad = check.badValue;

    for (auto k = ini.beginKey(kIniSection); k != ini.endKey(kIniSection); ++k) {
        // The empty key comes from lines of blanks and indented comments.
        if ((*k).empty() || std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                         [&](const char* known) { return *k == known; }) != std::end(kKnownKeys))
            continue;
        warnings.push_back(format("relaySvr.ini: unknown key \"%s\" in [%s] is ignored (keys are case-sensitive)",
                                  (*k).c_str(), kIniSection));
    }

    long number = 0;
    if (given(kKeyPort) && !plainNumber(text(kKeyPort), 1, 65535, number)) {
        const int used = s.port & 0xFFFF;
        warnings.push_back(format("relaySvr.ini: Port=\"%s\" is not a plain decimal number from 1 to 65535; "
                                  "it reads as %d, so %s", text(kKeyPort).c_str(), s.port,
                                  used == 0 ? "the system chooses the port"
                                            : ("the port is " + std::to_string(used)).c_str()));
    }

    // A list that cannot be read stops the start: never open to every
    // address because of a typo.
    const std::string networks = ini.GetValue(kIniSection, kKeyDeviceNetworks, "");
    size_t pos = 0;
    while ((pos = networks.find_first_not_of(" \t,", pos)) != std::string::npos) {
        const size_t end = std::min(networks.find_first_of(" \t,", pos), networks.size());
        const std::string item = networks.substr(pos, end - pos);
        Network n;
        if (!parseNetwork(item, n)) {
            if (check.error.empty())
                check.error = format("relaySvr.ini: DeviceNetworks: cannot read \"%s\" (expected an IPv4 "
                                     "address such as 192.168.1.7 or a network such as 192.168.1.0/24)",
                                     item.c_str());
        } else {
            s.deviceNetworks.push_back(n);
        }
        pos = end;
    }

    struct NumberKey { const char* key; long max; int& value; const char* meaning; } numbers[] = {
        {kKeyKeepAlive, kMaxKeepAlive, s.keepAlive, "seconds, 0 turns keepalive off"},
        {kKeyAckTimeout, kMaxAckTimeout, s.ackTimeout, "seconds, 0 keeps the kernel's default"},
        {kKeyStatusPort, 65535, s.statusPort, "a port, 0 turns the status server off"},
    };
    for (NumberKey& k : numbers) {
        if (!given(k.key))
            continue;
        if (plainNumber(text(k.key), 0, k.max, number)) {
            k.value = static_cast<int>(number);
        } else {
            bad = true;
            warnings.push_back(format("relaySvr.ini: %s=\"%s\" is not a number from 0 to %ld (%s); using %d",
                                      k.key, text(k.key).c_str(), k.max, k.meaning, k.value));
        }
    }

    if (given(kKeyLogLevel)) {
        const std::string level = text(kKeyLogLevel);
        const auto* found = std::find(std::begin(kLevelNames), std::end(kLevelNames), level);
        if (found != std::end(kLevelNames)) {
            s.logLevel = static_cast<CSvrLog::Level>(found - std::begin(kLevelNames));
        } else {
            bad = true;
            warnings.push_back(format("relaySvr.ini: LogLevel=\"%s\" is not chunks, connections or errors; "
                                      "using chunks", level.c_str()));
        }
    }

    if (given(kKeyStatusAddress)) {
        in_addr a;
        const std::string address = text(kKeyStatusAddress);
        if (inet_pton(AF_INET, address.c_str(), &a) == 1) {
            s.statusAddress = address;
        } else {
            bad = true;
            warnings.push_back(format("relaySvr.ini: StatusAddress=\"%s\" is not an IPv4 address; using %s",
                                      address.c_str(), s.statusAddress.c_str()));
        }
    }

    out = s;
    return check.error.empty();
}

std::string CSvrWrapperTarn::DescribeSettings(const Settings& s)
{
    std::string networks;
    for (const Network& n : s.deviceNetworks)
        networks += (networks.empty() ? "" : " ") + describeNetwork(n);
    return format("Port=%d", s.port) + (s.port & 0xFFFF ? format(" (listening on %d)\n", s.port & 0xFFFF)
                                                         : std::string(" (the system chooses the port)\n")) +
           "DeviceNetworks=" + networks + (networks.empty() ? " (devices from any address)\n" : "\n") +
           format("KeepAlive=%d\nAckTimeout=%d\nLogLevel=%s\nStatusPort=%d%s\nStatusAddress=%s\n", s.keepAlive,
                  s.ackTimeout, kLevelNames[s.logLevel], s.statusPort, s.statusPort ? "" : " (off)",
                  s.statusAddress.c_str());
}

// ===========================================================================
// Lifecycle
// ===========================================================================

CSvrWrapperTarn::CSvrWrapperTarn()
    : m_ini(""),
      m_nPort(kDefaultPort),
      m_bSvrOk(false),
      m_bBaseOk(false),
      m_pBase(nullptr),
      m_pListener(nullptr)
{
}

CSvrWrapperTarn::~CSvrWrapperTarn()
{
    Free();
}

void CSvrWrapperTarn::Init()
{
    // Opening a FIFO for reading waits for a writer: only a regular file is
    // read, so that start-up never blocks with the PID lock held.
    struct stat st;
    const bool present = stat(kIniFile, &st) == 0;
    if (present && !S_ISREG(st.st_mode)) {
        CSvrLog::Warn("relaySvr.ini is not a regular file: it is not read, the defaults are used\n");
        m_ini.Free();
    } else {
        // A missing file means the defaults; one that is there but cannot be
        // read (its permissions) would silently drop DeviceNetworks.
        if (present && access(kIniFile, R_OK) != 0)
            CSvrLog::Warn("relaySvr.ini cannot be read (%s): the defaults are used\n", std::strerror(errno));
        m_ini.Load(kIniFile);
    }
    Settings s;
    SettingsCheck check;
    m_bInitOk = ReadSettings(m_ini, s, check);
    for (const std::string& w : check.warnings)
        CSvrLog::Warn("%s\n", w.c_str());
    if (!m_bInitOk)
        CSvrLog::Warn("%s: not started\n", check.error.c_str());
    m_settings = s;
    m_nPort = s.port;
    CSvrLog::SetLevel(s.logLevel);
}

void CSvrWrapperTarn::Reload()
{
    struct stat st;
    if (stat(kIniFile, &st) != 0 || !S_ISREG(st.st_mode)) {
        CSvrLog::Warn("reload: relaySvr.ini %s: the running settings are kept\n",
                      errno == ENOENT ? "is missing" : "is not a readable regular file");
        return;
    }
    SimpleIni fresh("");
    if (!fresh.Load(kIniFile)) {
        CSvrLog::Warn("reload: relaySvr.ini cannot be read: the running settings are kept\n");
        return;
    }
    Settings s;
    SettingsCheck check;
    const bool readable = ReadSettings(fresh, s, check);
    for (const std::string& w : check.warnings)
        CSvrLog::Warn("reload: %s\n", w.c_str());
    if (!readable || check.badValue) {
        CSvrLog::Warn("reload: %s: the running settings are kept\n",
                      readable ? "a value is not valid" : check.error.c_str());
        return;
    }
    if (s.port != m_settings.port)
        CSvrLog::Warn("reload: Port changed from %d to %d: that takes a restart; still listening on %d\n",
                      m_settings.port, s.port, m_settings.port & 0xFFFF);
    s.port = m_settings.port;
    m_ini = fresh;
    ApplySettings(s, false);
    CSvrLog::Print(CSvrLog::kErrors, "SvrReload ok!\n");
}

// Makes the settings the running ones. At start only the level and the
// status server need work; on reload the connected devices follow too.
bool CSvrWrapperTarn::ApplySettings(const Settings& s, bool atStart)
{
    const Settings old = m_settings;
    m_settings = s;
    CSvrLog::SetLevel(s.logLevel);
    if (!atStart) {
        const bool networksChanged = s.deviceNetworks.size() != old.deviceNetworks.size() ||
            !std::equal(s.deviceNetworks.begin(), s.deviceNetworks.end(), old.deviceNetworks.begin(),
                        [](const Network& a, const Network& b) { return a.addr == b.addr && a.mask == b.mask; });
        const bool optionsChanged = s.keepAlive != old.keepAlive || s.ackTimeout != old.ackTimeout;
        std::vector<int> outside;
        for (const auto& [fd, addr] : m_mapDest) {
            if (networksChanged && !Admitted(static_cast<uint32_t>(addr)))
                outside.push_back(fd);
            else if (optionsChanged)
                ApplyDeviceOptions(fd);
        }
        for (int fd : outside) {
            CSvrLog::Print(CSvrLog::kErrors, " %d device %s is outside DeviceNetworks now: closed\n", fd,
                           dotted(m_conns[fd].addr).c_str());
            CloseConn(fd);
        }
    }
    if (!m_bSvrOk)
        return true;
    if (atStart || s.statusPort != old.statusPort || s.statusAddress != old.statusAddress) {
        std::string error;
        if (s.statusPort == 0) {
            StopStatus();
        } else if (!StartStatus(error)) {
            CSvrLog::Warn("status: cannot listen on %s:%d: %s; %s\n", s.statusAddress.c_str(), s.statusPort,
                          error.c_str(), m_pStatusSocket ? "the old status address stays" : "running without it");
            m_settings.statusPort = old.statusPort;
            m_settings.statusAddress = old.statusAddress;
            if (!m_pStatusSocket)
                StopStatus();
            return false;
        }
    }
    return true;
}

void CSvrWrapperTarn::Free()
{
    m_mapReq.clear();
    m_mapDest.clear();
    m_mapBuff.clear();
    // The records go with the tables; the buffered connections are left alone.
    FreeReadEvents();
    m_conns.clear();
    for (auto& ids : m_devicesById)
        ids.clear();
}

void CSvrWrapperTarn::FreeReadEvents()
{
    // A read event can only be freed while its base lives.
    for (Conn& c : m_conns) {
        if (c.readEv && m_bBaseOk)
            event_free(c.readEv);
        c.readEv = nullptr;
    }
}

void CSvrWrapperTarn::SvrInit(event_base** out)
{
    m_pBase = event_base_new();
    m_bBaseOk = m_pBase != nullptr;
    m_ppBaseOut = out;
    if (out)
        *out = m_pBase;
    m_nStartTime = static_cast<int64_t>(std::time(nullptr));
    if (m_bBaseOk)
        StartPauseWatch();
}

// A paused requester is not read, so its read event cannot see it go: this
// epoll set watches paused requesters for their close (EPOLLRDHUP; a reset
// shows as EPOLLERR), and the loop watches the set. libevent cannot do it
// with EV_CLOSED alone: it reports a reset as a read and write event, which
// such an event does not take, and its epoll set would report the socket on
// every pass. Without the set a pause simply stops reading.
void CSvrWrapperTarn::StartPauseWatch()
{
    m_nPauseWatchFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_nPauseWatchFd < 0)
        return;
    m_pPauseWatchEv = event_new(m_pBase, m_nPauseWatchFd, EV_READ | EV_PERSIST, OnPauseWatch, this);
    if (!m_pPauseWatchEv || event_add(m_pPauseWatchEv, nullptr) != 0) {
        if (m_pPauseWatchEv)
            event_free(m_pPauseWatchEv);
        m_pPauseWatchEv = nullptr;
        close(m_nPauseWatchFd);
        m_nPauseWatchFd = -1;
    }
}

void CSvrWrapperTarn::SvrStart()
{
    if (!m_bBaseOk)
        return;

    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_nPort & 0xFFFF));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);

    m_pListener = evconnlistener_new_bind(m_pBase, OnAccept, this,
                                          LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, kBacklog,
                                          reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    if (!m_pListener) {
        FreeBase();
        return;
    }
    // Without an error callback a failing accept (out of descriptors) would
    // be retried on every loop pass: the loop would spin.
    evconnlistener_set_error_cb(m_pListener, OnAcceptError);
    m_bSvrOk = true;
    CSvrLog::Print(CSvrLog::kErrors, "SvrStart ok!\n");
    CSvrLog::Attach(m_pBase);

    ApplySettings(m_settings, true);
}

void CSvrWrapperTarn::SvrDispatch()
{
    if (!m_bBaseOk)
        return;
    // event_base_loop clears a break that was asked for before it started:
    // honour one that a SIGINT during start-up asked for. Once the loop runs,
    // every SIGINT comes through it (main's signal event), so none can fall
    // between this test and the loop.
    if (event_base_got_break(m_pBase))
        return;
    event_base_loop(m_pBase, 0);
}

void CSvrWrapperTarn::SvrClose()
{
    StopStatus();
    if (m_pAcceptRetry) {
        event_free(m_pAcceptRetry);
        m_pAcceptRetry = nullptr;
    }
    if (m_pListener) {
        evconnlistener_free(m_pListener);
        m_pListener = nullptr;
    }
    m_bSvrOk = false;
}

void CSvrWrapperTarn::SvrFree()
{
    FreeBase();
}

// Releases the base and everything of ours registered on it, on the failed
// start and on the orderly stop alike.
void CSvrWrapperTarn::FreeBase()
{
    if (m_pBase) {
        CSvrLog::Attach(nullptr);
        FreeReadEvents();
        if (m_pPauseWatchEv) {
            event_free(m_pPauseWatchEv);
            m_pPauseWatchEv = nullptr;
        }
        if (m_nPauseWatchFd >= 0) {
            close(m_nPauseWatchFd);
            m_nPauseWatchFd = -1;
        }
        event_base_free(m_pBase);
    }
    m_pBase = nullptr;
    m_bBaseOk = false;
    if (m_ppBaseOut)
        *m_ppBaseOut = nullptr;
}

// ===========================================================================
// Tables: registered in Register, waits changed in SetWait, left in CloseConn
// ===========================================================================

CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd)
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() && m_conns[fd].bev ? &m_conns[fd] : nullptr;
}

const CSvrWrapperTarn::Conn* CSvrWrapperTarn::Slot(int fd) const
{
    return fd >= 0 && static_cast<size_t>(fd) < m_conns.size() && m_conns[fd].bev ? &m_conns[fd] : nullptr;
}

bool CSvrWrapperTarn::IsDest(int fd) const
{
    return m_mapDest.count(fd) != 0;
}

int CSvrWrapperTarn::ReqFind(int destFd) const
{
    const Conn* d = Slot(destFd);
    return d && d->kind == Kind::Device && !d->dev.waiters.empty() ? d->dev.waiters.front() : 0;
}

int CSvrWrapperTarn::DestFind(unsigned char id) const
{
    const std::vector<int>& fds = m_devicesById[id];
    return fds.empty() ? 0 : fds.front();
}

void CSvrWrapperTarn::BuffRemove(int fd)
{
    auto it = m_mapBuff.find(fd);
    if (it == m_mapBuff.end())
        return;
    m_mapBuff.erase(it);
    CSvrLog::Print(CSvrLog::kConnections, " %d remove\n", fd);
}

void CSvrWrapperTarn::Register(int fd, bufferevent* bev, event* readEv, const sockaddr_in& peer)
{
    if (static_cast<size_t>(fd) >= m_conns.size())
        m_conns.resize(std::max<size_t>(static_cast<size_t>(fd) + 1, m_conns.size() * 2));
    Conn& c = m_conns[fd];
    c = Conn();
    c.bev = bev;
    c.readEv = readEv;
    c.addr = peer.sin_addr.s_addr;
    c.since = monotonicSeconds();
    m_mapBuff[fd] = bev;
    if (isRequesterAddress(c.addr)) {
        c.kind = Kind::Requester;
        c.req.it = m_mapReq.insert_or_assign(fd, 0).first;
        ++m_stats.acceptedRequesters;
    } else {
        c.kind = Kind::Device;
        c.dev.id = deviceId(c.addr);
        m_mapDest[fd] = static_cast<int>(c.addr);
        sortedInsert(m_devicesById[c.dev.id], fd);
        m_idSeen[c.dev.id] = true;
        ++m_stats.acceptedDevices;
    }
}

// Records that requester reqFd now waits on destFd (0: on nothing), in the
// request table and in the device's list of waiters.
void CSvrWrapperTarn::SetWait(int reqFd, Conn& req, int destFd)
{
    if (req.req.waitOn == destFd)
        return;
    if (req.req.waitOn != 0)
        sortedErase(m_conns[req.req.waitOn].dev.waiters, reqFd);
    req.req.waitOn = destFd;
    req.req.it->second = destFd;
    if (destFd != 0)
        sortedInsert(m_conns[destFd].dev.waiters, reqFd);
}

// A connection leaves every table in this one place, on end of file, on
// error and on refusal alike; then its buffered connection is freed, which
// closes the socket.
void CSvrWrapperTarn::CloseConn(int fd)
{
    Conn* c = Slot(fd);
    if (!c)
        return;
    BuffRemove(fd);
    if (c->readPaused && m_nPauseWatchFd >= 0)
        epoll_ctl(m_nPauseWatchFd, EPOLL_CTL_DEL, fd, nullptr);
    if (c->kind == Kind::Requester) {
        SetWait(fd, *c, 0);
        m_mapReq.erase(c->req.it);
        if (c->req.blockedBy != 0) {
            std::vector<int>& blocked = m_conns[c->req.blockedBy].dev.blocked;
            blocked.erase(std::remove(blocked.begin(), blocked.end(), fd), blocked.end());
        }
    } else {
        m_mapDest.erase(fd);
        sortedErase(m_devicesById[c->dev.id], fd);
        // Whoever waited on it now waits on nothing: it is sent nothing.
        for (int r : c->dev.waiters) {
            m_conns[r].req.waitOn = 0;
            m_conns[r].req.it->second = 0;
        }
        ReleaseBlocked(fd, *c);
    }
    if (c->readEv)
        event_free(c->readEv);
    bufferevent_free(c->bev);
    *c = Conn();
    ResumeAccept();
}

bool CSvrWrapperTarn::CheckTables() const
{
    auto fail = [](int fd, const char* what) {
        CSvrLog::Warn("CheckTables: descriptor %d: %s\n", fd, what);
        return false;
    };
    size_t requesters = 0, devices = 0, indexed = 0;
    for (const auto& ids : m_devicesById) {
        indexed += ids.size();
        if (!std::is_sorted(ids.begin(), ids.end()))
            return fail(ids.front(), "devices of an id out of order");
    }
    for (size_t i = 0; i < m_conns.size(); ++i) {
        const int fd = static_cast<int>(i);
        const Conn& c = m_conns[i];
        if (!c.bev) {
            if (m_mapBuff.count(fd) || m_mapReq.count(fd) || m_mapDest.count(fd))
                return fail(fd, "closed but still in a table");
            continue;
        }
        const auto buff = m_mapBuff.find(fd);
        if (buff == m_mapBuff.end() || buff->second != c.bev)
            return fail(fd, "open but not in the buffer table");
        if (c.kind == Kind::Requester) {
            ++requesters;
            const auto req = m_mapReq.find(fd);
            if (req == m_mapReq.end() || req != c.req.it || req->second != c.req.waitOn || m_mapDest.count(fd))
                return fail(fd, "requester record and request table disagree");
            const Conn* d = Slot(c.req.waitOn);
            if (c.req.waitOn != 0 && (!d || d->kind != Kind::Device ||
                                      !std::binary_search(d->dev.waiters.begin(), d->dev.waiters.end(), fd)))
                return fail(fd, "waits on a device that does not list it");
            const Conn* b = Slot(c.req.blockedBy);
            if (c.req.blockedBy != 0 && (!b || std::count(b->dev.blocked.begin(), b->dev.blocked.end(), fd) != 1))
                return fail(fd, "paused on a device that does not list it");
            if (c.readPaused != (c.req.selfBlocked || c.req.blockedBy != 0))
                return fail(fd, "read state and pause reasons disagree");
        } else {
            ++devices;
            const auto dest = m_mapDest.find(fd);
            if (dest == m_mapDest.end() || static_cast<uint32_t>(dest->second) != c.addr || m_mapReq.count(fd) ||
                !std::binary_search(m_devicesById[c.dev.id].begin(), m_devicesById[c.dev.id].end(), fd))
                return fail(fd, "device record and destination table disagree");
            if (!std::is_sorted(c.dev.waiters.begin(), c.dev.waiters.end()))
                return fail(fd, "waiters out of order");
            for (int r : c.dev.waiters) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.waitOn != fd)
                    return fail(fd, "lists a waiter that waits elsewhere");
            }
            for (int r : c.dev.blocked) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.blockedBy != fd)
                    return fail(fd, "lists a paused requester that is not paused on it");
            }
            if (c.readPaused)
                return fail(fd, "a device is never paused");
        }
    }
    if (m_mapReq.size() != requesters || m_mapDest.size() != devices || indexed != devices ||
        m_mapBuff.size() != requesters + devices)
        return fail(-1, "a table holds a descriptor that has no open connection");
    return true;
}

void CSvrWrapperTarn::AfterCallback()
{
#ifdef RELAY_CHECK_TABLES
    if (!CheckTables())
        std::abort();
#endif
}

// ===========================================================================
// Moving bytes
// ===========================================================================

// Reads one chunk and routes it: a device's chunk answers, a requester's
// chunk asks. End of file closes the connection; bytes beyond one chunk stay
// in the socket for a later pass.
void CSvrWrapperTarn::ReadChunk(int fd, Conn& c)
{
    unsigned char buf[kChunkSize];
    // Byte 1 routes a request; a one-byte request must read it as 0. The rest
    // of the buffer is only ever used up to the bytes received.
    buf[0] = 0;
    buf[1] = 0;
    const ssize_t got = recv(fd, buf, kChunkSize, 0);
    if (got == 0) {
        CSvrLog::Print(CSvrLog::kConnections, " %d connection closed\n", fd);
        CloseConn(fd);
        return;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            ConnFailed(fd, errno);
        return;
    }
    const size_t n = static_cast<size_t>(got);
    CSvrLog::PrintRead(fd, static_cast<int>(n));
    c.bytesIn += n;
    if (c.kind == Kind::Device)
        RouteAnswer(fd, buf, n);
    else
        RouteRequest(fd, c, buf, n);
}

// Byte 1 names the device; a request for an id no device has cancels the
// requester's wait and goes nowhere. A requester whose device's output is
// over the high mark is paused until it drains.
void CSvrWrapperTarn::RouteRequest(int fd, Conn& c, const unsigned char* data, size_t n)
{
    CSvrLog::PrintRequest(data[0], data[1]);
    m_stats.bytesFromRequesters += n;
    const int d = DestFind(data[1]);
    SetWait(fd, c, d);
    if (d == 0) {
        ++m_stats.requestsNoDevice;
        return;
    }
    CSvrLog::PrintDo(data[1]);
    ++m_stats.requestsForwarded;
    Conn& dc = m_conns[d];
    const Sent sent = Forward(d, dc, data, n);
    if (sent == Sent::Broken) {
        ConnFailed(d, errno);
    } else if (sent == Sent::Queued && c.req.blockedBy == 0 && Queued(dc) > m_nHighMark) {
        c.req.blockedBy = d;
        dc.dev.blocked.push_back(fd);
        SetPaused(fd, c);
    }
}

// The lowest requester waiting on this device takes the chunk and then waits
// on nothing; without one the chunk is dropped.
void CSvrWrapperTarn::RouteAnswer(int fd, const unsigned char* data, size_t n)
{
    m_stats.bytesFromDevices += n;
    const int r = ReqFind(fd);
    if (r == 0) {
        ++m_stats.answersUnasked;
        return;
    }
    ++m_stats.answersDelivered;
    Conn& rc = m_conns[r];
    SetWait(r, rc, 0);
    const Sent sent = Forward(r, rc, data, n);
    if (sent == Sent::Broken) {
        ConnFailed(r, errno);
    } else if (sent == Sent::Queued && !rc.req.selfBlocked && Queued(rc) > m_nHighMark) {
        rc.req.selfBlocked = true;
        SetPaused(r, rc);
    }
}

// Writes a chunk to a target. When nothing is queued for it, the chunk is
// sent at once; only what the socket does not take is queued, and the
// bufferevent writes that when the socket can take more. Broken: the send
// failed (errno says why) and the caller closes the target.
CSvrWrapperTarn::Sent CSvrWrapperTarn::Forward(int targetFd, Conn& target, const unsigned char* data, size_t n)
{
    target.bytesOut += n;
    evbuffer* out = bufferevent_get_output(target.bev);
    if (evbuffer_get_length(out) == 0) {
        ssize_t sent = send(targetFd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(n))
            return Sent::Done;
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return Sent::Broken;
            sent = 0;
        }
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    evbuffer_add(out, data, n);
    return Sent::Queued;
}

size_t CSvrWrapperTarn::Queued(const Conn& c)
{
    return evbuffer_get_length(bufferevent_get_output(c.bev));
}

// A requester is read while neither its own output nor the output of the
// device its last request went to is over the high mark. While it is not
// read, the pause watch looks out for its close.
void CSvrWrapperTarn::SetPaused(int fd, Conn& req)
{
    const bool pause = req.req.selfBlocked || req.req.blockedBy != 0;
    if (pause == req.readPaused)
        return;
    req.readPaused = pause;
    if (pause) {
        ++m_stats.backpressurePauses;
        event_del(req.readEv);
        if (m_nPauseWatchFd >= 0) {
            epoll_event ev;
            std::memset(&ev, 0, sizeof(ev));
            ev.events = EPOLLRDHUP;   // EPOLLERR and EPOLLHUP come without asking
            ev.data.fd = fd;
            epoll_ctl(m_nPauseWatchFd, EPOLL_CTL_ADD, fd, &ev);
        }
    } else {
        if (m_nPauseWatchFd >= 0)
            epoll_ctl(m_nPauseWatchFd, EPOLL_CTL_DEL, fd, nullptr);
        event_add(req.readEv, nullptr);
    }
}

// The device's output has drained (or the device is gone): every requester
// paused on it may be read again.
void CSvrWrapperTarn::ReleaseBlocked(int devFd, Conn& dev)
{
    std::vector<int> blocked;
    blocked.swap(dev.dev.blocked);
    for (int r : blocked) {
        Conn* rc = Slot(r);
        if (rc && rc->kind == Kind::Requester && rc->req.blockedBy == devFd) {
            rc->req.blockedBy = 0;
            SetPaused(r, *rc);
        }
    }
}

// A read or write on the connection failed: it is closed like any other. A
// device whose link died (keepalive or the acknowledgement timeout gave up
// on it) is counted and named. TCP reports that as ETIMEDOUT, or as the last
// ICMP error it met on the way there (host or network unreachable).
void CSvrWrapperTarn::ConnFailed(int fd, int err)
{
    Conn* c = Slot(fd);
    if (!c)
        return;
    const bool linkDied = err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN;
    if (c->kind == Kind::Device && linkDied) {
        ++m_stats.deadDevices;
        CSvrLog::Print(CSvrLog::kErrors, " %d dead device %s dropped: %s\n", fd, dotted(c->addr).c_str(),
                       std::strerror(err));
    }
    CSvrLog::Print(CSvrLog::kErrors, "OnEvent meet some other error\n");
    CloseConn(fd);
}

// ===========================================================================
// Callbacks
// ===========================================================================

void CSvrWrapperTarn::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr* addr, int len, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !addr || addr->sa_family != AF_INET || len < static_cast<int>(sizeof(sockaddr_in))) {
        evutil_closesocket(fd); // nobody would ever own it
        return;
    }
    sockaddr_in peer;
    std::memcpy(&peer, addr, sizeof(peer));
    const uint32_t addrNet = peer.sin_addr.s_addr;
    const bool requester = isRequesterAddress(addrNet);

    if (!requester && !self->Admitted(addrNet)) {
        ++self->m_stats.refusedDevices;
        CSvrLog::Print(CSvrLog::kErrors, "Server refused a device from %s: outside DeviceNetworks\n",
                       dotted(addrNet).c_str());
        evutil_closesocket(fd);
        return;
    }

    CSvrLog::Print(CSvrLog::kConnections, "Server OnAccept an socket %04x ip=%s,  id=%d\n",
                   static_cast<unsigned>(addrNet), dotted(addrNet).c_str(), static_cast<int>(fd));

    bufferevent* bev = bufferevent_socket_new(self->m_pBase, fd, BEV_OPT_CLOSE_ON_FREE);
    event* readEv = bev ? event_new(self->m_pBase, fd, EV_READ | EV_PERSIST, OnReadable, self) : nullptr;
    if (!readEv) {
        CSvrLog::Print(CSvrLog::kErrors, "Server bufferevent_socket_new Error!\n");
        if (bev)
            bufferevent_free(bev); // closes the socket
        else
            evutil_closesocket(fd);
        return;
    }

    // Requests and answers are small and latency-bound: send each at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!requester)
        self->ApplyDeviceOptions(fd);

    self->Register(fd, bev, readEv, peer);
    bufferevent_setcb(bev, OnRead, OnWrite, OnEvent, self);
    // The write callback runs once the output is down to the low mark, which
    // is where paused requesters are read again.
    bufferevent_setwatermark(bev, EV_WRITE, self->m_nLowMark, 0);
    // The bufferevent writes what is queued (writing is enabled from its
    // creation, and its write event is armed only while something is
    // queued); reading goes through readEv, one recv per chunk and per loop
    // pass (no FIONREAD, no copy through an input buffer), so bytes beyond a
    // chunk wait in the socket, not in memory.
    event_add(readEv, nullptr);
    self->AfterCallback();
}

// Only devices from DeviceNetworks are let in; without the key, any.
bool CSvrWrapperTarn::Admitted(uint32_t addrNet) const
{
    if (m_settings.deviceNetworks.empty())
        return true;
    const uint32_t host = ntohl(addrNet);
    for (const Network& n : m_settings.deviceNetworks) {
        if ((host & n.mask) == n.addr)
            return true;
    }
    return false;
}

// Keepalive and the acknowledgement timeout find a device whose link died
// without a FIN or RST (cellular, NAT): the kernel reports ETIMEDOUT and the
// device is closed like any failed connection.
void CSvrWrapperTarn::ApplyDeviceOptions(int fd) const
{
    const int keepAlive = m_settings.keepAlive;
    const int on = keepAlive > 0;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    if (on) {
        const int interval = std::max(1, keepAlive / kProbeDivisor);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive, sizeof(keepAlive));
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(kKeepAliveProbes));
    }
    const unsigned int ackMs = static_cast<unsigned int>(m_settings.ackTimeout) * 1000u;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ackMs, sizeof(ackMs));
}

void CSvrWrapperTarn::OnAcceptError(evconnlistener*, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->PauseAccept(EVUTIL_SOCKET_ERROR());
}

// Out of descriptors or memory: the pending connection stays in the backlog.
// Stop accepting until one of ours closes (or, failing that, until the retry
// timer fires) instead of retrying on every pass.
void CSvrWrapperTarn::PauseAccept(int err)
{
    if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM)
        return;
    if (m_bAcceptPaused || !m_pListener)
        return;
    evconnlistener_disable(m_pListener);
    if (m_pStatusSocket)
        evconnlistener_disable(evhttp_bound_socket_get_listener(m_pStatusSocket));
    m_bAcceptPaused = true;
    ++m_stats.acceptPauses;
    CSvrLog::Warn("accept: %s; accepting again when a connection closes\n", std::strerror(err));
    if (!m_pAcceptRetry)
        m_pAcceptRetry = evtimer_new(m_pBase, OnAcceptRetry, this);
    if (m_pAcceptRetry)
        evtimer_add(m_pAcceptRetry, &kAcceptRetry);
}

void CSvrWrapperTarn::ResumeAccept()
{
    if (!m_bAcceptPaused || !m_pListener)
        return;
    m_bAcceptPaused = false;
    if (m_pAcceptRetry)
        evtimer_del(m_pAcceptRetry);
    evconnlistener_enable(m_pListener);
    if (m_pStatusSocket)
        evconnlistener_enable(evhttp_bound_socket_get_listener(m_pStatusSocket));
}

void CSvrWrapperTarn::OnAcceptRetry(evutil_socket_t, short, void* arg)
{
    static_cast<CSvrWrapperTarn*>(arg)->ResumeAccept();
}

void CSvrWrapperTarn::OnReadable(evutil_socket_t fd, short, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (Conn* c = self->Slot(fd)) {
        self->ReadChunk(fd, *c);
        self->AfterCallback();
    }
}

void CSvrWrapperTarn::OnRead(bufferevent* bev, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    if (Conn* c = self->Slot(fd); c && c->bev == bev) {
        self->ReadChunk(fd, *c);
        self->AfterCallback();
    }
}

// Paused requesters that closed or failed: closed like any other. The set is
// level-triggered and each of them leaves it here, so nothing spins.
void CSvrWrapperTarn::OnPauseWatch(evutil_socket_t watchFd, short, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    epoll_event events[kPauseWatchBatch];
    const int n = epoll_wait(watchFd, events, kPauseWatchBatch, 0);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        Conn* c = self->Slot(fd);
        if (!c || !c->readPaused) {
            epoll_ctl(watchFd, EPOLL_CTL_DEL, fd, nullptr);
            continue;
        }
        if (events[i].events & EPOLLERR) {
            int err = 0;
            socklen_t len = sizeof(err);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            self->ConnFailed(fd, err);
        } else {
            // A requester that only shut down its sending side is closed too:
            // it can ask nothing more.
            CSvrLog::Print(CSvrLog::kConnections, " %d connection closed\n", fd);
            self->CloseConn(fd);
        }
    }
    self->AfterCallback();
}

void CSvrWrapperTarn::OnWrite(bufferevent* bev, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    Conn* c = self->Slot(fd);
    if (!c || c->bev != bev)
        return;
    if (c->kind == Kind::Requester && c->req.selfBlocked) {
        c->req.selfBlocked = false;
        self->SetPaused(fd, *c);
    } else if (c->kind == Kind::Device) {
        self->ReleaseBlocked(fd, *c);
    }
    self->AfterCallback();
}

void CSvrWrapperTarn::OnEvent(bufferevent* bev, short events, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    if (!self || !bev)
        return;
    const int fd = bufferevent_getfd(bev);
    if (Conn* c = self->Slot(fd); !c || c->bev != bev)
        return;
    if (events & BEV_EVENT_EOF) {
        CSvrLog::Print(CSvrLog::kConnections, " %d connection closed\n", fd);
        self->CloseConn(fd);
    } else if (events & BEV_EVENT_ERROR) {
        self->ConnFailed(fd, EVUTIL_SOCKET_ERROR());
    }
    self->AfterCallback();
}

// ===========================================================================
// Status server: GET /status (JSON) and GET /metrics (Prometheus text)
// ===========================================================================

namespace {

// The status listener's accept callback belongs to evhttp, whose argument is
// not the server: its error callback finds the server here.
CSvrWrapperTarn* g_statusOwner = nullptr;

} // namespace

// Out of descriptors on the status port: both listeners pause, as on the
// relay port, and resume together.
void CSvrWrapperTarn::OnStatusAcceptError(evconnlistener*, void*)
{
    if (g_statusOwner)
        g_statusOwner->PauseAccept(EVUTIL_SOCKET_ERROR());
}

bool CSvrWrapperTarn::StartStatus(std::string& error)
{
    if (!m_pStatus) {
        m_pStatus = evhttp_new(m_pBase);
        if (!m_pStatus) {
            error = "cannot create the HTTP server";
            return false;
        }
        evhttp_set_timeout(m_pStatus, kStatusTimeoutSec);
        evhttp_set_max_headers_size(m_pStatus, kStatusMaxHeaders);
        evhttp_set_max_body_size(m_pStatus, 0);
        // Every method reaches the callback, which answers 405 itself.
        evhttp_set_allowed_methods(m_pStatus, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                                  EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                                  EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
        evhttp_set_gencb(m_pStatus, OnStatusRequest, this);
        g_statusOwner = this;
    }
    evhttp_bound_socket* sock = evhttp_bind_socket_with_handle(
        m_pStatus, m_settings.statusAddress.c_str(), static_cast<uint16_t>(m_settings.statusPort));
    if (!sock) {
        error = std::strerror(errno);
        return false;
    }
    evconnlistener_set_error_cb(evhttp_bound_socket_get_listener(sock), OnStatusAcceptError);
    if (m_pStatusSocket)
        evhttp_del_accept_socket(m_pStatus, m_pStatusSocket);
    m_pStatusSocket = sock;
    return true;
}

void CSvrWrapperTarn::StopStatus()
{
    if (m_pStatus)
        evhttp_free(m_pStatus);
    m_pStatus = nullptr;
    m_pStatusSocket = nullptr;
    g_statusOwner = nullptr;
}

namespace {

// Sends a whole reply. The length is set here, and a HEAD request gets the
// headers only: libevent would send the body of an HTTP/1.0 HEAD reply.
void statusReply(evhttp_request* req, int code, const char* reason, const char* type, const std::string& body)
{
    evkeyvalq* headers = evhttp_request_get_output_headers(req);
    evhttp_add_header(headers, "Content-Type", type);
    evhttp_add_header(headers, "Content-Length", std::to_string(body.size()).c_str());
    evbuffer* out = evbuffer_new();
    if (!out) {
        evhttp_send_error(req, 500, "Internal Server Error");
        return;
    }
    if (evhttp_request_get_command(req) != EVHTTP_REQ_HEAD)
        evbuffer_add(out, body.data(), body.size());
    evhttp_send_reply(req, code, reason, out);
    evbuffer_free(out);
}

} // namespace

void CSvrWrapperTarn::OnStatusRequest(evhttp_request* req, void* arg)
{
    auto* self = static_cast<CSvrWrapperTarn*>(arg);
    const evhttp_cmd_type method = evhttp_request_get_command(req);
    if (method != EVHTTP_REQ_GET && method != EVHTTP_REQ_HEAD) {
        evhttp_add_header(evhttp_request_get_output_headers(req), "Allow", "GET, HEAD");
        statusReply(req, 405, "Method Not Allowed", "text/plain", "only GET and HEAD\n");
        return;
    }
    const char* path = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(req));
    if (path && std::strcmp(path, "/metrics") == 0)
        statusReply(req, 200, "OK", "text/plain; version=0.0.4", self->MetricsText());
    else if (path && std::strcmp(path, "/status") == 0)
        statusReply(req, 200, "OK", "application/json", self->StatusJson());
    else
        statusReply(req, 404, "Not Found", "text/plain", "/status and /metrics only\n");
}

std::string CSvrWrapperTarn::StatusJson() const
{
    const int64_t now = monotonicSeconds();
    int port = m_nPort & 0xFFFF;
    if (m_pListener) {
        sockaddr_in sin;
        socklen_t len = sizeof(sin);
        if (getsockname(evconnlistener_get_fd(m_pListener), reinterpret_cast<sockaddr*>(&sin), &len) == 0)
            port = ntohs(sin.sin_port);
    }
    std::string s;
    s.reserve(256 + 160 * m_mapBuff.size());
    s += format("{\"pid\": %d, \"port\": %d, \"uptime_seconds\": %lld, \"devices\": [", static_cast<int>(getpid()),
                port, static_cast<long long>(std::time(nullptr) - m_nStartTime));
    bool first = true;
    for (const auto& [fd, addr] : m_mapDest) {
        const Conn& c = m_conns[fd];
        s += format("%s{\"fd\": %d, \"id\": %d, \"address\": \"%s\", \"connected_seconds\": %lld, "
                    "\"waiting_requesters\": [", first ? "" : ", ", fd, c.dev.id,
                    dotted(static_cast<uint32_t>(addr)).c_str(), static_cast<long long>(now - c.since));
        for (size_t i = 0; i < c.dev.waiters.size(); ++i)
            s += format("%s%d", i ? ", " : "", c.dev.waiters[i]);
        s += format("], \"bytes_in\": %llu, \"bytes_out\": %llu}", static_cast<unsigned long long>(c.bytesIn),
                    static_cast<unsigned long long>(c.bytesOut));
        first = false;
    }
    s += "], \"requesters\": [";
    first = true;
    for (const auto& [fd, waitOn] : m_mapReq) {
        s += format("%s{\"fd\": %d, \"waiting_on\": %d, \"connected_seconds\": %lld}", first ? "" : ", ", fd,
                    waitOn, static_cast<long long>(now - m_conns[fd].since));
        first = false;
    }
    s += "]}\n";
    return s;
}

std::string CSvrWrapperTarn::MetricsText() const
{
    const Stats& t = m_stats;
    struct Sample { const char* labels; unsigned long long value; };
    struct Family { const char* name; const char* type; const char* help; std::vector<Sample> samples; };
    // Every id that ever had a device stays listed, at 0 once it has none:
    // "an id gone for 5 minutes" is then a plain comparison. At most 256
    // (reserved, so that the label texts stay where the samples point).
    std::vector<std::string> idLabels;
    std::vector<Sample> byId;
    idLabels.reserve(256);
    for (int id = 0; id < 256; ++id) {
        if (!m_idSeen[id])
            continue;
        idLabels.push_back("{id=\"" + std::to_string(id) + "\"}");
        byId.push_back({idLabels.back().c_str(), m_devicesById[id].size()});
    }
    const Family families[] = {
        {"relaysvr_connections", "gauge", "Connections open now, by kind.",
         {{"{kind=\"requester\"}", m_mapReq.size()}, {"{kind=\"device\"}", m_mapDest.size()}}},
        {"relaysvr_device_connections", "gauge",
         "Devices connected now, by id; ids that had a device since start stay listed.", byId},
        {"relaysvr_connections_accepted_total", "counter", "Connections accepted since start, by kind.",
         {{"{kind=\"requester\"}", t.acceptedRequesters}, {"{kind=\"device\"}", t.acceptedDevices}}},
        {"relaysvr_devices_refused_total", "counter", "Device connections refused: outside DeviceNetworks.",
         {{"", t.refusedDevices}}},
        {"relaysvr_requests_total", "counter",
         "Requests by outcome: forwarded to a device, or dropped because no device had the id.",
         {{"{outcome=\"forwarded\"}", t.requestsForwarded}, {"{outcome=\"no_device\"}", t.requestsNoDevice}}},
        {"relaysvr_answers_total", "counter",
         "Device chunks by outcome: delivered to a waiting requester, or dropped because nobody waited.",
         {{"{outcome=\"delivered\"}", t.answersDelivered}, {"{outcome=\"unasked\"}", t.answersUnasked}}},
        {"relaysvr_bytes_total", "counter", "Bytes read from peers, by kind of sender.",
         {{"{from=\"requester\"}", t.bytesFromRequesters}, {"{from=\"device\"}", t.bytesFromDevices}}},
        {"relaysvr_backpressure_pauses_total", "counter",
         "Times a requester stopped being read because output was over the high mark.",
         {{"", t.backpressurePauses}}},
        {"relaysvr_accept_pauses_total", "counter", "Times accepting paused: out of descriptors or memory.",
         {{"", t.acceptPauses}}},
        {"relaysvr_dead_devices_total", "counter", "Devices dropped by keepalive or the acknowledgement timeout.",
         {{"", t.deadDevices}}},
        {"relaysvr_start_time_seconds", "gauge", "Start time of the relay, Unix time in seconds.",
         {{"", static_cast<unsigned long long>(m_nStartTime)}}},
    };
    std::string s;
    for (const Family& f : families) {
        s += format("# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
        for (const Sample& x : f.samples)
            s += format("%s%s %llu\n", f.name, x.labels, x.value);
    }
    return s;
}
