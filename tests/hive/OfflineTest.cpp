// Tests of zelvoran-offline and the hive backend over fixture SYSTEM hives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "HiveFixture.h"
#include "NetworkStoreName.h"
#include "SystemHive.h"
#include "registry/RegistryKey.h"
#include "repair/RebuildUsedIndices.h"

namespace {

const std::string Used = "IfUsedNetLuidIndices";
const std::string Backup = "IfUsedNetLuidIndices_ZARBBackup";
const std::string StoreTail = "Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";
const uint32_t RegBinary = 3;
const uint32_t RegDword = 4;

std::string TypeKey(int controlSet, const std::string& type = "6") {
    return "ControlSet00" + std::to_string(controlSet) + "\\services\\NDIS\\IfTypes\\" + type;
}

const WCHAR* NetworkStorePathW() {
    return L"SYSTEM\\CurrentControlSet\\Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";
}

std::string StoreKey(int controlSet) {
    return "ControlSet00" + std::to_string(controlSet) + "\\" + StoreTail;
}

std::string Interface(unsigned index, unsigned type) {
    const std::wstring name = NetworkStoreName(index, type);
    return std::string(name.begin(), name.end()); // ASCII
}

std::vector<uint8_t> Damaged() {
    return std::vector<uint8_t>(128, 0xFF);
}

void OverwriteAt(const std::string& path, long offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Replaces the first occurrence of the bytes; both of one length.
void ReplaceInFile(const std::string& path, const std::string& from, const std::string& to) {
    const size_t at = ReadFile(path).find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ASSERT_EQ(from.size(), to.size());
    OverwriteAt(path, static_cast<long>(at), to);
}

off_t FileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};

class OfflineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvoran-hive-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        hive_ = dir_ + "/SYSTEM";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // A SYSTEM hive whose current control set holds a damaged type-6 bitmap and interfaces
    // 0, 1 and 9 of type 6 (and one of type 24) in the network store.
    void MakeHive(std::vector<HiveValue> extra = {}, int current = 1, bool withStore = true) {
        ASSERT_TRUE(WriteEmptyHive(hive_));
        std::vector<HiveValue> values = {{"Select", "Current", RegDword, Dword(current)},
                                         {TypeKey(current), Used, RegBinary, Damaged()}};
        if (withStore) {
            for (unsigned index : {0u, 1u, 9u})
                values.push_back({StoreKey(current), Interface(index, 6), RegBinary, {1}});
            values.push_back({StoreKey(current), Interface(2, 24), RegBinary, {1}});
        }
        values.insert(values.end(), extra.begin(), extra.end());
        ASSERT_TRUE(FillHive(hive_, {}, values));
    }

    // Runs zelvoran-offline with the arguments, or the whole command line when asked.
    RunResult Run(const std::string& arguments, bool withProgram = true) {
        const std::string out = dir_ + "/out";
        const std::string err = dir_ + "/err";
        const std::string command = (withProgram ? std::string(ZELVORAN_OFFLINE) + " " : "") +
                                    arguments + " > " + out + " 2> " + err;
        const int status = std::system(command.c_str());
        return RunResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1000, ReadFile(out),
                         ReadFile(err)};
    }

    std::vector<uint8_t> Value(const std::string& key, const std::string& name) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        if (!ReadHiveValue(hive_, key, name, &type, &data))
            return {};
        EXPECT_EQ(type, RegBinary);
        return data;
    }
    bool HasValue(const std::string& key, const std::string& name) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        return ReadHiveValue(hive_, key, name, &type, &data);
    }

    std::string dir_;
    std::string hive_;
};

