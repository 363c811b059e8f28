#include "StatusServer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include "RelayProc.h"
#include "RelayText.h"

namespace relay {

namespace {

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A token character of RFC 9110 (method names are tokens).
bool tokenChar(char ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
           (ch != '\0' && std::strchr("!#$%&'*+-.^_`|~", ch) != nullptr);
}

// The parts of a request line "METHOD SP target SP HTTP/1.x"; false when it
// is not one.
bool parseRequestLine(std::string_view line, std::string_view& method, std::string_view& target)
{
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1 || line.find(' ', sp2 + 1) != line.npos)
        return false;
    method = line.substr(0, sp1);
    target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    return std::all_of(method.begin(), method.end(), tokenChar) && version.size() == 8 &&
           version.substr(0, 7) == "HTTP/1." && version[7] >= '0' && version[7] <= '9';
}

// The length of the request head (request line and headers, up to and with
// the empty line) at the start of text; 0 while it is not all there.
size_t headLength(std::string_view text)
{
    const size_t crlf = text.find("\r\n\r\n");
    const size_t lf = text.find("\n\n");
    const size_t end = std::min(crlf == text.npos ? text.npos : crlf + 4, lf == text.npos ? text.npos : lf + 2);
    return end == text.npos ? 0 : end;
}

// A document of one piece.
std::shared_ptr<const Document> whole(std::string text)
{
    auto doc = std::make_shared<Document>();
    doc->pieces.push_back(std::move(text));
    return doc;
}

std::shared_ptr<const Document> plain(const char* text)
{
    return whole(text);
}

// Keeps a document alive while an output buffer refers to a piece of it.
void releaseDoc(const void*, size_t, void* holder)
{
    delete static_cast<std::shared_ptr<const Document>*>(holder);
}

// Pieces of a document grow to about this size; then a new one starts.
// Each is allocated once with room for one more row of the usual size, so
// that it is never copied as it grows, nor taken from mmap (glibc does so
// from 128 KiB up).
const size_t kPieceBytes = 63 * 1024;
const size_t kRowRoom = 1024;

// The piece that the next row goes into.
std::string& piece(std::vector<std::string>& pieces)
{
    if (pieces.empty() || pieces.back().size() >= kPieceBytes) {
        pieces.emplace_back();
        pieces.back().reserve(kPieceBytes + kRowRoom);
    }
    return pieces.back();
}

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vappend(out, fmt, ap);
    va_end(ap);
}

} // namespace

// ---------------------------------------------------------------------------
// The documents
// ---------------------------------------------------------------------------

size_t Document::Size() const
{
    size_t n = 0;
    for (const std::string& p : pieces)
        n += p.size();
    return n;
}

StatusJson::StatusJson(const StatusSnapshot& head)
    : m_head(format("{\"pid\": %d, \"port\": %d, \"uptime_seconds\": %lld, \"requester_reserve\": %d, "
                    "\"descriptor_limit\": %llu, \"devices_refused\": {\"networks\": %llu, \"per_address\": %llu, "
                    "\"reserve\": %llu}, \"devices\": [", head.pid, head.port, static_cast<long long>(head.uptimeSeconds),
                    head.requesterReserve, static_cast<unsigned long long>(head.descriptorLimit),
                    static_cast<unsigned long long>(head.counters.refusedDevices),
                    static_cast<unsigned long long>(head.counters.refusedPerAddress),
                    static_cast<unsigned long long>(head.counters.refusedReserve)))
{
}

void StatusJson::Add(const StatusSnapshot& s)
{
    for (const DeviceRow& d : s.deviceRows) {
        std::string& j = piece(m_devices);
        appendf(j, "%s{\"fd\": %d, \"id\": %d, \"address\": \"%s\", \"connected_seconds\": %lld, "
                "\"waiting_requesters\": [", m_devices.size() == 1 && j.empty() ? "" : ", ", d.fd, d.id,
                dotted(d.addr).c_str(), static_cast<long long>(d.connectedSeconds));
        for (size_t i = 0; i < d.waiters.size(); ++i)
            appendf(j, "%s%d", i ? ", " : "", d.waiters[i]);
        appendf(j, "], \"answering\": %d, \"bytes_in\": %llu, \"bytes_out\": %llu}", d.answeringTo,
                static_cast<unsigned long long>(d.bytesIn), static_cast<unsigned long long>(d.bytesOut));
    }
    for (const RequesterRow& r : s.requesterRows) {
        std::string& j = piece(m_requesters);
        appendf(j, "%s{\"fd\": %d, \"waiting_on\": %d, \"connected_seconds\": %lld}",
                m_requesters.size() == 1 && j.empty() ? "" : ", ", r.fd, r.waitingOn,
                static_cast<long long>(r.connectedSeconds));
    }
}

