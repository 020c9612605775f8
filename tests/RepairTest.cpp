// Tests of the repair procedure over the stand-in registry: every outcome and its registry after.
#include "StandInFixture.h"

#include <functional>

#include "repair/Repair.h"

using standin::CallRecord;
using standin::Operation;

namespace {

const std::wstring IfTypes = L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes";
const std::wstring TypeKey = IfTypes + L"\\6";
const std::wstring Store =
    L"SYSTEM\\CurrentControlSet\\Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";
const std::wstring Used = L"IfUsedNetLuidIndices";
const std::wstring Backup = L"IfUsedNetLuidIndices_ZARBBackup";

const std::wstring IfTypesMissing =
    L"Can't find registry key \"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\".\r\n";
const std::wstring TypeMissing =
    L"Can't open registry key \"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\6\".\r\n";
const std::wstring StoreMissing = L"Can't find registry key \"SYSTEM\\CurrentControlSet\\Control\\"
                                  L"Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10\"\r\n";
const std::wstring NotWritable = L"Can't open for write registry key "
                                 L"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\6\".\r\n";
const std::wstring UnknownError = L"Unknown error.\r\n";
const std::wstring NotNecessary = L"It's not necessary to repair ndis interface indices.\r\n";
const std::wstring NotVista =
    L"Repair ndis interface indices can by used only on Vista or higher.\r\n";
const std::wstring WriteFailed = L"Can't write to registry.\r\n";
const std::wstring Repaired = L"Repair successful.\r\n";

// A machine whose type-6 bitmap is damaged: 128 bytes of FF, interfaces 0, 1 and 9 in the store.
class RepairTest : public StandInTest {
  protected:
    void SetUp() override {
        StandInTest::SetUp();
        standin::SeedKey(IfTypes + L"\\24");
        standin::SeedValue(TypeKey, Used, REG_BINARY, Damaged());
        for (unsigned index : {0u, 1u, 9u})
            standin::SeedValue(Store, NetworkStoreName(index, 6), REG_BINARY, Bytes({1}));
        standin::SeedValue(Store, NetworkStoreName(2, 24), REG_BINARY, Bytes({1}));
    }
    static std::vector<BYTE> Damaged() { return std::vector<BYTE>(128, 0xFF); }

    int Run(WORD type = 6) {
        message_[0] = L'?';
        message_[1] = 0;
        return RepairInterfaceIndices(message_, type);
    }
    std::wstring Message() const { return message_; }

    std::vector<BYTE> ValueOf(const std::wstring& name, const std::wstring& key = TypeKey) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!standin::ReadValue(key, name, &type, &data))
            return {};
        return data;
    }
    bool HasValue(const std::wstring& name) {
        DWORD type = 0;
        std::vector<BYTE> data;
        return standin::ReadValue(TypeKey, name, &type, &data);
    }
    void ExpectNothingWritten() {
        EXPECT_TRUE(standin::CallsOf(Operation::SetValue).empty());
        for (const CallRecord& call : standin::CallsOf(Operation::CreateKey))
            EXPECT_NE(call.result, ERROR_SUCCESS);
    }
    void ExpectAllClosed() { EXPECT_EQ(standin::OpenHandleCount(), 0u); }

    WCHAR message_[StatusMessageCapacity];
};

struct FailureCase {
    const char* what;
    std::function<void()> arrange;
    std::wstring message;
    int result;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.what;
}

