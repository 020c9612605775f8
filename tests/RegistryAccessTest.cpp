// Tests of OpenRegistryKey: the registry view, reads that never create, and the parent creation.
#include "StandInFixture.h"

using standin::CallRecord;
using standin::Operation;

namespace {

class OpenRegistryKeyTest : public StandInTest {};

struct ViewCase {
    REGSAM defaultView;
    REGSAM requested;
    REGSAM expected;
};

class RegistryViewTest : public StandInTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(RegistryViewTest, AddsTheDefaultViewOnlyWhenTheRequestNamesNone) {
    standin::SeedKey(L"A");
    DefaultRegistryView = GetParam().defaultView;
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A", &key, GetParam().requested));
    RegCloseKey(key);
    const CallRecord& call = standin::Calls().front();
    EXPECT_EQ(call.access, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Views, RegistryViewTest,
    ::testing::Values(
        ViewCase{0, KEY_READ, KEY_READ}, ViewCase{0, KEY_WRITE, KEY_WRITE},
        ViewCase{KEY_WOW64_64KEY, KEY_READ, KEY_READ | KEY_WOW64_64KEY},
        ViewCase{KEY_WOW64_64KEY, KEY_WRITE, KEY_WRITE | KEY_WOW64_64KEY},
        ViewCase{KEY_WOW64_64KEY, KEY_READ | KEY_WOW64_32KEY, KEY_READ | KEY_WOW64_32KEY},
        ViewCase{KEY_WOW64_64KEY, KEY_WRITE | KEY_WOW64_32KEY, KEY_WRITE | KEY_WOW64_32KEY},
        ViewCase{0, KEY_READ | KEY_WOW64_64KEY, KEY_READ | KEY_WOW64_64KEY}));

TEST_F(OpenRegistryKeyTest, ReadNeverCreates) {
    HKEY key = nullptr;
    EXPECT_FALSE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B", &key, KEY_READ));
    EXPECT_FALSE(standin::KeyExists(L"A"));
    EXPECT_TRUE(standin::CallsOf(Operation::CreateKey).empty());
    ASSERT_EQ(standin::CallsOf(Operation::OpenKey).size(), 1u);
}

TEST_F(OpenRegistryKeyTest, ReadOpensAnExistingKeyRelativeToItsParent) {
    standin::SeedKey(L"A\\B");
    HKEY parent = nullptr;
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"a", &parent, KEY_READ));
    ASSERT_TRUE(OpenRegistryKey(parent, L"b", &key, KEY_READ));
    EXPECT_EQ(standin::Calls().back().keyPath, L"a\\b");
    RegCloseKey(key);
    RegCloseKey(parent);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
}

TEST_F(OpenRegistryKeyTest, WriteOpensAnExistingKeyWithoutTouchingItsValues) {
    standin::SeedValue(L"A\\B", L"Kept", REG_BINARY, Bytes({1, 2}));
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B", &key, KEY_WRITE));
    RegCloseKey(key);
    ASSERT_EQ(standin::CallsOf(Operation::CreateKey).size(), 1u);
    EXPECT_EQ(standin::ValueNames(L"A\\B"), std::vector<std::wstring>{L"Kept"});
}

TEST_F(OpenRegistryKeyTest, WriteCreatesAMissingKey) {
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B\\C", &key, KEY_WRITE));
    RegCloseKey(key);
    EXPECT_TRUE(standin::KeyExists(L"A\\B\\C"));
}