Document StatusJson::Finish()
{
    Document doc;
    doc.pieces.reserve(m_devices.size() + m_requesters.size() + 3);
    doc.pieces.push_back(std::move(m_head));
    std::move(m_devices.begin(), m_devices.end(), std::back_inserter(doc.pieces));
    doc.pieces.emplace_back("], \"requesters\": [");
    std::move(m_requesters.begin(), m_requesters.end(), std::back_inserter(doc.pieces));
    doc.pieces.emplace_back("]}\n");
    m_head.clear();
    m_devices.clear();
    m_requesters.clear();
    return doc;
}

namespace {

// Clock ticks of /proc/self/stat: utime, stime and starttime count them.
double ticksPerSecond()
{
    static const double hz = [] {
        const long n = sysconf(_SC_CLK_TCK);
        return n > 0 ? static_cast<double>(n) : 100.0;
    }();
    return hz;
}

double clockSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

namespace {

// Open descriptors are counted at most this often.
const int64_t kFdCountMaxAgeMs = 1000;

} // namespace

ProcessStats readProcessStats()
{
    ProcessStats p;
    char text[1024];
    ssize_t got = -1;
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        got = read(fd, text, sizeof(text) - 1);
        close(fd);
    }
    text[std::max<ssize_t>(got, 0)] = '\0';
    // The command name, in parentheses, may hold anything: the fields are
    // counted from the last ")", state (field 3) first.
    const char* fields = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0, vsize = 0;
    unsigned long long startTicks = 0;
    long rssPages = 0;
    if (fields && std::sscanf(fields + 1,
                              "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu %*s %*s %*s %*s %*s %*s %llu %lu %ld",
                              &utime, &stime, &startTicks, &vsize, &rssPages) == 5) {
        p.known = true;
        p.cpuSeconds = static_cast<double>(utime + stime) / ticksPerSecond();
        p.virtualBytes = vsize;
        p.residentBytes = static_cast<uint64_t>(std::max(rssPages, 0L)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        // starttime counts from the boot; the boot in Unix time is the
        // real-time clock less the boot-time clock. Made once: it never
        // changes, and so never jitters from one scrape to the next.
        static const double start = std::round((clockSeconds(CLOCK_REALTIME) - clockSeconds(CLOCK_BOOTTIME) +
                                                static_cast<double>(startTicks) / ticksPerSecond()) * 100) / 100;
        p.startTime = start;
    }
    p.maxFds = relay::descriptorLimit();
    // A count takes limit/1024 system calls: at most one a second, however
    // often /metrics is asked for.
    static long counted = -1;
    static int64_t countedAtMs = 0;
    const int64_t now = monotonicMs();
    if (counted < 0 || now - countedAtMs >= kFdCountMaxAgeMs) {
        counted = p.maxFds > 0 ? static_cast<long>(relay::openDescriptors(p.maxFds)) : -1;
        countedAtMs = now;
    }
    p.openFds = counted;
    return p;
}

std::string metricsText(const StatusSnapshot& s)
{
    const RelayCounters& t = s.counters;
    struct Sample { std::string labels; std::string value; };
    // A family that cannot be known here (the process's, without /proc) is
    // left out rather than shown without samples.
    struct Family {
        const char* name;
        const char* type;
        const char* help;
        std::vector<Sample> samples;
        bool known = true;
    };
    const auto n = [](uint64_t v) { return std::to_string(v); };
    const auto seconds = [](double v) { return format("%.2f", v); };
    // Every id that ever had a device stays listed, at 0 once it has none:
    // "an id gone for 5 minutes" is then a plain comparison.
    std::vector<Sample> byId;
    for (int id = 0; id < 256; ++id) {
        if (s.devicesById[id] >= 0)
            byId.push_back({"{id=\"" + std::to_string(id) + "\"}", n(static_cast<uint64_t>(s.devicesById[id]))});
    }
    const ProcessStats& p = s.process;
    const Family families[] = {
        {"relaysvr_build_info", "gauge", "The relay's version, as a label; always 1.",
         {{"{version=\"" + std::string(s.version) + "\"}", "1"}}},
        {"relaysvr_connections", "gauge", "Connections open now, by kind.",
         {{"{kind=\"requester\"}", n(s.requesters)}, {"{kind=\"device\"}", n(s.devices)}}},
        {"relaysvr_device_connections", "gauge",
         "Devices connected now, by id; ids that had a device since start stay listed.", byId},
        {"relaysvr_connections_accepted_total", "counter", "Connections accepted since start, by kind.",
         {{"{kind=\"requester\"}", n(t.acceptedRequesters)}, {"{kind=\"device\"}", n(t.acceptedDevices)}}},
        {"relaysvr_devices_refused_total", "counter",
         "Device connections closed at accept, by reason: outside DeviceNetworks, beyond MaxConnectionsPerAddress, "
         "or inside RequesterReserve.",
         {{"{reason=\"networks\"}", n(t.refusedDevices)}, {"{reason=\"per_address\"}", n(t.refusedPerAddress)},
          {"{reason=\"reserve\"}", n(t.refusedReserve)}}},
        {"relaysvr_requests_total", "counter",
         "Requests by outcome: forwarded to a device, or dropped because no device had the id.",
         {{"{outcome=\"forwarded\"}", n(t.requestsForwarded)}, {"{outcome=\"no_device\"}", n(t.requestsNoDevice)}}},
        {"relaysvr_answers_total", "counter",
         "Device chunks by outcome: delivered to a waiting requester, continuing an answer inside its window, "
         "or dropped because nobody waited.",
         {{"{outcome=\"delivered\"}", n(t.answersDelivered)}, {"{outcome=\"continued\"}", n(t.answersContinued)},
          {"{outcome=\"unasked\"}", n(t.answersUnasked)}}},
        {"relaysvr_bytes_total", "counter", "Bytes read from peers, by kind of sender.",
         {{"{from=\"requester\"}", n(t.bytesFromRequesters)}, {"{from=\"device\"}", n(t.bytesFromDevices)}}},
        {"relaysvr_backpressure_pauses_total", "counter",
         "Times a requester stopped being read because output was over the high mark.",
         {{"", n(t.backpressurePauses)}}},
        {"relaysvr_accept_pauses_total", "counter", "Times accepting paused: out of descriptors or memory.",
         {{"", n(t.acceptPauses)}}},
        {"relaysvr_dead_devices_total", "counter", "Devices dropped by keepalive or the acknowledgement timeout.",
         {{"", n(t.deadDevices)}}},
        {"relaysvr_device_option_failures_total", "counter",
         "Devices whose keepalive or acknowledgement timeout could not be set: a dead link may go unnoticed.",
         {{"", n(t.deviceOptionFailures)}}},
        {"relaysvr_requester_reserve", "gauge",
         "Descriptors below the limit kept for requesters: devices are closed at accept inside it.",
         {{"", n(static_cast<uint64_t>(s.requesterReserve))}}},
        {"relaysvr_descriptor_limit", "gauge", "The relay's limit of open descriptors (RLIMIT_NOFILE).",
         {{"", n(s.descriptorLimit)}}},
        {"relaysvr_status_clients_refused_total", "counter",
         "Status connections closed at once: over StatusMaxClients, or too near the descriptor limit.",
         {{"", n(s.statusClientsRefused)}}},
        {"relaysvr_log_lines_dropped_total", "counter",
         "Log lines dropped: the reader of the log lagged more than 1 MiB behind, or writing it failed.",
         {{"", n(s.logLinesDropped)}}},
        {"relaysvr_config_last_reload_successful", "gauge",
         "Whether the last reload (SIGHUP) applied the whole file: 1 yes, and before any reload; 0 refused, "
         "or applied in part.",
         {{"", s.lastReloadOk ? "1" : "0"}}},
        {"relaysvr_config_last_reload_success_timestamp_seconds", "gauge",
         "Unix time of the last reload that applied the whole file, or of the start.",
         {{"", n(static_cast<uint64_t>(s.lastReloadOkTime))}}},
        {"relaysvr_devices_adopted_total", "counter",
         "Devices taken over at start from the previous run, through the service manager's descriptor store.",
         {{"", n(t.devicesAdopted)}}},
        {"relaysvr_start_time_seconds", "gauge", "Start time of the relay, Unix time in seconds.",
         {{"", n(static_cast<uint64_t>(s.startTime))}}},
        // Prometheus's process collector: the names and help texts every
        // exporter uses, so that the usual dashboards and rules work as they are.
        {"process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
         {{"", seconds(p.cpuSeconds)}}, p.known},
        {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", {{"", n(p.residentBytes)}},
         p.known},
        {"process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", {{"", n(p.virtualBytes)}},
         p.known},
        {"process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
         {{"", seconds(p.startTime)}}, p.known},
        {"process_open_fds", "gauge", "Number of open file descriptors.",
         {{"", n(static_cast<uint64_t>(std::max(p.openFds, 0L)))}}, p.openFds >= 0},
        {"process_max_fds", "gauge", "Maximum number of open file descriptors.", {{"", n(p.maxFds)}},
         p.maxFds > 0},
    };
    std::string m;
    for (const Family& f : families) {
        if (!f.known)
            continue;
        m += format("# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
        for (const Sample& x : f.samples)
            m += format("%s%s %s\n", f.name, x.labels.c_str(), x.value.c_str());
    }
    return m;
}

// ---------------------------------------------------------------------------
// The server
// ---------------------------------------------------------------------------

// One status connection, from accept to Close.
struct CStatusServer::Client {
    enum class State : unsigned char {
        Head,       // reading the request head
        Waiting,    // for the /status document being built
        Writing,    // the reply
        Lingering,  // reply sent and our side shut: dropping what comes until the peer closes
    };
    CStatusServer* server = nullptr;
    bufferevent* bev = nullptr;      // the socket closes when it is freed
    event* deadline = nullptr;       // the request's, then the reply's
    State state = State::Head;
    bool head = false;               // a HEAD request: no body
    bool peerDone = false;           // the peer shut its side after its request
    size_t discarded = 0;            // bytes after the head, dropped
};

CStatusServer::CStatusServer(event_base* base, Fill fill, FillRows fillRows, AcceptFailed acceptFailed,
                             int maxClients)
    : m_pBase(base),
      m_fill(std::move(fill)),
      m_fillRows(std::move(fillRows)),
      m_acceptFailed(std::move(acceptFailed)),
      m_nMaxClients(maxClients > 0 ? static_cast<size_t>(maxClients) : 1)
{
}

CStatusServer::~CStatusServer()
{
    Stop();
    if (m_pThrottle)
        event_free(m_pThrottle);
    if (m_pSlice)
        event_free(m_pSlice);
}

bool CStatusServer::Listen(const std::string& address, int port, std::string& error)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
        error = "not an IPv4 address and port";
        return false;
    }
    if ((!m_pSlice && !(m_pSlice = evtimer_new(m_pBase, OnSlice, this))) ||
        (!m_pThrottle && !(m_pThrottle = evtimer_new(m_pBase, OnThrottleEnd, this)))) {
        error = "cannot create an event";
        return false;
    }
    if (m_pListener && m_bound.sin_addr.s_addr == at.sin_addr.s_addr && m_bound.sin_port == at.sin_port)
        return true;
    const bool had = m_pListener != nullptr;
    const sockaddr_in old = m_bound;
    CloseListener();
    if (Bind(at, error))
        return true;
    std::string again;
    if (had && !Bind(old, again))
        error += "; the old address cannot be bound again either: " + again;
    return false;
}

