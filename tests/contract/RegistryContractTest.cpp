// The registry calls as the tool makes them and the edges it relies on, checked on every backend:
// the stand-in, the offline hive, and Windows itself (Wine's real registry).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ContractBackend.h"

namespace {

std::wstring Scratch(const std::wstring& below = L"") {
    return below.empty() ? std::wstring(ScratchPath) : std::wstring(ScratchPath) + L"\\" + below;
}

LSTATUS Open(const std::wstring& path, REGSAM access, HKEY* key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key);
}

// As the tool creates: class "", options 0, no security attributes, no disposition.
LSTATUS Create(HKEY parent, const std::wstring& path, REGSAM access, HKEY* key) {
    WCHAR noClass[1] = {0};
    return RegCreateKeyExW(parent, path.c_str(), 0, noClass, REG_OPTION_NON_VOLATILE, access,
                           nullptr, key, nullptr);
}

bool Exists(const std::wstring& path) {
    HKEY key = nullptr;
    if (Open(path, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

LSTATUS SetBinary(HKEY key, const wchar_t* name, std::vector<BYTE> data) {
    return RegSetValueExW(key, name, 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
}

class RegistryContract : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PrepareScratch());
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(), KEY_READ | KEY_WRITE, &scratch_),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (scratch_ != nullptr)
            RegCloseKey(scratch_);
        FinishScratch();
    }
    HKEY scratch_ = nullptr;
};

