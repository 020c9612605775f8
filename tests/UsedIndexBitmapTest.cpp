// Tests of the pure bitmap rebuild over network-store value names and types.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetworkStoreName.h"
#include "repair/UsedIndexBitmap.h"

namespace {

struct Entry {
    std::wstring name;
    DWORD type;
};

Entry Interface(unsigned index, unsigned type) {
    return Entry{NetworkStoreName(index, type), REG_BINARY};
}

std::vector<Entry> Interfaces(unsigned first, unsigned last, unsigned type) {
    std::vector<Entry> entries;
    for (unsigned index = first; index <= last; ++index)
        entries.push_back(Interface(index, type));
    return entries;
}

std::vector<BYTE> Rebuild(WORD type, const std::vector<Entry>& entries) {
    std::vector<NetworkStoreValue> values;
    for (const Entry& entry : entries)
        values.push_back(NetworkStoreValue{entry.name.c_str(),
                                           static_cast<DWORD>(entry.name.size()), entry.type});
    UsedIndexBitmap bitmap;
    RebuildUsedIndicesFromValues(type, values.data(), static_cast<DWORD>(values.size()), &bitmap);
    EXPECT_GE(bitmap.length, 1u);
    EXPECT_LE(bitmap.length, UsedIndexBitmapCapacity);
    return std::vector<BYTE>(bitmap.bytes, bitmap.bytes + bitmap.length);
}

struct RebuildCase {
    const char* what;
    std::vector<Entry> entries;
    std::vector<BYTE> expected;
};

void PrintTo(const RebuildCase& c, std::ostream* out) {
    *out << c.what;
}

class RebuildCoreTest : public ::testing::TestWithParam<RebuildCase> {};

TEST_P(RebuildCoreTest, GivesTheWrittenBytes) {
    EXPECT_EQ(Rebuild(6, GetParam().entries), GetParam().expected);
}

std::vector<BYTE> AllSet(size_t count) {
    return std::vector<BYTE>(count, 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RebuildCoreTest,
    ::testing::Values(
        RebuildCase{"no values: index 0 used, 1 to 4 reserved", {}, {0x1F}},
        RebuildCase{"index 5", {Interface(5, 6)}, {0x2F}},
        RebuildCase{"indices 0, 1 and 9",
                    {Interface(0, 6), Interface(1, 6), Interface(9, 6)},
                    {0x3F, 0x02}},
        RebuildCase{"index 8 alone", {Interface(8, 6)}, {0x0F, 0x01}},
        RebuildCase{"indices 0 to 15", Interfaces(0, 15, 6), {0xFF, 0xFF, 0x0F}},
        RebuildCase{"index 1500 is ignored", {Interface(1500, 6)}, {0x1F}},
        RebuildCase{"indices 5, 300 and 1000",
                    {Interface(5, 6), Interface(300, 6), Interface(1000, 6)},
                    [] {
                        std::vector<BYTE> bytes(126, 0);
                        bytes[0] = 0x2F;
                        bytes[300 / 8] = 1 << (300 % 8);
                        bytes[1000 / 8] = 1 << (1000 % 8);
                        return bytes;
                    }()},
        RebuildCase{"index 1023 is kept",
                    {Interface(1023, 6)},
                    [] {
                        std::vector<BYTE> bytes(128, 0);
                        bytes[0] = 0x0F;
                        bytes[127] = 0x80;
                        return bytes;
                    }()},
        RebuildCase{"every index in use", Interfaces(0, 1023, 6), AllSet(128)},
        RebuildCase{"the reservation spills into the next bytes",
                    Interfaces(0, 21, 6),
                    {0xFF, 0xFF, 0xFF, 0x03}},
        RebuildCase{"reservation fills the holes of several bytes",
                    [] {
                        auto entries = Interfaces(0, 6, 6);
                        entries.push_back(Interface(8, 6));
                        return entries;
                    }(),
                    {0xFF, 0x0F}},
        RebuildCase{"other interface type skipped", {Interface(5, 24)}, {0x1F}},
        RebuildCase{
            "other registry type skipped", {Entry{Interface(5, 6).name, REG_DWORD}}, {0x1F}},
        RebuildCase{"15-character name skipped", {Entry{L"000000500000600", REG_BINARY}}, {0x1F}},
        RebuildCase{"17-character name skipped", {Entry{L"00000005000006000", REG_BINARY}}, {0x1F}},
        RebuildCase{
            "an index of 2^16 + 5 is not reduced to 16 bits", {Interface(0x10005, 6)}, {0x1F}},
        RebuildCase{
            "a 0x prefix in the type field", {Entry{L"00000005000x0600", REG_BINARY}}, {0x1F}},
        RebuildCase{
            "lower-case hex digits", {Entry{L"0000000a00000600", REG_BINARY}}, {0x0F, 0x04}},
        RebuildCase{"a sign in the type field", {Entry{L"0000000500+00600", REG_BINARY}}, {0x1F}},
        RebuildCase{"a blank in the index field", {Entry{L"00000005 0000600", REG_BINARY}}, {0x1F}},
        RebuildCase{"a non-hex character in the reserved bytes",
                    {Entry{L"00005Z0500000600", REG_BINARY}},
                    {0x1F}}));

// What one value name marks on its own, before the reservation: its index, or nothing.
struct NameCase {
    const wchar_t* name;
    WORD type;
    int index; // -1: skipped
};

class NetworkStoreNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NetworkStoreNameTest, MarksTheIndexWindowsEncoded) {
    UsedIndexBitmap bitmap;
    StartUsedIndexBitmap(&bitmap);
    MarkNetworkStoreValue(&bitmap, GetParam().type, GetParam().name, 16, REG_BINARY);
    std::vector<int> marked;
    for (DWORD i = 0; i < UsedIndexLimit; ++i)
        if ((bitmap.bytes[i / 8] >> (i % 8)) & 1)
            marked.push_back(static_cast<int>(i));
    EXPECT_EQ(marked,
              GetParam().index < 0 ? std::vector<int>{} : std::vector<int>{GetParam().index})
        << ::testing::PrintToString(std::wstring(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Names, NetworkStoreNameTest,
    ::testing::Values(
        // Names from real SYSTEM hives, with type and index as the adapters' class keys give them.
        NameCase{L"0000000600000600", 6, 6}, NameCase{L"0000000100008300", 131, 1},
        NameCase{L"0000000000001700", 23, 0}, NameCase{L"0000000000001800", 24, 0},
        NameCase{L"0000000600000600", 131, -1},
        // Windows 10 numbers its interfaces from 32768: beyond the bitmap, so skipped.
        NameCase{L"0000000180000600", 6, -1}, NameCase{L"0000000080004700", 71, -1},
        NameCase{L"0000000480008300", 131, -1},
        // The index is 24 bits, least significant byte first.
        NameCase{L"000000FF00000600", 6, 255}, NameCase{L"0000000001000600", 6, 256},
        NameCase{L"0000002C01000600", 6, 300}, NameCase{L"000000FF03000600", 6, 1023},
        NameCase{L"0000000004000600", 6, -1}, NameCase{L"0000002C01010600", 6, -1},
        // The type is 16 bits, least significant byte first: 262 is 06 01, not 6.
        NameCase{L"0000000500000601", 262, 5}, NameCase{L"0000000500000601", 6, -1},
        NameCase{L"0000000500000106", 262, -1},
        // Either case; the three reserved bytes are not examined but must be hex digits.
        NameCase{L"abcdef2c01000600", 6, 300}, NameCase{L"0000g02C01000600", 6, -1},
        NameCase{L"0000002G01000600", 6, -1}, NameCase{L"0000002C01000G00", 6, -1}));

// The network store of a real Windows 7 SP1 machine: every REG_BINARY value it holds.
const wchar_t* const Windows7Store[] = {
    L"0000000000008300", L"0000000100008300", L"0000000200008300", L"0000000300008300",
    L"0000000400008300", L"0000000500008300", L"0000000000001700", L"0000000100001700",
    L"0000000000000600", L"0000000100000600", L"0000000400000600", L"0000000600000600",
    L"0000000700000600"};

TEST(RebuildCoreRealStoreTest, Windows7StoreGivesItsOwnBitmapsPlusTheReservation) {
    std::vector<Entry> store;
    for (const wchar_t* name : Windows7Store)
        store.push_back(Entry{name, REG_BINARY});
    // The hive's own bitmaps: type 6 D3 (0, 1, 4, 6, 7), type 131 3F (0-5), type 23 03 (0-1).
    EXPECT_EQ(Rebuild(6, store), (std::vector<BYTE>{0xD3 | 0x2C, 0x01}));
    EXPECT_EQ(Rebuild(131, store), (std::vector<BYTE>{0x3F | 0xC0, 0x03}));
    EXPECT_EQ(Rebuild(23, store), std::vector<BYTE>{0x03 | 0x3C});
}

TEST(RebuildCoreTypeTest, TypeMatchesTheTwoTypeBytesOfTheName) {
    EXPECT_EQ(Rebuild(0x47, {Interface(3, 0x47), Interface(2, 6)}), std::vector<BYTE>{0x1F});
    EXPECT_EQ(Rebuild(65535, {Interface(9, 0xFFFF)}), (std::vector<BYTE>{0x0F, 0x02}));
}

TEST(RebuildCoreStepsTest, StepsGiveTheSameResultAsTheWholeRebuild) {
    UsedIndexBitmap bitmap;
    StartUsedIndexBitmap(&bitmap);
    const std::wstring name = Interface(9, 6).name;
    MarkNetworkStoreValue(&bitmap, 6, name.c_str(), 16, REG_BINARY);
    EXPECT_EQ(bitmap.length, 2u);
    FinishUsedIndexBitmap(&bitmap);
    EXPECT_EQ(std::vector<BYTE>(bitmap.bytes, bitmap.bytes + bitmap.length),
              Rebuild(6, {Interface(9, 6)}));
}

} // namespace
