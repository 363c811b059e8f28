// relay-request: sends one request to relaySvr as a requester and prints the
// answer that the device sends back, in hex.
//
// relaySvr takes a connection from 127.0.0.1 as a requester and routes each
// chunk it sends by its byte 1 (the second byte) to the device with that id;
// the device's answer comes back, in one chunk or (with AnswerWindow set) in
// several. So this tool binds its end to 127.0.0.1, sends the request in one
// piece and gathers what comes back until the answer window has passed with
// nothing new.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "relay-tool.h"

namespace {

using namespace relaytool;
using relay::kChunkSize;
using relay::kDefaultPort;

constexpr double kDefaultTimeoutSec = 5.0;
// After the first bytes, what follows within this gap still belongs to the
// answer: the relay's AnswerWindow as packaged.
constexpr long kDefaultWindowMs = 500;
constexpr long kMaxWindowMs = 60000;
// Far beyond an answer; a bound keeps a chatty device from filling the memory.
constexpr size_t kMaxAnswerBytes = 1024 * 1024;

enum ExitStatus { kAnswered = 0, kNoAnswer = 1, kUsage = kBadArguments, kNoConnection = 3 };

void Usage(FILE* to)
{
    std::fprintf(to,
        "usage: relay-request [--host H] [--port P] [--timeout S] [--window MS] [--quiet] <id> \"<hex bytes>\"\n"
        "\n"
        "Sends one request to relaySvr and prints the answer of device <id> in hex.\n"
        "\n"
        "The hex bytes are the whole request, sent unchanged in one piece, except for\n"
        "byte 1 (the second byte), which relaySvr reads as the device id: the tool sets\n"
        "it to <id> (with a note on stderr if the text said otherwise). A request of\n"
        "fewer than two bytes is filled up with 00 before the id; \"\" sends 00 <id>.\n"
        "Hex bytes may be written \"01 17 aa\", \"0117aa\", \"01:17:aa\" or \"0x01,0x17\".\n"
        "<id> is 0-255, decimal or 0x-prefixed hex.\n"
        "\n"
        "The tool connects from 127.0.0.1, the only address that relaySvr takes as a\n"
        "requester, and waits for the answer: from its first bytes on, it gathers\n"
        "what comes until --window ms pass with nothing new (set it to relaySvr's\n"
        "AnswerWindow; without one, the relay passes only the first chunk).\n"
        "\n"
        "  --host H      relaySvr's address (default 127.0.0.1)\n"
        "  --port P      relaySvr's port (default %d, as in relaySvr.ini)\n"
        "  --timeout S   give up S seconds after start (default %g; fractions allowed)\n"
        "  --window MS   the answer is over once MS ms pass with nothing new (default %ld)\n"
        "  --quiet, -q   print only the answer's hex bytes\n"
        "  --help, -h    this text\n"
        "\n"
        "Exit status: 0 answer printed; 1 no answer within the timeout, or relaySvr\n"
        "closed the connection; 2 bad arguments; 3 cannot connect or send.\n"
        "relaySvr sends nothing back when no device has the id, or when the device\n"
        "does not answer: both end in status 1.\n",
        kDefaultPort, kDefaultTimeoutSec, kDefaultWindowMs);
}

struct Options : CommonOptions {
    double timeoutSec = kDefaultTimeoutSec;
    long windowMs = kDefaultWindowMs;
    long id = -1;
    std::string hex;
};

enum OwnOption { kTimeoutOption = kFirstOwnOption, kWindowOption };

// Returns -1 when the options are fine, else the exit status to leave with.
int ParseArgs(int argc, char** argv, Options& o)
{
    const std::vector<option> own = {{"timeout", required_argument, nullptr, kTimeoutOption},
                                     {"window", required_argument, nullptr, kWindowOption}};
    const auto take = [&o](int code, const char* value) {
        if (code == kWindowOption) {
            if (ParseInt(value, 1, kMaxWindowMs, o.windowMs))
                return true;
            std::fprintf(stderr, "relay-request: --window needs a number of milliseconds from 1 to %ld\n",
                         kMaxWindowMs);
            return false;
        }
        if (ParseTimeout(value, o.timeoutSec))
            return true;
        std::fprintf(stderr, "relay-request: --timeout needs a number of seconds > 0\n");
        return false;
    };
    std::vector<std::string> rest;
    const int status = ParseCommandLine("relay-request", argc, argv, kAllCommonOptions, own, take, Usage, o, rest);
    if (status >= 0)
        return status;
    if (rest.size() != 2) {
        std::fprintf(stderr, "relay-request: expected <id> and \"<hex bytes>\" (see --help)\n");
        return kUsage;
    }
    if (!ParseInt(rest[0], 0, 255, o.id)) {
        std::fprintf(stderr, "relay-request: the id must be 0-255, not \"%s\"\n", rest[0].c_str());
        return kUsage;
    }
    o.hex = rest[1];
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    const int status = ParseArgs(argc, argv, o);
    if (status >= 0)
        return status;

    std::vector<unsigned char> request;
    std::string err;
    if (!ParseHex(o.hex, request, err)) {
        std::fprintf(stderr, "relay-request: %s\n", err.c_str());
        return kUsage;
    }
    const auto id = static_cast<unsigned char>(o.id);
    if (request.size() < 2)
        request.resize(2, 0);
    else if (request[1] != id)
        std::fprintf(stderr, "relay-request: note: byte 1 was %02x, sending %02x (device %d)\n",
                     request[1], id, static_cast<int>(id));
    request[1] = id;

    sockaddr_in to;
    std::memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(o.port));
    if (!ResolveIPv4(o.host, to.sin_addr, err)) {
        std::fprintf(stderr, "relay-request: %s\n", err.c_str());
        return kNoConnection;
    }
    // A server on this host sees us as a requester only from 127.0.0.1.
    sockaddr_in from;
    std::memset(&from, 0, sizeof(from));
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool loopback = (ntohl(to.sin_addr.s_addr) >> 24) == 127;

