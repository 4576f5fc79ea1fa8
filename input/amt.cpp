#include "input/amt.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

extern "C" {
#include <libavutil/time.h>
}

#include "input/hex_dump.h"
#include "input/inet_checksum.h"
#include "config/player_config.h"

std::atomic<AmtGateway *> active_amt{nullptr};

// Guards active_amt, every field of the record it points to, and nonce_seeded.
// Recursive: a data callback that ends the process runs the exit handler's
// amt_teardown_active on this same thread, from inside amt_receive.
static std::recursive_mutex amt_lock;
static bool nonce_seeded;

enum {
    amt_type_discovery = 1,
    amt_type_advertisement = 2,
    amt_type_request = 3,
    amt_type_query = 4,
    amt_type_update = 5,
    amt_type_data = 6,
    amt_type_teardown = 7,

    amt_advertisement_size = 12,
    amt_query_ip = 12,  // the encapsulated IPv4 packet of a Query
    amt_data_ip = 2,    // the multicast IPv4 packet of Multicast Data
    ipv4_min_header = 20,
    udp_header = 8,
    igmp_min_size = 8,
    igmp_v3_query_size = 12,

    igmp_query = 0x11,
    igmp_v2_report = 0x16,
    igmp_leave = 0x17,
    query_flag_g = 0x01,
};

// Inner source of our IGMP reports: 0.0.0.0, as for a host without an
// address of its own. The relay knows the gateway by the tunnel's outer addresses.
static const uint32_t report_source = 0;

static uint16_t get_be16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

static uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void put_be16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void drop_short(int type, int32_t len)
{
    printf("Dropped short AMT packet type %d (%d bytes)\n", type, len);
}

static void drop_bad_ihl(int type, int32_t ihl)
{
    printf("Dropped AMT packet type %d: IPv4 header length %d\n", type, ihl);
}

// Every message leaves from the tunnel's one socket, so the relay sees one endpoint.
static void amt_send(AmtGateway *gw, const uint8_t *msg, int32_t len)
{
    hex_dump(msg, len);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = gw->relay_addr;
    to.sin_port = htons((uint16_t)gw->relay_port);
    (void)sendto(gw->socket, (const char *)msg, (size_t)len, 0, (const struct sockaddr *)&to,
                 sizeof to);
}

// rand() yields at least 15 bits; two draws of 16 bits each fill the word. A nonce of 0
// is drawn again. Seeded once per process, so two runs do not present the same nonce.
static uint32_t amt_draw_nonce()
{
    if (!nonce_seeded) {
        srand((unsigned)av_gettime());
        nonce_seeded = true;
    }
    uint32_t nonce;
    do {
        uint32_t high = (uint32_t)rand() & 0xFFFF;
        uint32_t low = (uint32_t)rand() & 0xFFFF;
        nonce = high << 16 | low;
    } while (nonce == 0);
    return nonce;
}

// Relay Discovery, type 1, sent, 8 bytes:
//   offset size content
//   0      1    0x01 (version 0 in the high four bits, type in the low four)
//   1      3    reserved, zero
//   4      4    nonce, its bytes in host order
AmtGateway *amt_start(const char *group, int32_t port)
{
    SOCKET sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == INVALID_SOCKET) {
        printf("AMT socket: %s\n", strerror(errno));
        return nullptr;
    }
    AmtGateway *gw = (AmtGateway *)calloc(1, sizeof *gw);
    if (!gw) {
        printf("AMT gateway: out of memory\n");
        closesocket(sock);
        return nullptr;
    }
    gw->nonce = amt_draw_nonce();
    gw->socket = sock;
    gw->group_addr = inet_addr(group);
    gw->group_port = port;
    gw->relay_addr = inet_addr(PlayerConfig.amt_relay_addr);
    gw->relay_port = PlayerConfig.amt_port;
    gw->query_interval = (int64_t)amt_default_query_interval * 1000000;
    printf("nonce = %x\n", gw->nonce);

    uint8_t msg[amt_discovery_size] = {amt_type_discovery};
    memcpy(msg + 4, &gw->nonce, 4);
    amt_send(gw, msg, sizeof msg);
    return gw;
}

