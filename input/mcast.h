// Native multicast reception: a UDP socket on the play port joined to an IPv4 group
// (any source, the interface the system picks). Called by the playback's decode_thread,
// which alone uses the socket.
//
// A failure prints its perror line ("adding multicast group: No such device") and the
// process goes on.
#pragma once

#include <stdint.h>

#include "platform/winsock.h"

// Opens, binds (INADDR_ANY, port modulo 65536) and joins; returns the socket, or
// INVALID_SOCKET (with the socket closed) when any step fails.
SOCKET mcast_join(const char *group, int32_t port);

// Drops the membership and closes the socket; a failed drop is printed and the socket
// is closed all the same.
void mcast_leave(SOCKET sock, const char *group);
