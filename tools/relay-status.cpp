// relay-status: shows what a running relaySvr is doing.
//
// relaySvr serves its state on an HTTP status server (StatusAddress and
// StatusPort in section [SvrTarn] of relaySvr.ini): GET /status gives the
// connections as one JSON document, GET /metrics the counters in Prometheus
// text format. This tool fetches both with libevent's HTTP client and prints
// a device table and the main counters, or with --json passes the /status
// document through unchanged for scripts.
#include <algorithm>
#include <cmath>
#include <cstdio>
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
constexpr const char* kLocalConfig = "relaySvr.ini";
constexpr const char* kSystemConfig = "/etc/relaySvr/relaySvr.ini";
constexpr const char* kSection = "SvrTarn";
constexpr const char* kPortKey = "StatusPort";
constexpr const char* kAddressKey = "StatusAddress";
constexpr const char* kDefaultStatusAddress = "127.0.0.1";
// A status server listening on every address is reached on the loopback one.
constexpr const char* kAnyAddress = "0.0.0.0";
constexpr const char* kStatusPath = "/status";
constexpr const char* kMetricsPath = "/metrics";
// Far above what a relay with thousands of connections sends; a bound keeps
// a wrong server from filling the memory.
constexpr ev_ssize_t kMaxBodyBytes = 64 * 1024 * 1024;
constexpr ev_ssize_t kMaxHeaderBytes = 64 * 1024;
// Deeper nesting than this is no document of relaySvr's; the bound keeps the
// recursive reader's stack small.
constexpr int kMaxJsonDepth = 32;
// The waiting requesters column lists this many descriptors, then "...".
constexpr size_t kListedWaiters = 4;
constexpr const char* kTableIndent = "  ";
constexpr long long kSecondsPerMinute = 60;
constexpr long long kSecondsPerHour = 3600;
constexpr long long kSecondsPerDay = 86400;
// Longer times (30 million years) print as this one, short of an overflow.
constexpr double kLongestDuration = 1e15;
// Counter values up to this print as whole numbers; a double holds every
// integer up to 2^53 exactly.
constexpr double kExactIntegerLimit = 9007199254740992.0;

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
                     "relaySvr serves no status; set it and restart relaySvr, or give --port P\n",
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
                     "its relaySvr.ini?)\n", where.c_str(), kPortKey, o.port);
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

// ---- JSON ------------------------------------------------------------------

// A JSON value. Numbers keep their text, so that integers of any size and
// decimals are read exactly as the caller needs them.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = kNull;
    bool flag = false;
    std::string text;                                   // a string, or a number as written
    std::vector<Json> items;                            // an array
    std::vector<std::pair<std::string, Json>> members;  // an object, in document order

    // The member named key of an object; nullptr when there is none.
    const Json* Find(const std::string& key) const
    {
        for (const auto& m : members)
            if (m.first == key)
                return &m.second;
        return nullptr;
    }
};

// Reads one JSON document (RFC 8259) from text. Fails on anything else,
// including trailing text and nesting deeper than kMaxJsonDepth.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    // The document in out, or false with the reason and offset in err.
    bool Read(Json& out, std::string& err)
    {
        const bool ok = Value(out, 0) && (Blank(), m_pos == m_text.size() || Fail("text after the document"));
        if (!ok)
            err = m_err + " at byte " + std::to_string(m_pos);
        return ok;
    }

