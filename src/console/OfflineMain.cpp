// zelvoran-offline: the repair of Zelvoran applied to the SYSTEM hive file of a Windows
// installation that is not running.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/OfflineCommandLine.h"
#include "offline/HiveFile.h"
#include "offline/Isolated.h"
#include "offline/OfflineList.h"
#include "offline/OfflineRepair.h"
#include "repair/Repair.h"

namespace {

const int ExitBadUsage = 2;
// Far beyond what the largest hive takes; only a hang inside the hive library reaches it.
const unsigned HiveWorkTimeoutSeconds = 120;
// The child's report: the message, the report and the result, separated by NUL characters.
const char Separator = '\0';

void Refuse(const std::string& reason) {
    fprintf(stderr, "zelvoran-offline: %s\n", reason.c_str());
}

int SendOutcome(const OfflineRepairOutcome& outcome) {
    fwrite(outcome.message.data(), 1, outcome.message.size(), stdout);
    fputc(Separator, stdout);
    fwrite(outcome.report.data(), 1, outcome.report.size(), stdout);
    fputc(Separator, stdout);
    fprintf(stdout, "%d", outcome.result);
    return outcome.result;
}

// Reads what SendOutcome wrote; false when the child did not finish its report as it should.
bool ReceiveOutcome(const IsolatedOutcome& isolated, OfflineRepairOutcome* outcome) {
    const std::string& output = isolated.output;
    const size_t first = output.find(Separator);
    const size_t second = first == std::string::npos ? first : output.find(Separator, first + 1);
    if (!isolated.exited || second == std::string::npos)
        return false;
    outcome->message = output.substr(0, first);
    outcome->report = output.substr(first + 1, second - first - 1);
    const std::string result = output.substr(second + 1);
    outcome->result = result == "1" ? 1 : result == "0" ? 0 : -1;
    return result == std::to_string(outcome->result) &&
           (isolated.exitCode & 0xFF) == (outcome->result & 0xFF);
}

std::string WhyTheWorkStopped(const IsolatedOutcome& isolated, const std::string& path) {
    std::string how =
        isolated.timedOut ? "took longer than " + std::to_string(HiveWorkTimeoutSeconds) + " s"
        : isolated.signal != 0
            ? "was stopped by signal " + std::to_string(isolated.signal)
            : "ended without a result (exit code " + std::to_string(isolated.exitCode) + ")";
    return "reading " + path + " " + how +
           ": the file is damaged in a way the hive library "
           "cannot handle; nothing was written";
}

int RepairFile(const OfflineOptions& options) {
    const bool writing = !options.dryRun;
    HiveFile file;
    std::string error;
    if (!OpenHiveFile(options.path, writing, &file, &error) ||
        !HandleLeftoverTemporaries(&file, writing, &error) || !CheckBaseBlock(file, &error) ||
        (writing && !CreateTemporary(&file, &error))) {
        Refuse(error);
        CloseHiveFile(&file);
        return RepairResultFailed;
    }

    OfflineRepairRequest request;
    request.shownPath = file.path;
    request.hivePath = DescriptorPath(file.fd);
    request.temporaryPath = writing ? DescriptorPath(file.temporaryFd) : "";
    request.interfaceType = options.interfaceType;
    request.dryRun = options.dryRun;
    IsolatedOutcome isolated;
    OfflineRepairOutcome outcome;
    if (!RunIsolated([&request] { return SendOutcome(RepairOfflineHive(request)); },
                     HiveWorkTimeoutSeconds, &isolated, &error)) {
        Refuse(error);
        outcome.result = RepairResultFailed;
    } else if (!ReceiveOutcome(isolated, &outcome)) {
        Refuse(WhyTheWorkStopped(isolated, file.path));
        outcome = OfflineRepairOutcome();
    }

    if (outcome.result == RepairResultRepaired && writing && !ReplaceWithTemporary(&file, &error)) {
        Refuse(error);
        outcome.result = RepairResultFailed;
        outcome.message = "Can't write to registry.\n";
        outcome.report.clear();
    }
    if (!DiscardTemporary(&file, &error)) {
        Refuse(error);
        outcome.result = RepairResultFailed;
    }

    fputs(outcome.message.c_str(), stdout);
    if (outcome.result == RepairResultRepaired && writing)
        fputs("\nYou need to restart your computer.\n", stdout);
    if (!outcome.report.empty())
        printf("%s", outcome.report.c_str());
    if (options.dryRun && !outcome.message.empty())
        printf("Dry run: %s was left unchanged.\n", file.path.c_str());
    CloseHiveFile(&file);
    return outcome.result;
}

// Reads the hive under the same checks and lock as a dry run, and lists its interface types.
int ListFile(const OfflineOptions& options) {
    HiveFile file;
    std::string error;
    if (!OpenHiveFile(options.path, false, &file, &error) || !CheckBaseBlock(file, &error)) {
        Refuse(error);
        CloseHiveFile(&file);
        return RepairResultFailed;
    }
    const std::string hivePath = DescriptorPath(file.fd);
    IsolatedOutcome isolated;
    const bool ran = RunIsolated(
        [&hivePath] {
            std::string listing;
            if (!ListInterfaceTypes(hivePath, &listing))
                return 1;
            fputs(listing.c_str(), stdout);
            return 0;
        },
        HiveWorkTimeoutSeconds, &isolated, &error);
    // The listing's own failure (exit 1) has given its reason already.
    if (!ran)
        Refuse(error);
    else if (!isolated.exited || (isolated.exitCode != 0 && isolated.exitCode != 1))
        Refuse(WhyTheWorkStopped(isolated, file.path));
    CloseHiveFile(&file);
    if (!ran || !isolated.exited || isolated.exitCode != 0)
        return RepairResultFailed;
    fputs(isolated.output.c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    OfflineOptions options;
    switch (ParseOfflineCommandLine(argc, argv, &options)) {
    case OfflineCommand::Bad:
        fputs(OfflineUsage, stderr);
        return ExitBadUsage;
    case OfflineCommand::Help:
        fputs(OfflineUsage, stdout);
        return 0;
    case OfflineCommand::Version:
        printf("zelvoran-offline %s\n", ZELVORAN_VERSION);
        return 0;
    case OfflineCommand::List:
        return ListFile(options);
    case OfflineCommand::Repair:
        break;
    }
    return RepairFile(options);
}
