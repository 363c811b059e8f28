// Helpers shared by the operator tools: the command line, hex text, numbers,
// IPv4 addresses and sockets with a deadline. Header-only, so that each tool
// stays one program built from one source file; relay-request and
// relay-device need nothing beyond libc.
#ifndef RELAY_TOOL_H
#define RELAY_TOOL_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <getopt.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "RelayDefaults.h"

namespace relaytool {

inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses hex text into bytes. Groups are separated by blanks, tabs, ':', ','
// or '-'; a group may start with "0x"; within a group every two digits make
// one byte, and a group of one digit is one byte ("01 17 ff", "0117ff",
// "01:17:ff", "0x1,0x17"). On bad text returns false and says why in err.
inline bool ParseHex(const std::string& text, std::vector<unsigned char>& out, std::string& err)
{
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (std::strchr(" \t:,-", text[i]) != nullptr) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && std::strchr(" \t:,-", text[end]) == nullptr)
            ++end;
        std::string group = text.substr(i, end - i);
        if (group.size() > 2 && group[0] == '0' && (group[1] == 'x' || group[1] == 'X'))
            group.erase(0, 2);
        for (char c : group) {
            if (HexDigit(c) < 0) {
                err = "not a hex digit: '" + std::string(1, c) + "' in \"" + text + "\"";
                return false;
            }
        }
        if (group.size() == 1) {
            out.push_back(static_cast<unsigned char>(HexDigit(group[0])));
        } else if (group.size() % 2 != 0) {
            err = "odd number of hex digits in \"" + text.substr(i, end - i) + "\"";
            return false;
        } else {
            for (size_t k = 0; k < group.size(); k += 2)
                out.push_back(static_cast<unsigned char>(HexDigit(group[k]) * 16 + HexDigit(group[k + 1])));
        }
        i = end;
    }
    return true;
}

// "01 17 70 69  |..pi|": the bytes in hex, then (withText) as text with '.'
// for bytes that do not print.
inline std::string FormatHex(const unsigned char* data, size_t n, bool withText = true)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0)
            hex += ' ';
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 15];
        text += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    }
    return (n == 0 || !withText) ? hex : hex + "  |" + text + "|";
}

// A whole decimal number (or 0x-prefixed hex) within [lo, hi].
inline bool ParseInt(const std::string& text, long lo, long hi, long& out)
{
    if (text.empty())
        return false;
    const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, isHex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

// The longest --timeout a tool takes: a day.
constexpr double kMaxTimeoutSec = 86400;

// A --timeout value: seconds > 0 and at most kMaxTimeoutSec, fractions
// allowed. False, leaving out unchanged, for nullptr or anything else.
inline bool ParseTimeout(const char* text, double& out)
{
    if (!text)
        return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0 && v <= kMaxTimeoutSec))
        return false;
    out = v;
    return true;
}

