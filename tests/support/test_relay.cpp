#include "tests/support/test_relay.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
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
    if (n >= 8 && (buffer[0] & 0x0F) == 3) {
        saw_request_ = true;
        request_source_ = source;
        memcpy(&request_nonce_, buffer + 4, 4);
    }
    return true;
}

// FNV-1a over a secret, the gateway's port and 16-byte address, and the nonce. RFC 7450
// leaves the MAC's function to the relay; it only has to be unguessable without the secret
// in a real one, and here only has to depend on every byte.
static void mac_of(const uint8_t port[2], const uint8_t addr[16], uint32_t nonce, uint8_t mac[6])
{
    static const uint8_t secret[8] = {0x5A, 0x17, 0xC3, 0x9E, 0x02, 0x6D, 0xB4, 0x81};
    uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](const uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; i++)
            h = (h ^ p[i]) * 0x100000001B3ull;
    };
    mix(secret, sizeof secret);
    mix(port, 2);
    mix(addr, 16);
    mix((const uint8_t *)&nonce, 4);
    for (int i = 0; i < 6; i++)
        mac[i] = (uint8_t)(h >> (8 * i));
}

// The endpoint as a Teardown's gateway fields name it: port, then ::a.b.c.d.
static void gateway_fields(const sockaddr_in &endpoint, uint8_t port[2], uint8_t addr[16])
{
    memcpy(port, &endpoint.sin_port, 2);
    memset(addr, 0, 16);
    memcpy(addr + 12, &endpoint.sin_addr, 4);
}

void TestRelay::response_mac(uint8_t mac[6]) const
{
    uint8_t port[2], addr[16];
    gateway_fields(request_source_, port, addr);
    mac_of(port, addr, request_nonce_, mac);
}

static std::string endpoint_text(const uint8_t port[2], const uint8_t addr[16])
{
    char text[80];
    snprintf(text, sizeof text, "%u.%u.%u.%u:%u (address bytes 0-11 %s)", addr[12], addr[13],
             addr[14], addr[15], (unsigned)(port[0] << 8 | port[1]),
             memcmp(addr, "\0\0\0\0\0\0\0\0\0\0\0\0", 12) == 0 ? "zero" : "not zero");
    return text;
}

bool TestRelay::teardown_accepted(const Bytes &teardown, std::string *why) const
{
    if (!saw_request_) {
        *why = "no Request was received before the Teardown";
        return false;
    }
    if (teardown.size() != 30 || (teardown[0] & 0x0F) != 7) {
        *why = "not a 30-byte Teardown: " + std::to_string(teardown.size()) + " bytes, type " +
               std::to_string(teardown.empty() ? -1 : teardown[0] & 0x0F);
        return false;
    }
    uint32_t nonce;
    memcpy(&nonce, &teardown[8], 4);
    if (nonce != request_nonce_) {
        *why = "the Teardown's nonce is not the Request's";
        return false;
    }
    uint8_t mac[6];
    mac_of(&teardown[12], &teardown[14], nonce, mac);
    if (memcmp(mac, &teardown[2], 6) != 0) {
        uint8_t port[2], addr[16];
        gateway_fields(request_source_, port, addr);
        *why = "MAC does not match the Teardown's gateway " + endpoint_text(&teardown[12], &teardown[14]) +
               "; the Request came from " + endpoint_text(port, addr);
        return false;
    }
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
