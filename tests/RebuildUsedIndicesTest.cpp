// Tests of the walk over the network-store key in the stand-in registry.
#include "StandInFixture.h"

#include "registry/RegistryKey.h"
#include "repair/RebuildUsedIndices.h"

using standin::Operation;

namespace {

const wchar_t StorePath[] = L"Store";

class RebuildWalkTest : public StandInTest {
  protected:
    void AddInterface(unsigned index, unsigned type) {
        standin::SeedValue(StorePath, NetworkStoreName(index, type), REG_BINARY, Bytes({0}));
    }
    bool Walk(WORD type, std::vector<BYTE>* bytes) {
        standin::SeedKey(StorePath);
        RegistryKey store;
        EXPECT_TRUE(store.Open(HKEY_LOCAL_MACHINE, StorePath, KEY_READ));
        UsedIndexBitmap bitmap;
        const bool complete = RebuildUsedIndices(store.Get(), type, &bitmap);
        bytes->assign(bitmap.bytes, bitmap.bytes + bitmap.length);
        return complete;
    }
};

TEST_F(RebuildWalkTest, EmptyKeyGivesIndexZeroAndFourReserved) {
    std::vector<BYTE> bytes;
    ASSERT_TRUE(Walk(6, &bytes));
    EXPECT_EQ(bytes, Bytes({0x1F}));
}

TEST_F(RebuildWalkTest, MarksEveryInterfaceOfTheTypeAmongOthers) {
    AddInterface(9, 6);
    AddInterface(3, 24);
    standin::SeedValue(StorePath, NetworkStoreName(2, 6), REG_SZ, Bytes({0, 0}));
    AddInterface(0, 6);
    AddInterface(1, 6);
    std::vector<BYTE> bytes;
    ASSERT_TRUE(Walk(6, &bytes));
    EXPECT_EQ(bytes, Bytes({0x3F, 0x02}));
}

TEST_F(RebuildWalkTest, OverLongNameIsSkippedAndTheWalkGoesOn) {
    AddInterface(5, 6);
    standin::SeedValue(StorePath, L"00000001000006000000", REG_BINARY, Bytes({0}));
    AddInterface(9, 6);
    std::vector<BYTE> bytes;
    ASSERT_TRUE(Walk(6, &bytes));
    EXPECT_EQ(bytes, Bytes({0x2F, 0x02})); // 9 is seen although it follows the long name
}

TEST_F(RebuildWalkTest, FailureInTheMiddleReportsAnIncompleteWalk) {
    AddInterface(5, 6);
    AddInterface(7, 6);
    AddInterface(9, 6);
    standin::FailCall(Operation::EnumValue, NetworkStoreName(7, 6), ERROR_ACCESS_DENIED);
    std::vector<BYTE> bytes;
    EXPECT_FALSE(Walk(6, &bytes));
}

} // namespace
