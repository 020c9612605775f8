// The command line of zelvoran-offline: strict, since it runs on a rescue system by hand.
#include "console/OfflineCommandLine.h"

#include <cstring>

const char OfflineUsage[] =
    "Usage: zelvoran-offline [--iftype N] [--dry-run] PATH/TO/SYSTEM\n"
    "       zelvoran-offline --list PATH/TO/SYSTEM\n"
    "Repairs the used interface indices (IfUsedNetLuidIndices) of one interface type in the\n"
    "SYSTEM hive file of a Windows installation that is not running.\n"
    "  --iftype N   the interface type, a decimal number from 1 to 65535 (default 1)\n"
    "  --dry-run    compute and report the repair, change nothing\n"
    "  --list       show every interface type of the hive and whether it needs a repair\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "Exit code: 1 repaired (or, with --dry-run, a repair is needed), 0 nothing to do,\n"
    "255 failure or refusal, 2 bad usage.\n";

bool ReadInterfaceTypeOption(const char* text, WORD* type) {
    unsigned long value = 0;
    if (*text == 0)
        return false;
    for (; *text != 0; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(*text - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *type = static_cast<WORD>(value);
    return true;
}

OfflineCommand ParseOfflineCommandLine(int argc, const char* const* argv, OfflineOptions* options) {
    bool pathSeen = false;
    bool help = false;
    bool version = false;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (strcmp(argument, "--help") == 0) {
            help = true;
        } else if (strcmp(argument, "--version") == 0) {
            version = true;
        } else if (strcmp(argument, "--list") == 0) {
            list = true;
        } else if (strcmp(argument, "--dry-run") == 0) {
            options->dryRun = true;
        } else if (strcmp(argument, "--iftype") == 0 && i + 1 < argc) {
            if (!ReadInterfaceTypeOption(argv[++i], &options->interfaceType))
                return OfflineCommand::Bad;
        } else if (strncmp(argument, "--iftype=", 9) == 0) {
            if (!ReadInterfaceTypeOption(argument + 9, &options->interfaceType))
                return OfflineCommand::Bad;
        } else if (strcmp(argument, "--") == 0 && i + 2 == argc && !pathSeen) {
            options->path = argv[++i];
            pathSeen = true;
        } else if (argument[0] != 0 && argument[0] != '-' && !pathSeen) {
            options->path = argument;
            pathSeen = true;
        } else {
            return OfflineCommand::Bad;
        }
    }
    if (help)
        return OfflineCommand::Help;
    if (version)
        return OfflineCommand::Version;
    if (list)
        return pathSeen && !options->dryRun ? OfflineCommand::List : OfflineCommand::Bad;
    return pathSeen ? OfflineCommand::Repair : OfflineCommand::Bad;
}
