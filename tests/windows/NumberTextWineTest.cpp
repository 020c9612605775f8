// The number table through the runtime's own wcstoul (msvcrt, under Wine) and through our reader.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "NumberTextCases.h"
#include "repair/NumberText.h"

namespace {

class NumberTextAsTheRuntime : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTextAsTheRuntime, OurReaderAndWcstoulAgree) {
    const NumberCase& row = GetParam();
    wchar_t* end = nullptr;
    const DWORD runtime = static_cast<DWORD>(wcstoul(row.text, &end, static_cast<int>(row.base)));
    EXPECT_EQ(runtime, row.expected)
        << "msvcrt's wcstoul, text " << ::testing::PrintToString(std::wstring(row.text));
    EXPECT_EQ(ReadUnsigned32(row.text, row.base), runtime)
        << "text " << ::testing::PrintToString(std::wstring(row.text));
}

INSTANTIATE_TEST_SUITE_P(Table, NumberTextAsTheRuntime, ::testing::ValuesIn(NumberCases));

} // namespace
