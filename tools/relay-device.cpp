// relay-device: plays a device for relaySvr. It connects from 127.0.0.N, so
// that relaySvr knows it as device N (the last octet of its address), prints
// every chunk it receives in hex and answers each one, by echoing it or with
// a fixed reply.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "relay-tool.h"

namespace {

using namespace relaytool;
using relay::kChunkSize;
using relay::kDefaultPort;

constexpr long kDefaultId = 23;
// 127.0.0.1 is the requester address, so --id starts at 2; --from reaches 0 and 1.
constexpr long kMinId = 2;
constexpr long kMaxId = 255;
constexpr long kMaxCount = 1000000000L;
constexpr long long kConnectTimeoutMs = 5000;
// A reply is written with the socket blocking at most this long.
constexpr long long kSendTimeoutMs = 5000;

enum ExitStatus { kDone = 0, kLost = 1, kUsage = kBadArguments, kNoConnection = 3 };

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int)
{
    g_stop = 1;
}

void Usage(FILE* to)
{
    std::fprintf(to,
        "usage: relay-device [--host H] [--port P] [--id N | --from ADDR]\n"
        "                    [--reply \"<hex bytes>\" | --silent] [--count N] [--quiet]\n"
        "\n"
        "Connects to relaySvr as a device, prints every chunk it receives in hex and\n"
        "answers each one: with the same bytes (echo, the default) or with --reply.\n"
        "relaySvr knows a device by the last octet of its IPv4 address, so the tool\n"
        "binds its end of the connection to 127.0.0.N before connecting.\n"
        "\n"
        "  --host H        relaySvr's address (default 127.0.0.1)\n"
        "  --port P        relaySvr's port (default %d, as in relaySvr.ini)\n"
        "  --id N          device id 2-255: connect from 127.0.0.N (default %ld).\n"
        "                  127.0.0.1 is a requester, not a device.\n"
        "  --from ADDR     connect from this local IPv4 address instead; the id is its\n"
        "                  last octet (127.0.1.1 gives id 1, 127.0.1.0 id 0)\n"
        "  --reply HEX     answer every chunk with these bytes, e.g. \"01 17 6f 6b\"\n"
        "  --silent        answer nothing, only print what comes in\n"
        "  --count N       exit after N chunks (default: run until relaySvr closes the\n"
        "                  connection, or SIGINT/SIGTERM)\n"
        "  --quiet, -q     print nothing but errors\n"
        "  --help, -h      this text\n"
        "\n"
        "Output lines: \"connected ...\", then per chunk \"got N bytes: <hex>\" and\n"
        "\"sent N bytes: <hex>\". Remember that relaySvr forwards only the first chunk\n"
        "after a request and drops what a device sends unasked.\n"
        "\n"
        "Exit status: 0 after --count chunks, when relaySvr closed the connection, or\n"
        "on SIGINT/SIGTERM; 1 connection lost with an error; 2 bad arguments;\n"
        "3 cannot connect.\n",
        kDefaultPort, kDefaultId);
}

struct Options : CommonOptions {
    long id = kDefaultId;
    std::string from;
    bool echo = true;
    bool silent = false;
    std::vector<unsigned char> reply;
    long count = 0; // 0: no limit
};

enum OwnOption { kIdOption = kFirstOwnOption, kFromOption, kReplyOption, kSilentOption, kCountOption };

