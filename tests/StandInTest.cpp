// Tests that the stand-in registry answers as Windows does where the tool relies on it.
#include "StandInFixture.h"

#include <conio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class StandInRegistryTest : public StandInTest {
  protected:
    HKEY Open(const wchar_t* path, REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(StandInRegistryTest, EnumeratesInOrderOfCreationWithWindowsSizes) {
    standin::SeedValue(L"K", L"b", REG_BINARY, Bytes({1}));
    standin::SeedValue(L"K", L"A", REG_SZ, Bytes({2}));
    standin::SeedValue(L"K", L"long-name", REG_BINARY, Bytes({3}));
    HKEY key = Open(L"k", KEY_READ);
    WCHAR name[5];
    DWORD length = 5;
    DWORD type = 0;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, L"b");
    EXPECT_EQ(length, 1u);
    length = 5;
    ASSERT_EQ(RegEnumValueW(key, 1, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    length = 5;
    EXPECT_EQ(RegEnumValueW(key, 2, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_MORE_DATA);
    length = 5;
    EXPECT_EQ(RegEnumValueW(key, 3, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(StandInRegistryTest, QueryGivesSizeWithoutBufferAndMoreDataWhenShort) {
    standin::SeedValue(L"K", L"V", REG_BINARY, Bytes({1, 2, 3}));
    HKEY key = Open(L"K", KEY_READ);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 3u);
    BYTE data[3];
    size = 2;
    EXPECT_EQ(RegQueryValueExW(key, L"V", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(RegQueryValueExW(key, L"W", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(StandInRegistryTest, ReadHandleCannotWriteAndClosedHandleIsInvalid) {
    standin::SeedKey(L"K");
    HKEY key = Open(L"K", KEY_READ);
    const BYTE data[1] = {1};
    EXPECT_EQ(RegSetValueExW(key, L"V", 0, REG_BINARY, data, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
}

TEST_F(StandInRegistryTest, InjectedFailureIsUsedOnceOrKept) {
    standin::SeedKey(L"K");
    standin::FailCall(standin::Operation::OpenKey, L"k", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    key = Open(L"K", KEY_READ);
    RegCloseKey(key);
    standin::FailCall(standin::Operation::OpenKey, L"K", ERROR_ACCESS_DENIED, false);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
}

} // namespace

namespace {

// Without a controlling terminal the key wait returns at once instead of blocking the run.
TEST(StandInKeyWaitTest, ReturnsAtOnceWithoutATerminal) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        alarm(10); // a wait that blocks ends the child by a signal
        standin::Reset();
        standin::SetKeyWaitReadsTerminal(true);
        _getch();
        _exit(standin::KeyWaitCount() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
