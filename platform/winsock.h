// The socket spellings the program is written against, over BSD sockets.
// Any thread may call them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

static inline int closesocket(SOCKET s) { return close(s); }
