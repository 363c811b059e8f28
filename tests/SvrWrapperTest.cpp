// Unit tests of the server object itself: the table look-ups and the
// lifecycle, driven in-process without a client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "SvrWrapperTarn.h"

namespace {

int Address(const char* dotted)
{
    in_addr a;
    inet_pton(AF_INET, dotted, &a);
    return static_cast<int>(a.s_addr);
}

TEST(SvrTables, LookupsFollowTheTablesLowestDescriptorFirst)
{
    CSvrWrapperTarn svr;
    svr.m_mapDest[9] = Address("10.0.0.5");
    svr.m_mapDest[7] = Address("10.0.1.5");
    svr.m_mapDest[8] = Address("10.0.1.6");
    svr.m_mapReq[12] = 7;
    svr.m_mapReq[10] = 7;
    svr.m_mapReq[11] = 0;

    EXPECT_EQ(svr.DestFind(5), 7);
    EXPECT_EQ(svr.DestFind(6), 8);
    EXPECT_EQ(svr.DestFind(4), 0);
    EXPECT_EQ(svr.ReqFind(7), 10);
    EXPECT_EQ(svr.ReqFind(8), 0);
    EXPECT_TRUE(svr.IsDest(9));
    EXPECT_FALSE(svr.IsDest(10));

    svr.m_mapBuff[7] = nullptr;
    testing::internal::CaptureStdout();
    svr.BuffRemove(7);
    svr.BuffRemove(7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " 7 remove\n");

    svr.Free();
    EXPECT_TRUE(svr.m_mapReq.empty() && svr.m_mapDest.empty() && svr.m_mapBuff.empty());
    EXPECT_EQ(svr.DestFind(5), 0);
}

int ListeningPort(evconnlistener* listener)
{
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    getsockname(evconnlistener_get_fd(listener), reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

TEST(SvrLifecycle, StartUsesTheLow16BitsAndReleasesInOrder)
{
    event_base* published = nullptr;
    CSvrWrapperTarn svr;
    svr.m_nPort = -65536; // low 16 bits 0: the system picks a free port
    testing::internal::CaptureStdout();
    svr.SvrInit(&published);
    svr.SvrStart();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SvrStart ok!\n");
    ASSERT_TRUE(svr.SvrIsOk());
    EXPECT_EQ(published, svr.m_pBase);
    EXPECT_GT(ListeningPort(svr.m_pListener), 0);

    svr.SvrClose();
    EXPECT_FALSE(svr.SvrIsOk());
    svr.SvrFree();
    EXPECT_FALSE(svr.m_bBaseOk);
    EXPECT_EQ(published, nullptr); // a late SIGINT finds no freed base
}

TEST(SvrLifecycle, FailedStartFreesTheBaseSilently)
{
    // Without a base: nothing happens.
    CSvrWrapperTarn idle;
    testing::internal::CaptureStdout();
    idle.SvrStart();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(idle.SvrIsOk() || idle.m_bBaseOk);

    // Port taken by another listening socket.
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t len = sizeof(sin);
    getsockname(taken, reinterpret_cast<sockaddr*>(&sin), &len);

    event_base* published = nullptr;
    CSvrWrapperTarn svr;
    svr.m_nPort = ntohs(sin.sin_port);
    testing::internal::CaptureStdout();
    svr.SvrInit(&published);
    ASSERT_NE(published, nullptr);
    svr.SvrStart();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(svr.SvrIsOk());
    EXPECT_EQ(published, nullptr);
    close(taken);
}

TEST(SvrConfig, InitReadsThePortFromTheWorkingDirectory)
{
    char dir[] = "/tmp/svrwrapper-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char* old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir), 0);

    struct Case { const char* text; int port; } cases[] = {
        {"[SvrTarn]\nPort = 6000 ;main port\n", 6000},
        {"[SvrTarn]\nport=6000\n[Other]\nPort=7000\n", 5000},
        {"[SvrTarn]\nPort=1\nPort=99999999999\n", 2147483647},
        {"[SvrTarn]\nPort=\n", 5000},
        {nullptr, 5000}, // no file
    };
    for (const Case& c : cases) {
        std::remove("relaySvr.ini");
        if (c.text)
            std::ofstream("relaySvr.ini") << c.text;
        CSvrWrapperTarn svr;
        svr.Init();
        EXPECT_EQ(svr.m_nPort, c.port) << (c.text ? c.text : "(no file)");
    }
    std::remove("relaySvr.ini");
    EXPECT_EQ(chdir(old), 0);
    free(old);
    rmdir(dir);
}

} // namespace