TEST_F(RegistryContract, OpenNeverCreates) {
    HKEY key = nullptr;
    for (REGSAM access : {KEY_READ, KEY_WRITE, KEY_READ | KEY_WRITE})
        EXPECT_EQ(Open(Scratch(L"Missing\\Deeper"), access, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Exists(Scratch(L"Missing")));
}

TEST_F(RegistryContract, OpenRelativeToAnOpenKey) {
    HKEY child = nullptr;
    ASSERT_EQ(Create(scratch_, L"Child", KEY_WRITE, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(scratch_, L"Child", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(scratch_, L"Other", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, CreateMakesEveryMissingLevelAndOpensAnExistingKey) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(L"A\\B\\C"), KEY_WRITE, &key), ERROR_SUCCESS);
    ASSERT_EQ(SetBinary(key, L"Kept", {1, 2}), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(Scratch(L"A")));
    EXPECT_TRUE(Exists(Scratch(L"A\\B")));
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(L"A\\B\\C"), KEY_READ | KEY_WRITE, &key),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"Kept", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    RegCloseKey(key);
}

TEST_F(RegistryContract, QueryWithoutAndWithABuffer) {
    ASSERT_EQ(SetBinary(scratch_, L"Bits", {0xD3, 0x00, 0x7F}), ERROR_SUCCESS);
    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(scratch_, L"Bits", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(size, 3u);

    BYTE buffer[8] = {};
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(scratch_, L"Bits", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{0xD3, 0x00, 0x7F}));

    BYTE small[2] = {};
    size = sizeof small;
    type = REG_NONE;
    EXPECT_EQ(RegQueryValueExW(scratch_, L"Bits", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(scratch_, L"Missing", nullptr, &type, buffer, &size),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, SetReplacesAndNamesIgnoreCase) {
    ASSERT_EQ(SetBinary(scratch_, L"IfUsedNetLuidIndices", std::vector<BYTE>(128, 0xFF)),
              ERROR_SUCCESS);
    ASSERT_EQ(SetBinary(scratch_, L"IFUSEDNETLUIDINDICES", {0x1F}), ERROR_SUCCESS);
    BYTE buffer[128];
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(scratch_, L"ifusednetluidindices", nullptr, nullptr, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(buffer[0], 0x1F);

    // One value, under the spelling it was first stored with.
    WCHAR name[32];
    DWORD length = 32;
    ASSERT_EQ(RegEnumValueW(scratch_, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"IfUsedNetLuidIndices");
    length = 32;
    EXPECT_EQ(RegEnumValueW(scratch_, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    HKEY key = nullptr;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(L"Mixed"), KEY_WRITE, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(Scratch(L"mIXED")));
}

// Names match ignoring case in all of Unicode, by upper case: the capital sharp s is not ß.
TEST_F(RegistryContract, NamesIgnoreCaseBeyondAscii) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(L"\u00C4rger\u0416\u03A9"), KEY_WRITE, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(SetBinary(key, L"Gr\u00F6\u00DFe", {7}), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Open(Scratch(L"\u00E4RGER\u0436\u03C9"), KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"GR\u00D6\u00DFE", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"GR\u00D6\u1E9EE", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryContract, EnumerationGivesNamesLengthsAndTypesToTheEnd) {
    ASSERT_EQ(SetBinary(scratch_, L"0000000600000600", {1}), ERROR_SUCCESS);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(scratch_, L"0000000700000600", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    std::vector<std::wstring> names;
    DWORD index = 0;
    for (;; ++index) {
        WCHAR name[17];
        DWORD length = 17;
        DWORD type = REG_NONE;
        const LSTATUS status =
            RegEnumValueW(scratch_, index, name, &length, nullptr, &type, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(length, 16u);
        EXPECT_EQ(name[16], 0);
        names.push_back(std::wstring(name) + (type == REG_BINARY ? L" binary" : L" dword"));
    }
    EXPECT_EQ(index, 2u);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"0000000600000600 binary", L"0000000700000600 dword"}));
}

// A name that does not fit: the walk skips it by this result and goes on with the next index.
TEST_F(RegistryContract, EnumerationWithTooSmallANameBuffer) {
    ASSERT_EQ(SetBinary(scratch_, L"00000007000006000000", {1}), ERROR_SUCCESS);
    WCHAR name[17];
    for (WCHAR& c : name)
        c = L'#';
    DWORD length = 17;
    DWORD type = 0xABCD;
    EXPECT_EQ(RegEnumValueW(scratch_, 0, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_MORE_DATA);
    // The name and its length stay as they were; the type is given all the same.
    EXPECT_EQ(length, 17u);
    for (WCHAR c : name)
        EXPECT_EQ(c, L'#');
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    length = 17;
    EXPECT_EQ(RegEnumValueW(scratch_, 1, name, &length, nullptr, &type, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

// Doubled and trailing backslashes are skipped, the path names the key it names without them; a
// leading one is a bad path name. (So Wine's registry does; the tool's own paths have neither.)
TEST_F(RegistryContract, EmptyPathComponents) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(L"A\\\\B\\"), KEY_WRITE, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(Scratch(L"A\\B")));
    for (const std::wstring& path : {Scratch(L"A\\\\B"), Scratch(L"\\A\\B"), Scratch(L"A\\B\\")}) {
        EXPECT_EQ(Open(path, KEY_READ, &key), ERROR_SUCCESS) << ::testing::PrintToString(path);
        RegCloseKey(key);
    }
    ASSERT_EQ(RegOpenKeyExW(scratch_, L"A\\\\B\\", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    const std::wstring leading = std::wstring(L"\\") + Scratch(L"A");
    EXPECT_EQ(Open(leading, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, leading, KEY_WRITE, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(scratch_, L"\\A", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Create(scratch_, L"\\C", KEY_WRITE, &key), ERROR_BAD_PATHNAME);
    EXPECT_FALSE(Exists(Scratch(L"C")));
}

// A key name of up to 256 characters is taken (Wine's limit), a longer one refused.
TEST_F(RegistryContract, KeyNamesOfAtMost256Characters) {
    HKEY key = nullptr;
    const std::wstring longest(256, L'k');
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(longest), KEY_WRITE, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(Scratch(longest)));
    const std::wstring tooLong(257, L'k');
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, Scratch(tooLong + L"\\x"), KEY_WRITE, &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(Scratch(tooLong), KEY_READ, &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(scratch_, tooLong.c_str(), 0, KEY_READ, &key), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryContract, AHandleDoesOnlyWhatItWasOpenedFor) {
    ASSERT_EQ(SetBinary(scratch_, L"Bits", {1}), ERROR_SUCCESS);
    HKEY reader = nullptr;
    ASSERT_EQ(Open(Scratch(), KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(SetBinary(reader, L"Bits", {2}), ERROR_ACCESS_DENIED);
    RegCloseKey(reader);

    HKEY writer = nullptr;
    ASSERT_EQ(Open(Scratch(), KEY_WRITE, &writer), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(writer, L"Bits", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    WCHAR name[17];
    DWORD length = 17;
    EXPECT_EQ(RegEnumValueW(writer, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    RegCloseKey(writer);

    BYTE data[4];
    size = sizeof data;
    ASSERT_EQ(RegQueryValueExW(scratch_, L"Bits", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1);
}

} // namespace