TEST_F(OpenRegistryKeyTest, FailedCreationWithoutBackslashIsNotRetried) {
    standin::FailCall(Operation::CreateKey, L"A", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_FALSE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A", &key, KEY_WRITE));
    EXPECT_EQ(standin::Calls().size(), 1u);
    EXPECT_FALSE(standin::KeyExists(L"A"));
}

std::vector<std::wstring> CreatePaths() {
    std::vector<std::wstring> paths;
    for (const CallRecord& call : standin::CallsOf(Operation::CreateKey))
        paths.push_back(call.keyPath);
    return paths;
}

TEST_F(OpenRegistryKeyTest, FailedCreationMakesTheParentFirstAndClosesIt) {
    DefaultRegistryView = KEY_WOW64_64KEY;
    standin::FailCall(Operation::CreateKey, L"A\\B\\C", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B\\C", &key, KEY_WRITE));
    EXPECT_EQ(CreatePaths(), (std::vector<std::wstring>{L"A\\B\\C", L"A\\B", L"A\\B\\C"}));
    EXPECT_EQ(standin::ClosedKeys(), std::vector<std::wstring>{L"A\\B"});
    for (const CallRecord& call : standin::CallsOf(Operation::CreateKey))
        EXPECT_EQ(call.access, KEY_WRITE | KEY_WOW64_64KEY);
    RegCloseKey(key);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
    EXPECT_TRUE(standin::KeyExists(L"A\\B\\C"));
}

TEST_F(OpenRegistryKeyTest, FailedParentCreationGoesUpAnotherLevel) {
    standin::FailCall(Operation::CreateKey, L"A\\B\\C", ERROR_ACCESS_DENIED);
    standin::FailCall(Operation::CreateKey, L"A\\B", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B\\C", &key, KEY_WRITE));
    EXPECT_EQ(CreatePaths(),
              (std::vector<std::wstring>{L"A\\B\\C", L"A\\B", L"A", L"A\\B", L"A\\B\\C"}));
    EXPECT_EQ(standin::ClosedKeys(), (std::vector<std::wstring>{L"A", L"A\\B"}));
    RegCloseKey(key);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
}

TEST_F(OpenRegistryKeyTest, FailureAtEveryLevelReturnsFalseWithNoHandleOpen) {
    standin::FailCall(Operation::CreateKey, L"A\\B", ERROR_ACCESS_DENIED, false);
    standin::FailCall(Operation::CreateKey, L"A", ERROR_ACCESS_DENIED, false);
    HKEY key = nullptr;
    EXPECT_FALSE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B", &key, KEY_WRITE));
    EXPECT_EQ(CreatePaths(), (std::vector<std::wstring>{L"A\\B", L"A"}));
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
}

TEST_F(OpenRegistryKeyTest, ParentPathIsCutAt260Characters) {
    // 300 characters: the parent tried is the last backslash within the first 260.
    std::wstring path =
        std::wstring(250, L'a') + L"\\" + std::wstring(20, L'b') + L"\\c" + std::wstring(27, L'd');
    standin::FailCall(Operation::CreateKey, path, ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, path.c_str(), &key, KEY_WRITE));
    RegCloseKey(key);
    EXPECT_EQ(CreatePaths(), (std::vector<std::wstring>{path, std::wstring(250, L'a'), path}));
}

// The parent path is the path's first 260 characters cut at their last backslash: a component
// boundary just before the cut and one just after it tell a cut of 260 from 259 and 261.
struct ParentCutCase {
    const char* what;
    std::wstring path;
    size_t parentLength;
};

void PrintTo(const ParentCutCase& c, std::ostream* out) {
    *out << c.what;
}

class ParentPathCutTest : public StandInTest,
                          public ::testing::WithParamInterface<ParentCutCase> {};

TEST_P(ParentPathCutTest, IsTheFirst260CharactersCutAtTheirLastBackslash) {
    const std::wstring& path = GetParam().path;
    standin::FailCall(Operation::CreateKey, path, ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, path.c_str(), &key, KEY_WRITE));
    RegCloseKey(key);
    const std::vector<CallRecord> creates = standin::CallsOf(Operation::CreateKey);
    ASSERT_EQ(creates.size(), 3u);
    EXPECT_EQ(creates[1].subKey, path.substr(0, GetParam().parentLength));
    EXPECT_EQ(creates[2].subKey, path);
}

// Backslashes at the given positions, other characters between them, 300 characters in all.
std::wstring PathWithBackslashesAt(std::initializer_list<size_t> positions) {
    std::wstring path(300, L'k');
    for (size_t position : positions)
        path[position] = L'\\';
    return path;
}

INSTANTIATE_TEST_SUITE_P(Cuts, ParentPathCutTest,
                         ::testing::Values(
                             // A cut at 259 would end on the backslash at 257.
                             ParentCutCase{"backslash as the 260th character",
                                           PathWithBackslashesAt({200, 257, 259}), 259},
                             // A cut at 261 would take in the backslash at 260.
                             ParentCutCase{"backslash as the 261st character",
                                           PathWithBackslashesAt({200, 258, 260}), 258}));

TEST_F(OpenRegistryKeyTest, CreatesWithTheArgumentsWindowsExpects) {
    HKEY key = nullptr;
    ASSERT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, L"A\\B", &key, KEY_WRITE));
    RegCloseKey(key);
    const std::vector<CallRecord> creates = standin::CallsOf(Operation::CreateKey);
    ASSERT_EQ(creates.size(), 1u);
    const CallRecord& create = creates.front();
    EXPECT_EQ(create.parent, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(create.subKey, L"A\\B");
    EXPECT_EQ(create.reserved, 0u);
    EXPECT_TRUE(create.classGiven); // an empty class, not none
    EXPECT_EQ(create.keyClass, L"");
    EXPECT_EQ(create.options, 0u); // a lasting key, not a volatile one
    EXPECT_FALSE(create.securityGiven);
    EXPECT_FALSE(create.dispositionGiven);
}

} // namespace