    const long long deadline = NowMs() + static_cast<long long>(o.timeoutSec * 1000);
    const int fd = ConnectTcp(loopback ? &from : nullptr, to, deadline, err);
    if (fd < 0) {
        std::fprintf(stderr, "relay-request: %s (is relaySvr running on that port?)\n", err.c_str());
        return kNoConnection;
    }
    sockaddr_in local;
    socklen_t len = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
        local.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        std::fprintf(stderr, "relay-request: note: connected from %s; relaySvr takes only 127.0.0.1 as a "
                     "requester and will treat this connection as a device\n", AddrText(local).c_str());

    if (!o.quiet)
        std::printf("request to device %d (%zu bytes): %s\n", static_cast<int>(id), request.size(),
                    FormatHex(request.data(), request.size()).c_str());
    std::fflush(stdout);
    if (!SendAll(fd, request.data(), request.size(), deadline, err)) {
        std::fprintf(stderr, "relay-request: %s\n", err.c_str());
        close(fd);
        return kNoConnection;
    }

    std::vector<unsigned char> answer;
    bool closed = false;
    long long until = deadline;
    while (answer.size() < kMaxAnswerBytes) {
        const int ready = WaitFor(fd, POLLIN, until);
        if (ready == 0)
            break;
        if (ready < 0 && errno != EINTR)
            break;
        unsigned char buf[kChunkSize];
        const ssize_t got = recv(fd, buf, std::min(sizeof(buf), kMaxAnswerBytes - answer.size()), 0);
        if (got == 0) {
            closed = true;
            break;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            closed = true;
            break;
        }
        answer.insert(answer.end(), buf, buf + got);
        until = std::min(deadline, NowMs() + o.windowMs);
    }
    close(fd);

    if (answer.empty()) {
        if (closed)
            std::fprintf(stderr, "relay-request: relaySvr closed the connection without an answer\n");
        else
            std::fprintf(stderr, "relay-request: no answer within %g s: no device with id %d is connected, "
                         "or it did not reply\n", o.timeoutSec, static_cast<int>(id));
        return kNoAnswer;
    }
    if (o.quiet)
        std::printf("%s\n", FormatHex(answer.data(), answer.size(), false).c_str());
    else
        std::printf("answer from device %d (%zu bytes): %s\n", static_cast<int>(id), answer.size(),
                    FormatHex(answer.data(), answer.size()).c_str());
    return kAnswered;
}
