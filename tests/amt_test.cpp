#include "input/amt.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "input/hex_dump.h"
#include "input/inet_checksum.h"
#include "shell/config.h"
#include "tests/support/capture.h"
#include "tests/support/deadline.h"
#include "tests/support/test_relay.h"

// --- Internet checksum and QQIC, pure functions ---

TEST(AmtInetChecksum, KnownBlocks)
{
    struct Case {
        const char *what;
        Bytes block;
        uint16_t expected;
    } cases[] = {
        {"RFC 1071 example", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},
        {"IPv4 header",
         {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
          0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7},
         0xB861},
        {"same header, checksum in place",
         {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
          0xB8, 0x61, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7},
         0x0000},
        {"odd length pads with zero", {0x01, 0x02, 0x03}, 0xFBFD},
        {"carry folds back in", {0xFF, 0xFF, 0x00, 0x01}, 0xFFFE},
    };
    for (const Case &c : cases)
        EXPECT_EQ(inet_checksum(c.block.data(), (int32_t)c.block.size()), c.expected) << c.what;
}

TEST(AmtIgmpQqic, LiteralBelow128ThenExponentAndMantissa)
{
    struct Case {
        uint8_t code;
        int32_t seconds;
    } cases[] = {{0, 0}, {1, 1}, {125, 125}, {127, 127}, {128, 128},
                 {0x8F, 248}, {0x90, 256}, {0xFF, 31744}};
    for (const Case &c : cases)
        EXPECT_EQ(igmp_qqic_seconds(c.code), c.seconds) << "QQIC " << (int)c.code;
}

// --- The gateway against a relay on loopback ---

static const char group[] = "239.1.2.3";
static const int32_t group_port = 5000;
static const uint8_t mac_b[6] = {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6};

struct Delivery {
    const uint8_t *data;
    Bytes bytes;
};

struct Sink {
    std::vector<Delivery> got;
};

static void collect(const uint8_t *data, int32_t len, void *user)
{
    static_cast<Sink *>(user)->got.push_back({data, Bytes(data, data + len)});
}

// hex_dump's text, for building expected output (not while a capture runs).
static std::string dump(const Bytes &b)
{
    capture_stdout_begin();
    hex_dump(b.data(), (int32_t)b.size());
    return capture_stdout_end();
}

static Bytes with_nonce(Bytes head, uint32_t nonce)
{
    uint8_t n[4];
    memcpy(n, &nonce, 4);  // the gateway sends the nonce's bytes as they lie in memory
    head.insert(head.end(), n, n + 4);
    return head;
}

static Bytes discovery(uint32_t nonce) { return with_nonce({0x01, 0, 0, 0}, nonce); }
static Bytes request(uint32_t nonce) { return with_nonce({0x03, 0, 0, 0}, nonce); }

