// One entry of a loaded module's import address table pointed elsewhere until destroyed: the
// demo answers the library's high-contrast query this way where the system cannot switch it on,
// and the tests step into the library at one of its own calls without a hook in the library.
#ifndef QUENDA_DEMO_IMPORT_PATCH_H
#define QUENDA_DEMO_IMPORT_PATCH_H

#include <windows.h>

namespace demo {

class ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dllName, const char* functionName, void* replacement);
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    ~ImportPatch();

    [[nodiscard]] bool Applied() const { return slot_ != nullptr; }
    // The function the entry held before.
    template <typename Fn>
    [[nodiscard]] Fn Original() const {
        return reinterpret_cast<Fn>(original_);
    }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace demo

#endif
