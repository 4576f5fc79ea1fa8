// The Internet checksum of RFC 1071, as IPv4 headers and IGMP messages carry it.
// A pure function: any thread may call it.
#pragma once

#include <stdint.h>

// The ones'-complement of the ones'-complement sum of `data` read as big-endian 16-bit
// words (an odd last byte is padded with zero), to be stored big-endian in the checksum
// field, which must be zero while the sum is formed. Over a block that already holds its
// correct checksum the result is 0. len <= 0 sums nothing (the result is 0xFFFF).
uint16_t inet_checksum(const uint8_t *data, int32_t len);
