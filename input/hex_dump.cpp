#include "input/hex_dump.h"

#include <stdio.h>

void hex_dump(const uint8_t *data, int32_t len)
{
    for (int32_t i = 0; i < len; i += 16) {
        printf("%04x : ", i);
        for (int32_t j = 0; j < 16; j++) {
            if (i + j < len)
                printf("%02X ", data[i + j]);
            else
                printf("** ");
        }
        printf(" : ");
        for (int32_t j = 0; j < 16 && i + j < len; j++) {
            uint8_t c = data[i + j];
            printf("%c", c >= 0x20 && c <= 0x7E ? c : '.');
        }
        printf("\n");
    }
}
