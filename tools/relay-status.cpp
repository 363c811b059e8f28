// relay-status: shows what a running relaySvr is doing.
//
// relaySvr serves its state on an HTTP status server (StatusAddress and
// StatusPort in section [SvrTarn] of relaySvr.ini): GET /status gives the
// connections as one JSON document, GET /metrics the counters in Prometheus
// text format. This tool fetches both with libevent's HTTP client and prints
// a device table and the main counters, or with --json passes the /status
// document through unchanged for scripts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include "SimpleIni.h"
#include "relay-tool.h"

namespace {

using namespace relaytool;

constexpr double kDefaultTimeoutSec = 5.0;
// Where relaySvr reads its configuration: its working directory, which the
// systemd unit sets to /etc/relaySvr.
constexpr const char* kLocalConfig = relay::kConfigFile;
constexpr const char* kSystemConfig = relay::kPackagedConfigPath;
constexpr const char* kSection = relay::kConfigSection;
constexpr const char* kPortKey = relay::key::kStatusPort;
constexpr const char* kAddressKey = relay::key::kStatusAddress;
constexpr const char* kDefaultStatusAddress = relay::kDefaultStatusAddress;
// A status server listening on every address is reached on the loopback one.
constexpr const char* kAnyAddress = "0.0.0.0";
constexpr const char* kStatusPath = "/status";
constexpr const char* kMetricsPath = "/metrics";
// Far above what a relay with thousands of connections sends; a bound keeps
// a wrong server from filling the memory.
constexpr ev_ssize_t kMaxBodyBytes = 64 * 1024 * 1024;
constexpr ev_ssize_t kMaxHeaderBytes = 64 * 1024;
// relaySvr's document nests three deep; the bound keeps the recursive
// reader's stack small whatever answers.
constexpr int kMaxJsonDepth = 32;
// The waiting requesters column lists this many descriptors, then "...".
constexpr size_t kListedWaiters = 4;
constexpr const char* kTableIndent = "  ";
constexpr long long kSecondsPerMinute = 60;
constexpr long long kSecondsPerHour = 3600;
constexpr long long kSecondsPerDay = 86400;
// Longer times (30 million years) print as this one, short of an overflow.
constexpr double kLongestDuration = 1e15;

enum ExitStatus { kPrinted = 0, kBadAnswer = 1, kUsage = kBadArguments, kNoConnection = 3 };

void Usage(FILE* to)
{
    std::fprintf(to,
        "usage: relay-status [--host H] [--port P] [--json] [--timeout S] [--config FILE]\n"
        "\n"
        "Shows what a running relaySvr is doing, read from its status server: the\n"
        "connected devices (id, address, descriptor, time connected, requesters\n"
        "waiting on each, bytes each way), how many requesters are connected and how\n"
        "many of them wait, and the main counters.\n"
        "\n"
        "relaySvr serves its status on StatusAddress:StatusPort, keys of section\n"
        "[SvrTarn] in relaySvr.ini (StatusPort=0, the default, leaves it off).\n"
        "Without --port the tool reads both from --config FILE, else from\n"
        "./relaySvr.ini when there is one, else from %s.\n"
        "\n"
        "  --host H        the status server's address (default: StatusAddress from\n"
        "                  the configuration, else %s)\n"
        "  --port P        the status server's port; the configuration is not read\n"
        "  --json          print relaySvr's /status document unchanged, nothing else\n"
        "  --timeout S     give up S seconds after start (default %g; fractions allowed)\n"
        "  --config FILE   read StatusPort and StatusAddress from FILE\n"
        "  --help, -h      this text\n"
        "\n"
        "Exit status: 0 printed; 1 the status server answered with an error or with a\n"
        "document that cannot be read; 2 bad arguments, or no status port known;\n"
        "3 cannot connect, or no answer within the timeout.\n",
        kSystemConfig, kDefaultStatusAddress, kDefaultTimeoutSec);
}

struct Options : CommonOptions {
    bool json = false;
    double timeoutSec = kDefaultTimeoutSec;
    std::string config; // empty: the default places
};

enum OwnOption { kJsonOption = kFirstOwnOption, kTimeoutOption, kConfigOption };

// Returns -1 when the options are fine, else the exit status to leave with.
int ParseArgs(int argc, char** argv, Options& o)
{
    const std::vector<option> own = {
        {"json", no_argument, nullptr, kJsonOption},
        {"timeout", required_argument, nullptr, kTimeoutOption},
        {"config", required_argument, nullptr, kConfigOption},
    };
    const auto take = [&o](int code, const char* value) {
        if (code == kJsonOption) {
            o.json = true;
            return true;
        }
        if (code == kConfigOption) {
            if (value && *value) {
                o.config = value;
                return true;
            }
            std::fprintf(stderr, "relay-status: --config needs a file name\n");
            return false;
        }
        if (ParseTimeout(value, o.timeoutSec))
            return true;
        std::fprintf(stderr, "relay-status: --timeout needs a number of seconds > 0\n");
        return false;
    };
    std::vector<std::string> rest;
    o.host = kDefaultStatusAddress;
    const int status =
        ParseCommandLine("relay-status", argc, argv, kHostOption | kPortOption, own, take, Usage, o, rest);
    if (status >= 0)
        return status;
    if (!rest.empty()) {
        std::fprintf(stderr, "relay-status: unknown argument %s (see --help)\n", rest[0].c_str());
        return kUsage;
    }
    return -1;
}

// Without --port, takes the status server's port, and unless --host was
// given its address, from the configuration. Returns -1 when the server is
// known, else kUsage after saying why on stderr.
int FindStatusServer(Options& o)
{
    if (o.portGiven)
        return -1;
    std::string path = o.config;
    if (path.empty()) {
        path = access(kLocalConfig, F_OK) == 0 ? kLocalConfig : kSystemConfig;
        if (access(path.c_str(), F_OK) != 0) {
            std::fprintf(stderr, "relay-status: no status port known: there is neither ./%s nor %s; "
                         "give --port P or --config FILE\n", kLocalConfig, kSystemConfig);
            return kUsage;
        }
    }
    SimpleIni ini("");
    if (!ini.Load(path)) {
        std::fprintf(stderr, "relay-status: cannot read %s\n", path.c_str());
        return kUsage;
    }
    const int port = ini.GetValue<int>(kSection, kPortKey, 0);
    if (port == 0) {
        std::fprintf(stderr, "relay-status: no status port known: %s in [%s] of %s is 0 or missing, so "
                     "relaySvr serves no status; set it and reload relaySvr (systemctl reload relaysvr, or "
                     "SIGHUP), or give --port P\n",
                     kPortKey, kSection, path.c_str());
        return kUsage;
    }
    if (port < 1 || port > 65535) {
        std::fprintf(stderr, "relay-status: %s=%d in %s is not a port number 1-65535\n", kPortKey, port,
                     path.c_str());
        return kUsage;
    }
    o.port = port;
    if (!o.hostGiven) {
        o.host = ini.GetValue(kSection, kAddressKey, std::string(kDefaultStatusAddress));
        if (o.host.empty() || o.host == kAnyAddress)
            o.host = kDefaultStatusAddress;
    }
    return -1;
}

// ---- HTTP ----------------------------------------------------------------

// One GET and what came of it.
struct Fetch {
    explicit Fetch(std::string p) : path(std::move(p)) {}
    std::string path;
    bool done = false;
    bool answered = false;  // a whole response came
    int code = 0;           // its status code
    std::string reason;     // its reason phrase
    std::string body;
    int failure = -1;       // the evhttp_request_error when one was reported
    size_t* pending = nullptr;
    event_base* base = nullptr;
};

void OnFetchError(enum evhttp_request_error error, void* arg)
{
    static_cast<Fetch*>(arg)->failure = error;
}

// libevent calls this once per request: with the response, with a request
// that has no status code when the connection could not be made, or with
// nullptr after OnFetchError.
void OnFetchDone(evhttp_request* req, void* arg)
{
    Fetch& f = *static_cast<Fetch*>(arg);
    if (f.done)
        return;
    f.done = true;
    if (req && evhttp_request_get_response_code(req) != 0) {
        f.answered = true;
        f.code = evhttp_request_get_response_code(req);
        const char* reason = evhttp_request_get_response_code_line(req);
        f.reason = reason ? reason : "";
        evbuffer* in = evhttp_request_get_input_buffer(req);
        const size_t n = evbuffer_get_length(in);
        f.body.resize(n);
        if (n > 0)
            evbuffer_copyout(in, &f.body[0], n);
    }
    if (--*f.pending == 0)
        event_base_loopbreak(f.base);
}

void OnDeadline(evutil_socket_t, short, void* arg)
{
    event_base_loopbreak(static_cast<event_base*>(arg));
}

// Frees a libevent object when its owner goes.
template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using BasePtr = std::unique_ptr<event_base, Freer<event_base, event_base_free>>;
using EventPtr = std::unique_ptr<event, Freer<event, event_free>>;
using ConnectionPtr = std::unique_ptr<evhttp_connection, Freer<evhttp_connection, evhttp_connection_free>>;

// GETs every path from host:port at once, each over a connection of its own
// (a server may close one after each answer), all within timeoutSec. Returns
// kPrinted when every request got a response of any status code; otherwise
// says on stderr what went wrong and returns kBadAnswer (not HTTP, or too
// large) or kNoConnection (no connection, closed, or the deadline).
int FetchAll(const Options& o, std::vector<Fetch>& fetches)
{
    const std::string where = o.host + " port " + std::to_string(o.port);
    // Declared in this order, so that the connections and the timer go
    // before the base they belong to.
    BasePtr base(event_base_new());
    EventPtr deadline(base ? evtimer_new(base.get(), OnDeadline, base.get()) : nullptr);
    std::vector<ConnectionPtr> connections;
    if (!deadline) {
        std::fprintf(stderr, "relay-status: cannot set up libevent\n");
        return kNoConnection;
    }
    size_t pending = 0;
    for (Fetch& f : fetches) {
        f.pending = &pending;
        f.base = base.get();
        f.done = true; // until the request is under way
        connections.emplace_back(evhttp_connection_base_new(base.get(), nullptr, o.host.c_str(),
                                                            static_cast<ev_uint16_t>(o.port)));
        evhttp_connection* conn = connections.back().get();
        evhttp_request* req = conn ? evhttp_request_new(OnFetchDone, &f) : nullptr;
        if (!req)
            continue;
        evhttp_connection_set_max_body_size(conn, kMaxBodyBytes);
        evhttp_connection_set_max_headers_size(conn, kMaxHeaderBytes);
        evhttp_request_set_error_cb(req, OnFetchError);
        evhttp_add_header(evhttp_request_get_output_headers(req), "Host", o.host.c_str());
        // A request that cannot be sent is freed by libevent, without a call.
        if (evhttp_make_request(conn, req, EVHTTP_REQ_GET, f.path.c_str()) == 0) {
            f.done = false;
            ++pending;
        }
    }
    timeval tv;
    tv.tv_sec = static_cast<time_t>(o.timeoutSec);
    tv.tv_usec = static_cast<suseconds_t>((o.timeoutSec - static_cast<double>(tv.tv_sec)) * 1e6);
    evtimer_add(deadline.get(), &tv);
    if (pending > 0)
        event_base_dispatch(base.get());
    const bool timedOut = pending > 0;
    // Freeing a connection drops its unanswered request without a call.
    connections.clear();

    for (const Fetch& f : fetches) {
        if (f.answered)
            continue;
        if (timedOut) {
            std::fprintf(stderr, "relay-status: no answer from %s within %g s\n", where.c_str(), o.timeoutSec);
            return kNoConnection;
        }
        if (f.failure == EVREQ_HTTP_INVALID_HEADER) {
            std::fprintf(stderr, "relay-status: %s does not answer GET %s in HTTP: is it relaySvr's "
                         "status port?\n", where.c_str(), f.path.c_str());
            return kBadAnswer;
        }
        if (f.failure == EVREQ_HTTP_DATA_TOO_LONG) {
            std::fprintf(stderr, "relay-status: the answer of %s to GET %s is longer than %lld bytes\n",
                         where.c_str(), f.path.c_str(), static_cast<long long>(kMaxBodyBytes));
            return kBadAnswer;
        }
        if (f.failure == EVREQ_HTTP_EOF) {
            std::fprintf(stderr, "relay-status: %s closed the connection before answering GET %s\n",
                         where.c_str(), f.path.c_str());
            return kNoConnection;
        }
        std::fprintf(stderr, "relay-status: cannot connect to %s (is relaySvr running, with %s=%ld in "
                     "its relaySvr.ini, and reloaded since that was set?)\n", where.c_str(), kPortKey, o.port);
        return kNoConnection;
    }
    return kPrinted;
}

// Says on stderr when the response is not a 200 and returns false.
bool CheckOk(const Fetch& f, const Options& o)
{
    if (f.code == HTTP_OK)
        return true;
    std::fprintf(stderr, "relay-status: %s port %ld answered GET %s with %d %s\n", o.host.c_str(), o.port,
                 f.path.c_str(), f.code, f.reason.c_str());
    return false;
}

// ---- the /status document ---------------------------------------------------

// A JSON value of relaySvr's /status document: objects, arrays, strings and
// numbers (true, false and null are read too). Numbers keep their text.
struct Json {
    enum Kind { kOther, kNumber, kString, kArray, kObject };
    Kind kind = kOther;
    std::string text;                                   // a string, or a number as written
    std::vector<Json> items;                            // an array
    std::vector<std::pair<std::string, Json>> members;  // an object

