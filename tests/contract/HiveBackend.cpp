// The registry contract over the offline hive backend: a fresh fixture SYSTEM hive for each case.
#include "ContractBackend.h"
#include "SystemHive.h"
#include "hive/HiveFixture.h"

#include <cstdlib>
#include <string>

const Backend ContractBackend = Backend::Hive;
const WCHAR ScratchPath[] = L"SYSTEM\\ZelvoranContract";

namespace {

std::string& FixtureDirectory() {
    static std::string directory;
    return directory;
}

} // namespace

bool PrepareScratch() {
    char pattern[] = "/tmp/zelvoran-contract-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    FixtureDirectory() = pattern;
    const std::string hive = FixtureDirectory() + "/SYSTEM";
    std::string error;
    return WriteEmptyHive(hive) &&
           FillHive(hive, {"ControlSet001"}, {{"Select", "Current", 4, Dword(1)}}) &&
           OpenSystemHive(hive, true, &error);
}

void FinishScratch() {
    CloseSystemHive();
    if (!FixtureDirectory().empty())
        std::system(("rm -rf '" + FixtureDirectory() + "'").c_str());
    FixtureDirectory().clear();
}
