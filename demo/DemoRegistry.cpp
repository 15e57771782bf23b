#include "DemoRegistry.h"

#include "DemoLog.h"
#include "DemoOwners.h"

#include <atomic>
#include <cstring>
#include <iterator>

namespace demo {
namespace {

// Shallowest first; the library reads the last one.
const char* const kKeyPath[] = {"Software\\Halberk", "Software\\Halberk\\Vorlix",
                                "Software\\Halberk\\Vorlix\\QUENDA.DLL"};
// The overrides the Ctrl+C handler restores, latest last; the handler runs in a thread of its own.
std::atomic<DwordOverride*> gActiveOverrides[2] = {};

bool KeyExists(const char* path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    UniqueKey key(raw);
    return true;
}

} // namespace

DwordOverride::~DwordOverride() { Restore(); }

bool DwordOverride::Apply(uint32_t newValue) {
    std::lock_guard lock(mutex_);
    for (const char* path : kKeyPath) {
        if (!KeyExists(path)) createdKeys_.push_back(path);
    }

    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath[2], 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              &raw, nullptr);
    if (rc != ERROR_SUCCESS) {
        Log("cannot open HKLM\\%s for writing: error %ld", kKeyPath[2], rc);
        // Parents created before the failure are still ours to remove.
        applied_ = true;
        RestoreLocked();
        return false;
    }
    UniqueKey key(raw);

    DWORD size = 0;
    rc = RegQueryValueExA(key.get(), valueName_, nullptr, &oldType_, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        oldData_.resize(size);
        rc = RegQueryValueExA(key.get(), valueName_, nullptr, &oldType_, oldData_.empty() ? nullptr : oldData_.data(),
                              &size);
        if (rc != ERROR_SUCCESS) {
            Log("cannot read the present %s: error %ld; leaving it alone", valueName_, rc);
            return false;
        }
        oldData_.resize(size);
        hadValue_ = true;
        if (oldType_ == REG_DWORD && size == sizeof(DWORD)) {
            DWORD old = 0;
            std::memcpy(&old, oldData_.data(), sizeof old);
            Log("HKLM\\%s\\%s was 0x%04lX (REG_DWORD)", kKeyPath[2], valueName_, old);
        } else {
            Log("HKLM\\%s\\%s was of type %lu, %lu bytes", kKeyPath[2], valueName_, oldType_, size);
        }
    } else {
        Log("HKLM\\%s\\%s was absent", kKeyPath[2], valueName_);
    }

    // From here on the previous state is known and is put back on every way out.
    applied_ = true;
    for (auto& slot : gActiveOverrides) {
        DwordOverride* empty = nullptr;
        if (slot.compare_exchange_strong(empty, this)) break;
    }
    SetConsoleCtrlHandler(&DwordOverride::OnConsoleCtrl, TRUE);

    const DWORD value = newValue;
    rc = RegSetValueExA(key.get(), valueName_, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc != ERROR_SUCCESS) {
        Log("cannot set %s: error %ld", valueName_, rc);
        return false;
    }
    Log("set HKLM\\%s\\%s = 0x%04lX (REG_DWORD) for this run", kKeyPath[2], valueName_, value);
    return true;
}

void DwordOverride::Restore() noexcept {
    std::lock_guard lock(mutex_);
    RestoreLocked();
}

void DwordOverride::RestoreLocked() noexcept {
    if (!applied_) return;
    applied_ = false;
    for (auto& slot : gActiveOverrides) {
        DwordOverride* self = this;
        slot.compare_exchange_strong(self, nullptr);
    }

    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath[2], 0, KEY_SET_VALUE, &raw) == ERROR_SUCCESS) {
        UniqueKey key(raw);
        if (hadValue_) {
            const LONG rc =
                RegSetValueExA(key.get(), valueName_, 0, oldType_, oldData_.empty() ? nullptr : oldData_.data(),
                               static_cast<DWORD>(oldData_.size()));
            Log("restored the previous %s: %s", valueName_, rc == ERROR_SUCCESS ? "done" : "FAILED");
        } else {
            const LONG rc = RegDeleteValueA(key.get(), valueName_);
            Log("deleted %s again: %s", valueName_,
                rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? "done" : "FAILED");
        }
    }

    // Keys this run created go only if nothing else has been put into them meanwhile.
    for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it) {
        HKEY rawKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, *it, 0, KEY_READ, &rawKey) != ERROR_SUCCESS) continue;
        DWORD subKeys = 0;
        DWORD values = 0;
        {
            UniqueKey key(rawKey);
            if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
        }
        if (subKeys != 0 || values != 0) break;
        if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, *it) == ERROR_SUCCESS) Log("removed the key HKLM\\%s again", *it);
    }
    createdKeys_.clear();
}

BOOL WINAPI DwordOverride::OnConsoleCtrl(DWORD) noexcept {
    for (auto it = std::rbegin(gActiveOverrides); it != std::rend(gActiveOverrides); ++it)
        if (DwordOverride* active = it->load()) active->Restore();
    return FALSE; // the default handler then ends the process
}

} // namespace demo