// The Update for group 239.1.2.3 through the relay 127.0.0.2, checksums written out.
static Bytes update(const uint8_t mac[6], uint32_t nonce, uint8_t igmp_type)
{
    Bytes b = with_nonce({0x05, 0, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}, nonce);
    const uint8_t igmp_sum_hi = igmp_type == 0x16 ? 0xF8 : 0xF7;
    Bytes rest = {0x45, 0x00, 0x00, 28, 0, 0, 0, 0, 1, 2, 0x3A, 0xDF, 0, 0, 0, 0, 127, 0, 0, 2,
                  igmp_type, 0, igmp_sum_hi, 0xFA, 239, 1, 2, 3};
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

// Independent of inet_checksum: a block holding its checksum sums to 0xFFFF.
static bool checksum_verifies(const uint8_t *p, int n)
{
    uint32_t sum = 0;
    for (int i = 0; i < n; i += 2)
        sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

// What decode_thread does: wait for the tunnel socket, then let the gateway read.
static bool gateway_reads(int timeout_ms = 2000)
{
    SOCKET s = amt_active_socket();
    if (s == INVALID_SOCKET)
        return false;
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return false;
    amt_receive();
    return true;
}

class Amt : public testing::Test {
protected:
    TestRelay relay;
    Sink sink;
    sockaddr_in gateway{};  // the tunnel's endpoint as the relay sees it
    uint32_t nonce = 0;
    uint8_t mac[6] = {};    // of the last Query sent

    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(relay.open(&why)) << why;
        config_defaults();
        strcpy(PlayerConfig.amt_relay_addr, TestRelay::discovery_addr);
        PlayerConfig.amt_port = relay.port();
    }
    void TearDown() override { amt_teardown_active(); }

    AmtGateway *gw() { return active_amt.load(); }

    // Opens the tunnel and takes its Discovery at the configured relay.
    void open_tunnel(AmtDataCallback callback = collect)
    {
        ASSERT_NE(amt_open(group, group_port, callback, &sink), nullptr);
        nonce = gw()->nonce;
        ASSERT_NE(nonce, 0u);
        Bytes msg;
        ASSERT_TRUE(relay.receive(TestRelay::discovery, 2000, &msg, &gateway));
        ASSERT_EQ(msg, discovery(nonce));
    }

    // Advertises 127.0.0.2 and takes the Request there.
    void advertise()
    {
        relay.send(TestRelay::discovery, amt_advertisement(nonce, TestRelay::advertised_addr), gateway);
        ASSERT_TRUE(gateway_reads());
        Bytes msg;
        ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &msg));
        ASSERT_EQ(msg, request(nonce));
    }

    // Sends a Query from the advertised relay and takes the joining Update.
    void query(QueryOptions opts)
    {
        opts.nonce = nonce;
        memcpy(mac, opts.mac, 6);
        relay.send(TestRelay::advertised, amt_query(opts), gateway);
        ASSERT_TRUE(gateway_reads());
        Bytes msg;
        ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &msg));
        ASSERT_EQ(msg, update(opts.mac, nonce, 0x16));
        EXPECT_TRUE(checksum_verifies(&msg[12], 20));
        EXPECT_TRUE(checksum_verifies(&msg[32], 8));
    }

    void join(const QueryOptions &opts = QueryOptions(), AmtDataCallback callback = collect)
    {
        ASSERT_NO_FATAL_FAILURE(open_tunnel(callback));
        ASSERT_NO_FATAL_FAILURE(advertise());
        ASSERT_NO_FATAL_FAILURE(query(opts));
    }

    // Nothing (more) reaches either side of the relay within `ms`.
    bool relay_quiet(int ms = 200)
    {
        Bytes msg;
        return !relay.receive(TestRelay::discovery, ms, &msg) &&
               !relay.receive(TestRelay::advertised, ms, &msg);
    }

    // Hands `msg` to the open tunnel as if amt_receive had read it; returns what it printed.
    std::string handle(const Bytes &msg)
    {
        Bytes exact(msg);  // a buffer of exactly the message's size, for the sanitizers
        capture_stdout_begin();
        amt_handle_message(gw(), exact.data(), (int32_t)exact.size());
        return capture_stdout_end();
    }
};

TEST_F(Amt, HandshakeSendsEachMessageToTheRelayOfTheMoment)
{
    capture_stdout_begin();
    ASSERT_NO_FATAL_FAILURE(join());
    std::string out = capture_stdout_end();

    QueryOptions opts;
    opts.nonce = nonce;
    char nonce_line[32];
    snprintf(nonce_line, sizeof nonce_line, "nonce = %x\n", nonce);
    EXPECT_EQ(out, nonce_line + dump(discovery(nonce)) +
                       dump(amt_advertisement(nonce, TestRelay::advertised_addr)) +
                       dump(request(nonce)) + dump(amt_query(opts)) +
                       "Membership Query - src = 0a090807, dest = e0000001, igmptype = 17\n" +
                       dump(update(opts.mac, nonce, 0x16)));
    EXPECT_TRUE(relay_quiet());
}