TEST_F(OfflineTest, RepairsADamagedValueWithBackup) {
    MakeHive();
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("Repair successful.\n\nYou need to restart your computer.\n", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("3F 02"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Indices in use by interfaces: 0-1, 9"), std::string::npos);
    EXPECT_NE(run.out.find("Indices reserved:             2-5"), std::string::npos);
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
    EXPECT_EQ(Value(TypeKey(1), Backup), Damaged());
    // No temporary file is left beside the hive.
    EXPECT_EQ(access((hive_ + ".zelvoran-new").c_str(), F_OK), -1);
}

TEST_F(OfflineTest, WrittenHiveReadsBackWithHivexshAndASecondRun) {
    std::vector<HiveValue> many;
    for (unsigned index = 0; index < 80; ++index)
        many.push_back({StoreKey(1), Interface(index, 6), RegBinary, {1}});
    MakeHive(many);
    ASSERT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
    const std::vector<uint8_t> first = Value(TypeKey(1), Used);
    ASSERT_EQ(first.size(), 11u);

    const std::string script = dir_ + "/script";
    std::ofstream(script) << "cd " << TypeKey(1) << "\nlsval\n";
    const std::string listing = dir_ + "/listing";
    ASSERT_EQ(std::system(("hivexsh -f " + script + " " + hive_ + " > " + listing).c_str()), 0);
    EXPECT_NE(ReadFile(listing).find("\"IfUsedNetLuidIndices\"=hex(3):ff,ff,ff,ff,ff,ff,ff,ff,ff,"
                                     "ff,0f"),
              std::string::npos)
        << ReadFile(listing);

    ASSERT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
    EXPECT_EQ(Value(TypeKey(1), Backup), first);
    EXPECT_EQ(Value(TypeKey(1), Used), first);
}

TEST_F(OfflineTest, FollowsSelectCurrentToItsControlSet) {
    MakeHive({{TypeKey(1), Used, RegBinary, Damaged()}}, 2);
    const RunResult run = Run("--iftype=6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("CurrentControlSet is ControlSet002"), std::string::npos);
    EXPECT_EQ(Value(TypeKey(2), Used), (std::vector<uint8_t>{0x3F, 0x02}));
    EXPECT_EQ(Value(TypeKey(1), Used), Damaged());
    EXPECT_FALSE(HasValue(TypeKey(1), Backup));
}

TEST_F(OfflineTest, KeepsOwnerAndMode) {
    MakeHive();
    ASSERT_EQ(chmod(hive_.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(hive_.c_str(), 1234, 4321), 0);
    }
    ASSERT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
    struct stat after;
    ASSERT_EQ(stat(hive_.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(after.st_uid, 1234u);
        EXPECT_EQ(after.st_gid, 4321u);
    }
}

TEST_F(OfflineTest, DryRunSaysARepairIsNeededAndLeavesTheFileByteIdentical) {
    MakeHive();
    const std::string before = ReadFile(hive_);
    const RunResult run = Run("--dry-run --iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out.rfind("A repair is needed (dry run: nothing was written).\n", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("(dry run: would be written):\n    3F 02"), std::string::npos);
    EXPECT_EQ(run.out.find("Repair successful."), std::string::npos);
    EXPECT_EQ(run.out.find("restart"), std::string::npos);
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
}

TEST_F(OfflineTest, AnEmptyStoreCountsIndexZeroAsUsedNotReserved) {
    MakeHive({}, 1, false);
    ASSERT_TRUE(FillHive(hive_, {StoreKey(1)}, {}));
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.out.find("Indices in use by interfaces: none (index 0 is counted as used)\n"
                           "Indices reserved:             1-4\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Value(TypeKey(1), Used), std::vector<uint8_t>{0x1F});
}

TEST_F(OfflineTest, AValueLongerThanABitmapIsNamedOnStderr) {
    MakeHive({{TypeKey(1), Used, RegBinary, std::vector<uint8_t>(129)}});
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out.rfind("Unknown error.\n", 0), 0u);
    EXPECT_NE(run.err.find("IfUsedNetLuidIndices of interface type 6 is 129 bytes long, more than "
                           "the 128"),
              std::string::npos)
        << run.err;
}

struct OutcomeCase {
    const char* what;
    std::vector<HiveValue> extra;
    bool withStore;
    std::string arguments;
    int exitCode;
    std::string message;
};

void PrintTo(const OutcomeCase& c, std::ostream* out) {
    *out << c.what;
}

class OfflineOutcomeTest : public OfflineTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OfflineOutcomeTest, ReportsAndLeavesTheFileByteIdentical) {
    MakeHive(GetParam().extra, 1, GetParam().withStore);
    const std::string before = ReadFile(hive_);
    const RunResult run = Run(GetParam().arguments + " " + hive_);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(GetParam().message, 0), 0u) << run.out;
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OfflineOutcomeTest,
    ::testing::Values(OutcomeCase{"short value",
                                  {{TypeKey(1), Used, RegBinary, std::vector<uint8_t>(9, 1)}},
                                  true,
                                  "--iftype 6",
                                  0,
                                  "It's not necessary to repair ndis interface indices.\n"},
                      OutcomeCase{"value of 129 bytes",
                                  {{TypeKey(1), Used, RegBinary, std::vector<uint8_t>(129)}},
                                  true,
                                  "--iftype 6",
                                  255,
                                  "Unknown error.\n"},
                      OutcomeCase{"value of another type",
                                  {{TypeKey(1), Used, RegDword, Dword(7)}},
                                  true,
                                  "--iftype 6",
                                  255,
                                  "Unknown error.\n"},
                      OutcomeCase{"type key missing",
                                  {},
                                  true,
                                  "--iftype 24",
                                  255,
                                  "Can't open registry key "
                                  "\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\24\".\n"},
                      OutcomeCase{"value missing",
                                  {{TypeKey(1, "24"), "Other", RegBinary, {1}}},
                                  true,
                                  "--iftype 24",
                                  255,
                                  "Unknown error.\n"},
                      OutcomeCase{
                          "network store missing",
                          {},
                          false,
                          "--iftype 6",
                          255,
                          "Can't find registry key \"SYSTEM\\CurrentControlSet\\Control\\Nsi\\"
                          "{eb004a11-9b1a-11d4-9123-0050047759bc}\\10\"\n"},
                      OutcomeCase{"default type 1 has no key",
                                  {},
                                  true,
                                  "",
                                  255,
                                  "Can't open registry key "
                                  "\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\1\".\n"}));

TEST_F(OfflineTest, MissingIfTypesKey) {
    ASSERT_TRUE(WriteEmptyHive(hive_));
    ASSERT_TRUE(
        FillHive(hive_, {"ControlSet001\\Control"}, {{"Select", "Current", RegDword, Dword(1)}}));
    const RunResult run = Run(hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out.rfind("Can't find registry key "
                            "\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\".\n",
                            0),
              0u);
}

struct RefusalCase {
    const char* what;
    void (*spoil)(const std::string& hive);
    std::string reason;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.what;
}

class OfflineRefusalTest : public OfflineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(OfflineRefusalTest, RefusesWithAReasonAndWritesNothing) {
    MakeHive();
    GetParam().spoil(hive_);
    const std::string before = ReadFile(hive_);
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find(GetParam().reason), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
}

INSTANTIATE_TEST_SUITE_P(
    Files, OfflineRefusalTest,
    ::testing::Values(
        RefusalCase{"not a hive", [](const std::string& hive) { OverwriteAt(hive, 0, "MZ\x90"); },
                    "is not a registry hive file"},
        RefusalCase{"dirty hive", [](const std::string& hive) { PatchHive32(hive, 8, 7, true); },
                    "is dirty"},
        RefusalCase{"base block checksum wrong",
                    [](const std::string& hive) { PatchHive32(hive, 8, 7, false); },
                    "its checksum does not match"},
        RefusalCase{"unsupported format version",
                    [](const std::string& hive) { PatchHive32(hive, 0x18, 9, true); },
                    "unsupported hive format version 1.9"},
        RefusalCase{"a transaction log, not a primary file",
                    [](const std::string& hive) { PatchHive32(hive, 0x1C, 1, true); },
                    "is not a primary hive file"},
        RefusalCase{"hive-bins size larger than the file",
                    [](const std::string& hive) { PatchHive32(hive, 0x28, 0x100000, true); },
                    "its base block gives 1048576 bytes of hive bins"},
        RefusalCase{"hive-bins size not a multiple of 4096",
                    [](const std::string& hive) { PatchHive32(hive, 0x28, 0x1800, true); },
                    "its base block gives 6144 bytes of hive bins"},
        RefusalCase{"truncated file",
                    [](const std::string& hive) {
                        ASSERT_EQ(truncate(hive.c_str(), FileSize(hive) - 100), 0);
                    },
                    "bytes of hive bins, the file holds"},
        RefusalCase{"truncated base block",
                    [](const std::string& hive) { ASSERT_EQ(truncate(hive.c_str(), 600), 0); },
                    "is truncated"},
        RefusalCase{"damaged hive-bin header",
                    [](const std::string& hive) { OverwriteAt(hive, 0x1000, "xbin"); },
                    "the hive bin at offset 0 has a bad header"},
        RefusalCase{
            "the last hive bin cut off, the header made to match",
            [](const std::string& hive) {
                // A value written last lands in a bin of its own at the end.
                FillHive(hive, {}, {{"Last", "Data", RegBinary, std::vector<uint8_t>(6000, 0x5A)}});
                const std::string file = ReadFile(hive);
                const size_t lastBin = file.rfind("hbin");
                ASSERT_EQ(truncate(hive.c_str(), static_cast<off_t>(lastBin)), 0);
                PatchHive32(hive, 0x28, static_cast<uint32_t>(lastBin - 4096), true);
            },
            "cannot be read; nothing was written"},
        RefusalCase{"two values of the type key with one name",
                    [](const std::string& hive) {
                        FillHive(hive, {}, {{TypeKey(1), "IfUsedNetLuidIndicez", RegBinary, {1}}});
                        ReplaceInFile(hive, "IfUsedNetLuidIndicez", "ifusednetluidindices");
                    },
                    "holds two values named IfUsedNetLuidIndices"},
        RefusalCase{"empty file", [](const std::string& hive) { std::ofstream truncate(hive); },
                    "is not a registry hive file"},
        RefusalCase{"no Select\\Current",
                    [](const std::string& hive) {
                        WriteEmptyHive(hive);
                        FillHive(hive, {"ControlSet001\\Control"}, {});
                    },
                    "has no Select\\Current"},
        RefusalCase{"control set missing",
                    [](const std::string& hive) {
                        WriteEmptyHive(hive);
                        FillHive(hive, {"ControlSet001\\Control"},
                                 {{"Select", "Current", RegDword, Dword(3)}});
                    },
                    "has no ControlSet003"}));

TEST_F(OfflineTest, ALeftoverThatCannotBeRemovedRefusesTheRun) {
    MakeHive();
    const std::string before = ReadFile(hive_);
    ASSERT_EQ(mkdir((hive_ + ".zelvoran-new").c_str(), 0700), 0);
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("cannot remove " + hive_ + ".zelvoran-new"), std::string::npos)
        << run.err;
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
}

TEST_F(OfflineTest, MissingFileIsRefused) {
    const RunResult run = Run(dir_ + "/absent");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("cannot open"), std::string::npos);
}

TEST_F(OfflineTest, UsageAndBadOptions) {
    const RunResult help = Run("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: zelvoran-offline", 0), 0u);
    // --iftype takes a decimal number from 1 to 65535 and nothing else.
    for (const char* arguments :
         {"", "--iftype", "--iftype 0 x", "--iftype abc x", "--iftype 65536 x", "--bogus x", "x y",
          "--iftype=0 x", "--iftype 65542 x", "--iftype -1 x", "--iftype 6abc x", "--iftype +6 x",
          "--iftype ' 6' x", "--iftype '' x", "--iftype 0x6 x",
          "--iftype 99999999999999999999 x"}) {
        const RunResult run = Run(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments;
        EXPECT_EQ(run.err.rfind("Usage: zelvoran-offline", 0), 0u) << arguments;
    }
}

TEST_F(OfflineTest, VersionAndListUsage) {
    const RunResult version = Run("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "zelvoran-offline 1.0.0.2\n");
    for (const char* arguments : {"--list", "--list --dry-run x", "--list x y"})
        EXPECT_EQ(Run(arguments).exitCode, 2) << arguments;
}

TEST_F(OfflineTest, TheLargestInterfaceTypeIsRepaired) {
    MakeHive({{TypeKey(1, "65535"), Used, RegBinary, Damaged()},
              {StoreKey(1), Interface(3, 0xFFFF), RegBinary, {1}}});
    EXPECT_EQ(Run("--iftype 65535 " + hive_).exitCode, 1);
    EXPECT_EQ(Value(TypeKey(1, "65535"), Used), (std::vector<uint8_t>{0x1F}));
    EXPECT_EQ(Value(TypeKey(1), Used), Damaged());
}

// The backend itself, as the repair sees it.
class HiveBackendTest : public OfflineTest {
  protected:
    void TearDown() override {
        CloseSystemHive();
        OfflineTest::TearDown();
    }
};

TEST_F(HiveBackendTest, EnumeratesInStoreOrderAndSkipsOverLongNames) {
    MakeHive({{StoreKey(1), "00000005000006000000", RegBinary, {1}},
              {StoreKey(1), Interface(12, 6), RegBinary, {1}}});
    std::string error;
    ASSERT_TRUE(OpenSystemHive(hive_, true, &error)) << error;
    RegistryKey store;
    ASSERT_TRUE(store.Open(HKEY_LOCAL_MACHINE,
                           L"system\\currentcontrolset\\control\\nsi\\"
                           L"{EB004A11-9B1A-11D4-9123-0050047759BC}\\10",
                           KEY_READ));
    WCHAR name[17];
    std::vector<std::wstring> names;
    std::vector<LSTATUS> results;
    for (DWORD index = 0; index < 7; ++index) {
        DWORD length = 17;
        DWORD type = 0;
        const LSTATUS status =
            RegEnumValueW(store.Get(), index, name, &length, nullptr, &type, nullptr, nullptr);
        results.push_back(status);
        if (status == ERROR_SUCCESS)
            names.push_back(name);
    }
    EXPECT_EQ(results,
              (std::vector<LSTATUS>{ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS,
                                    ERROR_MORE_DATA, ERROR_SUCCESS, ERROR_NO_MORE_ITEMS}));
    EXPECT_EQ(names.back(), L"0000000C00000600");
    UsedIndexBitmap bitmap;
    ASSERT_TRUE(RebuildUsedIndices(store.Get(), 6, &bitmap));
    EXPECT_EQ(std::vector<BYTE>(bitmap.bytes, bitmap.bytes + bitmap.length),
              (std::vector<BYTE>{0x3F, 0x12}));
}

TEST_F(HiveBackendTest, OnlySystemExistsUnderTheLocalMachine) {
    MakeHive();
    std::string error;
    ASSERT_TRUE(OpenSystemHive(hive_, true, &error)) << error;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_NE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\Select", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"current", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    BYTE small[2];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, L"Current", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

} // namespace

// What the tool does with the file itself: its identity, its neighbours, other runs.
class OfflineFileTest : public OfflineTest {};

TEST_F(OfflineFileTest, ASymlinkedPathRepairsItsTargetAndKeepsTheLink) {
    MakeHive();
    const std::string link = dir_ + "/link-to-SYSTEM";
    ASSERT_EQ(symlink(hive_.c_str(), link.c_str()), 0);
    const RunResult run = Run("--iftype 6 " + link);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    struct stat status;
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
}

TEST_F(OfflineFileTest, ALeftoverTemporaryThatIsASymlinkIsRemovedNotFollowed) {
    MakeHive();
    const std::string unrelated = dir_ + "/unrelated";
    std::ofstream(unrelated) << "precious";
    const std::string leftover = hive_ + ".zelvoran-new";
    ASSERT_EQ(symlink(unrelated.c_str(), leftover.c_str()), 0);
    const std::string other = hive_ + ".zelvoran-new-Ab12Cd";
    std::ofstream(other) << "half a hive";
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(ReadFile(unrelated), "precious");
    EXPECT_EQ(access(leftover.c_str(), F_OK), -1);
    EXPECT_EQ(access(other.c_str(), F_OK), -1);
    EXPECT_NE(run.err.find("removed " + leftover + ", left from an interrupted run"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("removed " + other), std::string::npos);
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
}

TEST_F(OfflineFileTest, ADryRunReportsLeftoversAndRemovesNothing) {
    MakeHive();
    const std::string leftover = hive_ + ".zelvoran-new-Ab12Cd";
    std::ofstream(leftover) << "half a hive";
    const RunResult run = Run("--dry-run --iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find(leftover + " is left from an interrupted run"), std::string::npos);
    EXPECT_EQ(access(leftover.c_str(), F_OK), 0);
}

struct FileRefusalCase {
    const char* what;
    void (*prepare)(const std::string& hive, const std::string& dir);
    std::string reason;
};

void PrintTo(const FileRefusalCase& c, std::ostream* out) {
    *out << c.what;
}

class OfflineFileRefusalTest : public OfflineTest,
                               public ::testing::WithParamInterface<FileRefusalCase> {};

TEST_P(OfflineFileRefusalTest, RefusesAtOnceAndChangesNothing) {
    MakeHive();
    GetParam().prepare(hive_, dir_);
    const std::string before = ReadFile(hive_);
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find(GetParam().reason), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
    EXPECT_EQ(Value(TypeKey(1), Used), Damaged());
}

INSTANTIATE_TEST_SUITE_P(
    Files, OfflineFileRefusalTest,
    ::testing::Values(FileRefusalCase{"a hard link",
                                      [](const std::string& hive, const std::string& dir) {
                                          ASSERT_EQ(
                                              link(hive.c_str(), (dir + "/other-name").c_str()), 0);
                                      },
                                      "has 2 hard links"},
                      FileRefusalCase{"a read-only file",
                                      [](const std::string& hive, const std::string&) {
                                          ASSERT_EQ(chmod(hive.c_str(), 0444), 0);
                                      },
                                      "is read-only"}));

TEST_F(OfflineFileTest, AFifoIsRefusedWithoutBlocking) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* mode : {"", "--dry-run "}) {
        const RunResult run =
            Run(std::string("timeout 10 ") + ZELVORAN_OFFLINE + " " + mode + fifo, false);
        EXPECT_EQ(run.exitCode, 255) << mode;
        EXPECT_NE(run.err.find("is not a regular file"), std::string::npos) << run.err;
    }
}

TEST_F(OfflineFileTest, ExtendedAttributesOwnerAndModeAreKept) {
    MakeHive();
    ASSERT_EQ(chmod(hive_.c_str(), 0640), 0);
    const char acl[] = "\x01\x00\x04\x80 an NTFS security descriptor";
    if (setxattr(hive_.c_str(), "user.ntfs_acl", acl, sizeof acl, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on this file system";
    ASSERT_EQ(setxattr(hive_.c_str(), "user.second", "2", 1, 0), 0);
    ASSERT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
    char value[64];
    const ssize_t size = getxattr(hive_.c_str(), "user.ntfs_acl", value, sizeof value);
    EXPECT_EQ(std::string(value, size > 0 ? size : 0), std::string(acl, sizeof acl));
    EXPECT_EQ(getxattr(hive_.c_str(), "user.second", value, sizeof value), 1);
    struct stat after;
    ASSERT_EQ(stat(hive_.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
}

TEST_F(OfflineFileTest, ASecondRunOnALockedHiveIsRefusedAtOnce) {
    MakeHive();
    const std::string before = ReadFile(hive_);
    const int fd = open(hive_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0); // as a first run holds it
    for (const char* mode : {"", "--dry-run "}) {
        const RunResult run = Run(std::string(mode) + "--iftype 6 " + hive_);
        EXPECT_EQ(run.exitCode, 255);
        EXPECT_NE(run.err.find("is in use by another run"), std::string::npos) << run.err;
    }
    close(fd);
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
    EXPECT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
}

TEST_F(OfflineFileTest, TwoConcurrentRunsLeaveOneRepairAndAWholeHive) {
    MakeHive();
    const std::string command = std::string(ZELVORAN_OFFLINE) + " --iftype 6 " + hive_;
    const std::string script = "(" + command + " > " + dir_ + "/a 2>&1; echo $? > " + dir_ +
                               "/a.code) & (" + command + " > " + dir_ + "/b 2>&1; echo $? > " +
                               dir_ + "/b.code) & wait";
    ASSERT_EQ(std::system(("bash -c '" + script + "'").c_str()), 0);
    const std::string a = ReadFile(dir_ + "/a.code");
    const std::string b = ReadFile(dir_ + "/b.code");
    // Each run either repaired, or refused because the other held the hive, or (when it came
    // second) found nothing to do; at least one repaired.
    for (const std::string& code : {a, b})
        EXPECT_TRUE(code == "1\n" || code == "255\n" || code == "0\n") << code;
    EXPECT_TRUE(a == "1\n" || b == "1\n") << a << b;
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
    const std::string listing = ReadFile(dir_ + "/a") + ReadFile(dir_ + "/b");
    if (a == "255\n" || b == "255\n") {
        EXPECT_NE(listing.find("is in use by another run"), std::string::npos) << listing;
    }
}

// Names as Windows holds them, through the backend.
TEST_F(HiveBackendTest, NamesAreCountedInUtf16UnitsAndUndecodableOnesSkipped) {
    // U+1F600 takes two UTF-16 units: with 14 more characters the name has 16 units.
    const std::string astral = "\xF0\x9F\x98\x80" + std::string("00000000000000");
    MakeHive({{StoreKey(1), astral, RegBinary, {1}},
              {StoreKey(1),
               "\xC4\x80"
               "ABCDEFGHIJKLMNO",
               RegBinary,
               {1}}});
    // The second name becomes undecodable: its first unit a lone surrogate.
    ReplaceInFile(hive_,
                  std::string("\x00\x01"
                              "A\x00",
                              4),
                  std::string("\x00\xD8"
                              "A\x00",
                              4));
    std::string error;
    ASSERT_TRUE(OpenSystemHive(hive_, true, &error)) << error;
    RegistryKey store;
    ASSERT_TRUE(store.Open(HKEY_LOCAL_MACHINE, NetworkStorePathW(), KEY_READ));
    std::vector<std::pair<LSTATUS, DWORD>> results;
    bool sawAstral = false;
    for (DWORD index = 0;; ++index) {
        WCHAR name[17] = {};
        DWORD length = 17;
        const LSTATUS status =
            RegEnumValueW(store.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_MORE_DATA) << status;
        if (status == ERROR_SUCCESS && name[0] == 0xD83D) {
            sawAstral = true;
            EXPECT_EQ(length, 16u);
            EXPECT_EQ(name[1], static_cast<WCHAR>(0xDE00));
            EXPECT_EQ(name[15], L'0');
            EXPECT_EQ(name[16], 0);
        }
        results.push_back({status, length});
    }
    EXPECT_TRUE(sawAstral);
    // Four interfaces and the astral name decode; the damaged name is skipped like a long one.
    EXPECT_EQ(std::count_if(results.begin(), results.end(),
                            [](const std::pair<LSTATUS, DWORD>& r) { return r.first == 0; }),
              5);
    UsedIndexBitmap bitmap;
    EXPECT_TRUE(RebuildUsedIndices(store.Get(), 6, &bitmap));
}

TEST_F(OfflineTest, ARewrittenValueKeepsTheSpellingItIsStoredWith) {
    MakeHive();
    ReplaceInFile(hive_, "IfUsedNetLuidIndices", "IFUSEDNETLUIDINDICES");
    ASSERT_EQ(Run("--iftype 6 " + hive_).exitCode, 1);
    EXPECT_EQ(Value(TypeKey(1), "IFUSEDNETLUIDINDICES"), (std::vector<uint8_t>{0x3F, 0x02}));
    const std::string file = ReadFile(hive_);
    EXPECT_NE(file.find("IFUSEDNETLUIDINDICES"), std::string::npos);
    EXPECT_EQ(file.find("IfUsedNetLuidIndices\0", 0, 21), std::string::npos);
}