bool CStatusServer::Bind(const sockaddr_in& at, std::string& error)
{
    m_pListener = evconnlistener_new_bind(m_pBase, OnAccept, this,
                                          LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC, kBacklog,
                                          reinterpret_cast<const sockaddr*>(&at), sizeof(at));
    if (!m_pListener) {
        error = std::strerror(errno);
        return false;
    }
    // Without an error callback a failing accept (out of descriptors) would
    // be retried on every loop pass: the loop would spin.
    evconnlistener_set_error_cb(m_pListener, OnAcceptError);
    m_bound = at;
    UpdateListener();
    return true;
}

void CStatusServer::CloseListener()
{
    if (m_pListener)
        evconnlistener_free(m_pListener);
    m_pListener = nullptr;
}

void CStatusServer::Stop()
{
    CloseListener();
    if (m_pThrottle)
        event_del(m_pThrottle);
    m_bThrottled = false;
    while (!m_clients.empty())
        Close(m_clients.back().get());
    if (m_pSlice)
        event_del(m_pSlice);
    m_pBuild.reset();
    m_statusDoc.reset();
}

void CStatusServer::Pause()
{
    m_bPaused = true;
    UpdateListener();
}

void CStatusServer::Resume()
{
    m_bPaused = false;
    UpdateListener();
}