// Each Query is answered with an Update carrying its MAC, and sets the refresh interval:
// the IGMPv3 QQIC, found through the encapsulated header's own length.
TEST_F(Amt, EveryQueryIsAnsweredAndSetsTheInterval)
{
    ASSERT_NO_FATAL_FAILURE(join());
    struct Case {
        const char *what;
        int ihl;
        bool igmp_v3;
        uint8_t qqic;
        bool gateway_fields;
        int64_t interval_s;
    } cases[] = {
        {"IPv4 options before the IGMP query", 7, true, 7, false, 7},
        {"exponent form", 5, true, 0x90, false, 256},
        {"IGMPv2 query has no QQIC", 5, false, 0, false, 125},
        {"IGMPv2 query followed by gateway fields", 6, false, 0, true, 125},
        {"zero QQIC", 5, true, 0, false, 125},
    };
    uint8_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QueryOptions opts;
        opts.ihl = c.ihl;
        opts.igmp_v3 = c.igmp_v3;
        opts.qqic = c.qqic;
        opts.gateway_fields = c.gateway_fields;
        opts.src = "192.0.2.1";
        opts.dst = "224.0.0.22";
        opts.mac[5] = ++n;
        capture_stdout_begin();
        query(opts);
        std::string out = capture_stdout_end();
        EXPECT_NE(out.find("Membership Query - src = c0000201, dest = e0000016, igmptype = 17\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(gw()->query_interval, c.interval_s * 1000000);
        EXPECT_EQ(memcmp(gw()->response_mac, opts.mac, 6), 0);
    }
}

TEST_F(Amt, SecondQueryGivesSecondUpdateWithItsMac)
{
    ASSERT_NO_FATAL_FAILURE(join());
    QueryOptions second;
    memcpy(second.mac, mac_b, 6);
    ASSERT_NO_FATAL_FAILURE(query(second));  // checks the whole Update, MAC included
    EXPECT_TRUE(relay_quiet());
}

// The relay forgets a gateway that stops answering, so while joined a new Request
// leaves every query interval; each new Query is answered as before.
TEST_F(Amt, RequestIsRepeatedAfterTheQueryInterval)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    ASSERT_NO_FATAL_FAILURE(advertise());
    amt_tick();  // not joined yet: nothing to renew
    ASSERT_TRUE(relay_quiet(100));

    QueryOptions opts;
    opts.qqic = 1;
    using Clock = std::chrono::steady_clock;
    Clock::time_point before_query = Clock::now();
    ASSERT_NO_FATAL_FAILURE(query(opts));
    Clock::time_point joined = Clock::now();
    // The Request is due one interval after the Query was handled (between before_query
    // and joined) and goes with the first tick from then on, however late that tick comes.
    Bytes msg;
    bool got = false;
    Clock::time_point tick_start, tick_end, previous_tick_start;
    while (!got && Clock::now() - joined < std::chrono::milliseconds(test_deadline_ms)) {
        previous_tick_start = tick_start;
        tick_start = Clock::now();
        amt_tick();  // decode_thread's loop, every pass
        tick_end = Clock::now();
        got = relay.receive(TestRelay::advertised, 20, &msg);
    }
    ASSERT_TRUE(got) << "no refresh Request within the deadline";
    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    EXPECT_GE(tick_end - before_query, std::chrono::milliseconds(1000))
        << "sent by the tick at " << ms(tick_start - joined) << " ms";
    if (previous_tick_start > joined) {
        EXPECT_LT(previous_tick_start - joined, std::chrono::milliseconds(1000))
            << "the tick at " << ms(previous_tick_start - joined) << " ms sent nothing";
    }
    EXPECT_EQ(msg, request(nonce));

    QueryOptions next;
    next.qqic = 1;
    memcpy(next.mac, mac_b, 6);
    ASSERT_NO_FATAL_FAILURE(query(next));
}

TEST_F(Amt, MulticastDataIsUnwrappedInPlace)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    for (int ihl : {5, 6, 15}) {
        SCOPED_TRACE(ihl);
        sink.got.clear();
        DataOptions opts;
        opts.ihl = ihl;
        opts.payload = {0x47, 0x1F, 0xFF, 0x10, 0xAA};
        Bytes msg = amt_multicast_data(opts);
        capture_stdout_begin();
        amt_handle_message(gw(), msg.data(), (int32_t)msg.size());
        EXPECT_EQ(capture_stdout_end(), "");  // data is never dumped
        ASSERT_EQ(sink.got.size(), 1u);
        EXPECT_EQ(sink.got[0].data, msg.data() + 2 + 4 * ihl + 8);
        EXPECT_EQ(sink.got[0].bytes, opts.payload);
    }

    // And through the socket, from the relay.
    sink.got.clear();
    DataOptions opts;
    opts.ihl = 6;
    opts.payload = Bytes(188 * 7, 0x47);
    relay.send(TestRelay::discovery, amt_multicast_data(opts), gateway);
    ASSERT_TRUE(gateway_reads());
    ASSERT_EQ(sink.got.size(), 1u);
    EXPECT_EQ(sink.got[0].bytes, opts.payload);
}

