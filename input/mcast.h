// Native multicast reception: a UDP socket on the play port joined to an IPv4 group
// (any source, the interface the system picks). Called by the playback's decode_thread,
// which alone uses the socket.
//
// Neither function returns a failure: each failure prints its perror line and ends the
// process with exit code 1 (exit handlers run).
#pragma once

#include <stdint.h>

#include "platform/winsock.h"

// Opens, binds (INADDR_ANY, port modulo 65536) and joins; returns the socket.
SOCKET mcast_join(const char *group, int32_t port);

// Drops the membership and closes the socket.
void mcast_leave(SOCKET sock, const char *group);
