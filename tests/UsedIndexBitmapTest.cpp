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
            "index field above FFFF keeps its low 16 bits", {Interface(0x10005, 6)}, {0x2F}},
        RebuildCase{"type field holds 0x prefix", {Entry{L"00000005000x0600", REG_BINARY}}, {0x2F}},
        RebuildCase{
            "lower-case hex digits", {Entry{L"0000000a00000600", REG_BINARY}}, {0x0F, 0x04}},
        RebuildCase{"a sign in the type field", {Entry{L"0000000500+00600", REG_BINARY}}, {0x2F}},
        RebuildCase{"digits stop at the first other character",
                    {Entry{L"00005Z0000000600", REG_BINARY}},
                    {0x2F}}));

TEST(RebuildCoreTypeTest, TypeMatchesTheFourHexDigitsOfTheName) {
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
