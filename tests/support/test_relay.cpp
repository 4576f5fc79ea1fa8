#include "tests/support/test_relay.h"

#include <errno.h>
#include <poll.h>
#include <string.h>

#include "input/inet_checksum.h"

sockaddr_in loopback_endpoint(const char *addr, uint16_t port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(addr);
    a.sin_port = htons(port);
    return a;
}

static SOCKET bound_socket(const char *addr, uint16_t port, std::string *why)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        *why = std::string("socket: ") + strerror(errno);
        return INVALID_SOCKET;
    }
    sockaddr_in a = loopback_endpoint(addr, port);
    if (bind(s, (sockaddr *)&a, sizeof a) != 0) {
        *why = std::string("bind ") + addr + ": " + strerror(errno);
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

TestRelay::~TestRelay()
{
    if (discovery_ != INVALID_SOCKET)
        closesocket(discovery_);
    if (advertised_ != INVALID_SOCKET)
        closesocket(advertised_);
}

bool TestRelay::open(std::string *why, uint16_t port)
{
    // The gateway keeps the relay port when it moves to the advertised address, so both
    // sockets need the same one; an ephemeral port free on 127.0.0.1 may be taken on .2.
    for (int attempt = 0; attempt < (port ? 1 : 20); attempt++) {
        discovery_ = bound_socket(discovery_addr, port, why);
        if (discovery_ == INVALID_SOCKET)
            return false;
        sockaddr_in local;
        socklen_t len = sizeof local;
        getsockname(discovery_, (sockaddr *)&local, &len);
        port_ = ntohs(local.sin_port);
        advertised_ = bound_socket(advertised_addr, port_, why);
        if (advertised_ != INVALID_SOCKET)
            return true;
        closesocket(discovery_);
        discovery_ = INVALID_SOCKET;
    }
    return false;
}

bool TestRelay::receive(Side side, int timeout_ms, Bytes *msg, sockaddr_in *from)
{
    pollfd p = {sock(side), POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return false;
    uint8_t buffer[4096];
    sockaddr_in source;
    socklen_t len = sizeof source;
    ssize_t n = recvfrom(sock(side), buffer, sizeof buffer, 0, (sockaddr *)&source, &len);
    if (n < 0)
        return false;
    msg->assign(buffer, buffer + n);
    if (from)
        *from = source;
    return true;
}

void TestRelay::send(Side side, const Bytes &msg, const sockaddr_in &to)
{
    sendto(sock(side), msg.data(), msg.size(), 0, (const sockaddr *)&to, sizeof to);
}

static void put16(Bytes &b, size_t at, uint32_t v)
{
    b[at] = (uint8_t)(v >> 8);
    b[at + 1] = (uint8_t)v;
}

static void put_addr(Bytes &b, size_t at, const char *addr)
{
    uint32_t a = inet_addr(addr);
    memcpy(&b[at], &a, 4);
}

// An IPv4 header of 4 x ihl bytes at `at`; options: Router Alert first, then NOPs.
static void put_ipv4(Bytes &b, size_t at, int ihl, size_t total, uint8_t protocol, const char *src,
                     const char *dst)
{
    b[at] = (uint8_t)(0x40 | ihl);
    put16(b, at + 2, (uint32_t)total);
    b[at + 8] = 1;
    b[at + 9] = protocol;
    put_addr(b, at + 12, src);
    put_addr(b, at + 16, dst);
    for (int i = 20; i < 4 * ihl; i++)
        b[at + i] = 0x01;
    if (ihl > 5) {
        const uint8_t router_alert[4] = {0x94, 0x04, 0x00, 0x00};
        memcpy(&b[at + 20], router_alert, 4);
    }
    put16(b, at + 10, inet_checksum(&b[at], 4 * ihl));
}

Bytes amt_advertisement(uint32_t nonce, const char *relay)
{
    Bytes b(12, 0);
    b[0] = 0x02;
    memcpy(&b[4], &nonce, 4);
    put_addr(b, 8, relay);
    return b;
}

Bytes amt_query(const QueryOptions &opts)
{
    size_t ip_header = 4 * (size_t)opts.ihl;
    size_t igmp_len = opts.igmp_v3 ? 12 : 8;
    size_t ip_len = ip_header + igmp_len;
    Bytes b(12 + ip_len + (opts.gateway_fields ? 18 : 0), 0);
    b[0] = 0x04;
    b[1] = opts.gateway_fields ? 0x01 : 0x00;
    memcpy(&b[2], opts.mac, 6);
    memcpy(&b[8], &opts.nonce, 4);
    put_ipv4(b, 12, opts.ihl, ip_len, 2, opts.src, opts.dst);
    size_t igmp = 12 + ip_header;
    b[igmp] = 0x11;
    b[igmp + 1] = 100;
    if (opts.igmp_v3) {
        b[igmp + 8] = 2;  // QRV
        b[igmp + 9] = opts.qqic;
    }
    put16(b, igmp + 2, inet_checksum(&b[igmp], (int32_t)igmp_len));
    if (opts.gateway_fields) {
        size_t at = 12 + ip_len;
        put16(b, at, opts.gateway_port);
        memcpy(&b[at + 2], opts.gateway_addr, 16);
    }
    return b;
}

Bytes amt_multicast_data(const DataOptions &opts)
{
    size_t ip_header = 4 * (size_t)opts.ihl;
    size_t udp_len = 8 + opts.payload.size();
    Bytes b(2 + ip_header + udp_len, 0);
    b[0] = 0x06;
    put_ipv4(b, 2, opts.ihl, ip_header + udp_len, 17, "10.20.30.40", opts.group);
    size_t udp = 2 + ip_header;
    put16(b, udp, 1234);
    put16(b, udp + 2, opts.port);
    put16(b, udp + 4, opts.udp_len < 0 ? (uint32_t)udp_len : (uint32_t)opts.udp_len);
    if (!opts.payload.empty())
        memcpy(&b[udp + 8], opts.payload.data(), opts.payload.size());
    return b;
}