// Request, type 3, sent, 8 bytes:
//   offset size content
//   0      1    0x03
//   1      1    zero: the P flag (bit 0) clear asks for an IGMP, not an MLD, query
//   2      2    reserved, zero
//   4      4    nonce, host order
static void amt_send_request_message(AmtGateway *gw)
{
    uint8_t msg[amt_request_size] = {amt_type_request};
    memcpy(msg + 4, &gw->nonce, 4);
    amt_send(gw, msg, sizeof msg);
}

// Relay Advertisement, type 2, received:
//   offset size content
//   0      1    0x02
//   1      3    reserved
//   4      4    the Discovery's nonce (not compared: only one Discovery is ever out)
//   8      4    relay address, network order
void amt_send_request(AmtGateway *gw, const uint8_t *msg, int32_t len)
{
    if (len < amt_advertisement_size) {
        drop_short(amt_type_advertisement, len);
        return;
    }
    memcpy(&gw->relay_addr, msg + 8, 4);
    amt_send_request_message(gw);
}

// Membership Update, type 5, sent, 40 bytes: an IGMPv2 message in an IPv4 header.
//   offset size content
//   0      1    0x05
//   1      1    reserved, zero
//   2      6    Response MAC of the last Query
//   8      4    nonce, host order
//   12     1    0x45: IPv4, header of 5 words (no options)
//   13     1    type of service, zero
//   14     2    total length, 28
//   16     2    identification, zero
//   18     2    flags and fragment offset, zero
//   20     1    time to live, 1
//   21     1    protocol, 2 (IGMP)
//   22     2    header checksum over bytes 12..31
//   24     4    source, report_source
//   28     4    destination, relay_addr
//   32     1    IGMP type: 0x16 report (join) or 0x17 leave
//   33     1    maximum response time, zero
//   34     2    IGMP checksum over bytes 32..39
//   36     4    group address
static void amt_send_update(AmtGateway *gw, uint8_t igmp_type)
{
    uint8_t msg[amt_update_size] = {amt_type_update};
    memcpy(msg + 2, gw->response_mac, 6);
    memcpy(msg + 8, &gw->nonce, 4);
    msg[12] = 0x45;
    put_be16(msg + 14, 28);
    msg[20] = 1;
    msg[21] = 2;
    uint32_t source = htonl(report_source);
    memcpy(msg + 24, &source, 4);
    memcpy(msg + 28, &gw->relay_addr, 4);
    msg[32] = igmp_type;
    memcpy(msg + 36, &gw->group_addr, 4);
    put_be16(msg + 22, inet_checksum(msg + 12, 20));
    put_be16(msg + 34, inet_checksum(msg + 32, 8));
    amt_send(gw, msg, sizeof msg);
}

int32_t igmp_qqic_seconds(uint8_t qqic)
{
    if (qqic < 128)
        return qqic;
    int32_t exponent = (qqic >> 4) & 0x07;
    int32_t mantissa = qqic & 0x0F;
    return (mantissa | 0x10) << (exponent + 3);
}

// Membership Query, type 4, received:
//   offset   size content
//   0        1    0x04
//   1        1    reserved (six bits), L flag (0x02), G flag (0x01)
//   2        6    Response MAC
//   8        4    nonce
//   12       ..   IPv4 packet: its header is 4 x IHL bytes (IHL = low four bits of byte 12),
//                 source at 24, destination at 28; then the IGMP query:
//                   +0 type (0x11), +1 max response code, +2 checksum, +4 group,
//                   +8 S flag and QRV, +9 QQIC, +10 number of sources (IGMPv3 only:
//                   an IGMPv2 query is 8 bytes and has no QQIC)
//   len - 18 2    gateway port (present only with G)
//   len - 16 16   gateway address (present only with G)
void amt_on_membership_query(AmtGateway *gw, const uint8_t *msg, int32_t len)
{
    if (len < amt_query_ip + ipv4_min_header) {
        drop_short(amt_type_query, len);
        return;
    }
    int32_t ihl = msg[amt_query_ip] & 0x0F;
    if (ihl < 5) {
        drop_bad_ihl(amt_type_query, ihl);
        return;
    }
    int32_t igmp = amt_query_ip + 4 * ihl;
    bool has_gateway_fields = msg[1] & query_flag_g;
    int32_t end = has_gateway_fields ? len - amt_gateway_fields_size : len;
    if (end < igmp + igmp_min_size) {
        drop_short(amt_type_query, len);
        return;
    }

    memcpy(gw->response_mac, msg + 2, 6);
    printf("Membership Query - src = %08x, dest = %08x, igmptype = %d\n", get_be32(msg + 24),
           get_be32(msg + 28), msg[igmp]);

    int32_t seconds = amt_default_query_interval;
    int32_t igmp_len = get_be16(msg + amt_query_ip + 2) - 4 * ihl;
    if (msg[igmp] == igmp_query && igmp_len >= igmp_v3_query_size &&
        end >= igmp + igmp_v3_query_size) {
        int32_t qqi = igmp_qqic_seconds(msg[igmp + 9]);
        if (qqi > 0)  // a zero interval would send a Request every tick
            seconds = qqi;
    }
    gw->query_interval = (int64_t)seconds * 1000000;
    if (has_gateway_fields) {
        memcpy(gw->gateway_fields, msg + end, amt_gateway_fields_size);
        gw->has_gateway_fields = true;
    }

    amt_send_update(gw, igmp_v2_report);
    gw->joined = true;
    gw->next_request = av_gettime() + gw->query_interval;
}

