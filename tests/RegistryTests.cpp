// Texts from the registry: real values under HKEY_LOCAL_MACHINE (writable in the test prefix).
// Every case starts and ends with the whole tree gone, also when it fails half-way.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuendaLng.h"
#include "QuendaMain.h"
#include "QuendaRegistry.h"
#include "QuendaTrace.h"
#include "WinHandles.h"

namespace quenda {
namespace {

// Spelled out here rather than taken from the code, so that a typo there fails here.
constexpr char kRoot[] = "Software\\Halberk\\Vorlix\\QUENDA.DLL";
constexpr uint32_t kEnglishUs = 0x0409;

std::string PathOf(const std::string& subkey) {
    return subkey.empty() ? std::string(kRoot) : std::string(kRoot) + "\\" + subkey;
}

bool KeyExists(HKEY root, const std::string& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    const UniqueKey key(raw);
    return true;
}

// Removes the tree under both roots now and again when it goes.
class RegistryTreeGuard {
public:
    RegistryTreeGuard() { Clear(); }
    RegistryTreeGuard(const RegistryTreeGuard&) = delete;
    RegistryTreeGuard& operator=(const RegistryTreeGuard&) = delete;
    ~RegistryTreeGuard() { Clear(); }

private:
    static void Clear() {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot);
        RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
    }
};

// The user's default language as this process sees it, put back to the system's when it goes.
class UserLanguageGuard {
public:
    explicit UserLanguageGuard(uint32_t langId) { SetUserDefaultLanguageForTesting(langId); }
    UserLanguageGuard(const UserLanguageGuard&) = delete;
    UserLanguageGuard& operator=(const UserLanguageGuard&) = delete;
    ~UserLanguageGuard() { SetUserDefaultLanguageForTesting(0); }
    void Set(uint32_t langId) { SetUserDefaultLanguageForTesting(langId); }
};

testing::AssertionResult PutRaw(HKEY root, const std::string& subkey, const char* name, DWORD type,
                                const void* data, DWORD size) {
    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExA(root, PathOf(subkey).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &raw, nullptr);
    if (rc != ERROR_SUCCESS)
        return testing::AssertionFailure() << "RegCreateKeyExA(" << PathOf(subkey) << ") = " << rc;
    const UniqueKey key(raw);
    rc = RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS)
        return testing::AssertionFailure() << "RegSetValueExA(" << name << ") = " << rc;
    return testing::AssertionSuccess();
}

testing::AssertionResult Put(const std::string& subkey, const char* name, DWORD type,
                             const std::string& bytes) {
    return PutRaw(HKEY_LOCAL_MACHINE, subkey, name, type, bytes.data(),
                  static_cast<DWORD>(bytes.size()));
}

// REG_SZ with its terminating NUL counted.
testing::AssertionResult PutText(const std::string& subkey, const char* name, const std::string& text,
                                 HKEY root = HKEY_LOCAL_MACHINE) {
    return PutRaw(root, subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

testing::AssertionResult PutFixedLng(DWORD value, HKEY root = HKEY_LOCAL_MACHINE) {
    return PutRaw(root, "", "FixedLng", REG_DWORD, &value, sizeof value);
}

testing::AssertionResult Remove(const std::string& subkey, const char* name) {
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf(subkey).c_str(), 0, KEY_SET_VALUE, &raw);
    if (rc != ERROR_SUCCESS) return testing::AssertionFailure() << "RegOpenKeyExA = " << rc;
    const UniqueKey key(raw);
    rc = RegDeleteValueA(key.get(), name);
    if (rc != ERROR_SUCCESS) return testing::AssertionFailure() << "RegDeleteValueA = " << rc;
    return testing::AssertionSuccess();
}

// Bytes that no catalogue entry shares: what GetCatalogueText returns can only come from here.
std::string Pattern(size_t size, char first) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + (first - 'A' + i) % 26);
    return bytes;
}

class RegistryTexts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kRoot)) << "the test tree could not be removed";
        ASSERT_EQ(UserDefaultLanguage(), kEnglishUs) << "the test seam did not take";
    }

    RegistryTreeGuard tree_;
    UserLanguageGuard user_{kEnglishUs};
};

