// Tests of the command line: the interface type it gives, or the usage.
#include <gtest/gtest.h>

#include <vector>

#include "console/CommandLine.h"

namespace {

struct CommandLineCase {
    std::vector<const wchar_t*> arguments; // after the program name
    int expectedType;                      // 0: usage
};

void PrintTo(const CommandLineCase& c, std::ostream* out) {
    *out << "[";
    for (const wchar_t* argument : c.arguments)
        *out << ::testing::PrintToString(std::wstring(argument)) << " ";
    *out << "]";
}

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, GivesTheInterfaceTypeOrTheUsage) {
    std::vector<const wchar_t*> argv = {L"Zelvoran.exe"};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    WORD type = 0;
    const bool accepted = ReadInterfaceType(static_cast<int>(argv.size()), argv.data(), &type);
    if (GetParam().expectedType == 0) {
        EXPECT_FALSE(accepted);
    } else {
        ASSERT_TRUE(accepted);
        EXPECT_EQ(type, GetParam().expectedType);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        CommandLineCase{{}, 1}, CommandLineCase{{L"/iftype", L"6"}, 6},
        CommandLineCase{{L"-iftype", L"6"}, 6}, CommandLineCase{{L"/IFTYPE", L"6"}, 6},
        CommandLineCase{{L"-IfType", L"6"}, 6}, CommandLineCase{{L"/iftype", L"0"}, 0},
        CommandLineCase{{L"/iftype", L"abc"}, 0}, CommandLineCase{{L"/iftype", L""}, 0},
        CommandLineCase{{L"/iftype", L"65536"}, 0}, CommandLineCase{{L"/iftype", L"65535"}, 65535},
        CommandLineCase{{L"/iftype", L"65542"}, 6},
        CommandLineCase{{L"/iftype", L"4294967296"}, 65535},
        CommandLineCase{{L"/iftype", L"99999999999999999999"}, 65535},
        CommandLineCase{{L"/iftype", L"-4294967296"}, 1},
        CommandLineCase{{L"/iftype", L"-99999999999999999999"}, 1},
        CommandLineCase{{L"/iftype", L"6abc"}, 6}, CommandLineCase{{L"/iftype", L"-1"}, 65535},
        CommandLineCase{{L"/iftype", L" +24"}, 24}, CommandLineCase{{L"/?"}, 0},
        CommandLineCase{{L"/iftype"}, 0}, CommandLineCase{{L"/iftype", L"6", L"x"}, 0},
        CommandLineCase{{L"/type", L"6"}, 0}, CommandLineCase{{L"iftype", L"6"}, 0},
        CommandLineCase{{L"/iftypes", L"6"}, 0},
        // Only the letters A to Z fold: a dotless capital I is no match.
        CommandLineCase{{L"/\u0130ftype", L"6"}, 0}));

} // namespace