    const Json* Find(const std::string& key) const
    {
        for (const auto& m : members)
            if (m.first == key)
                return &m.second;
        return nullptr;
    }
};

// Reads one JSON document. relaySvr writes no escapes but \" and \\, so
// a string with another escape is refused rather than decoded. False on
// anything that is not one whole document.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : m_text(text) {}
    bool Read(Json& out) { return Value(out, 0) && (Blank(), m_pos == m_text.size()); }

private:
    void Blank() { m_pos = std::min(m_text.find_first_not_of(" \t\r\n", m_pos), m_text.size()); }
    bool Take(char c)
    {
        Blank();
        return m_pos < m_text.size() && m_text[m_pos] == c && (++m_pos, true);
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return false;
        out.clear();
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c == '\\') {
                if (m_pos >= m_text.size() || (m_text[m_pos] != '"' && m_text[m_pos] != '\\'))
                    return false;
                c = m_text[m_pos++];
            }
            out += c;
        }
        return false;
    }
    bool Value(Json& out, int depth)
    {
        Blank();
        if (m_pos >= m_text.size() || depth > kMaxJsonDepth)
            return false;
        const char c = m_text[m_pos];
        if (c == '{' || c == '[') {
            ++m_pos;
            const char close = c == '{' ? '}' : ']';
            out.kind = c == '{' ? Json::kObject : Json::kArray;
            if (Take(close))
                return true;
            do {
                Json item;
                std::string key;
                if ((c == '{' && (!String(key) || !Take(':'))) || !Value(item, depth + 1))
                    return false;
                if (c == '{')
                    out.members.emplace_back(std::move(key), std::move(item));
                else
                    out.items.push_back(std::move(item));
            } while (Take(','));
            return Take(close);
        }
        if (c == '"') {
            out.kind = Json::kString;
            return String(out.text);
        }
        const size_t end = std::min(m_text.find_first_of(",]} \t\r\n", m_pos), m_text.size());
        out.text = m_text.substr(m_pos, end - m_pos);
        m_pos = end;
        if (out.text == "true" || out.text == "false" || out.text == "null")
            return true;
        char* stop = nullptr;
        std::strtod(out.text.c_str(), &stop);
        out.kind = Json::kNumber;
        return !out.text.empty() && *stop == '\0';
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

struct Device {
    unsigned long long fd = 0;
    unsigned long long id = 0;
    std::string address;
    double connectedSec = 0;
    std::vector<unsigned long long> waiting;  // descriptors of the requesters waiting on it
    unsigned long long bytesIn = 0;
    unsigned long long bytesOut = 0;
};

struct Status {
    unsigned long long pid = 0;
    unsigned long long port = 0;
    double uptimeSec = 0;
    std::vector<Device> devices;
    size_t requesters = 0;
    size_t waitingRequesters = 0;
};

// The member key of an object, of the kind wanted; nullptr (and the reason
// in err, the first one only) when it is missing or of another kind.
const Json* Member(const Json& obj, const char* key, Json::Kind kind, const std::string& where, std::string& err)
{
    const Json* v = obj.Find(key);
    if (v && v->kind == kind)
        return v;
    if (err.empty())
        err = where + ": \"" + key + "\" is missing or not " + (kind == Json::kNumber ? "a number" :
                                                                kind == Json::kString ? "a string" : "an array");
    return nullptr;
}

// A number member (whole counts and seconds alike: a double holds every
// count below 2^53 exactly); 0 when it is missing.
double Number(const Json& obj, const char* key, const std::string& where, std::string& err)
{
    const Json* v = Member(obj, key, Json::kNumber, where, err);
    return v ? std::strtod(v->text.c_str(), nullptr) : 0;
}

// Reads the /status document into st. False with the reason in err when it is
// not JSON or lacks what the table shows; members it does not know are skipped.
bool ReadStatus(const std::string& body, Status& st, std::string& err)
{
    Json doc;
    if (!JsonReader(body).Read(doc) || doc.kind != Json::kObject) {
        err = "it is not a JSON object";
        return false;
    }
    const std::string top = "the document";
    st.pid = static_cast<unsigned long long>(Number(doc, "pid", top, err));
    st.port = static_cast<unsigned long long>(Number(doc, "port", top, err));
    st.uptimeSec = Number(doc, "uptime_seconds", top, err);
    const Json* devices = Member(doc, "devices", Json::kArray, top, err);
    const Json* requesters = Member(doc, "requesters", Json::kArray, top, err);
    for (size_t i = 0; err.empty() && i < devices->items.size(); ++i) {
        const Json& item = devices->items[i];
        const std::string where = "device " + std::to_string(i + 1);
        Device d;
        d.fd = static_cast<unsigned long long>(Number(item, "fd", where, err));
        d.id = static_cast<unsigned long long>(Number(item, "id", where, err));
        if (const Json* a = Member(item, "address", Json::kString, where, err))
            d.address = a->text;
        d.connectedSec = Number(item, "connected_seconds", where, err);
        d.bytesIn = static_cast<unsigned long long>(Number(item, "bytes_in", where, err));
        d.bytesOut = static_cast<unsigned long long>(Number(item, "bytes_out", where, err));
        if (const Json* w = Member(item, "waiting_requesters", Json::kArray, where, err))
            for (const Json& fd : w->items)
                d.waiting.push_back(std::strtoull(fd.text.c_str(), nullptr, 10));
        st.devices.push_back(std::move(d));
    }
    for (size_t i = 0; err.empty() && i < requesters->items.size(); ++i) {
        ++st.requesters;
        if (Number(requesters->items[i], "waiting_on", "requester " + std::to_string(i + 1), err) != 0)
            ++st.waitingRequesters;
    }
    return err.empty();
}

// ---- the /metrics document ---------------------------------------------------

// The value of one sample line "series value" of relaySvr's /metrics, with
// the series written as relaySvr writes it; false when there is none.
bool Sample(const std::string& metrics, const std::string& series, double& value)
{
    const std::string key = "\n" + series + " ";
    const size_t at = ("\n" + metrics).find(key);
    if (at == std::string::npos)
        return false;
    char* end = nullptr;
    value = std::strtod(metrics.c_str() + at + key.size() - 1, &end);
    return end != metrics.c_str() + at + key.size() - 1;
}

// The sum of every sample of a family, whatever its labels (a family
// without labels has one); false when there is none.
bool FamilySum(const std::string& metrics, const std::string& family, double& sum)
{
    bool found = false;
    sum = 0;
    for (size_t start = 0; start < metrics.size();) {
        const size_t end = std::min(metrics.find('\n', start), metrics.size());
        const std::string line = metrics.substr(start, end - start);
        start = end + 1;
        if (line.size() <= family.size() || line.compare(0, family.size(), family) != 0 ||
            (line[family.size()] != ' ' && line[family.size()] != '{'))
            continue;
        const char* value = line.c_str() + line.rfind(' ') + 1;
        char* stop = nullptr;
        const double v = std::strtod(value, &stop);
        if (stop != value) {
            sum += v;
            found = true;
        }
    }
    return found;
}

// The counters printed, in order; each line of the output groups some of them.
struct Counter {
    const char* series;
    const char* label;
};
const Counter kRequestCounters[] = {{"relaysvr_requests_total{outcome=\"forwarded\"}", "forwarded"},
                                    {"relaysvr_requests_total{outcome=\"no_device\"}", "for no device"}};
const Counter kAnswerCounters[] = {{"relaysvr_answers_total{outcome=\"delivered\"}", "delivered"},
                                   {"relaysvr_answers_total{outcome=\"unasked\"}", "unasked"}};
// A series without labels stands for the sum of its family: the devices
// refused for any reason.
const Counter kTroubleCounters[] = {{"relaysvr_devices_refused_total", "refused devices"},
                                    {"relaysvr_dead_devices_total", "dead devices"},
                                    {"relaysvr_backpressure_pauses_total", "backpressure pauses"}};

// ---- output --------------------------------------------------------------------

// "3d 4h", "4h 2m", "5m 12s" or "12s": the two largest units, rounded down.
std::string Duration(double seconds)
{
    const long long s = static_cast<long long>(std::min(seconds, kLongestDuration));
    char out[64];
    if (s >= kSecondsPerDay)
        std::snprintf(out, sizeof(out), "%lldd %lldh", s / kSecondsPerDay, s % kSecondsPerDay / kSecondsPerHour);
    else if (s >= kSecondsPerHour)
        std::snprintf(out, sizeof(out), "%lldh %lldm", s / kSecondsPerHour,
                      s % kSecondsPerHour / kSecondsPerMinute);
    else if (s >= kSecondsPerMinute)
        std::snprintf(out, sizeof(out), "%lldm %llds", s / kSecondsPerMinute, s % kSecondsPerMinute);
    else
        std::snprintf(out, sizeof(out), "%llds", s);
    return out;
}

// "-" when nobody waits, else the count and the descriptors: "2 (12, 14)".
std::string Waiting(const std::vector<unsigned long long>& fds)
{
    if (fds.empty())
        return "-";
    std::string out = std::to_string(fds.size()) + " (";
    for (size_t i = 0; i < fds.size() && i < kListedWaiters; ++i)
        out += (i ? ", " : "") + std::to_string(fds[i]);
    return out + (fds.size() > kListedWaiters ? ", ...)" : ")");
}

// Prints rows, indented, as columns two blanks apart, the first row being the
// headings; a column whose flag in rightAligned is set is aligned right.
void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& rightAligned)
{
    std::vector<size_t> width(rightAligned.size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    for (const auto& row : rows) {
        std::string line = kTableIndent;
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            line += (c ? "  " : "") + (rightAligned[c] ? pad + row[c] : row[c] + pad);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
    }
}

// The counters of one output line: "value name, ..." or "name: value, ...";
// "-" for one the server does not report. Adds the reported ones to found.
std::string CounterLine(const std::string& metrics, const Counter* begin, const Counter* end, bool valueFirst,
                        size_t& found)
{
    std::string out;
    for (const Counter* c = begin; c != end; ++c) {
        std::string value = "-";
        double v = 0;
        const bool family = std::strchr(c->series, '{') == nullptr;
        if (family ? FamilySum(metrics, c->series, v) : Sample(metrics, c->series, v)) {
            char text[64];
            std::snprintf(text, sizeof(text), "%.0f", v);
            value = text;
            ++found;
        }
        out += (c == begin ? "" : ", ") +
               (valueFirst ? value + " " + c->label : std::string(c->label) + ": " + value);
    }
    return out;
}

void PrintStatus(const Status& st, const std::string& metrics, size_t& countersFound)
{
    std::printf("relaySvr PID %llu, relay port %llu, up %s\n", st.pid, st.port, Duration(st.uptimeSec).c_str());
    if (st.devices.empty()) {
        std::printf("devices: none connected\n");
    } else {
        std::printf("devices: %zu connected\n", st.devices.size());
        std::vector<std::vector<std::string>> rows = {
            {"id", "address", "descriptor", "connected for", "waiting requesters", "bytes in", "bytes out"}};
        for (const Device& d : st.devices)
            rows.push_back({std::to_string(d.id), d.address, std::to_string(d.fd), Duration(d.connectedSec),
                            Waiting(d.waiting), std::to_string(d.bytesIn), std::to_string(d.bytesOut)});
        PrintTable(rows, {true, false, true, false, false, true, true});
    }
    std::printf("requesters: %zu connected, %zu waiting for an answer\n", st.requesters, st.waitingRequesters);
    countersFound = 0;
    const auto line = [&](const char* head, const Counter* b, const Counter* e, bool valueFirst) {
        std::printf("%s%s\n", head, CounterLine(metrics, b, e, valueFirst, countersFound).c_str());
    };
    line("requests: ", std::begin(kRequestCounters), std::end(kRequestCounters), true);
    line("answers: ", std::begin(kAnswerCounters), std::end(kAnswerCounters), true);
    line("", std::begin(kTroubleCounters), std::end(kTroubleCounters), false);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    int status = ParseArgs(argc, argv, o);
    if (status < 0)
        status = FindStatusServer(o);
    if (status >= 0)
        return status;

    std::vector<Fetch> fetches;
    fetches.emplace_back(kStatusPath);
    if (!o.json)
        fetches.emplace_back(kMetricsPath);
    status = FetchAll(o, fetches);
    if (status != kPrinted)
        return status;
    const Fetch& statusDoc = fetches[0];
    if (!CheckOk(statusDoc, o))
        return kBadAnswer;

    if (o.json) {
        // Scripts get the document as the relay wrote it, once it is JSON.
        Json doc;
        if (!JsonReader(statusDoc.body).Read(doc)) {
            std::fprintf(stderr, "relay-status: the %s document is not JSON\n", kStatusPath);
            return kBadAnswer;
        }
        std::fwrite(statusDoc.body.data(), 1, statusDoc.body.size(), stdout);
        return kPrinted;
    }
    Status st;
    std::string err;
    if (!ReadStatus(statusDoc.body, st, err)) {
        std::fprintf(stderr, "relay-status: cannot read the %s document: %s\n", kStatusPath, err.c_str());
        return kBadAnswer;
    }
    // The table is worth printing even when the counters cannot be had.
    const bool metricsOk = CheckOk(fetches[1], o);
    const std::string metrics = metricsOk ? fetches[1].body : std::string();
    status = metricsOk ? kPrinted : kBadAnswer;
    size_t found = 0;
    PrintStatus(st, metrics, found);
    if (status == kPrinted && found == 0) {
        std::fprintf(stderr, "relay-status: the %s document holds none of relaySvr's counters\n", kMetricsPath);
        status = kBadAnswer;
    }
    return status;
}
