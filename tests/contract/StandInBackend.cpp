// The registry contract over the stand-in: a fresh in-memory registry for each case.
#include "ContractBackend.h"
#include "StandIn.h"

const Backend ContractBackend = Backend::StandIn;
const WCHAR ScratchPath[] = L"SYSTEM\\ZelvoranContract";

bool PrepareScratch() {
    standin::Reset();
    standin::SeedKey(L"SYSTEM");
    return true;
}

void FinishScratch() {
    standin::Reset();
}