private:
    bool Fail(const char* why)
    {
        if (m_err.empty())
            m_err = why;
        return false;
    }
    void Blank()
    {
        while (m_pos < m_text.size() && std::strchr(" \t\r\n", m_text[m_pos]) != nullptr && m_text[m_pos] != '\0')
            ++m_pos;
    }
    bool Take(char c)
    {
        Blank();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Word(const char* word)
    {
        const size_t n = std::strlen(word);
        if (m_text.compare(m_pos, n, word) != 0)
            return Fail("not a JSON value");
        m_pos += n;
        return true;
    }
    bool Digits()
    {
        const size_t start = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
            ++m_pos;
        return m_pos > start || Fail("a digit missing in a number");
    }
    bool Number(std::string& out)
    {
        const size_t start = m_pos;
        if (m_text[m_pos] == '-')
            ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '0')
            ++m_pos;
        else if (!Digits())
            return false;
        if (m_pos < m_text.size() && m_text[m_pos] == '.' && (++m_pos, !Digits()))
            return false;
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-'))
                ++m_pos;
            if (!Digits())
                return false;
        }
        out = m_text.substr(start, m_pos - start);
        return true;
    }
    bool Hex4(unsigned& out)
    {
        out = 0;
        for (int i = 0; i < 4; ++i, ++m_pos) {
            const int d = m_pos < m_text.size() ? HexDigit(m_text[m_pos]) : -1;
            if (d < 0)
                return Fail("bad \\u escape");
            out = out * 16 + static_cast<unsigned>(d);
        }
        return true;
    }
    static void AppendUtf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    bool String(std::string& out)
    {
        if (!Take('"'))
            return Fail("a string expected");
        out.clear();
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("a control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                break;
            const char e = m_text[m_pos++];
            static const char kPlain[] = "\"\\/bfnrt";
            static const char kMeant[] = "\"\\/\b\f\n\r\t";
            if (const char* p = std::strchr(kPlain, e); p && e != '\0') {
                out += kMeant[p - kPlain];
                continue;
            }
            unsigned cp = 0;
            if (e != 'u' || !Hex4(cp))
                return Fail("bad escape in a string");
            // A UTF-16 surrogate pair stands for one code point above U+FFFF.
            if (cp >= 0xd800 && cp < 0xdc00) {
                unsigned low = 0;
                if (m_text.compare(m_pos, 2, "\\u") != 0 || (m_pos += 2, !Hex4(low)) || low < 0xdc00 ||
                    low >= 0xe000)
                    return Fail("bad \\u escape");
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            } else if (cp >= 0xdc00 && cp < 0xe000) {
                return Fail("bad \\u escape");
            }
            AppendUtf8(out, cp);
        }
        return Fail("a string without its end");
    }
    bool Value(Json& out, int depth)
    {
        Blank();
        if (m_pos >= m_text.size())
            return Fail("a value expected");
        const char c = m_text[m_pos];
        if (c == '{' || c == '[') {
            if (depth >= kMaxJsonDepth)
                return Fail("nested too deep");
            ++m_pos;
            const char close = c == '{' ? '}' : ']';
            out.kind = c == '{' ? Json::kObject : Json::kArray;
            if (Take(close))
                return true;
            do {
                Json item;
                if (c == '{') {
                    std::string key;
                    if (!String(key) || !(Take(':') || Fail("':' expected")) || !Value(item, depth + 1))
                        return false;
                    out.members.emplace_back(std::move(key), std::move(item));
                } else {
                    if (!Value(item, depth + 1))
                        return false;
                    out.items.push_back(std::move(item));
                }
            } while (Take(','));
            return Take(close) || Fail(c == '{' ? "',' or '}' expected" : "',' or ']' expected");
        }
        if (c == '"') {
            out.kind = Json::kString;
            return String(out.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            out.kind = Json::kNumber;
            return Number(out.text);
        }
        if (c == 't' || c == 'f') {
            out.kind = Json::kBool;
            out.flag = c == 't';
            return Word(out.flag ? "true" : "false");
        }
        out.kind = Json::kNull;
        return Word("null");
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::string m_err;
};

// ---- the /status document ------------------------------------------------------

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

// Reads the members of one JSON object, each of the kind the document
// promises. The first that is missing or of another kind is named in err,
// with `where` (such as "device 2") in front.
class Fields {
public:
    Fields(const Json& object, std::string where, std::string& err)
        : m_obj(object), m_where(std::move(where)), m_err(err)
    {
        if (m_obj.kind != Json::kObject)
            Bad("", "an object");
    }
    bool Ok() const { return m_err.empty(); }

    // A whole number >= 0 of any size up to 2^64 - 1.
    void Count(const char* key, unsigned long long& out)
    {
        const Json* v = Get(key);
        if (!v)
            return;
        if (!IsCount(*v, out))
            Bad(key, "a whole number >= 0");
    }
    // A number of seconds >= 0, whole or not.
    void Seconds(const char* key, double& out)
    {
        const Json* v = Get(key);
        if (!v)
            return;
        out = v->kind == Json::kNumber ? std::strtod(v->text.c_str(), nullptr) : -1;
        if (!(out >= 0 && std::isfinite(out)))
            Bad(key, "a number of seconds >= 0");
    }
    void Text(const char* key, std::string& out)
    {
        const Json* v = Get(key);
        if (!v)
            return;
        if (v->kind != Json::kString)
            Bad(key, "a string");
        out = v->text;
    }
    // An array; nullptr after saying so in err when it is not one.
    const Json* Array(const char* key)
    {
        const Json* v = Get(key);
        if (v && v->kind != Json::kArray) {
            Bad(key, "an array");
            return nullptr;
        }
        return v;
    }

    static bool IsCount(const Json& v, unsigned long long& out)
    {
        if (v.kind != Json::kNumber || v.text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        errno = 0;
        out = std::strtoull(v.text.c_str(), nullptr, 10);
        return errno == 0;
    }

private:
    const Json* Get(const char* key)
    {
        if (!Ok())
            return nullptr;
        const Json* v = m_obj.Find(key);
        if (!v)
            Bad(key, "present");
        return v;
    }
    void Bad(const std::string& key, const char* should)
    {
        if (!m_err.empty())
            return;
        m_err = m_where;
        if (!key.empty())
            m_err += (m_where.empty() ? "\"" : ": \"") + key + "\"";
        m_err += std::string(" is not ") + should;
    }

    const Json& m_obj;
    std::string m_where;
    std::string& m_err;
};

// Reads the /status document into st. False with the reason in err when it is
// not JSON or lacks what the table shows; members it does not know are skipped.
bool ReadStatus(const std::string& body, Status& st, std::string& err)
{
    Json doc;
    if (!JsonReader(body).Read(doc, err))
        return false;
    Fields top(doc, "the document", err);
    top.Count("pid", st.pid);
    top.Count("port", st.port);
    top.Seconds("uptime_seconds", st.uptimeSec);
    const Json* devices = top.Array("devices");
    const Json* requesters = top.Array("requesters");
    if (!top.Ok())
        return false;
    for (size_t i = 0; i < devices->items.size(); ++i) {
        Device d;
        Fields f(devices->items[i], "device " + std::to_string(i + 1), err);
        f.Count("fd", d.fd);
        f.Count("id", d.id);
        f.Text("address", d.address);
        f.Seconds("connected_seconds", d.connectedSec);
        f.Count("bytes_in", d.bytesIn);
        f.Count("bytes_out", d.bytesOut);
        if (const Json* waiting = f.Array("waiting_requesters")) {
            for (const Json& w : waiting->items) {
                unsigned long long fd = 0;
                if (!Fields::IsCount(w, fd)) {
                    err = "device " + std::to_string(i + 1) + ": \"waiting_requesters\" holds something "
                          "else than descriptors";
                    return false;
                }
                d.waiting.push_back(fd);
            }
        }
        if (!f.Ok())
            return false;
        st.devices.push_back(std::move(d));
    }
    for (size_t i = 0; i < requesters->items.size(); ++i) {
        unsigned long long waitingOn = 0;
        Fields f(requesters->items[i], "requester " + std::to_string(i + 1), err);
        f.Count("waiting_on", waitingOn);
        if (!f.Ok())
            return false;
        ++st.requesters;
        if (waitingOn != 0)
            ++st.waitingRequesters;
    }
    return true;
}

// ---- the /metrics document ---------------------------------------------------

// Sample values by series, a series written as name{label="value",...} with
// its labels in name order, so that the order the server chose does not matter.
using Samples = std::vector<std::pair<std::string, double>>;

// Reads Prometheus text format 0.0.4: comment lines, blank lines and sample
// lines "name{labels} value [timestamp]". False with the line in err on
// anything else.
bool ReadMetrics(const std::string& body, Samples& out, std::string& err)
{
    size_t lineNo = 0;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string line = body.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        size_t i = line.find_first_not_of(" \t\r");
        if (i == std::string::npos || line[i] == '#')
            continue;
        const auto isNameChar = [](char c, bool first) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
                   (!first && c >= '0' && c <= '9');
        };
        const auto bad = [&err, lineNo]() {
            err = "line " + std::to_string(lineNo) + " is not a sample";
            return false;
        };
        const size_t nameStart = i;
        while (i < line.size() && isNameChar(line[i], i == nameStart))
            ++i;
        if (i == nameStart)
            return bad();
        std::string series = line.substr(nameStart, i - nameStart);
        std::vector<std::string> labels;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (true) {
                i = line.find_first_not_of(" \t,", i);
                if (i == std::string::npos)
                    return bad();
                if (line[i] == '}') {
                    ++i;
                    break;
                }
                const size_t labelStart = i;
                while (i < line.size() && isNameChar(line[i], i == labelStart))
                    ++i;
                if (i == labelStart || line.compare(i, 2, "=\"") != 0)
                    return bad();
                std::string label = line.substr(labelStart, i - labelStart) + "=\"";
                for (i += 2; i < line.size() && line[i] != '"'; ++i) {
                    if (line[i] == '\\' && i + 1 < line.size())
                        label += line[i++];
                    label += line[i];
                }
                if (i >= line.size())
                    return bad();
                ++i;
                labels.push_back(label + "\"");
            }
            std::sort(labels.begin(), labels.end());
            series += '{';
            for (size_t k = 0; k < labels.size(); ++k)
                series += (k ? "," : "") + labels[k];
            series += '}';
        }
        const size_t valueStart = line.find_first_not_of(" \t\r", i);
        if (valueStart == std::string::npos || valueStart == i)
            return bad();
        const std::string value = line.substr(valueStart, line.find_first_of(" \t\r", valueStart) - valueStart);
        char* valueEnd = nullptr;
        const double v = std::strtod(value.c_str(), &valueEnd);
        if (valueEnd == value.c_str() || *valueEnd != '\0')
            return bad();
        out.emplace_back(std::move(series), v);
    }
    return true;
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
std::string CounterLine(const Samples& samples, const Counter* begin, const Counter* end, bool valueFirst,
                        size_t& found)
{
    std::string out;
    for (const Counter* c = begin; c != end; ++c) {
        std::string value = "-";
        for (const auto& s : samples) {
            if (s.first != c->series)
                continue;
            char text[64];
            if (std::fabs(s.second) < kExactIntegerLimit && s.second == std::floor(s.second))
                std::snprintf(text, sizeof(text), "%.0f", s.second);
            else
                std::snprintf(text, sizeof(text), "%g", s.second);
            value = text;
            ++found;
            break;
        }
        out += (c == begin ? "" : ", ") +
               (valueFirst ? value + " " + c->label : std::string(c->label) + ": " + value);
    }
    return out;
}

