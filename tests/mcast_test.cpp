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

// Set in the child before the failing call; the exit handler reports on them.
static int watched_fd = -1;
static struct rlimit saved_nofile;

static void report_at_exit()
{
    // The sanitizers' own exit handlers run after this one and need descriptors.
    setrlimit(RLIMIT_NOFILE, &saved_nofile);
    const char *line = fd_open(watched_fd) ? "exit handler: socket open\n" : "exit handler: socket closed\n";
    ssize_t n = write(STDERR_FILENO, line, strlen(line));
    (void)n;
}

static int lowest_free_fd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

TEST_F(Mcast, FailuresPrintTheErrorAndExitThroughTheExitHandlers)
{
    struct Case {
        const char *what;
        std::function<void()> fail;  // ends the process inside mcast_join or mcast_leave
        const char *message;
        int err;
        bool socket_left_open;
    };
    const Case cases[] = {
        {"group text that is not an address",
         [] {
             watched_fd = lowest_free_fd();
             mcast_join("not.an.address", 5000);
         },
         "adding multicast group", EINVAL, false},
        {"port held by a socket without SO_REUSEADDR",
         [] {
             SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
             struct sockaddr_in addr = {};
             addr.sin_family = AF_INET;
             addr.sin_port = htons(5000);
             ASSERT_EQ(bind(holder, (struct sockaddr *)&addr, sizeof addr), 0);
             watched_fd = lowest_free_fd();
             mcast_join("239.1.2.3", 5000);
         },
         "binding datagram socket", EADDRINUSE, false},
        {"no descriptor left for the socket",
         [] {
             watched_fd = lowest_free_fd();
             struct rlimit none = saved_nofile;
             none.rlim_cur = (rlim_t)watched_fd;
             ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
             mcast_join("239.1.2.3", 5000);
         },
         "opening datagram socket", EMFILE, false},
        {"leaving a group that was never joined",
         [] {
             watched_fd = mcast_join("239.1.2.3", 5000);
             mcast_leave(watched_fd, "239.1.2.4");
         },
         "dropping multicast group", EADDRNOTAVAIL, true},
    };
    for (const Case &c : cases) {
        ChildRun run = netns_run([&] {
            getrlimit(RLIMIT_NOFILE, &saved_nofile);
            atexit(report_at_exit);
            c.fail();
            ADD_FAILURE() << "returned instead of ending the process";
        });
        EXPECT_TRUE(run.entered && run.exit_code == 1) << c.what << "\n" << child_describe(run);
        EXPECT_EQ(run.err, std::string(c.message) + ": " + strerror(c.err) + "\n" +
                               (c.socket_left_open ? "exit handler: socket open\n"
                                                   : "exit handler: socket closed\n"))
            << c.what;
    }
}
