// EventTest.cpp - manual-reset events, waits on several events and a socket,
// and the socket owner.
#include "platform/Event.h"
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

} // namespace

TEST(EventTest, StaysSetUntilReset)
{
    CEvent event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Set();  // a second Set() must not need a second Reset()
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(-1));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.IsSet());

    CEvent initiallySet(CEvent::INITIAL_SET);
    EXPECT_TRUE(initiallySet.Wait(0));
}

TEST(EventTest, WaitHonoursItsLimitAndWakesOnSetFromAnotherThread)
{
    CEvent event;
    auto t0 = Clock::now();
    EXPECT_FALSE(event.Wait(60));
    EXPECT_GE(MsSince(t0), 55);

    std::thread setter([&event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.Set();
    });
    t0 = Clock::now();
    EXPECT_TRUE(event.Wait(5000));
    EXPECT_LT(MsSince(t0), 4000);
    setter.join();
}

TEST(EventTest, WaitForAnyReportsTheFirstSetEventInListOrder)
{
    CEvent a, b, c;
    EXPECT_EQ(WaitForAny({ &a, &b, &c }, 0), WAIT_TIMEOUT);
    c.Set();
    EXPECT_EQ(WaitForAny({ &a, &b, &c }, 0), 2);
    b.Set();
    EXPECT_EQ(WaitForAny({ &a, &b, &c }, 0), 1);
    EXPECT_EQ(WaitForAny({ &a, nullptr, &c }, 0), 2);  // null entries keep their index
    b.Reset();
    c.Reset();
    EXPECT_EQ(WaitForAny({ &a, &b, &c }, 30), WAIT_TIMEOUT);
}

TEST(EventTest, WaitForAnySeesSocketReadinessAndEventsTogether)
{
    int aPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, aPair), 0);
    CSocket left(aPair[0]), right(aPair[1]);
    CEvent quit;
    short nReady = 0;
    EXPECT_EQ(WaitForAny({ &quit }, 0, left.Get(), POLLIN, &nReady), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForAny({ &quit }, 0, left.Get(), POLLOUT, &nReady), WAIT_SOCKET);
    EXPECT_TRUE(nReady & POLLOUT);

    ASSERT_EQ(right.Send("x", 1), 1);
    EXPECT_EQ(WaitForAny({ &quit }, 1000, left.Get(), POLLIN, &nReady), WAIT_SOCKET);
    EXPECT_TRUE(nReady & POLLIN);
    // An event listed before the socket wins over a readable socket, so that a
    // quit request is never starved by a server that keeps sending.
    quit.Set();
    EXPECT_EQ(WaitForAny({ &quit }, 1000, left.Get(), POLLIN, &nReady), 0);

    right.Close();
    quit.Reset();
    char c;
    ASSERT_EQ(left.Receive(&c, 1), 1);
    EXPECT_EQ(WaitForAny({ &quit }, 1000, left.Get(), POLLIN, &nReady), WAIT_SOCKET);
    EXPECT_EQ(left.Receive(&c, 1), 0);  // the peer's close reads as end of data
}

TEST(SocketTest, ConnectToAClosedLoopbackPortIsRefused)
{
    // Bind a port, close it again: nothing listens there afterwards.
    CSocket probe;
    ASSERT_TRUE(probe.CreateTcp());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t nLen = sizeof addr;
    ASSERT_EQ(getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&addr), &nLen), 0);
    probe.Close();
    EXPECT_FALSE(probe.IsValid());

    CSocket client;
    ASSERT_TRUE(client.CreateTcp());
    if (client.StartConnect(addr.sin_addr.s_addr, addr.sin_port)) {
        short nReady = 0;
        ASSERT_EQ(WaitForAny({}, 5000, client.Get(), POLLOUT, &nReady), WAIT_SOCKET);
        EXPECT_NE(client.GetPendingError(), 0);
    }
    CSocket moved(std::move(client));
    EXPECT_FALSE(client.IsValid());
    EXPECT_TRUE(moved.IsValid());
}
