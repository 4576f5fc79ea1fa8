// Arbitrary datagrams through the gateway's message handling, as amt_receive hands it
// each one it reads from the relay: every handler must stay inside the bytes it got and
// hand on only payload that lies within them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "input/amt.h"
#include "platform/winsock.h"
#include "shell/config.h"

static SOCKET relay = INVALID_SOCKET;  // stands in for the relay; takes the gateway's answers
static uint32_t relay_addr;
static AmtGateway *gateway;

// Reads every byte handed on, so the sanitizer sees any that lie outside the datagram.
static void read_payload(const uint8_t *data, int32_t len, void *)
{
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < len; i++)
        sum = sum + data[i];
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_defaults();
    relay = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t len = sizeof at;
    if (relay == INVALID_SOCKET || bind(relay, (sockaddr *)&at, sizeof at) != 0 ||
        getsockname(relay, (sockaddr *)&at, &len) != 0)
        abort();
    strcpy(PlayerConfig.amt_relay_addr, "127.0.0.1");
    PlayerConfig.amt_port = ntohs(at.sin_port);
    relay_addr = at.sin_addr.s_addr;
    gateway = amt_open("239.1.2.3", 5000, read_payload, nullptr);
    if (!gateway)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > amt_receive_size)  // more than one receive can hold
        return 0;
    std::vector<uint8_t> msg(data, data + size);  // exactly `size` bytes, for the sanitizer
    // An Advertisement moves the relay to the address it names: keep it on loopback, so
    // the fuzzer never sends off the machine.
    if (size > 8 && (msg[0] & 0x0F) == 2)
        msg[8] = 127;
    amt_handle_message(gateway, msg.data(), (int32_t)size);

    gateway->relay_addr = relay_addr;
    uint8_t drain[amt_receive_size];
    while (recv(relay, drain, sizeof drain, MSG_DONTWAIT) >= 0) {
    }
    return 0;
}
