#include "input/mcast.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "tests/support/netns.h"

// Every join happens inside a namespace of the test's own: nothing reaches the host's network.
class Mcast : public testing::Test {
protected:
    void SetUp() override { NETNS_REQUIRE(); }
};

// /proc/net/igmp lists each group as its network-order word printed in hex.
static bool igmp_member(const char *group)
{
    char word[16];
    snprintf(word, sizeof word, "%08X", inet_addr(group));
    std::ifstream igmp("/proc/net/igmp");
    std::stringstream text;
    text << igmp.rdbuf();
    return text.str().find(word) != std::string::npos;
}

static void send_datagram(const char *to, uint16_t port, const std::string &payload)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(to);
    addr.sin_port = htons(port);
    EXPECT_EQ(sendto(s, payload.data(), payload.size(), 0, (struct sockaddr *)&addr, sizeof addr),
              (ssize_t)payload.size())
        << strerror(errno);
    closesocket(s);
}

// What the socket receives within a second, or "" when nothing comes.
static std::string receive(SOCKET s)
{
    struct pollfd pfd = {s, POLLIN, 0};
    if (poll(&pfd, 1, 1000) != 1)
        return "";
    char buf[3760];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}

static uint16_t bound_port(SOCKET s)
{
    struct sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    EXPECT_EQ(getsockname(s, (struct sockaddr *)&addr, &len), 0);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
    return ntohs(addr.sin_port);
}

static bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

TEST_F(Mcast, JoinReceivesTheGroupAndLeaveDropsItAndCloses)
{
    ChildRun run = netns_run([] {
        SOCKET s = mcast_join("239.1.2.3", 5000);
        EXPECT_EQ(bound_port(s), 5000);
        int reuse = 0;
        socklen_t len = sizeof reuse;
        ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, &len), 0);
        EXPECT_NE(reuse, 0);
        EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0) << "decode_thread expects a blocking socket";
        EXPECT_TRUE(igmp_member("239.1.2.3"));

        send_datagram("239.1.2.3", 5000, "group datagram");
        EXPECT_EQ(receive(s), "group datagram");
        // The wildcard bind takes unicast to the port as well.
        send_datagram("127.0.0.1", 5000, "unicast datagram");
        EXPECT_EQ(receive(s), "unicast datagram");

        mcast_leave(s, "239.1.2.3");
        EXPECT_FALSE(fd_open(s));
        EXPECT_FALSE(igmp_member("239.1.2.3"));

        // The next playback joins the same group afresh.
        SOCKET again = mcast_join("239.1.2.3", 5000);
        send_datagram("239.1.2.3", 5000, "second playback");
        EXPECT_EQ(receive(again), "second playback");
        mcast_leave(again, "239.1.2.3");
        EXPECT_FALSE(igmp_member("239.1.2.3"));
    });
    EXPECT_TRUE(child_ok(run));
}

TEST_F(Mcast, PortIsTakenModulo65536)
{
    static const struct {
        int32_t port;
        uint16_t bound;
    } cases[] = {{70000, 4464}, {-1, 65535}};
    for (const auto &c : cases) {
        ChildRun run = netns_run([&] {
            SOCKET s = mcast_join("239.10.20.30", c.port);
            EXPECT_EQ(bound_port(s), c.bound);
            send_datagram("239.10.20.30", c.bound, "on the wrapped port");
            EXPECT_EQ(receive(s), "on the wrapped port");
            mcast_leave(s, "239.10.20.30");
        });
        EXPECT_TRUE(child_ok(run)) << "port " << c.port;
    }
}

static int lowest_free_fd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

// A page names the group and the machine may be offline: each failure prints its perror
// line, closes what it opened and hands back INVALID_SOCKET, and the process goes on.
TEST_F(Mcast, FailuresPrintTheErrorCloseTheSocketAndReturn)
{
    struct Case {
        const char *what;
        std::function<void()> before;  // in the child, before the join
        const char *group;
        const char *message;
        int err;
    };
    const Case cases[] = {
        {"group text that is not an address", [] {}, "not.an.address", "adding multicast group", EINVAL},
        {"no route for multicast (an offline machine)",
         [] {
             std::string why;
             ASSERT_TRUE(netns_drop_multicast_route(&why)) << why;
         },
         "239.9.9.9", "adding multicast group", ENODEV},
        {"port held by a socket without SO_REUSEADDR",
         [] {
             SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
             struct sockaddr_in addr = {};
             addr.sin_family = AF_INET;
             addr.sin_port = htons(5000);
             ASSERT_EQ(bind(holder, (struct sockaddr *)&addr, sizeof addr), 0);
         },
         "239.1.2.3", "binding datagram socket", EADDRINUSE},
        {"no descriptor left for the socket",
         [] {
             struct rlimit none;
             getrlimit(RLIMIT_NOFILE, &none);
             none.rlim_cur = (rlim_t)lowest_free_fd();
             ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
         },
         "239.1.2.3", "opening datagram socket", EMFILE},
    };
    for (const Case &c : cases) {
        ChildRun run = netns_run([&] {
            c.before();
            int free_fd = lowest_free_fd();
            EXPECT_EQ(mcast_join(c.group, 5000), INVALID_SOCKET);
            EXPECT_EQ(lowest_free_fd(), free_fd) << "the socket is closed";
            EXPECT_FALSE(igmp_member(c.group));
        });
        EXPECT_TRUE(child_ok(run)) << c.what;
        EXPECT_EQ(run.err, std::string(c.message) + ": " + strerror(c.err) + "\n") << c.what;
    }
}

TEST_F(Mcast, FailedLeavePrintsTheErrorAndClosesTheSocket)
{
    ChildRun run = netns_run([] {
        SOCKET s = mcast_join("239.1.2.3", 5000);
        ASSERT_NE(s, INVALID_SOCKET);
        mcast_leave(s, "239.1.2.4");
        EXPECT_FALSE(fd_open(s));
        EXPECT_FALSE(igmp_member("239.1.2.3")) << "closing the socket left the group it had joined";
        // The next playback joins as ever.
        SOCKET again = mcast_join("239.1.2.3", 5000);
        send_datagram("239.1.2.3", 5000, "next playback");
        EXPECT_EQ(receive(again), "next playback");
        mcast_leave(again, "239.1.2.3");
    });
    EXPECT_TRUE(child_ok(run));
    EXPECT_EQ(run.err, std::string("dropping multicast group: ") + strerror(EADDRNOTAVAIL) + "\n");
}
