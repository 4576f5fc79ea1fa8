#include "input/mcast.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static_assert(sizeof(struct ip_mreq) == 8, "membership request is group + interface");

// Any-source membership on whichever interface the system routes the group to.
// A group text that is not an address becomes INADDR_NONE, which the join refuses.
static struct ip_mreq mcast_request(const char *group)
{
    struct ip_mreq mreq;
    memset(&mreq, 0, sizeof mreq);
    mreq.imr_multiaddr.s_addr = inet_addr(group);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    return mreq;
}

// A page names the group and the machine may have no multicast route: a failure ends
// this playback's input, never the program.
static SOCKET mcast_fail(const char *what, SOCKET sock)
{
    perror(what);
    if (sock != INVALID_SOCKET)
        closesocket(sock);
    return INVALID_SOCKET;
}

SOCKET mcast_join(const char *group, int32_t port)
{
    SOCKET sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == INVALID_SOCKET)
        return mcast_fail("opening datagram socket", INVALID_SOCKET);

    // Lets another receiver on this host share the play port.
    int reuse = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, (const char *)&reuse, sizeof reuse) == SOCKET_ERROR)
        return mcast_fail("setting SO_REUSEADDR", sock);

    // The wildcard bind takes every datagram for the port: each group joined on it, and unicast.
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(sock, (struct sockaddr *)&addr, sizeof addr) == SOCKET_ERROR)
        return mcast_fail("binding datagram socket", sock);

    struct ip_mreq mreq = mcast_request(group);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, (const char *)&mreq, sizeof mreq) == SOCKET_ERROR)
        return mcast_fail("adding multicast group", sock);

    return sock;
}

void mcast_leave(SOCKET sock, const char *group)
{
    struct ip_mreq mreq = mcast_request(group);
    // Closing the socket drops a membership that is still there anyway.
    if (setsockopt(sock, IPPROTO_IP, IP_DROP_MEMBERSHIP, (const char *)&mreq, sizeof mreq) == SOCKET_ERROR)
        perror("dropping multicast group");
    closesocket(sock);
}