void CStatusServer::UpdateListener()
{
    if (!m_pListener)
        return;
    if (m_bPaused || m_bThrottled)
        evconnlistener_disable(m_pListener);
    else
        evconnlistener_enable(m_pListener);
}

// The budget grows back at kBudgetPerSec up to kBudgetBurst; what the
// server sends (and each connection) takes from it.
void CStatusServer::Charge(int64_t bytes)
{
    const int64_t now = monotonicMs();
    if (m_nBudgetAtMs == 0)
        m_nBudgetAtMs = now;
    m_nBudget = std::min(kBudgetBurst, m_nBudget + (now - m_nBudgetAtMs) * kBudgetPerSec / 1000) - bytes;
    m_nBudgetAtMs = now;
}

// Accepting stops until the next loop pass, or, with the budget spent, until
// it is back.
void CStatusServer::Throttle()
{
    Charge(0);
    const int64_t waitMs = m_nBudget >= 0 ? 0 : (-m_nBudget * 1000 + kBudgetPerSec - 1) / kBudgetPerSec;
    const timeval wait = {static_cast<time_t>(waitMs / 1000), static_cast<suseconds_t>(waitMs % 1000 * 1000)};
    m_bThrottled = true;
    UpdateListener();
    // Without the timer accepting would stop for good: better to go on.
    if (evtimer_add(m_pThrottle, &wait) != 0) {
        m_bThrottled = false;
        UpdateListener();
    }
}