TEST_F(Amt, DataForAnotherGroupOrPortIsDroppedSilently)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    DataOptions other_group;
    other_group.group = "239.1.2.4";
    other_group.payload = {1, 2, 3, 4};
    DataOptions other_port;
    other_port.port = group_port + 1;
    other_port.payload = {5, 6, 7, 8};
    DataOptions ours;
    ours.payload = {9};  // sent last: once it arrives, the others were read

    capture_stdout_begin();
    for (const DataOptions *each : {&other_group, &other_port, &ours}) {
        relay.send(TestRelay::discovery, amt_multicast_data(*each), gateway);
        gateway_reads();
    }
    EXPECT_EQ(capture_stdout_end(), "");
    ASSERT_EQ(sink.got.size(), 1u);
    EXPECT_EQ(sink.got[0].bytes, ours.payload);
}

// A length that does not fit the bytes received hands nothing on; one that fits exactly does.
TEST_F(Amt, DamagedDataHandsNothingOn)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    DataOptions opts;
    opts.payload = {0x47, 0x00, 0x11, 0x22};
    Bytes whole = amt_multicast_data(opts);  // 2 + 20 + 8 + 4 = 34 bytes
    auto with_udp_len = [&](int len) {
        DataOptions s = opts;
        s.udp_len = len;
        return amt_multicast_data(s);
    };
    auto with_ihl = [&](int ihl) {
        Bytes b = whole;
        b[2] = (uint8_t)(0x40 | ihl);
        return b;
    };
    const std::vector<Bytes> nothing;
    struct Case {
        const char *what;
        Bytes msg;
        std::string out;
        std::vector<Bytes> delivered;
    } cases[] = {
        {"UDP length below its header", with_udp_len(7),
         "Dropped AMT multicast data: UDP length 7, 12 bytes received\n", nothing},
        {"UDP length one past the end", with_udp_len(13),
         "Dropped AMT multicast data: UDP length 13, 12 bytes received\n", nothing},
        {"UDP length exactly the bytes received", with_udp_len(12), "", {opts.payload}},
        {"UDP length shorter than the datagram", with_udp_len(10), "", {{0x47, 0x00}}},
        {"too short for the group address", Bytes(whole.begin(), whole.begin() + 21),
         "Dropped short AMT packet type 6 (21 bytes)\n", nothing},
        {"too short for the UDP header", Bytes(whole.begin(), whole.begin() + 29),
         "Dropped short AMT packet type 6 (29 bytes)\n", nothing},
        {"header length below 5 words", with_ihl(4),
         "Dropped AMT packet type 6: IPv4 header length 4\n", nothing},
        {"header length past the datagram", with_ihl(15),
         "Dropped short AMT packet type 6 (34 bytes)\n", nothing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sink.got.clear();
        EXPECT_EQ(handle(c.msg), c.out);
        std::vector<Bytes> got;
        for (const Delivery &d : sink.got)
            got.push_back(d.bytes);
        EXPECT_EQ(got, c.delivered);
    }
}

