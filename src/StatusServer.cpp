#include "StatusServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>

#include "RelayText.h"

namespace relay {

namespace {

// evhttp gives the status listener's error callback the evhttp object, not
// ours: the live status servers are found here by it.
std::vector<CStatusServer*> g_live;

// Sends a whole reply. The length is set here, and a HEAD request gets the
// headers only: libevent would send the body of an HTTP/1.0 HEAD reply.
void reply(evhttp_request* req, int code, const char* reason, const char* type, const std::string& body)
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

// ---------------------------------------------------------------------------
// The documents
// ---------------------------------------------------------------------------

std::string statusJson(const StatusSnapshot& s)
{
    std::string j;
    j.reserve(256 + 160 * (s.deviceRows.size() + s.requesterRows.size()));
    j += format("{\"pid\": %d, \"port\": %d, \"uptime_seconds\": %lld, \"requester_reserve\": %d, "
                "\"descriptor_limit\": %llu, \"devices_refused\": {\"networks\": %llu, \"per_address\": %llu, "
                "\"reserve\": %llu}, \"devices\": [", s.pid, s.port, static_cast<long long>(s.uptimeSeconds),
                s.requesterReserve, static_cast<unsigned long long>(s.descriptorLimit),
                static_cast<unsigned long long>(s.counters.refusedDevices),
                static_cast<unsigned long long>(s.counters.refusedPerAddress),
                static_cast<unsigned long long>(s.counters.refusedReserve));
    bool first = true;
    for (const DeviceRow& d : s.deviceRows) {
        j += format("%s{\"fd\": %d, \"id\": %d, \"address\": \"%s\", \"connected_seconds\": %lld, "
                    "\"waiting_requesters\": [", first ? "" : ", ", d.fd, d.id, dotted(d.addr).c_str(),
                    static_cast<long long>(d.connectedSeconds));
        for (size_t i = 0; i < d.waiters.size(); ++i)
            j += format("%s%d", i ? ", " : "", d.waiters[i]);
        j += format("], \"answering\": %d, \"bytes_in\": %llu, \"bytes_out\": %llu}", d.answeringTo,
                    static_cast<unsigned long long>(d.bytesIn), static_cast<unsigned long long>(d.bytesOut));
        first = false;
    }
    j += "], \"requesters\": [";
    first = true;
    for (const RequesterRow& r : s.requesterRows) {
        j += format("%s{\"fd\": %d, \"waiting_on\": %d, \"connected_seconds\": %lld}", first ? "" : ", ", r.fd,
                    r.waitingOn, static_cast<long long>(r.connectedSeconds));
        first = false;
    }
    j += "]}\n";
    return j;
}

std::string metricsText(const StatusSnapshot& s)
{
    const RelayCounters& t = s.counters;
    struct Sample { std::string labels; unsigned long long value; };
    struct Family { const char* name; const char* type; const char* help; std::vector<Sample> samples; };
    // Every id that ever had a device stays listed, at 0 once it has none:
    // "an id gone for 5 minutes" is then a plain comparison.
    std::vector<Sample> byId;
    for (int id = 0; id < 256; ++id) {
        if (s.devicesById[id] >= 0)
            byId.push_back({"{id=\"" + std::to_string(id) + "\"}", static_cast<unsigned long long>(s.devicesById[id])});
    }
    const Family families[] = {
        {"relaysvr_connections", "gauge", "Connections open now, by kind.",
         {{"{kind=\"requester\"}", s.requesters}, {"{kind=\"device\"}", s.devices}}},
        {"relaysvr_device_connections", "gauge",
         "Devices connected now, by id; ids that had a device since start stay listed.", byId},
        {"relaysvr_connections_accepted_total", "counter", "Connections accepted since start, by kind.",
         {{"{kind=\"requester\"}", t.acceptedRequesters}, {"{kind=\"device\"}", t.acceptedDevices}}},
        {"relaysvr_devices_refused_total", "counter",
         "Device connections closed at accept, by reason: outside DeviceNetworks, beyond MaxConnectionsPerAddress, "
         "or inside RequesterReserve.",
         {{"{reason=\"networks\"}", t.refusedDevices}, {"{reason=\"per_address\"}", t.refusedPerAddress},
          {"{reason=\"reserve\"}", t.refusedReserve}}},
        {"relaysvr_requests_total", "counter",
         "Requests by outcome: forwarded to a device, or dropped because no device had the id.",
         {{"{outcome=\"forwarded\"}", t.requestsForwarded}, {"{outcome=\"no_device\"}", t.requestsNoDevice}}},
        {"relaysvr_answers_total", "counter",
         "Device chunks by outcome: delivered to a waiting requester, continuing an answer inside its window, "
         "or dropped because nobody waited.",
         {{"{outcome=\"delivered\"}", t.answersDelivered}, {"{outcome=\"continued\"}", t.answersContinued},
          {"{outcome=\"unasked\"}", t.answersUnasked}}},
        {"relaysvr_bytes_total", "counter", "Bytes read from peers, by kind of sender.",
         {{"{from=\"requester\"}", t.bytesFromRequesters}, {"{from=\"device\"}", t.bytesFromDevices}}},
        {"relaysvr_backpressure_pauses_total", "counter",
         "Times a requester stopped being read because output was over the high mark.",
         {{"", t.backpressurePauses}}},
        {"relaysvr_accept_pauses_total", "counter", "Times accepting paused: out of descriptors or memory.",
         {{"", t.acceptPauses}}},
        {"relaysvr_dead_devices_total", "counter", "Devices dropped by keepalive or the acknowledgement timeout.",
         {{"", t.deadDevices}}},
        {"relaysvr_device_option_failures_total", "counter",
         "Devices whose keepalive or acknowledgement timeout could not be set: a dead link may go unnoticed.",
         {{"", t.deviceOptionFailures}}},
        {"relaysvr_requester_reserve", "gauge",
         "Descriptors below the limit kept for requesters: devices are closed at accept inside it.",
         {{"", static_cast<unsigned long long>(s.requesterReserve)}}},
        {"relaysvr_descriptor_limit", "gauge", "The relay's limit of open descriptors (RLIMIT_NOFILE).",
         {{"", static_cast<unsigned long long>(s.descriptorLimit)}}},
        {"relaysvr_start_time_seconds", "gauge", "Start time of the relay, Unix time in seconds.",
         {{"", static_cast<unsigned long long>(s.startTime)}}},
    };
    std::string m;
    for (const Family& f : families) {
        m += format("# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
        for (const Sample& x : f.samples)
            m += format("%s%s %llu\n", f.name, x.labels.c_str(), x.value);
    }
    return m;
}

// ---------------------------------------------------------------------------
// The server
// ---------------------------------------------------------------------------

CStatusServer::CStatusServer(event_base* base, Fill fill, AcceptFailed acceptFailed)
    : m_pBase(base), m_fill(std::move(fill)), m_acceptFailed(std::move(acceptFailed))
{
}

CStatusServer::~CStatusServer()
{
    Stop();
}

bool CStatusServer::Listen(const std::string& address, int port, std::string& error)
{
    if (!m_pHttp) {
        m_pHttp = evhttp_new(m_pBase);
        if (!m_pHttp) {
            error = "cannot create the HTTP server";
            return false;
        }
        evhttp_set_timeout(m_pHttp, kTimeoutSec);
        evhttp_set_max_headers_size(m_pHttp, kMaxHeaders);
        evhttp_set_max_body_size(m_pHttp, 0);
        // Every method reaches the callback, which answers 405 itself.
        evhttp_set_allowed_methods(m_pHttp, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                                EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                                EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
        evhttp_set_gencb(m_pHttp, OnRequest, this);
        g_live.push_back(this);
    }
    evhttp_bound_socket* sock = evhttp_bind_socket_with_handle(m_pHttp, address.c_str(), static_cast<uint16_t>(port));
    if (!sock) {
        error = std::strerror(errno);
        return false;
    }
    // Without an error callback a failing accept (out of descriptors) would
    // be retried on every loop pass: the loop would spin.
    evconnlistener_set_error_cb(evhttp_bound_socket_get_listener(sock), OnAcceptError);
    if (m_pSocket)
        evhttp_del_accept_socket(m_pHttp, m_pSocket);
    m_pSocket = sock;
    return true;
}

void CStatusServer::Stop()
{
    if (m_pHttp) {
        evhttp_free(m_pHttp);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
    }
    m_pHttp = nullptr;
    m_pSocket = nullptr;
}

void CStatusServer::Pause()
{
    if (m_pSocket)
        evconnlistener_disable(evhttp_bound_socket_get_listener(m_pSocket));
}

void CStatusServer::Resume()
{
    if (m_pSocket)
        evconnlistener_enable(evhttp_bound_socket_get_listener(m_pSocket));
}

void CStatusServer::OnAcceptError(evconnlistener*, void* http)
{
    const int err = EVUTIL_SOCKET_ERROR();
    for (CStatusServer* s : g_live) {
        if (s->m_pHttp == http && s->m_acceptFailed) {
            s->m_acceptFailed(err);
            return;
        }
    }
}

void CStatusServer::OnRequest(evhttp_request* req, void* arg)
{
    auto* self = static_cast<CStatusServer*>(arg);
    const evhttp_cmd_type method = evhttp_request_get_command(req);
    if (method != EVHTTP_REQ_GET && method != EVHTTP_REQ_HEAD) {
        evhttp_add_header(evhttp_request_get_output_headers(req), "Allow", "GET, HEAD");
        reply(req, 405, "Method Not Allowed", "text/plain", "only GET and HEAD\n");
        return;
    }
    const char* path = evhttp_uri_get_path(evhttp_request_get_evhttp_uri(req));
    const bool metrics = path && std::strcmp(path, "/metrics") == 0;
    const bool status = path && std::strcmp(path, "/status") == 0;
    if (!metrics && !status) {
        reply(req, 404, "Not Found", "text/plain", "/status and /metrics only\n");
        return;
    }
    StatusSnapshot snap;
    self->m_fill(snap, status);
    if (metrics)
        reply(req, 200, "OK", "text/plain; version=0.0.4", metricsText(snap));
    else
        reply(req, 200, "OK", "application/json", statusJson(snap));
}

} // namespace relay
