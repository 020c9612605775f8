// A move-only owner of one registry key handle, so that each handle is closed exactly once.
#pragma once

#include "registry/RegistryAccess.h"

class RegistryKey {
  public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) : handle_(other.handle_) { other.handle_ = nullptr; }
    ~RegistryKey() { Close(); }

    // Opens through OpenRegistryKey; the key held before is closed first.
    bool Open(HKEY parent, LPCWSTR subKey, REGSAM desiredAccess) {
        Close();
        HKEY opened = nullptr;
        if (!OpenRegistryKey(parent, subKey, &opened, desiredAccess))
            return false;
        handle_ = opened;
        return true;
    }
    void Close() {
        if (handle_ != nullptr)
            RegCloseKey(handle_);
        handle_ = nullptr;
    }
    bool IsOpen() const { return handle_ != nullptr; }
    HKEY Get() const { return handle_; }

  private:
    HKEY handle_ = nullptr;
};