// Multicast Data, type 6, received:
//   offset size content
//   0      1    0x06
//   1      1    reserved
//   2      ..   the multicast IPv4 packet: destination (the group) at 18, header of
//               4 x IHL bytes (IHL = low four bits of byte 2); then UDP:
//                 +2 destination port, +4 length (header included), +8 payload
// The group's port compares modulo 65536, as the native socket binds it.
void amt_on_multicast_data(AmtGateway *gw, const uint8_t *ip, const uint8_t *msg, int32_t len)
{
    if (len < amt_data_ip + ipv4_min_header) {
        drop_short(amt_type_data, len);
        return;
    }
    if (memcmp(ip + 16, &gw->group_addr, 4) != 0)
        return;
    int32_t ihl = ip[0] & 0x0F;
    if (ihl < 5) {
        drop_bad_ihl(amt_type_data, ihl);
        return;
    }
    int32_t udp = (int32_t)(ip - msg) + 4 * ihl;
    if (len < udp + udp_header) {
        drop_short(amt_type_data, len);
        return;
    }
    if (get_be16(msg + udp + 2) != (uint16_t)gw->group_port)
        return;
    int32_t udp_len = get_be16(msg + udp + 4);
    if (udp_len < udp_header || udp_len > len - udp) {
        printf("Dropped AMT multicast data: UDP length %d, %d bytes received\n", udp_len, len - udp);
        return;
    }
    // Last touch of the record: the callback may tear the tunnel down.
    if (gw->data_callback)
        gw->data_callback(msg + udp + udp_header, udp_len - udp_header, gw->data_user);
}

// The address an unbound socket sends from to (addr, port), network order: the one the
// relay saw every message come from. A connected UDP socket is given it by the routing
// table without sending anything. 0.0.0.0 when there is no route.
static uint32_t amt_source_towards(uint32_t addr, int32_t port)
{
    uint32_t source = htonl(INADDR_ANY);
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe == INVALID_SOCKET)
        return source;
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = htons((uint16_t)port);
    struct sockaddr_in local;
    socklen_t local_len = sizeof local;
    memset(&local, 0, sizeof local);
    if (connect(probe, (const struct sockaddr *)&to, sizeof to) == 0 &&
        getsockname(probe, (struct sockaddr *)&local, &local_len) == 0 && local.sin_family == AF_INET)
        source = local.sin_addr.s_addr;
    closesocket(probe);
    return source;
}

void amt_handle_message(AmtGateway *gw, const uint8_t *msg, int32_t len)
{
    if (len < 1) {
        printf("Dropped empty AMT packet\n");
        return;
    }
    int type = msg[0] & 0x0F;
    if (type != amt_type_data)
        hex_dump(msg, len);
    switch (type) {
    case amt_type_advertisement:
        amt_send_request(gw, msg, len);
        break;
    case amt_type_query:
        amt_on_membership_query(gw, msg, len);
        break;
    case amt_type_data:
        amt_on_multicast_data(gw, msg + amt_data_ip, msg, len);
        break;
    default:
        printf("Unknown AMT packet type %d\n", type);
        break;
    }
}

