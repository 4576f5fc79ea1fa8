// Hex and character dump of a buffer on standard output, 16 bytes a row.
// Any thread may call it.
#pragma once

#include <stdint.h>

void hex_dump(const uint8_t *data, int32_t len);