// ---------------------------------------------------------------------------------------------
// Choice of language

TEST_F(RegistryTexts, UserLanguageChoosesTheColumnWhenNothingIsStored) {
    struct Case {
        uint32_t user;
        const char* expected;
    } const cases[] = {
        {0x0407, "Bitte PIN eingeben."},
        {0x0413, "Please enter PIN."},  // Dutch has no column of its own
        {0x0425, "Sisesta PIN kood."},
        {0x0C0A, "Escriba su PIN."},
    };
    for (const Case& c : cases) {
        user_.Set(c.user);
        EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_ENTER_PIN), c.expected) << std::hex << c.user;
        EXPECT_EQ(ReadTextOverride(c.user, QUENDA_TEXT_ENTER_PIN), "") << std::hex << c.user;
    }
    EXPECT_EQ(ReadFixedLng(), 0u);
    user_.Set(0);
    EXPECT_EQ(UserDefaultLanguage(), static_cast<uint32_t>(GetUserDefaultLangID()))
        << "0 must give the system's language back";
}

TEST_F(RegistryTexts, FixedLngChoosesColumnAndOverrideSubkeys) {
    ASSERT_TRUE(PutFixedLng(0x040C));
    EXPECT_EQ(ReadFixedLng(), 0x040Cu);
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "Code PIN OK.");
    user_.Set(0x0407);
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "Code PIN OK.") << "FixedLng beats the user's language";

    ASSERT_TRUE(PutText("0407", "TXT_PIN_OK", "user language override"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "Code PIN OK.")
        << "the user's subkey must not be read while FixedLng is set";
    ASSERT_TRUE(PutText("000C", "TXT_PIN_OK", "French override"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "French override");
    ASSERT_TRUE(PutText("040C", "TXT_PIN_OK", "French (France) override"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "French (France) override");
}

// A bare primary language reads one subkey twice; both lookups land on 0007.
TEST_F(RegistryTexts, FixedLngOfABarePrimaryLanguageUsesItsSubkey) {
    ASSERT_TRUE(PutFixedLng(7));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_CANCEL), "&Abbrechen");
    ASSERT_TRUE(PutText("0407", "TXT_CANCEL", "not this one"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_CANCEL), "&Abbrechen");
    ASSERT_TRUE(PutText("0007", "TXT_CANCEL", "&Primary"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_CANCEL), "&Primary");
}

// Above FFFF the subkey name takes as many digits as it needs; the column follows the low byte.
TEST_F(RegistryTexts, FixedLngAboveFFFFNamesALongerSubkey) {
    ASSERT_TRUE(PutFixedLng(0x1040C));
    EXPECT_EQ(ReadFixedLng(), 0x1040Cu);
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "Code PIN OK.");
    ASSERT_TRUE(PutText("1040C", "TXT_PIN_OK", "five digits"));
    EXPECT_EQ(ReadTextOverride(0x1040C, QUENDA_TEXT_PIN_OK), "five digits");
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "five digits");
}

TEST_F(RegistryTexts, UnusableFixedLngFallsBackToTheUserLanguage) {
    const uint64_t french = 0x040C;
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
    } const cases[] = {
        {"DWORD 0", REG_DWORD, std::string("\0\0\0\0", 4)},
        {"DWORD 0xFFFFFFFF (negative)", REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)},
        {"DWORD 0x8000040C (negative)", REG_DWORD, std::string("\x0C\x04\x00\x80", 4)},
        {"REG_SZ \"1036\"", REG_SZ, std::string("1036\0", 5)},
        {"REG_SZ \"040C\"", REG_SZ, std::string("040C\0", 5)},
        {"8-byte REG_BINARY", REG_BINARY, std::string(reinterpret_cast<const char*>(&french), 8)},
        {"REG_QWORD", REG_QWORD, std::string(reinterpret_cast<const char*>(&french), 8)},
        {"4-byte REG_BINARY", REG_BINARY, std::string("\x0C\x04\0\0", 4)},
        {"2-byte REG_DWORD", REG_DWORD, std::string("\x0C\x04", 2)},
        {"8-byte REG_DWORD", REG_DWORD, std::string(reinterpret_cast<const char*>(&french), 8)},
        {"empty REG_DWORD", REG_DWORD, std::string()},
    };
    user_.Set(0x0407);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Put("", "FixedLng", c.type, c.bytes));
        EXPECT_EQ(ReadFixedLng(), 0u);
        EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_ENTER_PIN), "Bitte PIN eingeben.");
    }
    // The same key and value name do work with a proper value: the cases above were read.
    ASSERT_TRUE(PutFixedLng(0x040C));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_ENTER_PIN), "Veuillez entrer votre code PIN.");
    ASSERT_TRUE(PutFixedLng(0x7FFFFFFF));
    EXPECT_EQ(ReadFixedLng(), 0x7FFFFFFFu) << "the largest non-negative value is usable";
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_ENTER_PIN), "Please enter PIN.") << "primary language FF";
}

