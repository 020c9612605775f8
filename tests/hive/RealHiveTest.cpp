// zelvoran-offline on the SYSTEM hive of a real Windows 7 machine, and interrupted at random.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HiveFixture.h"

namespace {

const std::string TypeSix = "ControlSet001\\services\\NDIS\\IfTypes\\6";
const std::string Used = "IfUsedNetLuidIndices";
const std::string Backup = "IfUsedNetLuidIndices_ZARBBackup";
const uint32_t RegBinary = 3;

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
}

class RealHiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelvoran-real-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        hive_ = dir_ + "/SYSTEM";
        ASSERT_EQ(
            Shell("xz -dc " ZELVORAN_TEST_DATA "/windows-hives/win7-sp1-SYSTEM.xz > " + hive_), 0);
    }
    void TearDown() override { Shell("rm -rf '" + dir_ + "'"); }

    // The type-6 value lengthened to 128 bytes of FF, as on a machine that ran out of indices.
    void Lengthen() { ASSERT_TRUE(FillHive(hive_, {}, {{TypeSix, Used, RegBinary, Damaged()}})); }
    static std::vector<uint8_t> Damaged() { return std::vector<uint8_t>(128, 0xFF); }

    int Run(const std::string& arguments, std::string* out = nullptr) {
        const int code = Shell(std::string(ZELVORAN_OFFLINE) + " " + arguments + " > " + dir_ +
                               "/out 2> " + dir_ + "/err");
        if (out != nullptr)
            *out = ReadFile(dir_ + "/out");
        return code;
    }

    std::vector<uint8_t> Value(const std::string& name) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        return ReadHiveValue(hive_, TypeSix, name, &type, &data) ? data : std::vector<uint8_t>{};
    }

    // The whole tree as an independent reader sees it, one line per key and value.
    std::vector<std::string> Listing(const std::string& path) {
        EXPECT_EQ(Shell("reglookup -H '" + path + "' > " + dir_ + "/listing 2> /dev/null"), 0);
        std::istringstream lines(ReadFile(dir_ + "/listing"));
        std::vector<std::string> listing;
        for (std::string line; std::getline(lines, line);)
            listing.push_back(line);
        return listing;
    }

    std::string dir_;
    std::string hive_;
};

TEST_F(RealHiveTest, DryRunsOfEveryInterfaceTypeChangeNothing) {
    const std::string before = ReadFile(hive_);
    struct {
        const char* type;
        int exitCode;
        const char* message;
    } const types[] = {{"6", 0, "It's not necessary to repair ndis interface indices.\n"},
                       {"23", 0, "It's not necessary to repair ndis interface indices.\n"},
                       {"24", 0, "It's not necessary to repair ndis interface indices.\n"},
                       {"131", 0, "It's not necessary to repair ndis interface indices.\n"},
                       // Windows keeps no bitmap for type 71 on this machine.
                       {"71", 255, "Unknown error.\n"}};
    for (const auto& type : types) {
        std::string out;
        EXPECT_EQ(Run(std::string("--dry-run --iftype ") + type.type + " " + hive_, &out),
                  type.exitCode)
            << type.type;
        EXPECT_EQ(out.rfind(type.message, 0), 0u) << out;
    }
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
}

