// The stand-in's version and WOW64 queries, console output and key wait.
#include "StandIn.h"
#include "StandInState.h"

#include <conio.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "console/ConsoleOutput.h"

namespace standin {
namespace {

struct System {
    DWORD major = 6;
    DWORD minor = 1;
    bool failExtendedQuery = false;
    bool failEveryQuery = false;
    int versionQueries = 0;
    std::vector<VersionQueryRecord> versionRecords;
    bool wow64 = false;
    bool wow64QueryFails = false;
    std::vector<OutputPiece> output;
    int keyWaits = 0;
    int flushes = 0;
    bool keyWaitReadsTerminal = true;
};

System& State() {
    static System system;
    return system;
}

// One key from the controlling terminal, without echo; at once when there is no terminal.
void ReadKeyFromTerminal() {
    const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY);
    if (terminal < 0)
        return;
    termios saved;
    if (tcgetattr(terminal, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(terminal, TCSANOW, &raw);
        char key = 0;
        (void)!read(terminal, &key, 1);
        tcsetattr(terminal, TCSANOW, &saved);
    }
    close(terminal);
}

} // namespace

void ResetSystem() {
    State() = System();
    State().keyWaitReadsTerminal = false;
}

void Reset() {
    ResetRegistry();
    ResetSystem();
}

void SetVersion(DWORD major, DWORD minor) {
    State().major = major;
    State().minor = minor;
}
void FailExtendedVersionQuery() {
    State().failExtendedQuery = true;
}
void FailEveryVersionQuery() {
    State().failEveryQuery = true;
}
int VersionQueryCount() {
    return State().versionQueries;
}
const std::vector<VersionQueryRecord>& VersionQueries() {
    return State().versionRecords;
}

void SetWow64(bool runsUnderWow64, bool queryFails) {
    State().wow64 = runsUnderWow64;
    State().wow64QueryFails = queryFails;
}

const std::vector<OutputPiece>& ConsoleWrites() {
    return State().output;
}

std::string ConsoleText() {
    std::string text;
    for (const OutputPiece& piece : State().output)
        text += piece.bytes;
    return text;
}

int KeyWaitCount() {
    return State().keyWaits;
}
int FlushCount() {
    return State().flushes;
}
void SetKeyWaitReadsTerminal(bool readsTerminal) {
    State().keyWaitReadsTerminal = readsTerminal;
}

} // namespace standin

using namespace standin;

BOOL GetVersionExW(LPOSVERSIONINFOW info) {
    System& system = State();
    ++system.versionQueries;
    if (info == nullptr)
        return FALSE;
    const DWORD size = info->dwOSVersionInfoSize;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(info);
    bool restCleared = true;
    const DWORD seen = size == sizeof(OSVERSIONINFOEXW) ? size : sizeof(OSVERSIONINFOW);
    for (DWORD at = sizeof(DWORD); at < seen; ++at)
        restCleared = restCleared && bytes[at] == 0;
    system.versionRecords.push_back(VersionQueryRecord{size, restCleared});
    if (system.failEveryQuery)
        return FALSE;
    if (size == sizeof(OSVERSIONINFOEXW) && system.failExtendedQuery) {
        // A failed query may leave anything behind in the record.
        info->dwMajorVersion = 99;
        info->szCSDVersion[0] = L'?';
        return FALSE;
    }
    if (size != sizeof(OSVERSIONINFOEXW) && size != sizeof(OSVERSIONINFOW))
        return FALSE;
    info->dwMajorVersion = system.major;
    info->dwMinorVersion = system.minor;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = 2;
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL IsWow64Process(HANDLE process, PBOOL wow64) {
    if (process != GetCurrentProcess() || wow64 == nullptr || State().wow64QueryFails)
        return FALSE;
    *wow64 = State().wow64 ? TRUE : FALSE;
    return TRUE;
}

void WriteNarrowText(const char* text) {
    State().output.push_back(OutputPiece{false, text});
}

void WriteWideText(const WCHAR* text) {
    std::string bytes;
    for (; *text != 0; ++text)
        bytes += *text < 0x80 ? static_cast<char>(*text) : '?';
    State().output.push_back(OutputPiece{true, bytes});
}

void FlushConsoleOutput() {
    ++State().flushes;
}

int _getch() {
    ++State().keyWaits;
    if (State().keyWaitReadsTerminal)
        ReadKeyFromTerminal();
    return 0;
}