// Only HKEY_LOCAL_MACHINE counts; the same data under HKEY_CURRENT_USER changes nothing.
TEST_F(RegistryTexts, CurrentUserValuesHaveNoEffect) {
    ASSERT_TRUE(PutFixedLng(0x040C, HKEY_CURRENT_USER));
    ASSERT_TRUE(PutText("0409", "TXT_ENTER_PIN", "from HKCU 0409", HKEY_CURRENT_USER));
    ASSERT_TRUE(PutText("0009", "TXT_ENTER_PIN", "from HKCU 0009", HKEY_CURRENT_USER));
    ASSERT_TRUE(PutText("040C", "TXT_ENTER_PIN", "from HKCU 040C", HKEY_CURRENT_USER));
    EXPECT_EQ(ReadFixedLng(), 0u);
    EXPECT_EQ(ReadTextOverride(0x0409, QUENDA_TEXT_ENTER_PIN), "");
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_ENTER_PIN), "Please enter PIN.");
}

// ---------------------------------------------------------------------------------------------
// Order of the overrides

TEST_F(RegistryTexts, FullLanguageBeatsPrimaryLanguageBeatsCatalogue) {
    user_.Set(0x0407);
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "PIN Fehler!");
    ASSERT_TRUE(PutText("0007", "TXT_PIN_ERROR", "from 0007"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "from 0007");
    ASSERT_TRUE(PutText("0407", "TXT_PIN_ERROR", "from 0407"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "from 0407");
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_PIN_ERROR), "from 0407") << "no driver text is stored";

    // An empty string counts as no override.
    ASSERT_TRUE(PutText("0407", "TXT_PIN_ERROR", ""));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "from 0007");
    ASSERT_TRUE(Put("0407", "TXT_PIN_ERROR", REG_SZ, ""));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "from 0007") << "a value of size 0";
    ASSERT_TRUE(Remove("0007", "TXT_PIN_ERROR"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_ERROR), "PIN Fehler!");
}

TEST_F(RegistryTexts, PrimaryLanguageOverrideCoversEveryVariant) {
    ASSERT_TRUE(PutText("0007", "TXT_NEW_PIN", "any German"));
    ASSERT_TRUE(PutText("0807", "TXT_NEW_PIN", "Swiss German"));
    struct Case {
        uint32_t user;
        const char* expected;
    } const cases[] = {
        {0x0407, "any German"},
        {0x0807, "Swiss German"},
        {0x0C07, "any German"},
        {0x1007, "any German"},
        {0x0409, "Please enter new PIN."},  // another primary language does not see 0007
    };
    for (const Case& c : cases) {
        user_.Set(c.user);
        EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_NEW_PIN), c.expected) << std::hex << c.user;
    }
}

