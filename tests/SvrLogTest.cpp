// Unit tests of the log writer and the text helpers it stands on.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "RelayText.h"
#include "SvrLog.h"

namespace {

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------

// The per-chunk lines are composed without printf: each must read exactly as
// its format would. A line longer than the formatting buffer comes whole.
TEST(SvrLog, LinesReadAsTheirFormats)
{
    char path[] = "/tmp/svrlog-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    CSvrLog::Redirect(fd);
    std::string expected;
    char buf[256];
    for (int v : {0, 7, 10, 99, 4096, 2147483647, -1, -2147483647 - 1}) {
        const auto b0 = static_cast<unsigned char>(v), b1 = static_cast<unsigned char>(v >> 8);
        CSvrLog::PrintRead(v, v / 3);
        CSvrLog::PrintRequest(b0, b1);
        CSvrLog::PrintDo(b0);
        std::snprintf(buf, sizeof(buf), " %d  OnRead: %d\n is request: %02x %02x\n do... [%d]\n", v, v / 3, b0, b1, b0);
        expected += buf;
    }
    const std::string longText(2000, 'x');
    CSvrLog::Print(CSvrLog::kErrors, "long: %s %d\n", longText.c_str(), 42);
    expected += "long: " + longText + " 42\n";
    // Formatted text is never cut, however long.
    EXPECT_EQ(relay::format("%s|%d", longText.c_str(), 7), longText + "|7");
    CSvrLog::Redirect(-1);
    std::string got(expected.size() + 16, '\0');
    got.resize(static_cast<size_t>(pread(fd, &got[0], got.size(), 0)));
    close(fd);
    EXPECT_EQ(got, expected);
}

} // namespace
