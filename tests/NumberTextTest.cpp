// Tests of the 32-bit wcstoul reading and the decimal formatting.
#include <gtest/gtest.h>

#include "repair/NumberText.h"

namespace {

struct NumberCase {
    const wchar_t* text;
    unsigned base;
    DWORD expected;
};

class ReadUnsigned32Test : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadUnsigned32Test, ReadsAs32BitWcstoul) {
    EXPECT_EQ(ReadUnsigned32(GetParam().text, GetParam().base), GetParam().expected)
        << "text: " << ::testing::PrintToString(std::wstring(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadUnsigned32Test,
    ::testing::Values(
        NumberCase{L"6", 10, 6}, NumberCase{L"  \t6", 10, 6}, NumberCase{L"+6", 10, 6},
        NumberCase{L"6abc", 10, 6}, NumberCase{L"abc", 10, 0}, NumberCase{L"", 10, 0},
        NumberCase{L"-", 10, 0}, NumberCase{L"-1", 10, 0xFFFFFFFFu},
        NumberCase{L"4294967295", 10, 0xFFFFFFFFu}, NumberCase{L"4294967296", 10, 0xFFFFFFFFu},
        NumberCase{L"99999999999999999999999", 10, 0xFFFFFFFFu}, NumberCase{L"-4294967296", 10, 1u},
        NumberCase{L"-99999999999999", 10, 1u}, NumberCase{L"65542", 10, 65542u},
        NumberCase{L"0x10", 10, 0}, NumberCase{L"001F", 16, 0x1F}, NumberCase{L"0x1F", 16, 0x1F},
        NumberCase{L"0X1f", 16, 0x1F}, NumberCase{L"0x", 16, 0}, NumberCase{L"0xg", 16, 0},
        NumberCase{L"-1", 16, 0xFFFFFFFFu}, NumberCase{L" 1g", 16, 1},
        NumberCase{L"FFFFFFFFF", 16, 0xFFFFFFFFu}, NumberCase{L"ffff", 16, 0xFFFF}));

TEST(FormatDecimalTest, WritesWithoutLeadingZerosWithinTheCapacity) {
    wchar_t text[8];
    ASSERT_TRUE(FormatDecimal(0, text, 8));
    EXPECT_STREQ(text, L"0");
    ASSERT_TRUE(FormatDecimal(65535, text, 8));
    EXPECT_STREQ(text, L"65535");
    ASSERT_TRUE(FormatDecimal(1234567, text, 8));
    EXPECT_STREQ(text, L"1234567");
    EXPECT_FALSE(FormatDecimal(12345678, text, 8));
    EXPECT_STREQ(text, L"");
}

} // namespace