TEST_F(RegistryTexts, EveryTextIdHasItsOwnValueName) {
    const char* const names[] = {"TXT_ENTER_PIN",  "TXT_OLD_PIN",      "TXT_NEW_PIN",
                                 "TXT_CONFIRM_PIN", "TXT_PIN_OK",       "TXT_PIN_ERROR",
                                 "TXT_PIN_NO_MATCH", "TXT_END_CANCEL", "TXT_END_TIEMOUT",
                                 "TXT_CANCEL"};
    // Each text names its own TextId, so a value read for the wrong TextId shows.
    auto textOf = [](int id) { return std::string("override ") + static_cast<char>('0' + id - 1); };
    for (int id = 1; id <= 10; ++id) ASSERT_TRUE(PutText("0409", names[id - 1], textOf(id)));
    for (int id = 1; id <= 10; ++id) EXPECT_EQ(GetCatalogueText(id), textOf(id)) << names[id - 1];
}

TEST_F(RegistryTexts, TimeoutKeyKeepsItsHistoricSpelling) {
    ASSERT_TRUE(PutText("0409", "TXT_END_TIMEOUT", "corrected spelling"));
    ASSERT_TRUE(PutText("0009", "TXT_END_TIMEOUT", "corrected spelling"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_END_TIMEOUT), "Timout for PIN entry!");
    ASSERT_TRUE(PutText("0409", "TXT_END_TIEMOUT", "historic spelling"));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_END_TIMEOUT), "historic spelling");
}

// Nothing is cached: each request sees the registry as it is then.
TEST_F(RegistryTexts, ChangesApplyAtTheNextRequest) {
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_CONFIRM_PIN), "Please confirm new PIN.");
    ASSERT_TRUE(PutText("0409", "TXT_CONFIRM_PIN", "first"));
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_CONFIRM_PIN), "first");
    ASSERT_TRUE(PutText("0409", "TXT_CONFIRM_PIN", "second"));
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_CONFIRM_PIN), "second");
    ASSERT_TRUE(PutFixedLng(0x0425));
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_CONFIRM_PIN), "Korda uus PIN.");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot);
    EXPECT_EQ(GetDialogText(QUENDA_TEXT_CONFIRM_PIN), "Please confirm new PIN.");
}

TEST_F(RegistryTexts, TextIdOutsideOneToTenIsRefused) {
    EXPECT_THROW((void)GetCatalogueText(0), std::out_of_range);
    EXPECT_THROW((void)GetCatalogueText(11), std::out_of_range);
    EXPECT_THROW((void)GetDialogText(0), std::out_of_range);
    EXPECT_THROW((void)GetDialogText(11), std::out_of_range);
    EXPECT_EQ(ReadTextOverride(kEnglishUs, 0), "");
    EXPECT_EQ(ReadTextOverride(kEnglishUs, 11), "");
}

// ---------------------------------------------------------------------------------------------
// Value types and sizes of the overrides

TEST_F(RegistryTexts, OnlyStringTypesOverride) {
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        const char* expected;  // null: the value is ignored
    } const cases[] = {
        {"REG_MULTI_SZ", REG_MULTI_SZ, std::string("multi\0sz\0\0", 10), nullptr},
        {"REG_BINARY", REG_BINARY, std::string("binary text\0", 12), nullptr},
        {"REG_DWORD", REG_DWORD, std::string("abc\0", 4), nullptr},
        {"REG_SZ with only a NUL", REG_SZ, std::string("\0", 1), nullptr},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, std::string("%PATH%\0", 7), "%PATH%"},
        {"REG_SZ with a NUL inside", REG_SZ, std::string("first\0second\0", 13), "first"},
        {"REG_SZ in Windows-1252", REG_SZ, std::string("Gr\xFC\xDF \xE4\xE9\xF3\xF5\0", 10),
         "Gr\xFC\xDF \xE4\xE9\xF3\xF5"},
    };
    user_.Set(0x0407);
    ASSERT_TRUE(PutText("0007", "TXT_OLD_PIN", "from 0007"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Put("0407", "TXT_OLD_PIN", c.type, c.bytes));
        EXPECT_EQ(ReadTextOverride(0x0407, QUENDA_TEXT_OLD_PIN), c.expected ? c.expected : "");
        // An ignored value falls through to the next source.
        EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_OLD_PIN), c.expected ? c.expected : "from 0007");
    }
}