void PrintStatus(const Status& st, const Samples& samples, size_t& countersFound)
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
        std::printf("%s%s\n", head, CounterLine(samples, b, e, valueFirst, countersFound).c_str());
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

    std::string err;
    if (o.json) {
        // Scripts get the document as the relay wrote it, once it is JSON.
        Json doc;
        if (!JsonReader(statusDoc.body).Read(doc, err)) {
            std::fprintf(stderr, "relay-status: the %s document is not JSON: %s\n", kStatusPath, err.c_str());
            return kBadAnswer;
        }
        std::fwrite(statusDoc.body.data(), 1, statusDoc.body.size(), stdout);
        return kPrinted;
    }
    Status st;
    if (!ReadStatus(statusDoc.body, st, err)) {
        std::fprintf(stderr, "relay-status: cannot read the %s document: %s\n", kStatusPath, err.c_str());
        return kBadAnswer;
    }
    // The table is worth printing even when the counters cannot be had.
    status = kPrinted;
    Samples samples;
    if (!CheckOk(fetches[1], o)) {
        status = kBadAnswer;
    } else if (!ReadMetrics(fetches[1].body, samples, err)) {
        std::fprintf(stderr, "relay-status: cannot read the %s document: %s\n", kMetricsPath, err.c_str());
        samples.clear();
        status = kBadAnswer;
    }
    size_t found = 0;
    PrintStatus(st, samples, found);
    if (status == kPrinted && found == 0) {
        std::fprintf(stderr, "relay-status: the %s document holds none of relaySvr's counters\n", kMetricsPath);
        status = kBadAnswer;
    }
    return status;
}
