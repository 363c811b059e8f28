#include "RelayText.h"

#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace relay {

std::string dotted(uint32_t addrNet)
{
    char ip[INET_ADDRSTRLEN] = "";
    in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, ip, sizeof(ip));
    return ip;
}

void vappend(std::string& out, const char* fmt, va_list ap)
{
    // Most texts are short: one pass through a stack buffer, a second one
    // only for a longer text, written in place at its exact length.
    char small[256];
    va_list copy;
    va_copy(copy, ap);
    const int len = std::vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (len < 0)
        return;
    if (static_cast<size_t>(len) < sizeof(small)) {
        out.append(small, static_cast<size_t>(len));
        return;
    }
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(len) + 1);
    va_copy(copy, ap);
    std::vsnprintf(&out[old], static_cast<size_t>(len) + 1, fmt, copy);
    va_end(copy);
    out.resize(old + static_cast<size_t>(len));
}

std::string vformat(const char* fmt, va_list ap)
{
    std::string text;
    vappend(text, fmt, ap);
    return text;
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    return text;
}

bool plainNumber(const std::string& text, long lo, long hi, long& out)
{
    // Nine digits stay below LONG_MAX on every platform: strtol cannot overflow.
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < lo || value > hi)
        return false;
    out = value;
    return true;
}

} // namespace relay