// RegSetValueExA adds a NUL that the caller did not count when the byte after the data is NUL;
// the buffer here continues with 'X' so the stored string really has no terminator.
TEST_F(RegistryTexts, StringWithoutTerminatorIsReadExactly) {
    static const char kBuffer[] = "no terminator hereXXXX";
    constexpr DWORD kLength = sizeof "no terminator here" - 1;
    ASSERT_TRUE(PutRaw(HKEY_LOCAL_MACHINE, "0409", "TXT_PIN_OK", REG_SZ, kBuffer, kLength));
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf("0409").c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    const UniqueKey key(raw);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key.get(), "TXT_PIN_OK", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    ASSERT_EQ(size, kLength) << "the value was stored with a terminator; the case tests nothing";

    const auto value = ReadRegistryValue(key.get(), "TXT_PIN_OK");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value->data, "no terminator here");
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_PIN_OK), "no terminator here");
}

TEST_F(RegistryTexts, OneMebibyteValues) {
    constexpr size_t kSize = 1024 * 1024;
    const std::string text = Pattern(kSize, 'K');
    ASSERT_TRUE(PutText("0409", "TXT_ENTER_PIN", text));
    const std::string read = GetCatalogueText(QUENDA_TEXT_ENTER_PIN);
    EXPECT_EQ(read.size(), kSize);
    EXPECT_TRUE(read == text) << "the 1 MiB string came back changed";

    ASSERT_TRUE(Put("0409", "TXT_OLD_PIN", REG_BINARY, text));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_OLD_PIN), "Please enter old PIN.");
    ASSERT_TRUE(Put("0409", "TXT_NEW_PIN", REG_MULTI_SZ, text + std::string("\0\0", 2)));
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_NEW_PIN), "Please enter new PIN.");
    ASSERT_TRUE(Put("", "FixedLng", REG_DWORD, std::string(kSize, '\x07')));
    EXPECT_EQ(ReadFixedLng(), 0u);
    EXPECT_EQ(GetCatalogueText(QUENDA_TEXT_CANCEL), "&Cancel");
}

// ---------------------------------------------------------------------------------------------
// Reads racing a writer, and key handles

struct GrowingValue {
    std::string subkey;
    const char* name = nullptr;
    DWORD type = REG_BINARY;
    std::string small;
    std::string large;
    // Shared by the test and the writer, so a writer that outlives a failed test still finds it.
    UniqueKernelHandle firstWrite{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::atomic<int> writes{0};
};

constexpr ULONGLONG kWriterLimitMs = 15000;

// Rewrites the value, small and large in turn, until told to stop or its own limit passes.
DWORD WINAPI RewriteAlternately(void* parameter) {
    const std::unique_ptr<std::shared_ptr<GrowingValue>> owned(
        static_cast<std::shared_ptr<GrowingValue>*>(parameter));
    GrowingValue& v = **owned;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf(v.subkey).c_str(), 0, KEY_SET_VALUE, &raw) != ERROR_SUCCESS) {
        v.failed = true;
        SetEvent(v.firstWrite.get());
        return 1;
    }
    const UniqueKey key(raw);
    const ULONGLONG deadline = GetTickCount64() + kWriterLimitMs;
    for (int i = 0; !v.stop.load() && GetTickCount64() < deadline; ++i) {
        const std::string& data = i % 2 == 0 ? v.large : v.small;
        if (RegSetValueExA(key.get(), v.name, 0, v.type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
            v.failed = true;
            break;
        }
        if (++v.writes == 1) SetEvent(v.firstWrite.get());
        // A string is converted before each write, so without a pause the large one would stand
        // only for the moment between two writes; now and then it stands a little longer.
        if (i % 8 == 0) Sleep(1);
    }
    SetEvent(v.firstWrite.get());
    return 0;
}