void CStatusServer::OnThrottleEnd(evutil_socket_t, short, void* arg)
{
    auto* self = static_cast<CStatusServer*>(arg);
    self->m_bThrottled = false;
    self->Charge(0);
    if (self->m_nBudget < 0)
        self->Throttle();
    else
        self->UpdateListener();
}

void CStatusServer::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* arg)
{
    static_cast<CStatusServer*>(arg)->Accept(fd);
}

void CStatusServer::OnAcceptError(evconnlistener*, void* arg)
{
    auto* self = static_cast<CStatusServer*>(arg);
    if (self->m_acceptFailed)
        self->m_acceptFailed(EVUTIL_SOCKET_ERROR());
}

// Over the cap, or on one of the descriptors the relay keeps for itself (the
// kernel hands out the lowest free one, so a high one means nearly all are
// in use), the connection is closed at once and counted.
void CStatusServer::Accept(int fd)
{
    Charge(kConnectionCost);
    Throttle();
    const uint64_t fdLimit = relay::descriptorLimit();
    const bool nearLimit = fdLimit > 0 && static_cast<uint64_t>(fd) + kDescriptorReserve >= fdLimit;
    if (m_clients.size() >= m_nMaxClients || nearLimit) {
        ++m_nRefused;
        evutil_closesocket(fd);
        return;
    }
    auto c = std::make_unique<Client>();
    c->server = this;
    c->bev = bufferevent_socket_new(m_pBase, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!c->bev) {
        evutil_closesocket(fd);
        return;
    }
    c->deadline = evtimer_new(m_pBase, OnDeadline, c.get());
    const timeval limit = {kRequestSec, 0};
    Client* raw = c.get();
    m_clients.push_back(std::move(c));
    bufferevent_setcb(raw->bev, OnClientRead, OnClientWrite, OnClientEvent, raw);
    // Reading stops once the input holds a whole head's worth.
    bufferevent_setwatermark(raw->bev, EV_READ, 0, kMaxHead);
    if (!raw->deadline || bufferevent_set_max_single_write(raw->bev, kMaxWritePerPass) != 0 ||
        bufferevent_enable(raw->bev, EV_READ) != 0 || evtimer_add(raw->deadline, &limit) != 0)
        Close(raw);
}