class RepairOutcomeBeforeWritesTest : public RepairTest,
                                      public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RepairOutcomeBeforeWritesTest, ReportsAndWritesNothing) {
    GetParam().arrange();
    const std::vector<BYTE> before = ValueOf(Used);
    EXPECT_EQ(Run(), GetParam().result);
    EXPECT_EQ(Message(), GetParam().message);
    ExpectNothingWritten();
    EXPECT_EQ(ValueOf(Used), before);
    EXPECT_FALSE(HasValue(Backup));
    ExpectAllClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RepairOutcomeBeforeWritesTest,
    ::testing::Values(
        FailureCase{"system older than Vista", [] { standin::SetVersion(5, 1); }, NotVista, 0},
        FailureCase{"both version queries fail", [] { standin::FailEveryVersionQuery(); }, NotVista,
                    0},
        FailureCase{"IfTypes key cannot be opened",
                    [] { standin::FailCall(Operation::OpenKey, IfTypes, ERROR_ACCESS_DENIED); },
                    IfTypesMissing, -1},
        FailureCase{"type key cannot be opened",
                    [] { standin::FailCall(Operation::OpenKey, TypeKey, ERROR_ACCESS_DENIED); },
                    TypeMissing, -1},
        FailureCase{"network store cannot be opened",
                    [] { standin::FailCall(Operation::OpenKey, Store, ERROR_FILE_NOT_FOUND); },
                    StoreMissing, -1},
        FailureCase{"value of another registry type",
                    [] {
                        standin::SeedValue(TypeKey, Used, REG_DWORD, Bytes({1, 0, 0, 0}));
                    },
                    UnknownError, -1},
        FailureCase{"value of 129 bytes",
                    [] { standin::SeedValue(TypeKey, Used, REG_BINARY, std::vector<BYTE>(129)); },
                    UnknownError, -1},
        FailureCase{"value unreadable",
                    [] { standin::FailCall(Operation::QueryValue, Used, ERROR_ACCESS_DENIED); },
                    UnknownError, -1},
        FailureCase{"value of 9 bytes",
                    [] { standin::SeedValue(TypeKey, Used, REG_BINARY, std::vector<BYTE>(9)); },
                    NotNecessary, 0},
        FailureCase{"value of 0 bytes", [] { standin::SeedValue(TypeKey, Used, REG_BINARY, {}); },
                    NotNecessary, 0},
        FailureCase{"walk fails in the middle",
                    [] {
                        standin::FailCall(Operation::EnumValue, NetworkStoreName(1, 6),
                                          ERROR_ACCESS_DENIED);
                    },
                    UnknownError, -1},
        FailureCase{
            "type key cannot be opened for writing",
            [] { standin::FailCall(Operation::CreateKey, TypeKey, ERROR_ACCESS_DENIED, false); },
            NotWritable, -1}));

TEST_F(RepairTest, MissingValueIsAnUnknownError) {
    standin::Reset();
    standin::SeedKey(TypeKey);
    standin::SeedKey(Store);
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Message(), UnknownError);
    ExpectNothingWritten();
}

TEST_F(RepairTest, MissingTypeKeyIsNamedAndNotCreated) {
    EXPECT_EQ(Run(71), -1);
    EXPECT_EQ(Message(), L"Can't open registry key "
                         L"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\71\".\r\n");
    EXPECT_FALSE(standin::KeyExists(IfTypes + L"\\71"));
}

TEST_F(RepairTest, MissingStoreFailsEvenForAShortValue) {
    standin::Reset();
    standin::SeedValue(TypeKey, Used, REG_BINARY, Bytes({1}));
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Message(), StoreMissing);
    EXPECT_FALSE(standin::KeyExists(Store));
}

TEST_F(RepairTest, RepairsWithABackupOfTheOldBytes) {
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Message(), Repaired);
    EXPECT_EQ(ValueOf(Used), Bytes({0x3F, 0x02}));
    EXPECT_EQ(ValueOf(Backup), Damaged());
    for (const std::wstring& name : {Used, Backup}) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(standin::ReadValue(TypeKey, name, &type, &data));
        EXPECT_EQ(type, REG_BINARY);
    }
    // The backup is written first, so that the old bytes are safe before they are replaced.
    const auto sets = standin::CallsOf(Operation::SetValue);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].valueName, Backup);
    EXPECT_EQ(sets[1].valueName, Used);
    ExpectAllClosed();
}

TEST_F(RepairTest, ValueOfTenBytesIsRepaired) {
    const std::vector<BYTE> old = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    standin::SeedValue(TypeKey, Used, REG_BINARY, old);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ValueOf(Backup), old);
}