// The system's handle table, as NtQuerySystemInformation(SystemHandleInformation) gives it.
struct SystemHandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ULONG AccessMask;
};
struct SystemHandleTable {
    ULONG Count;
    SystemHandleEntry Handle[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

std::optional<DWORD> HandlesInSystemTable() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    // Through void(*)(): the one function-pointer cast that GCC does not flag.
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (!query) return std::nullopt;
    std::vector<char> buffer(1 << 16);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &needed)) == kStatusInfoLengthMismatch &&
           buffer.size() < (64u << 20))
        buffer.resize(buffer.size() * 2);
    if (status != 0) return std::nullopt;
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    const size_t room = (buffer.size() - offsetof(SystemHandleTable, Handle)) / sizeof(SystemHandleEntry);
    if (table->Count > room) return std::nullopt;
    DWORD count = 0;
    for (ULONG i = 0; i < table->Count; ++i)
        count += table->Handle[i].OwnerPid == GetCurrentProcessId() ? 1 : 0;
    return count;
}

// Handles this process holds. Wine's GetProcessHandleCount succeeds but always reports 0; the
// system's handle table counts correctly there.
std::optional<DWORD> HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    return HandlesInSystemTable();
}

class RegistryRace : public RegistryTexts {
protected:
    // Reads `read` over and over while another thread rewrites the value; every result must be
    // one of the two contents exactly, and both must have been seen.
    template <typename Read>
    void ReadWhileRewritten(DWORD type, const char* name, size_t smallSize, size_t largeSize, Read read) {
        auto value = std::make_shared<GrowingValue>();
        value->subkey = "0409";
        value->name = name;
        value->type = type;
        // Different from the first byte on, so a mixture of the two cannot equal either.
        value->small = Pattern(smallSize, 'S');
        value->large = Pattern(largeSize, 'L');
        // Strings are stored with their terminator.
        if (type == REG_SZ) {
            value->small.push_back('\0');
            value->large.push_back('\0');
        }
        ASSERT_TRUE(Put(value->subkey, name, type, value->small));
        ASSERT_TRUE(value->firstWrite);

        // Warm-up: the registry's root handles are opened once and cached.
        (void)read();

        auto* forThread = new std::shared_ptr<GrowingValue>(value);
        const UniqueKernelHandle writer(CreateThread(nullptr, 0, RewriteAlternately, forThread, 0, nullptr));
        if (!writer) delete forThread;
        ASSERT_TRUE(writer);
        const ScopeExit stopWriter([&] {
            value->stop = true;
            if (WaitForSingleObject(writer.get(), 5000) != WAIT_OBJECT_0)
                ADD_FAILURE() << "the writer thread did not stop";
        });
        ASSERT_EQ(WaitForSingleObject(value->firstWrite.get(), 5000), WAIT_OBJECT_0) << "the writer did not start";
        ASSERT_FALSE(value->failed) << "the writer could not write";
        // Counted once the writer holds its key, so only the reads can change the count.
        const std::optional<DWORD> before = HandleCount();

        const std::string smallText = type == REG_SZ ? value->small.substr(0, smallSize) : value->small;
        const std::string largeText = type == REG_SZ ? value->large.substr(0, largeSize) : value->large;
        int smallSeen = 0;
        int largeSeen = 0;
        int reads = 0;
        const ULONGLONG deadline = GetTickCount64() + 4000;
        while (reads < 3000 && GetTickCount64() < deadline && !HasFailure()) {
            const std::optional<std::string> got = read();
            ++reads;
            if (!got) {
                ADD_FAILURE() << "read " << reads << " found no value";
            } else if (*got == smallText) {
                ++smallSeen;
            } else if (*got == largeText) {
                ++largeSeen;
            } else {
                ADD_FAILURE() << "read " << reads << " gave " << got->size() << " bytes starting \""
                              << got->substr(0, 12) << "\": neither content";
            }
        }
        const std::optional<DWORD> after = HandleCount();
        value->stop = true;
        EXPECT_FALSE(value->failed) << "a write failed";
        EXPECT_GT(smallSeen, 0) << "the small content was never read in " << reads << " reads";
        EXPECT_GT(largeSeen, 0) << "the large content was never read in " << reads << " reads";
        std::printf("    %d reads (%d small, %d large) against %d writes\n", reads, smallSeen, largeSeen,
                    value->writes.load());
        if (before && after)
            EXPECT_EQ(*after, *before) << "handles leaked during " << reads << " reads";
        else
            std::printf("    handles cannot be counted here: handle count not checked\n");
    }
};