// Short control messages are dumped, reported and not acted on.
TEST_F(Amt, ShortControlMessagesAreDropped)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    ASSERT_NO_FATAL_FAILURE(advertise());
    QueryOptions opts;
    opts.nonce = nonce;
    memcpy(opts.mac, mac_b, 6);
    Bytes whole = amt_query(opts);  // 12 + 20 + 12 bytes
    QueryOptions with_options = opts;
    with_options.ihl = 6;
    Bytes options = amt_query(with_options);
    QueryOptions g_flag = opts;
    g_flag.gateway_fields = true;
    Bytes no_fields = amt_query(g_flag);
    no_fields.resize(no_fields.size() - 18);
    Bytes bad_ihl = whole;
    bad_ihl[12] = 0x43;
    Bytes advertisement = amt_advertisement(nonce, "127.0.0.9");

    struct Case {
        const char *what;
        Bytes msg;
        std::string line;
    } cases[] = {
        {"Advertisement without its address", Bytes(advertisement.begin(), advertisement.begin() + 11),
         "Dropped short AMT packet type 2 (11 bytes)\n"},
        {"Query without a whole IPv4 header", Bytes(whole.begin(), whole.begin() + 31),
         "Dropped short AMT packet type 4 (31 bytes)\n"},
        {"Query whose IGMP header is cut", Bytes(whole.begin(), whole.begin() + 39),
         "Dropped short AMT packet type 4 (39 bytes)\n"},
        {"Query with options, IGMP header cut", Bytes(options.begin(), options.begin() + 43),
         "Dropped short AMT packet type 4 (43 bytes)\n"},
        {"Query flagging gateway fields it lacks", no_fields,
         "Dropped short AMT packet type 4 (44 bytes)\n"},
        {"Query with header length 3", bad_ihl, "Dropped AMT packet type 4: IPv4 header length 3\n"},
        {"empty datagram", Bytes(), "Dropped empty AMT packet\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(handle(c.msg), (c.msg.empty() ? "" : dump(c.msg)) + c.line);
    }
    EXPECT_EQ(gw()->relay_addr, inet_addr(TestRelay::advertised_addr));
    EXPECT_EQ(gw()->response_mac[0], 0);
    EXPECT_FALSE(gw()->joined);
    EXPECT_TRUE(relay_quiet());
}

TEST_F(Amt, MessageTypesOnlyAGatewaySendsAreUnknown)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    for (uint8_t first : {0x01, 0x03, 0x05, 0x07, 0x00, 0x08, 0x0F, 0x13}) {
        Bytes msg = {first, 0, 0, 0, 1, 2, 3, 4};
        capture_stdout_begin();
        relay.send(TestRelay::discovery, msg, gateway);
        bool read = gateway_reads();
        std::string out = capture_stdout_end();
        ASSERT_TRUE(read);
        EXPECT_EQ(out, dump(msg) + "Unknown AMT packet type " + std::to_string(first & 0x0F) + "\n");
    }
    EXPECT_TRUE(relay_quiet());
}

// Before the Advertisement only the configured relay is heard, afterwards only the
// advertised one, and only from the AMT port.
TEST_F(Amt, OnlyTheRelayIsHeard)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    SOCKET stranger = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = loopback_endpoint("127.0.0.3", 0);
    ASSERT_EQ(bind(stranger, (sockaddr *)&at, sizeof at), 0);
    socklen_t len = sizeof at;
    getsockname(stranger, (sockaddr *)&at, &len);
    std::string from_stranger = "Ignored AMT packet from 127.0.0.3:" + std::to_string(ntohs(at.sin_port)) + "\n";

    Bytes advertisement = amt_advertisement(nonce, "127.0.0.3");
    sendto(stranger, advertisement.data(), advertisement.size(), 0, (sockaddr *)&gateway, sizeof gateway);
    capture_stdout_begin();
    gateway_reads();
    EXPECT_EQ(capture_stdout_end(), from_stranger);
    EXPECT_TRUE(relay_quiet());

    ASSERT_NO_FATAL_FAILURE(advertise());
    QueryOptions opts;
    opts.nonce = nonce;
    Bytes heard = amt_query(opts);
    relay.send(TestRelay::discovery, heard, gateway);  // the address advertised away from
    capture_stdout_begin();
    gateway_reads();
    EXPECT_EQ(capture_stdout_end(),
              "Ignored AMT packet from 127.0.0.1:" + std::to_string(relay.port()) + "\n");

    SOCKET other_port = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in advertised_other = loopback_endpoint(TestRelay::advertised_addr, 0);
    ASSERT_EQ(bind(other_port, (sockaddr *)&advertised_other, sizeof advertised_other), 0);
    sendto(other_port, heard.data(), heard.size(), 0, (sockaddr *)&gateway, sizeof gateway);
    capture_stdout_begin();
    gateway_reads();
    EXPECT_NE(capture_stdout_end().find("Ignored AMT packet from 127.0.0.2:"), std::string::npos);
    EXPECT_TRUE(relay_quiet());
    EXPECT_FALSE(gw()->joined);
    closesocket(stranger);
    closesocket(other_port);

    ASSERT_NO_FATAL_FAILURE(query(opts));
}

