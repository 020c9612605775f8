// The registry contract on Windows itself (under Wine, its real registry): a scratch key under
// HKEY_LOCAL_MACHINE\SYSTEM, removed before and after each case.
#include "ContractBackend.h"

const Backend ContractBackend = Backend::Windows;
const WCHAR ScratchPath[] = L"SYSTEM\\ZelvoranContract";

namespace {

LSTATUS RemoveScratch() {
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScratchPath);
}

} // namespace

bool PrepareScratch() {
    const LSTATUS removed = RemoveScratch();
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

void FinishScratch() {
    RemoveScratch();
}
