// What a backend does around each registry contract test: a fresh scratch key to work under.
#pragma once

#include <windows.h>

// The backends the contract runs on; a case that one of them cannot meet says so, with the reason.
enum class Backend { StandIn, Hive, Windows };
extern const Backend ContractBackend;

// Under HKEY_LOCAL_MACHINE; SYSTEM exists on every backend, the scratch key does not at the start.
extern const WCHAR ScratchPath[];

// A fresh registry with SYSTEM and without the scratch key; false when it cannot be had.
bool PrepareScratch();
void FinishScratch();