TEST_F(RepairTest, KeysOpenAndCloseInTheirOrderWithTheirAccess) {
    DefaultRegistryView = KEY_WOW64_64KEY;
    ASSERT_EQ(Run(), 1);
    std::vector<std::pair<std::wstring, REGSAM>> opened;
    for (const CallRecord& call : standin::Calls())
        if (call.operation == Operation::OpenKey || call.operation == Operation::CreateKey)
            opened.emplace_back(call.keyPath, call.access);
    const REGSAM read = KEY_READ | KEY_WOW64_64KEY;
    const REGSAM write = KEY_WRITE | KEY_WOW64_64KEY;
    EXPECT_EQ(opened, (std::vector<std::pair<std::wstring, REGSAM>>{
                          {IfTypes, read}, {TypeKey, read}, {Store, read}, {TypeKey, write}}));
    // The read handle of the type key goes before the key is opened for writing.
    EXPECT_EQ(standin::ClosedKeys(), (std::vector<std::wstring>{TypeKey, TypeKey, IfTypes, Store}));
    ExpectAllClosed();
}

// The type key is opened, for reading and for writing, by its name relative to the IfTypes key.
TEST_F(RepairTest, TypeKeyIsOpenedRelativeToTheIfTypesKey) {
    ASSERT_EQ(Run(), 1);
    std::vector<CallRecord> opens;
    for (const CallRecord& call : standin::Calls())
        if (call.operation == Operation::OpenKey || call.operation == Operation::CreateKey)
            opens.push_back(call);
    ASSERT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[0].parent, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(opens[0].subKey, IfTypes);
    for (const CallRecord* typeOpen : {&opens[1], &opens[3]}) {
        EXPECT_EQ(typeOpen->parent, opens[0].handle);
        EXPECT_EQ(typeOpen->subKey, L"6");
    }
    EXPECT_EQ(opens[3].operation, Operation::CreateKey);
    EXPECT_EQ(opens[2].parent, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(opens[2].subKey, Store);
}

TEST_F(RepairTest, FailedSecondQueryOfTheValueWritesNothing) {
    // The size query passes; the query of the data fails.
    standin::FailCall(Operation::QueryValue, Used, ERROR_ACCESS_DENIED, true, 1);
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Message(), UnknownError);
    EXPECT_EQ(ValueOf(Used), Damaged());
    EXPECT_FALSE(HasValue(Backup));
    EXPECT_EQ(standin::CallsOf(Operation::QueryValue).size(), 2u);
    ExpectAllClosed();
}

TEST_F(RepairTest, FailureClosesWhatWasOpenInOrder) {
    standin::FailCall(Operation::OpenKey, Store, ERROR_ACCESS_DENIED);
    ASSERT_EQ(Run(), -1);
    EXPECT_EQ(standin::ClosedKeys(), (std::vector<std::wstring>{TypeKey, IfTypes}));
}

TEST_F(RepairTest, FailedBackupStillRepairs) {
    standin::FailCall(Operation::SetValue, Backup, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Message(), Repaired);
    EXPECT_EQ(ValueOf(Used), Bytes({0x3F, 0x02}));
    EXPECT_FALSE(HasValue(Backup));
}

TEST_F(RepairTest, FailedWriteKeepsTheOldValue) {
    standin::FailCall(Operation::SetValue, Used, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Message(), WriteFailed);
    EXPECT_EQ(ValueOf(Used), Damaged());
    EXPECT_EQ(ValueOf(Backup), Damaged());
    ExpectAllClosed();
}

TEST_F(RepairTest, WriteOpenReachesTheParentPathOnlyThroughOpenRegistryKey) {
    standin::FailCall(Operation::CreateKey, TypeKey, ERROR_ACCESS_DENIED);
    // A once-only failure of the creation is not retried: the type name has no backslash.
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Message(), NotWritable);
    EXPECT_EQ(standin::CallsOf(Operation::CreateKey).size(), 1u);
}