// Returns -1 when the options are fine, else the exit status to leave with.
int ParseArgs(int argc, char** argv, Options& o)
{
    const std::vector<option> own = {
        {"id", required_argument, nullptr, kIdOption},
        {"from", required_argument, nullptr, kFromOption},
        {"reply", required_argument, nullptr, kReplyOption},
        {"silent", no_argument, nullptr, kSilentOption},
        {"count", required_argument, nullptr, kCountOption},
    };
    const auto take = [&o](int code, const char* value) {
        std::string err;
        switch (code) {
        case kSilentOption:
            o.silent = true;
            return true;
        case kIdOption:
            if (value && ParseInt(value, kMinId, kMaxId, o.id))
                return true;
            std::fprintf(stderr, "relay-device: --id needs a device id 2-255 (for 0 or 1 use --from)\n");
            return false;
        case kFromOption:
            if (value) {
                o.from = value;
                return true;
            }
            std::fprintf(stderr, "relay-device: --from needs an IPv4 address\n");
            return false;
        case kReplyOption:
            if (value && ParseHex(value, o.reply, err) && !o.reply.empty()) {
                o.echo = false;
                return true;
            }
            std::fprintf(stderr, "relay-device: --reply needs hex bytes%s%s\n", err.empty() ? "" : ": ",
                         err.c_str());
            return false;
        default: // kCountOption
            if (value && ParseInt(value, 1, kMaxCount, o.count))
                return true;
            std::fprintf(stderr, "relay-device: --count needs a number >= 1\n");
            return false;
        }
    };
    std::vector<std::string> rest;
    const int status = ParseCommandLine("relay-device", argc, argv, kAllCommonOptions, own, take, Usage, o, rest);
    if (status >= 0)
        return status;
    if (!rest.empty()) {
        std::fprintf(stderr, "relay-device: unknown argument %s (see --help)\n", rest[0].c_str());
        return kUsage;
    }
    if (o.silent && !o.echo) {
        std::fprintf(stderr, "relay-device: --silent and --reply exclude each other\n");
        return kUsage;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    const int status = ParseArgs(argc, argv, o);
    if (status >= 0)
        return status;
    // Lines reach a log file or pipe as they are printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string err;
    sockaddr_in to;
    std::memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(o.port));
    if (!ResolveIPv4(o.host, to.sin_addr, err)) {
        std::fprintf(stderr, "relay-device: %s\n", err.c_str());
        return kNoConnection;
    }
    sockaddr_in from;
    std::memset(&from, 0, sizeof(from));
    from.sin_family = AF_INET;
    if (o.from.empty()) {
        from.sin_addr.s_addr = htonl(0x7f000000u | static_cast<uint32_t>(o.id));
    } else if (inet_pton(AF_INET, o.from.c_str(), &from.sin_addr) != 1) {
        std::fprintf(stderr, "relay-device: --from needs an IPv4 address, not \"%s\"\n", o.from.c_str());
        return kUsage;
    } else if (from.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
        std::fprintf(stderr, "relay-device: 127.0.0.1 is relaySvr's requester address, not a device\n");
        return kUsage;
    }
    const int id = reinterpret_cast<const unsigned char*>(&from.sin_addr.s_addr)[3];

    // SIGINT and SIGTERM end the wait below (no SA_RESTART), then the loop.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int fd = ConnectTcp(&from, to, NowMs() + kConnectTimeoutMs, err);
    if (fd < 0) {
        std::fprintf(stderr, "relay-device: %s (is relaySvr running on that port?)\n", err.c_str());
        return kNoConnection;
    }
    sockaddr_in local;
    socklen_t len = sizeof(local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    if (!o.quiet)
        std::printf("connected to %s from %s as device %d\n", AddrText(to).c_str(), AddrText(local).c_str(), id);

    int result = kDone;
    long chunks = 0;
    unsigned char buf[kChunkSize];
    while (!g_stop && (o.count == 0 || chunks < o.count)) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "relay-device: poll: %s\n", std::strerror(errno));
            result = kLost;
            break;
        }
        const ssize_t got = recv(fd, buf, sizeof(buf), 0);
        if (got == 0) {
            if (!o.quiet)
                std::printf("relaySvr closed the connection\n");
            break;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            std::fprintf(stderr, "relay-device: connection lost: %s\n", std::strerror(errno));
            result = kLost;
            break;
        }
        ++chunks;
        if (!o.quiet)
            std::printf("got %zd bytes: %s\n", got, FormatHex(buf, static_cast<size_t>(got)).c_str());
        if (o.silent)
            continue;
        const unsigned char* out = o.echo ? buf : o.reply.data();
        const size_t n = o.echo ? static_cast<size_t>(got) : o.reply.size();
        if (!SendAll(fd, out, n, NowMs() + kSendTimeoutMs, err)) {
            std::fprintf(stderr, "relay-device: %s\n", err.c_str());
            result = kLost;
            break;
        }
        if (!o.quiet)
            std::printf("sent %zu bytes: %s\n", n, FormatHex(out, n).c_str());
    }
    close(fd);
    return result;
}
