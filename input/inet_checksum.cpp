#include "input/inet_checksum.h"

uint16_t inet_checksum(const uint8_t *data, int32_t len)
{
    uint32_t sum = 0;
    int32_t i = 0;
    for (; i + 1 < len; i += 2)
        sum += (uint32_t)(data[i] << 8 | data[i + 1]);
    if (i < len)
        sum += (uint32_t)data[i] << 8;
    // Two folds suffice for any block shorter than 128 KiB; a loop keeps longer ones right.
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}