TEST_F(RealHiveTest, ListShowsEveryInterfaceTypeAndChangesNothing) {
    const std::string before = ReadFile(hive_);
    std::string out;
    ASSERT_EQ(Run("--list " + hive_, &out), 0) << ReadFile(dir_ + "/err");
    for (const char* line :
         {"IfTypes\\1: IfUsedNetLuidIndices 1 bytes, 0 indices marked used; 0 interfaces in the "
          "network store; no repair\n",
          "IfTypes\\6: IfUsedNetLuidIndices 2 bytes, 5 indices marked used; 5 interfaces in the "
          "network store; no repair\n",
          "IfTypes\\23: IfUsedNetLuidIndices 1 bytes, 2 indices marked used; 2 interfaces",
          "IfTypes\\24: IfUsedNetLuidIndices 1 bytes, 1 indices marked used; 0 interfaces",
          "IfTypes\\71: no IfUsedNetLuidIndices; 0 interfaces in the network store; no repair\n",
          "IfTypes\\131: IfUsedNetLuidIndices 1 bytes, 6 indices marked used; 6 interfaces"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("a repair would be made"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";

    Lengthen();
    ASSERT_EQ(Run("--list " + hive_, &out), 0);
    EXPECT_NE(out.find("IfTypes\\6: IfUsedNetLuidIndices 128 bytes, 1024 indices marked used; 5 "
                       "interfaces in the network store; a repair would be made\n"),
              std::string::npos)
        << out;
}

TEST_F(RealHiveTest, RepairChangesExactlyTheTwoValuesAsASecondReaderSeesThem) {
    Lengthen();
    const std::vector<std::string> before = Listing(hive_);
    std::string out;
    ASSERT_EQ(Run("--iftype 6 " + hive_, &out), 1) << out << ReadFile(dir_ + "/err");
    // The five type-6 interfaces 0, 1, 4, 6 and 7, and 2, 3, 5 and 8 reserved.
    EXPECT_EQ(Value(Used), (std::vector<uint8_t>{0xFF, 0x01}));
    EXPECT_EQ(Value(Backup), Damaged());

    const std::string changed = "/ControlSet001/services/NDIS/IfTypes/6/" + Used;
    auto others = [&](const std::vector<std::string>& listing) {
        std::vector<std::string> kept;
        for (const std::string& line : listing)
            if (line.rfind(changed, 0) != 0)
                kept.push_back(line);
        return kept;
    };
    const std::vector<std::string> after = Listing(hive_);
    EXPECT_GT(before.size(), 100000u);
    EXPECT_TRUE(others(before) == others(after)) << "keys or values besides the two changed";
    std::vector<std::string> written;
    for (const std::string& line : after)
        if (line.rfind(changed, 0) == 0)
            written.push_back(line);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], changed + ",BINARY,%FF%01,");
    EXPECT_EQ(written[1].rfind(changed + "_ZARBBackup,BINARY,%FF%FF", 0), 0u);
}

// Killed at any moment, a run leaves the path holding the whole old hive or the whole new one.
TEST_F(RealHiveTest, KilledAtRandomMomentsTheHiveIsOldOrNew) {
    Lengthen();
    const std::string old = ReadFile(hive_);
    const std::string saved = dir_ + "/saved";
    ASSERT_EQ(Shell("cp " + hive_ + " " + saved), 0);
    std::mt19937 random(20261211);
    // A complete run takes some hundred milliseconds here: kill across all of it.
    std::uniform_int_distribution<int> delay(0, 400);
    int sawOld = 0;
    int sawNew = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execl(ZELVORAN_OFFLINE, ZELVORAN_OFFLINE, "--iftype", "6", hive_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        // The child doing the hive work dies with the run; give it a moment to be gone.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string now = ReadFile(hive_);
        if (now == old) {
            ++sawOld;
            continue;
        }
        ++sawNew;
        EXPECT_EQ(Value(Used), (std::vector<uint8_t>{0xFF, 0x01})) << "attempt " << attempt;
        EXPECT_EQ(Value(Backup), Damaged()) << "attempt " << attempt;
        ASSERT_EQ(Shell("cp " + saved + " " + hive_), 0);
    }
    std::cout << "killed runs that left the old hive: " << sawOld << ", the new: " << sawNew
              << "\n";
    // The next run cleans up after the killed ones and repairs.
    std::string out;
    EXPECT_EQ(Run("--iftype 6 " + hive_, &out), 1) << out;
    EXPECT_EQ(Value(Used), (std::vector<uint8_t>{0xFF, 0x01}));
    EXPECT_EQ(Shell("ls " + dir_ + " | grep -c zelvoran-new > /dev/null"), 1)
        << "a temporary is left";
}

} // namespace