// Takes the request head once it is all there. Whatever follows it is
// dropped: no request here has a body.
void CStatusServer::ReadHead(Client& c)
{
    evbuffer* in = bufferevent_get_input(c.bev);
    const size_t have = std::min(evbuffer_get_length(in), kMaxHead);
    const auto* bytes = have ? reinterpret_cast<const char*>(evbuffer_pullup(in, static_cast<ev_ssize_t>(have)))
                             : nullptr;
    if (!bytes)
        return;
    const std::string_view text(bytes, have);
    const size_t length = headLength(text);
    if (length == 0) {
        if (have >= kMaxHead) {
            c.discarded = evbuffer_get_length(in);
            evbuffer_drain(in, c.discarded);
            Reply(c, 431, "Request Header Fields Too Large", "text/plain",
                  whole(format("request line and headers over %zu bytes\n", kMaxHead)));
        }
        return;
    }
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view method, target;
    const bool valid = parseRequestLine(line, method, target);
    // Copied: the views point into the input, which is drained now.
    const bool get = method == "GET", head = method == "HEAD";
    const std::string path(target.substr(0, target.find_first_of("?#")));
    evbuffer_drain(in, length);
    c.discarded = evbuffer_get_length(in);
    evbuffer_drain(in, c.discarded);
    c.head = head;
    if (!valid)
        Reply(c, 400, "Bad Request", "text/plain", plain("not an HTTP/1.x request\n"));
    else if (!get && !head)
        Reply(c, 405, "Method Not Allowed", "text/plain", plain("only GET and HEAD\n"), "Allow: GET, HEAD\r\n");
    else if (path == "/status")
        Answer(c, head, Doc::Status);
    else if (path == "/metrics")
        Answer(c, head, Doc::Metrics);
    else
        Reply(c, 404, "Not Found", "text/plain", plain("/status and /metrics only\n"));
}

// /metrics is small whatever the number of connections: made at once.
// /status grows with them: the last one while it is fresh, else the client
// waits for the one being built.
void CStatusServer::Answer(Client& c, bool head, Doc doc)
{
    c.head = head;
    StatusSnapshot snap;
    if (doc == Doc::Metrics) {
        m_fill(snap);
        snap.statusClientsRefused = m_nRefused;
        snap.process = readProcessStats();
        Reply(c, 200, "OK", "text/plain; version=0.0.4", whole(metricsText(snap)));
        return;
    }
    const int64_t now = monotonicMs();
    if (m_statusDoc && now - m_nStatusBuiltMs < kStatusMaxAgeMs) {
        Reply(c, 200, "OK", "application/json", m_statusDoc);
        return;
    }
    c.state = Client::State::Waiting;
    m_waiting.push_back(&c);
    if (m_pBuild)
        return;
    m_fill(snap);
    m_pBuild = std::make_unique<StatusJson>(snap);
    m_nBuildFrom = 0;
    m_nBuildStartMs = now;
    NextSlice();
}

// The next slice runs on the next loop pass, after whatever is ready then.
// Should that fail, the build is given up and its clients told so: left
// alone, every later client would wait for it.
void CStatusServer::NextSlice()
{
    static const timeval nextPass = {0, 0};
    if (evtimer_add(m_pSlice, &nextPass) == 0)
        return;
    m_pBuild.reset();
    std::vector<Client*> waiting;
    waiting.swap(m_waiting);
    for (Client* c : waiting)
        Reply(*c, 503, "Service Unavailable", "text/plain", plain("cannot make the document now\n"));
}

void CStatusServer::OnSlice(evutil_socket_t, short, void* arg)
{
    static_cast<CStatusServer*>(arg)->BuildSlice();
}