// Teardown, type 7, sent, 30 bytes:
//   offset size content
//   0      1    0x07
//   1      1    reserved, zero
//   2      6    Response MAC of the last Query
//   8      4    nonce, host order
//   12     2    gateway port, network order
//   14     16   gateway address: an IPv4 address as IPv4-compatible ::a.b.c.d
//               (twelve zero bytes, then the address in network order)
// Port and address are the Query's Gateway fields when it carried them: the relay checks
// the Teardown's MAC against those, which past a NAT differ from the socket's own name.
// Otherwise the socket's local port and the address it sends from towards the relay, or
// zeros when the socket's name cannot be read.
void amt_teardown(AmtGateway *gw)
{
    amt_send_update(gw, igmp_leave);

    uint8_t msg[amt_teardown_size] = {amt_type_teardown};
    memcpy(msg + 2, gw->response_mac, 6);
    memcpy(msg + 8, &gw->nonce, 4);
    if (gw->has_gateway_fields) {
        memcpy(msg + 12, gw->gateway_fields, amt_gateway_fields_size);
    } else {
        struct sockaddr_in local;
        socklen_t local_len = sizeof local;
        memset(&local, 0, sizeof local);
        if (getsockname(gw->socket, (struct sockaddr *)&local, &local_len) == 0 &&
            local.sin_family == AF_INET) {
            if (local.sin_addr.s_addr == htonl(INADDR_ANY))
                local.sin_addr.s_addr = amt_source_towards(gw->relay_addr, gw->relay_port);
            memcpy(msg + 12, &local.sin_port, 2);
            memcpy(msg + 26, &local.sin_addr, 4);
        }
    }
    amt_send(gw, msg, sizeof msg);
    closesocket(gw->socket);
    gw->socket = INVALID_SOCKET;
}

AmtGateway *amt_open(const char *group, int32_t port, AmtDataCallback callback, void *user)
{
    std::lock_guard<std::recursive_mutex> hold(amt_lock);
    if (active_amt.load())
        return nullptr;
    AmtGateway *gw = amt_start(group, port);
    if (!gw)
        return nullptr;
    gw->data_callback = callback;
    gw->data_user = user;
    active_amt.store(gw);
    return gw;
}

SOCKET amt_active_socket()
{
    std::lock_guard<std::recursive_mutex> hold(amt_lock);
    AmtGateway *gw = active_amt.load();
    return gw ? gw->socket : INVALID_SOCKET;
}

void amt_receive()
{
    std::lock_guard<std::recursive_mutex> hold(amt_lock);
    AmtGateway *gw = active_amt.load();
    if (!gw)
        return;
    uint8_t buffer[amt_receive_size];
    struct sockaddr_in from;
    socklen_t from_len = sizeof from;
    memset(&from, 0, sizeof from);
    int n = (int)recvfrom(gw->socket, (char *)buffer, sizeof buffer, 0, (struct sockaddr *)&from,
                          &from_len);
    if (n < 0) {
        printf("AMT receive failed: %s\n", strerror(errno));
        return;
    }
    // Only the relay speaks in the tunnel: the configured one until it advertises another.
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != gw->relay_addr ||
        from.sin_port != htons((uint16_t)gw->relay_port)) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        printf("Ignored AMT packet from %s:%d\n", text, ntohs(from.sin_port));
        return;
    }
    amt_handle_message(gw, buffer, n);
}

void amt_tick()
{
    std::lock_guard<std::recursive_mutex> hold(amt_lock);
    AmtGateway *gw = active_amt.load();
    if (!gw || !gw->joined)
        return;
    int64_t now = av_gettime();
    if (now < gw->next_request)
        return;
    // Renewed from the Query this Request draws; until then, again one interval on.
    gw->next_request = now + gw->query_interval;
    amt_send_request_message(gw);
}

void amt_teardown_active()
{
    std::lock_guard<std::recursive_mutex> hold(amt_lock);
    AmtGateway *gw = active_amt.load();
    if (!gw)
        return;
    amt_teardown(gw);
    active_amt.store(nullptr);
    free(gw);
}
