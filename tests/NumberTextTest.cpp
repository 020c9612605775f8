// Tests of the 32-bit wcstoul reading and the decimal formatting.
#include <gtest/gtest.h>

#include "NumberTextCases.h"
#include "repair/NumberText.h"

namespace {

class ReadUnsigned32Test : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadUnsigned32Test, ReadsAs32BitWcstoul) {
    EXPECT_EQ(ReadUnsigned32(GetParam().text, GetParam().base), GetParam().expected)
        << "text: " << ::testing::PrintToString(std::wstring(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadUnsigned32Test, ::testing::ValuesIn(NumberCases));

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
