#include "input/hex_dump.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/capture.h"

static std::string dump(const std::string &bytes)
{
    capture_stdout_begin();
    hex_dump(reinterpret_cast<const uint8_t *>(bytes.data()), (int32_t)bytes.size());
    return capture_stdout_end();
}

TEST(HexDump, ShortLastRowKeepsHexWidth)
{
    EXPECT_EQ(dump(std::string("GET\0", 4)),
              "0000 : 47 45 54 00 ** ** ** ** ** ** ** ** ** ** ** **  : GET.\n");
}

TEST(HexDump, FullRowsThenTail)
{
    std::string bytes;
    for (int i = 0; i < 17; i++)
        bytes.push_back((char)(0x7C + i));  // 0x7C..0x7E printable, then 0x7F.. not
    EXPECT_EQ(dump(bytes),
              "0000 : 7C 7D 7E 7F 80 81 82 83 84 85 86 87 88 89 8A 8B  : |}~.............\n"
              "0010 : 8C ** ** ** ** ** ** ** ** ** ** ** ** ** ** **  : .\n");
}

TEST(HexDump, EmptyOrNegativePrintsNothing)
{
    EXPECT_EQ(dump(""), "");
    capture_stdout_begin();
    hex_dump(nullptr, -1);
    EXPECT_EQ(capture_stdout_end(), "");
}