// Looks up an IPv4 address or host name.
inline bool ResolveIPv4(const std::string& host, in_addr& out, std::string& err)
{
    if (inet_pton(AF_INET, host.c_str(), &out) == 1)
        return true;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        err = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

inline std::string AddrText(const sockaddr_in& a)
{
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

inline long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for the events or the deadline (NowMs clock) has
// passed. Returns 1 when ready, 0 on the deadline, -1 on an error or when a
// signal came in (errno EINTR).
inline int WaitFor(int fd, short events, long long deadlineMs)
{
    const long long left = deadlineMs - NowMs();
    if (left <= 0)
        return 0;
    pollfd p = {fd, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(left));
    return rc < 0 ? -1 : (rc == 0 ? 0 : 1);
}

// Connects to `to`, first binding the local end to `from` when it is given
// (port 0: any). The socket is left non-blocking. Returns the descriptor, or
// -1 with the reason in err.
inline int ConnectTcp(const sockaddr_in* from, const sockaddr_in& to, long long deadlineMs, std::string& err)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (from && bind(fd, reinterpret_cast<const sockaddr*>(from), sizeof(*from)) != 0) {
        err = "cannot bind to " + AddrText(*from) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) {
        if (errno != EINPROGRESS) {
            err = "cannot connect to " + AddrText(to) + ": " + std::strerror(errno);
            close(fd);
            return -1;
        }
        const int ready = WaitFor(fd, POLLOUT, deadlineMs);
        int soErr = 0;
        socklen_t len = sizeof(soErr);
        if (ready == 1)
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
        if (ready != 1 || soErr != 0) {
            err = "cannot connect to " + AddrText(to) + ": " +
                  (ready == 0 ? std::string("timed out") : std::strerror(ready < 0 ? errno : soErr));
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Sends all n bytes in one go where the socket allows (relaySvr treats each
// read as a chunk, so one send keeps a message in one chunk). Returns false
// with the reason in err.
inline bool SendAll(int fd, const unsigned char* data, size_t n, long long deadlineMs, std::string& err)
{
    while (n > 0) {
        const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            err = std::string("send: ") + std::strerror(errno);
            return false;
        }
        if (WaitFor(fd, POLLOUT, deadlineMs) == 0) {
            err = "send: timed out";
            return false;
        }
    }
    return true;
}

// The exit status of every tool for bad arguments.
constexpr int kBadArguments = 2;

// The common options, as bits: a tool names those it takes.
enum CommonOption : unsigned { kHostOption = 1u, kPortOption = 2u, kQuietOption = 4u };
constexpr unsigned kAllCommonOptions = kHostOption | kPortOption | kQuietOption;

// The codes getopt_long gives the long-only common options. A tool's own
// long-only options take codes from kFirstOwnOption on; a letter code also
// makes the option's one-letter form (-x).
enum : int { kHostCode = 0x100, kPortCode, kFirstOwnOption = 0x110 };

// The common options: --host, --port and --quiet (-q).
struct CommonOptions {
    std::string host = "127.0.0.1";
    long port = relay::kDefaultPort;
    bool quiet = false;
    bool hostGiven = false;
    bool portGiven = false;
};

// Called for each of a tool's own options (whose codes must not be 'h' or
// 'q') with its code and value: value is nullptr for an option without one,
// and also when a value is missing. Says on stderr what is wrong and returns
// false when the option cannot be taken.
using TakeOption = std::function<bool(int code, const char* value)>;

// Reads the command line with getopt_long: the common options named in
// `common` into o, the tool's own options `own` (without the all-zero end
// entry) through take, --help and -h by printing usage to stdout, and the
// operands, in order, into operands. Options may stand before, between and
// after operands; a value follows its option as "--port=5000" or as the next
// argument; "--" ends the options. Returns -1 when the tool should go on, 0
// after --help, kBadArguments after saying on stderr what is wrong.
inline int ParseCommandLine(const char* tool, int argc, char** argv, unsigned common,
                            const std::vector<option>& own, const TakeOption& take,
                            void (*usage)(FILE*), CommonOptions& o, std::vector<std::string>& operands)
{
    std::vector<option> longs;
    if (common & kHostOption)
        longs.push_back({"host", required_argument, nullptr, kHostCode});
    if (common & kPortOption)
        longs.push_back({"port", required_argument, nullptr, kPortCode});
    if (common & kQuietOption)
        longs.push_back({"quiet", no_argument, nullptr, 'q'});
    longs.push_back({"help", no_argument, nullptr, 'h'});
    longs.insert(longs.end(), own.begin(), own.end());
    // "-": operands come back in order as code 1, so options may follow them
    // whatever POSIXLY_CORRECT says; ":": a missing value comes back as ':'
    // rather than as a message of getopt's own.
    std::string shorts = "-:";
    for (const option& opt : longs) {
        if (opt.val > 0 && opt.val < 0x80) {
            shorts += static_cast<char>(opt.val);
            if (opt.has_arg == required_argument)
                shorts += ':';
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
        const char* value = optarg;
        if (code == ':') {
            code = optopt;
            value = nullptr;
        }
        switch (code) {
        case 1:
            operands.push_back(value);
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'q':
            o.quiet = true;
            break;
        case kHostCode:
            if (!value) {
                std::fprintf(stderr, "%s: --host needs a value\n", tool);
                return kBadArguments;
            }
            o.host = value;
            o.hostGiven = true;
            break;
        case kPortCode:
            if (!value || !ParseInt(value, 1, 65535, o.port)) {
                std::fprintf(stderr, "%s: --port needs a port number 1-65535\n", tool);
                return kBadArguments;
            }
            o.portGiven = true;
            break;
        case '?': {
            // optopt is 0 for an unknown long option, the option's code for
            // one given a value it does not take, else the unknown letter.
            bool known = false;
            for (const option& opt : longs)
                known = known || (optopt != 0 && opt.val == optopt);
            if (optopt == 0)
                std::fprintf(stderr, "%s: unknown option %s (see --help)\n", tool, argv[optind - 1]);
            else if (known)
                std::fprintf(stderr, "%s: %s takes no value (see --help)\n", tool, argv[optind - 1]);
            else
                std::fprintf(stderr, "%s: unknown option -%c (see --help)\n", tool, optopt);
            return kBadArguments;
        }
        default:
            if (!take(code, value))
                return kBadArguments;
        }
    }
    for (int i = optind; i < argc; ++i)
        operands.push_back(argv[i]);
    return -1;
}

} // namespace relaytool

#endif
