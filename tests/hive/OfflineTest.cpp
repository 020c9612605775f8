// Tests of zelvoran-offline and the hive backend over fixture SYSTEM hives.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

    RunResult Run(const std::string& arguments) {
        const std::string out = dir_ + "/out";
        const std::string err = dir_ + "/err";
        const std::string command =
            std::string(ZELVORAN_OFFLINE) + " " + arguments + " > " + out + " 2> " + err;
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

TEST_F(OfflineTest, DryRunReportsAndLeavesTheFileByteIdentical) {
    MakeHive();
    const std::string before = ReadFile(hive_);
    const RunResult run = Run("--dry-run --iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.out.find("(dry run: not written)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3F 02"), std::string::npos);
    EXPECT_EQ(run.out.find("restart"), std::string::npos);
    EXPECT_EQ(ReadFile(hive_), before);
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
    EXPECT_EQ(ReadFile(hive_), before);
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
    EXPECT_EQ(ReadFile(hive_), before);
}

void OverwriteAt(const std::string& path, long offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Files, OfflineRefusalTest,
    ::testing::Values(
        RefusalCase{"not a hive", [](const std::string& hive) { OverwriteAt(hive, 0, "MZ\x90"); },
                    "is not a registry hive file"},
        RefusalCase{"dirty hive",
                    [](const std::string& hive) { OverwriteAt(hive, 8, std::string("\x07", 1)); },
                    "is dirty"},
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

TEST_F(OfflineTest, FailedCommitLeavesTheHiveByteIdentical) {
    MakeHive();
    const std::string before = ReadFile(hive_);
    // The new hive cannot be written where it would go.
    ASSERT_EQ(mkdir((hive_ + ".zelvoran-new").c_str(), 0700), 0);
    const RunResult run = Run("--iftype 6 " + hive_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out.rfind("Can't write to registry.\n", 0), 0u) << run.out;
    EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(hive_), before);
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
    for (const char* arguments : {"", "--iftype", "--iftype 0 x", "--iftype abc x",
                                  "--iftype 65536 x", "--bogus x", "x y", "--iftype=0 x"}) {
        const RunResult run = Run(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments;
        EXPECT_EQ(run.err.rfind("Usage: zelvoran-offline", 0), 0u) << arguments;
    }
}

TEST_F(OfflineTest, InterfaceTypeIsReadAsTheExeReadsIt) {
    // 65542 keeps its low 16 bits, 6; -1 is 65535.
    MakeHive({{TypeKey(1, "65535"), Used, RegBinary, Damaged()},
              {StoreKey(1), Interface(3, 0xFFFF), RegBinary, {1}}});
    EXPECT_EQ(Run("--iftype 65542 " + hive_).exitCode, 1);
    EXPECT_EQ(Value(TypeKey(1), Used), (std::vector<uint8_t>{0x3F, 0x02}));
    EXPECT_EQ(Run("--iftype -1 " + hive_).exitCode, 1);
    EXPECT_EQ(Value(TypeKey(1, "65535"), Used), (std::vector<uint8_t>{0x1F}));
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
    ASSERT_TRUE(OpenSystemHive(hive_, &error)) << error;
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
    ASSERT_TRUE(OpenSystemHive(hive_, &error)) << error;
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
