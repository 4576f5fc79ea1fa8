// AMT gateway (RFC 7450, IPv4 only): reaches a multicast group through a relay when
// native multicast does not arrive. It discovers the relay, joins the group with an
// IGMPv2 report inside a Membership Update, renews the membership every query interval,
// hands each Multicast Data payload to a data callback, and at the end leaves the group
// and sends a Teardown.
//
// Ownership: the module owns the one tunnel of the process, `active_amt`, and its UDP
// socket. The relay's address and port come from PlayerConfig.
//
// Threads: the gateway has no thread of its own. A playback's decode_thread opens the
// tunnel, calls amt_receive when amt_active_socket() is readable, calls amt_tick from its
// 100 ms loop while a tunnel is open, and tears it down. The exit handler may tear it
// down from whichever thread ends the process. One lock, private to amt.cpp, serialises
// all of this: the five functions for decode_thread and the exit handler take it, so a
// teardown never frees the record under a receive. The lock is recursive, because a data
// callback that ends the process runs the exit handler's teardown on the same thread.
//
// Failures: sends are not checked (a lost datagram is what refresh is for). amt_open
// returns null when no socket can be opened or a tunnel is already open; every other
// function returns nothing and logs what it dropped on standard output.
#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/winsock.h"

enum {
    amt_receive_size = 2048,
    amt_discovery_size = 8,
    amt_request_size = 8,
    amt_update_size = 40,
    amt_teardown_size = 30,
    amt_gateway_fields_size = 18,       // port and 16-byte address, ending a Query with G set
    amt_default_query_interval = 125,  // seconds, RFC 7450's default when a Query has no QQIC
};

// Same shape as ts_process_packets: the payload in place, its length, the user pointer.
typedef void (*AmtDataCallback)(const uint8_t *data, int32_t len, void *user);

// One tunnel. Before amt_open publishes it only its creator touches it; afterwards every
// field is read and written under the gateway's lock.
struct AmtGateway {
    uint32_t nonce;            // never 0; sent as its four bytes in host order
    uint8_t response_mac[6];   // from the last Query; zero until one arrives
    SOCKET socket;             // never bound: the first send picks the local port
    uint32_t group_addr;       // network order
    int32_t group_port;        // host order
    uint32_t relay_addr;       // network order; the advertised relay once advertised
    int32_t relay_port;        // host order
    AmtDataCallback data_callback;
    void *data_user;

    // Refresh: while joined, a new Request leaves once av_gettime() reaches next_request.
    bool joined;               // a Query has been answered with an Update
    int64_t query_interval;    // microseconds
    int64_t next_request;      // av_gettime() time

    // The Gateway Port and Address of the last Query that carried them (G flag), echoed
    // verbatim in the Teardown because the relay checks its MAC against them.
    bool has_gateway_fields;
    uint8_t gateway_fields[amt_gateway_fields_size];
};

// The one open tunnel, or null. Written only under the gateway's lock (amt_open,
// amt_teardown_active); other code may test it for null but must not dereference it.
extern std::atomic<AmtGateway *> active_amt;

// --- For decode_thread and the exit handler ---

// Starts a tunnel to `group` (dotted-decimal) and UDP `port` whose payloads go to
// callback(data, len, user), and publishes it in active_amt. Returns the record, or null
// when a tunnel is already open or no socket could be opened (nothing is then published).
AmtGateway *amt_open(const char *group, int32_t port, AmtDataCallback callback, void *user);

// The open tunnel's socket for the caller's wait, or INVALID_SOCKET when none is open.
SOCKET amt_active_socket();

// Reads and handles one datagram of the open tunnel; datagrams from anyone but the relay
// are logged and dropped. Call it only when the socket is readable: otherwise the read
// waits, holding the lock. No-op when no tunnel is open.
void amt_receive();

// Sends the refresh Request when the query interval has run out. Call it every pass of
// the input loop while a tunnel is open; no-op otherwise.
void amt_tick();

// Tears down the open tunnel (leave Update, Teardown, socket closed), frees it and clears
// active_amt. No-op when none is open, so the exit handler may call it at any time.
void amt_teardown_active();

// --- The steps above, one message each; the caller holds the gateway's lock ---

// Allocates a record with a fresh nonce, opens its socket and sends the Relay Discovery
// to the configured relay. Returns null (logged) when no socket could be opened.
AmtGateway *amt_start(const char *group, int32_t port);

// Handles one received datagram of `gw`: logs it and dispatches it by type. amt_receive
// calls it for each datagram from the relay; tests and the fuzzer call it directly.
void amt_handle_message(AmtGateway *gw, const uint8_t *msg, int32_t len);

// Relay Advertisement: adopts the advertised relay and sends it a Request.
void amt_send_request(AmtGateway *gw, const uint8_t *msg, int32_t len);

// Membership Query: keeps its Response MAC and interval, answers with a joining Update.
void amt_on_membership_query(AmtGateway *gw, const uint8_t *msg, int32_t len);

// Multicast Data: `ip` is msg + 2, the multicast IPv4 packet. Hands the UDP payload of
// the group's port, in place, to the data callback.
void amt_on_multicast_data(AmtGateway *gw, const uint8_t *ip, const uint8_t *msg, int32_t len);

// Sends the leave Update and the Teardown, then closes the socket. The record stays
// allocated; amt_teardown_active frees it.
void amt_teardown(AmtGateway *gw);

// The query interval in seconds that an IGMPv3 QQIC encodes (RFC 3376 section 4.1.7).
int32_t igmp_qqic_seconds(uint8_t qqic);