TEST_F(Amt, FailedReceiveIsNotAMessage)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    SOCKET tunnel = gw()->socket;
    int saved = dup(tunnel);
    SOCKET tcp = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(dup2(tcp, tunnel), tunnel);  // receiving on an unconnected TCP socket fails
    capture_stdout_begin();
    amt_receive();
    std::string out = capture_stdout_end();
    dup2(saved, tunnel);
    close(saved);
    close(tcp);
    EXPECT_EQ(out.rfind("AMT receive failed: ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST_F(Amt, TeardownSendsTheLeaveThenTheTeardownAndClosesTheSocket)
{
    ASSERT_NO_FATAL_FAILURE(join());
    SOCKET tunnel = gw()->socket;
    capture_stdout_begin();
    amt_teardown_active();
    std::string out = capture_stdout_end();
    int still_open = fcntl(tunnel, F_GETFD);
    int why = errno;
    EXPECT_EQ(active_amt.load(), nullptr);
    EXPECT_EQ(still_open, -1);
    EXPECT_EQ(why, EBADF);

    Bytes leave, teardown;
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &leave));
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &teardown));
    EXPECT_TRUE(relay_quiet());
    EXPECT_EQ(leave, update(mac, nonce, 0x17));
    EXPECT_TRUE(checksum_verifies(&leave[12], 20));
    EXPECT_TRUE(checksum_verifies(&leave[32], 8));
    // Without gateway fields from the relay: the socket's port and, the socket being
    // unbound, the address it sends from to the relay, as IPv4-compatible ::a.b.c.d.
    ASSERT_TRUE(relay.saw_request());
    Bytes expected = with_nonce({0x07, 0, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}, nonce);
    const uint8_t *port = reinterpret_cast<const uint8_t *>(&gateway.sin_port);
    expected.push_back(port[0]);
    expected.push_back(port[1]);
    expected.resize(26, 0);
    const uint8_t *addr = reinterpret_cast<const uint8_t *>(&relay.request_source().sin_addr);
    expected.insert(expected.end(), addr, addr + 4);
    EXPECT_EQ(teardown, expected);
    EXPECT_EQ(out, dump(leave) + dump(teardown));

    amt_teardown_active();  // nothing open any more: nothing sent
    EXPECT_TRUE(relay_quiet(100));
}

// A socket with an address of its own (here swapped in under the tunnel after the
// Discovery) is named in the Teardown as ::a.b.c.d.
TEST_F(Amt, TeardownNamesTheSocketsOwnAddress)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    SOCKET bound = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own = loopback_endpoint("127.0.0.5", 0);
    ASSERT_EQ(bind(bound, (sockaddr *)&own, sizeof own), 0);
    socklen_t len = sizeof own;
    getsockname(bound, (sockaddr *)&own, &len);
    ASSERT_EQ(dup2(bound, gw()->socket), gw()->socket);
    closesocket(bound);
    amt_teardown_active();

    Bytes leave, teardown;
    sockaddr_in from{};
    ASSERT_TRUE(relay.receive(TestRelay::discovery, 2000, &leave));
    ASSERT_TRUE(relay.receive(TestRelay::discovery, 2000, &teardown, &from));
    EXPECT_EQ(from.sin_addr.s_addr, own.sin_addr.s_addr);  // the same one socket sent it
    ASSERT_EQ(teardown.size(), 30u);
    const uint8_t *port = reinterpret_cast<const uint8_t *>(&own.sin_port);
    Bytes tail = {port[0], port[1], 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 5};
    EXPECT_EQ(Bytes(teardown.begin() + 12, teardown.end()), tail);
}

// A relay that tears down on request sends the endpoint it saw; the Teardown returns it.
TEST_F(Amt, TeardownEchoesTheGatewayFieldsOfTheQuery)
{
    QueryOptions opts;
    opts.gateway_fields = true;
    opts.gateway_port = 0xBEEF;
    const uint8_t compatible[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 198, 51, 100, 7};
    memcpy(opts.gateway_addr, compatible, 16);
    ASSERT_NO_FATAL_FAILURE(join(opts));
    amt_teardown_active();

    Bytes leave, teardown;
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &leave));
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &teardown));
    Bytes expected = with_nonce({0x07, 0, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}, nonce);
    expected.push_back(0xBE);
    expected.push_back(0xEF);
    expected.insert(expected.end(), compatible, compatible + 16);
    EXPECT_EQ(teardown, expected);
}