// One slice of the /status document per loop pass; the last one answers
// every client that waits for it.
void CStatusServer::BuildSlice()
{
    if (!m_pBuild)
        return;
    StatusSnapshot rows;
    const int next = m_fillRows(rows, m_nBuildFrom, kRowsPerSlice);
    m_pBuild->Add(rows);
    if (next >= 0) {
        m_nBuildFrom = next;
        NextSlice();
        return;
    }
    m_statusDoc = std::make_shared<const Document>(m_pBuild->Finish());
    m_nStatusBuiltMs = m_nBuildStartMs;
    m_pBuild.reset();
    std::vector<Client*> waiting;
    waiting.swap(m_waiting);
    for (Client* c : waiting)
        Reply(*c, 200, "OK", "application/json", m_statusDoc);
}

// Queues the whole reply; the body is not copied. Once it is sent, our side
// is shut (OnClientWrite).
void CStatusServer::Reply(Client& c, int code, const char* reason, const char* type,
                          std::shared_ptr<const Document> body, const char* extraHeader)
{
    evbuffer* out = bufferevent_get_output(c.bev);
    const size_t size = body->Size();
    const std::string head = format("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                                    "Connection: close\r\n%s\r\n", code, reason, type, size, extraHeader);
    Charge(static_cast<int64_t>(head.size() + (c.head ? 0 : size)));
    if (m_nBudget < 0 && !m_bThrottled)
        Throttle();
    const timeval limit = {kReplySec, 0};
    c.state = Client::State::Writing;
    bool queued = evbuffer_add(out, head.data(), head.size()) == 0;
    for (size_t i = 0; queued && !c.head && i < body->pieces.size(); ++i) {
        const std::string& piece = body->pieces[i];
        if (piece.empty())
            continue;
        auto* holder = new std::shared_ptr<const Document>(body);
        queued = evbuffer_add_reference(out, piece.data(), piece.size(), releaseDoc, holder) == 0;
        if (!queued)
            delete holder;
    }
    if (!queued || evtimer_add(c.deadline, &limit) != 0)
        Close(&c);
}

// The one place a status connection ends: its buffered connection (and the
// socket with it) and its deadline are freed, and it leaves every list.
void CStatusServer::Close(Client* c)
{
    m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), c), m_waiting.end());
    if (c->deadline)
        event_free(c->deadline);
    bufferevent_free(c->bev);
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [c](const std::unique_ptr<Client>& p) { return p.get() == c; });
    if (it != m_clients.end()) {
        std::swap(*it, m_clients.back());
        m_clients.pop_back();
    }
}

void CStatusServer::OnClientRead(bufferevent* bev, void* arg)
{
    auto* c = static_cast<Client*>(arg);
    if (c->state == Client::State::Head) {
        c->server->ReadHead(*c);
        return;
    }
    evbuffer* in = bufferevent_get_input(bev);
    c->discarded += evbuffer_get_length(in);
    evbuffer_drain(in, evbuffer_get_length(in));
    if (c->discarded > kMaxDiscard)
        c->server->Close(c);
}

// The reply is out: our side is shut, and the connection closes when the
// peer closes its own (closing with its bytes unread would reset the
// connection, and the peer could lose the reply).
void CStatusServer::OnClientWrite(bufferevent* bev, void* arg)
{
    auto* c = static_cast<Client*>(arg);
    if (c->state != Client::State::Writing || evbuffer_get_length(bufferevent_get_output(bev)) != 0)
        return;
    if (c->peerDone || shutdown(bufferevent_getfd(bev), SHUT_WR) != 0) {
        c->server->Close(c);
        return;
    }
    c->state = Client::State::Lingering;
}

// A peer that shuts its side after a whole request still gets the reply.
void CStatusServer::OnClientEvent(bufferevent*, short events, void* arg)
{
    auto* c = static_cast<Client*>(arg);
    const bool answering = c->state == Client::State::Waiting || c->state == Client::State::Writing;
    if ((events & BEV_EVENT_EOF) && !(events & BEV_EVENT_ERROR) && answering)
        c->peerDone = true;
    else if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR))
        c->server->Close(c);
}

void CStatusServer::OnDeadline(evutil_socket_t, short, void* arg)
{
    auto* c = static_cast<Client*>(arg);
    c->server->Close(c);
}

} // namespace relay