TEST_F(RepairTest, WithoutMessageDoesTheSameWork) {
    EXPECT_EQ(RepairInterfaceIndices(nullptr, 6), 1);
    EXPECT_EQ(ValueOf(Used), Bytes({0x3F, 0x02}));
    EXPECT_EQ(ValueOf(Backup), Damaged());
    standin::Reset();
    standin::SetVersion(5, 2);
    EXPECT_EQ(RepairInterfaceIndices(nullptr, 6), 0);
    standin::Reset();
    EXPECT_EQ(RepairInterfaceIndices(nullptr, 6), -1);
}

TEST_F(RepairTest, OlderSystemTouchesNoKey) {
    standin::SetVersion(5, 1);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(standin::Calls().empty());
}

TEST_F(RepairTest, VersionFallsBackToTheBasicRecord) {
    standin::FailExtendedVersionQuery();
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(standin::VersionQueryCount(), 2);
    // Each query gets a cleared record: the failed one leaves no trace in the second.
    const std::vector<standin::VersionQueryRecord>& queries = standin::VersionQueries();
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].sizeField, sizeof(OSVERSIONINFOEXW));
    EXPECT_TRUE(queries[0].restCleared);
    EXPECT_EQ(queries[1].sizeField, sizeof(OSVERSIONINFOW));
    EXPECT_TRUE(queries[1].restCleared);
}

TEST_F(RepairTest, VersionSixWithAnyMinorAndLaterCount) {
    for (auto version : {std::pair<DWORD, DWORD>{6, 0}, {6, 3}, {10, 0}}) {
        standin::SetVersion(version.first, version.second);
        EXPECT_TRUE(IsVistaOrLater());
    }
    standin::SetVersion(5, 2);
    EXPECT_FALSE(IsVistaOrLater());
}

TEST_F(RepairTest, SecondRunBacksUpTheFirstRunsResult) {
    // Enough interfaces for a result of 10 bytes or more.
    for (unsigned index = 0; index < 80; ++index)
        standin::SeedValue(Store, NetworkStoreName(index, 6), REG_BINARY, Bytes({1}));
    ASSERT_EQ(Run(), 1);
    const std::vector<BYTE> first = ValueOf(Used);
    ASSERT_GE(first.size(), 10u);
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ValueOf(Backup), first);
    EXPECT_EQ(ValueOf(Used), first);
}

TEST_F(RepairTest, ShortResultMeansTheNextRunHasNothingToDo) {
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Message(), NotNecessary);
}

TEST(ReadUsedIndicesTest, TooLargeValueGivesItsSize) {
    standin::Reset();
    standin::SeedValue(L"K", L"IfUsedNetLuidIndices", REG_BINARY, std::vector<BYTE>(200));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE buffer[128];
    DWORD size = sizeof buffer;
    EXPECT_FALSE(ReadUsedIndices(&size, key, buffer));
    EXPECT_EQ(size, 200u);
    RegCloseKey(key);
}

struct MessageCase {
    std::wstring start;
    std::wstring text;
    std::wstring expected;
};

TEST(MessageTest, CopyAndAppendStayWithinTheBuffer) {
    WCHAR message[StatusMessageCapacity];
    CopyMessage(message, L"abc", StatusMessageCapacity);
    EXPECT_STREQ(message, L"abc");
    CopyMessage(message, L"abcdef", 4);
    EXPECT_STREQ(message, L"abc");
    message[0] = L'x';
    CopyMessage(message, L"abc", 0);
    EXPECT_EQ(message[0], L'x');

    const std::wstring long127(127, L'a');
    const std::wstring long200(200, L'b');
    const MessageCase cases[] = {
        {L"ab", L"cd", L"abcd"},
        {std::wstring(120, L'a'), long200, std::wstring(120, L'a') + std::wstring(7, L'b')},
        {long127, L"x", long127},
        {L"", long200, std::wstring(127, L'b')},
    };
    for (const MessageCase& c : cases) {
        CopyMessage(message, c.start.c_str(), StatusMessageCapacity);
        AppendMessage(message, c.text.c_str());
        EXPECT_EQ(std::wstring(message), c.expected);
    }
    CopyMessage(message, long200.c_str(), StatusMessageCapacity);
    EXPECT_EQ(std::wstring(message), std::wstring(127, L'b'));
}

} // namespace
