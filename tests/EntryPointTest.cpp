// Tests of the entry point: output of each path in order, the key wait, the view and exit code.
#include "StandInFixture.h"

#include <vector>

#include "console/EntryPoint.h"

using standin::Operation;

namespace {

const std::wstring TypeKey = L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\6";
const std::wstring Store =
    L"SYSTEM\\CurrentControlSet\\Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";

const std::string Usage = "Zelvoran repairs some registry values, which defend intermediate "
                          "network driver installation.\r\n"
                          "Usage: \n\tZelvoran.exe [/? | /iftype value(1-65535, default 1)]\r\n";

class EntryPointTest : public StandInTest {
  protected:
    int Run(std::vector<const wchar_t*> arguments) {
        std::vector<std::wstring> storage = {L"Zelvoran.exe"};
        for (const wchar_t* argument : arguments)
            storage.push_back(argument);
        std::vector<WCHAR*> argv;
        for (std::wstring& argument : storage)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        WCHAR* environment[] = {nullptr};
        return wmain(static_cast<int>(storage.size()), argv.data(), environment);
    }
    void SeedDamagedType6() {
        standin::SeedValue(TypeKey, L"IfUsedNetLuidIndices", REG_BINARY,
                           std::vector<BYTE>(128, 0xFF));
        standin::SeedValue(Store, NetworkStoreName(5, 6), REG_BINARY, Bytes({1}));
    }
};

TEST_F(EntryPointTest, UsageIsWrittenNarrowWithoutEmptyLineOrWait) {
    for (auto arguments : std::vector<std::vector<const wchar_t*>>{
             {L"/?"}, {L"/iftype"}, {L"/iftype", L"0"}, {L"/iftype", L"6", L"x"}}) {
        standin::Reset();
        EXPECT_EQ(Run(arguments), 0);
        EXPECT_EQ(standin::ConsoleText(), Usage);
        for (const standin::OutputPiece& piece : standin::ConsoleWrites())
            EXPECT_FALSE(piece.wide);
        EXPECT_EQ(standin::KeyWaitCount(), 0);
        EXPECT_TRUE(standin::Calls().empty());
        EXPECT_EQ(standin::VersionQueryCount(), 0);
    }
}

TEST_F(EntryPointTest, RepairPrintsMessageRestartNoticeAndWaits) {
    SeedDamagedType6();
    EXPECT_EQ(Run({L"/iftype", L"6"}), 1);
    EXPECT_EQ(standin::ConsoleText(), "\r\nRepair successful.\r\n"
                                      "\r\nYou need to restart your computer.\r\n"
                                      "\r\nPress any key.\r\n");
    for (const standin::OutputPiece& piece : standin::ConsoleWrites())
        EXPECT_TRUE(piece.wide);
    EXPECT_EQ(standin::KeyWaitCount(), 1);
    EXPECT_GE(standin::FlushCount(), 1);
}

struct PathCase {
    const char* what;
    void (*arrange)();
    int result;
    std::string text;
};

void PrintTo(const PathCase& c, std::ostream* out) {
    *out << c.what;
}

class EntryPointPathTest : public EntryPointTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(EntryPointPathTest, PrintsTheMessageWithoutRestartNoticeAndWaits) {
    GetParam().arrange();
    EXPECT_EQ(Run({}), GetParam().result);
    EXPECT_EQ(standin::ConsoleText(), "\r\n" + GetParam().text + "\r\nPress any key.\r\n");
    EXPECT_EQ(standin::KeyWaitCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EntryPointPathTest,
    ::testing::Values(
        PathCase{"older system", [] { standin::SetVersion(5, 1); }, 0,
                 "Repair ndis interface indices can by used only on Vista or higher.\r\n"},
        PathCase{"empty registry", [] {}, -1,
                 "Can't find registry key "
                 "\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\".\r\n"},
        PathCase{"short value",
                 [] {
                     standin::SeedValue(L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\1",
                                        L"IfUsedNetLuidIndices", REG_BINARY, Bytes({1}));
                     standin::SeedKey(Store);
                 },
                 0, "It's not necessary to repair ndis interface indices.\r\n"}));

TEST_F(EntryPointTest, NoArgumentsRepairsType1) {
    standin::SeedKey(L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes");
    Run({});
    EXPECT_EQ(standin::Calls()[1].keyPath,
              L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\1");
}

struct ViewCase {
    bool wow64;
    bool queryFails;
    REGSAM expectedView;
};

TEST_F(EntryPointTest, SelectsThe64BitViewOnlyWhenTheQuerySaysWow64) {
    const ViewCase cases[] = {{true, false, KEY_WOW64_64KEY}, {false, false, 0}, {true, true, 0}};
    for (const ViewCase& c : cases) {
        standin::Reset();
        DefaultRegistryView = 0;
        SeedDamagedType6();
        standin::SetWow64(c.wow64, c.queryFails);
        ASSERT_EQ(Run({L"-iftype", L"6"}), 1);
        EXPECT_EQ(DefaultRegistryView, c.expectedView);
        for (const standin::CallRecord& call : standin::Calls())
            if (call.operation == Operation::OpenKey || call.operation == Operation::CreateKey) {
                EXPECT_EQ(call.access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY), c.expectedView);
            }
    }
}

} // namespace
