// Small text helpers that the log, the settings, the status server and the
// relay share. Pure functions of their arguments; no state, no libevent.
#ifndef RELAYTEXT_H
#define RELAYTEXT_H

#include <cstdarg>
#include <cstdint>
#include <string>

namespace relay {

// The IPv4 address, given in network byte order, in dotted-decimal form.
std::string dotted(uint32_t addrNet);

// printf into a string of whatever length the text needs: nothing is cut.
// An invalid format (vsnprintf fails) gives the empty string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
// The same, appended to out. On an invalid format out stays as it was.
void vappend(std::string& out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// True for a non-empty run of at most 9 decimal digits (no sign, no blank)
// whose value is lo..hi; the value goes to out. Anything else leaves out as
// it was.
bool plainNumber(const std::string& text, long lo, long hi, long& out);

} // namespace relay

#endif