// A relay that keys its Response MAC to the endpoint it saw the Request come from accepts
// the Teardown, whether its Query named that endpoint (G flag) or not.
TEST_F(Amt, TeardownPassesTheMacCheckOfTheRelay)
{
    for (bool g_flag : {false, true}) {
        SCOPED_TRACE(g_flag ? "Query with gateway fields" : "Query without gateway fields");
        ASSERT_NO_FATAL_FAILURE(open_tunnel());
        ASSERT_NO_FATAL_FAILURE(advertise());
        ASSERT_TRUE(relay.saw_request());
        QueryOptions opts;
        relay.response_mac(opts.mac);
        if (g_flag) {
            opts.gateway_fields = true;
            opts.gateway_port = ntohs(relay.request_source().sin_port);
            memcpy(opts.gateway_addr + 12, &relay.request_source().sin_addr, 4);
        }
        ASSERT_NO_FATAL_FAILURE(query(opts));
        amt_teardown_active();

        Bytes leave, teardown;
        ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &leave));
        ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &teardown));
        std::string why;
        EXPECT_TRUE(relay.teardown_accepted(teardown, &why)) << why;
    }
}

TEST_F(Amt, TeardownBeforeAnyQueryCarriesAZeroMac)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    ASSERT_NO_FATAL_FAILURE(advertise());
    amt_teardown_active();
    Bytes leave, teardown;
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &leave));
    ASSERT_TRUE(relay.receive(TestRelay::advertised, 2000, &teardown));
    const uint8_t zero[6] = {};
    EXPECT_EQ(leave, update(zero, nonce, 0x17));
    ASSERT_EQ(teardown.size(), 30u);
    EXPECT_EQ(Bytes(teardown.begin() + 2, teardown.begin() + 8), Bytes(6, 0));
}

TEST_F(Amt, OneTunnelAtATime)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel());
    AmtGateway *first = gw();
    EXPECT_EQ(amt_open("239.9.9.9", 6000, collect, &sink), nullptr);
    EXPECT_EQ(gw(), first);
    EXPECT_TRUE(relay_quiet(100));
}

// A data callback that ends the process runs the exit handler's teardown on this thread,
// inside amt_receive; the receive must not touch the freed tunnel afterwards.
static void tear_down_from_callback(const uint8_t *, int32_t, void *) { amt_teardown_active(); }

TEST_F(Amt, CallbackMayTearTheTunnelDown)
{
    ASSERT_NO_FATAL_FAILURE(open_tunnel(tear_down_from_callback));
    DataOptions opts;
    opts.payload = {0x47};
    relay.send(TestRelay::discovery, amt_multicast_data(opts), gateway);
    ASSERT_TRUE(gateway_reads());
    EXPECT_EQ(active_amt.load(), nullptr);
    Bytes leave, teardown;
    EXPECT_TRUE(relay.receive(TestRelay::discovery, 2000, &leave));
    EXPECT_TRUE(relay.receive(TestRelay::discovery, 2000, &teardown));
    EXPECT_EQ(teardown.size(), 30u);
}

static std::atomic<int> data_count;
static void count_data(const uint8_t *, int32_t, void *) { data_count++; }

// The exit handler runs on another thread than decode_thread's input loop.
TEST_F(Amt, TeardownFromAnotherThreadWaitsForTheReceive)
{
    data_count = 0;
    ASSERT_NO_FATAL_FAILURE(join(QueryOptions(), count_data));
    std::thread input_loop([] {
        for (;;) {
            SOCKET s = amt_active_socket();
            if (s == INVALID_SOCKET)
                return;
            pollfd p = {s, POLLIN, 0};
            if (poll(&p, 1, 10) == 1)
                amt_receive();
            amt_tick();
        }
    });
    DataOptions opts;
    opts.payload = Bytes(188, 0x47);
    Bytes data = amt_multicast_data(opts);
    for (int i = 0; i < 200; i++)
        relay.send(TestRelay::advertised, data, gateway);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test_deadline_ms);
    while (data_count == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    amt_teardown_active();  // mid-stream: 200 datagrams are far from all read yet
    input_loop.join();
    EXPECT_EQ(active_amt.load(), nullptr);
    EXPECT_GT(data_count.load(), 0);
}