TEST_F(RegistryRace, BinaryValueGrowingBetweenSizeQueryAndRead) {
    HKEY raw = nullptr;
    ASSERT_TRUE(Put("0409", "Growing", REG_BINARY, "x"));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf("0409").c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    const UniqueKey key(raw);
    ReadWhileRewritten(REG_BINARY, "Growing", 10, 100 * 1024, [&]() -> std::optional<std::string> {
        const auto value = ReadRegistryValue(key.get(), "Growing");
        if (!value || value->type != REG_BINARY) return std::nullopt;
        return value->data;
    });
}

TEST_F(RegistryRace, OverrideTextGrowingBetweenSizeQueryAndRead) {
    ReadWhileRewritten(REG_SZ, "TXT_ENTER_PIN", 10, 100 * 1024, []() -> std::optional<std::string> {
        std::string text = ReadTextOverride(kEnglishUs, QUENDA_TEXT_ENTER_PIN);
        if (text.empty()) return std::nullopt;
        return text;
    });
}

// Every text request opens and closes its own keys, on the paths that find a value and on those
// that do not.
TEST_F(RegistryTexts, TextRequestsCloseTheirKeys) {
    ASSERT_TRUE(PutFixedLng(0x0407));
    ASSERT_TRUE(PutText("0407", "TXT_ENTER_PIN", "full"));
    ASSERT_TRUE(PutText("0007", "TXT_OLD_PIN", "primary"));
    ASSERT_TRUE(Put("0407", "TXT_NEW_PIN", REG_BINARY, "ignored"));
    auto requestAll = [] {
        for (int id = 1; id <= 10; ++id) (void)GetCatalogueText(id);
        (void)ReadTextOverride(0x0999, 1);  // no such subkey
    };
    requestAll();
    const std::optional<DWORD> before = HandleCount();
    if (!before) GTEST_SKIP() << "handles cannot be counted here";
    for (int round = 0; round < 200; ++round) requestAll();
    const std::optional<DWORD> after = HandleCount();
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, *before) << "handles leaked in 2000 text requests";
}

// Only a REG_DWORD 1 under HKLM switches the trace on (the driver-level tests try the other
// types); a start call made while another runs may switch it on but never off.
TEST_F(RegistryTexts, TraceSwitchIsExactlyTheDwordOne) {
    const ScopeExit off([] { SetTraceSwitchAtStart(false, false); });
    const DWORD one = 1;
    EXPECT_FALSE(ReadTraceSwitch()) << "no key";
    ASSERT_TRUE(PutRaw(HKEY_LOCAL_MACHINE, "", "Trace", REG_BINARY, &one, sizeof one));
    EXPECT_FALSE(ReadTraceSwitch()) << "REG_BINARY 01 00 00 00";
    ASSERT_TRUE(PutRaw(HKEY_CURRENT_USER, "", "Trace", REG_DWORD, &one, sizeof one));
    EXPECT_FALSE(ReadTraceSwitch()) << "under HKEY_CURRENT_USER only";
    ASSERT_TRUE(PutRaw(HKEY_LOCAL_MACHINE, "", "Trace", REG_DWORD, &one, sizeof one));
    EXPECT_TRUE(ReadTraceSwitch());

    SetTraceSwitchAtStart(ReadTraceSwitch(), false);
    EXPECT_TRUE(TraceOn());
    ASSERT_TRUE(Remove("", "Trace"));
    SetTraceSwitchAtStart(ReadTraceSwitch(), true);
    EXPECT_TRUE(TraceOn()) << "a second start call switched the trace off under the running prompt";
    SetTraceSwitchAtStart(ReadTraceSwitch(), false);
    EXPECT_FALSE(TraceOn());

    // Once the unload has stopped it, a start call made meanwhile cannot switch it back on.
    StopTracing();
    SetTraceSwitchAtStart(true, false);
    EXPECT_FALSE(TraceOn()) << "a start call during the unload switched the trace on";
    RestartTracing();
}

}  // namespace
}  // namespace quenda
