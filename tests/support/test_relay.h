// An AMT relay played by the test itself, on loopback only: one UDP socket on
// 127.0.0.1:port where the gateway sends its Discovery, and one on 127.0.0.2:port, the
// address the relay advertises. Plus builders for the messages a relay sends.
//
// Typical use: open it, point PlayerConfig.amt_relay_addr at "127.0.0.1" and
// PlayerConfig.amt_port at port(), open the tunnel, then receive what the gateway sent
// and answer it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/winsock.h"

typedef std::vector<uint8_t> Bytes;

class TestRelay {
public:
    enum Side { discovery, advertised };  // 127.0.0.1 and 127.0.0.2
    static constexpr const char *discovery_addr = "127.0.0.1";
    static constexpr const char *advertised_addr = "127.0.0.2";

    TestRelay() = default;
    TestRelay(const TestRelay &) = delete;
    TestRelay &operator=(const TestRelay &) = delete;
    ~TestRelay();

    // Binds both sockets to one port: `port`, or a free one for 0. On failure says why.
    bool open(std::string *why, uint16_t port = 0);
    uint16_t port() const { return port_; }
    SOCKET sock(Side side) const { return side == discovery ? discovery_ : advertised_; }

    // Waits up to timeout_ms for a datagram on `side`; false when none came. A Request
    // among them is remembered with the endpoint it came from, as a relay keeps it.
    bool receive(Side side, int timeout_ms, Bytes *msg, sockaddr_in *from = nullptr);
    // Sends `msg` from `side` to `to`.
    void send(Side side, const Bytes &msg, const sockaddr_in &to);

    // The last Request received, and the gateway's address and port as it came from them.
    bool saw_request() const { return saw_request_; }
    const sockaddr_in &request_source() const { return request_source_; }
    uint32_t request_nonce() const { return request_nonce_; }

    // The Response MAC this relay gives that gateway for its Queries: a hash, keyed with
    // this relay's secret, of the Request's source port and address and its nonce.
    void response_mac(uint8_t mac[6]) const;

    // Checks a Teardown as a relay that verifies it does: 30 bytes of type 7, the Request's
    // nonce, and a MAC equal to the one the relay computes from the Teardown's own gateway
    // port and address (::a.b.c.d) with that nonce, so a Teardown passes only when its
    // gateway fields name the Request's source. False, with why, otherwise.
    bool teardown_accepted(const Bytes &teardown, std::string *why) const;

private:
    SOCKET discovery_ = INVALID_SOCKET;
    SOCKET advertised_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    bool saw_request_ = false;
    sockaddr_in request_source_{};
    uint32_t request_nonce_ = 0;
};

// Relay Advertisement answering `nonce`, naming `relay` (dotted decimal).
Bytes amt_advertisement(uint32_t nonce, const char *relay);

struct QueryOptions {
    uint8_t mac[6] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    uint32_t nonce = 0;
    int ihl = 5;                  // above 5: a Router Alert option, then NOP padding
    bool igmp_v3 = true;          // false: an 8-byte IGMPv2 query, without QQIC
    uint8_t qqic = 125;
    const char *src = "10.9.8.7";  // of the encapsulated IPv4 packet
    const char *dst = "224.0.0.1";
    bool gateway_fields = false;  // G flag and the 18 bytes after the IPv4 packet
    uint16_t gateway_port = 0;
    uint8_t gateway_addr[16] = {};
};

// Membership Query with an encapsulated IGMP general query.
Bytes amt_query(const QueryOptions &opts);

struct DataOptions {
    const char *group = "239.1.2.3";
    uint16_t port = 5000;
    Bytes payload;
    int ihl = 5;       // above 5: a Router Alert option, then NOP padding
    int udp_len = -1;  // the UDP length field; -1: 8 + payload size
};

// Multicast Data carrying one UDP datagram to opts.group:opts.port.
Bytes amt_multicast_data(const DataOptions &opts);

// The address as a sockaddr_in.
sockaddr_in loopback_endpoint(const char *addr, uint16_t port);
