// Reliability of the real Quenda.dll under load: many key events from two threads while the prompt
// repaints, closes racing with keys and EndDlg, and a seeded sweep of bad records, codes and
// registry values. Every wait ends; every handle has an owner.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace quenda::test {
namespace {

constexpr const char* kRegistryPath = "Software\\Halberk\\Vorlix\\QUENDA.DLL";

// The echo label of a prompt whose middle band is `middle` wide (window coordinates, 20 px high).
RECT EchoRect(int middle) { return {kLabelLeft, 50, kLabelLeft + middle - 14, std::min(70, kHeight)}; }

int CountDiffering(const Picture& a, const Picture& b, RECT r, std::string* first = nullptr) {
    int count = 0;
    const int right = std::min<int>(r.right, std::min(a.Width(), b.Width()));
    const int bottom = std::min<int>(r.bottom, std::min(a.Height(), b.Height()));
    for (int y = std::max<int>(r.top, 0); y < bottom; ++y)
        for (int x = std::max<int>(r.left, 0); x < right; ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y) && count++ == 0 && first) {
                char where[32];
                std::snprintf(where, sizeof where, "(%d,%d) ", x, y);
                first->assign(where);
                first->append(ColourText(a.Pixel(x, y))).append(" vs ").append(ColourText(b.Pixel(x, y)));
            }
    return count;
}

bool IsZeroOrRefusal(uint32_t result) { return result == QUENDA_OK || result == QUENDA_INVALID_PARAMETER; }

// Kernel and other object handles of this process, probed one by one: GetProcessHandleCount is a
// stub that Wine answers without counting.
std::vector<uintptr_t> OpenHandles() {
    std::vector<uintptr_t> open;
    for (uintptr_t value = 4; value <= 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) open.push_back(value);
    }
    return open;
}

// Handle values open in `after` that were not in `before`, for the failure message.
std::string NewHandles(const std::vector<uintptr_t>& before, const std::vector<uintptr_t>& after) {
    std::string text;
    for (uintptr_t value : after)
        if (std::find(before.begin(), before.end(), value) == before.end()) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llx ", static_cast<unsigned long long>(value));
            text += hex;
        }
    return text;
}

uint32_t SeedFromEnvironment() {
    if (const char* text = std::getenv("QUENDA_SEED"); text && *text)
        return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
    return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Values and subkeys written under the library's key; all of them are removed on destruction, and
// the key itself when this object created it.
class RegistryScratch {
public:
    RegistryScratch() {
        DWORD disposition = 0;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegistryPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition) == ERROR_SUCCESS) {
            key_.reset(key);
            createdKey_ = disposition == REG_CREATED_NEW_KEY;
        }
    }
    RegistryScratch(const RegistryScratch&) = delete;
    RegistryScratch& operator=(const RegistryScratch&) = delete;
    ~RegistryScratch() {
        Clear();
        if (key_ && createdKey_) {
            key_.reset();
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRegistryPath);
        }
    }

    [[nodiscard]] bool Ready() const { return static_cast<bool>(key_); }

    // Writes a value into the key (subkey empty) or a subkey; true when the registry took it.
    bool Set(const std::string& subkey, const std::string& name, DWORD type, const std::string& data) {
        if (!key_) return false;
        HKEY target = key_.get();
        UniqueKey sub;
        if (!subkey.empty()) {
            HKEY opened = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(key_.get(), subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                                &disposition) != ERROR_SUCCESS)
                return false;
            sub.reset(opened);
            target = opened;
            if (disposition == REG_CREATED_NEW_KEY) createdSubkeys_.push_back(subkey);
        }
        values_.emplace_back(subkey, name);
        return RegSetValueExA(target, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    }

    // Removes every value and subkey written so far; the key stays for more.
    void Clear() {
        if (!key_) return;
        for (const auto& [subkey, name] : values_)
            RegDeleteKeyValueA(key_.get(), subkey.empty() ? nullptr : subkey.c_str(), name.c_str());
        values_.clear();
        for (const std::string& subkey : createdSubkeys_) RegDeleteKeyA(key_.get(), subkey.c_str());
        createdSubkeys_.clear();
    }

private:
    UniqueKey key_;
    bool createdKey_ = false;
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> createdSubkeys_;
};

class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = QuendaModule::Load(error);
        ASSERT_TRUE(module_) << error;
        api_ = module_->Api();
        SetCursorPos(0, 0);
    }

    HMODULE Module() const { return module_->Handle(); }

    std::optional<Picture> TypedShot(const DlgParams& params, int marks, const std::string& tag) {
        auto run = PromptRun::StartDlgEx(Module(), api_, &params, QUENDA_MODE_ENTER_PIN, nullptr);
        HWND dialog = run->WaitForDialog();
        EXPECT_NE(dialog, nullptr) << tag;
        if (!dialog) return std::nullopt;
        for (int i = 0; i < marks; ++i) EXPECT_EQ(api_.OnKeyPressed(QUENDA_KEY_DIGIT, 0), QUENDA_OK);
        std::optional<Picture> shot = SettledShot(dialog);
        if (shot) shot->Save("Reliability." + tag);
        EXPECT_TRUE(run->CloseAndJoin()) << tag;
        return shot;
    }

    std::optional<QuendaModule> module_;
    QuendaApi api_;
};

// ---------------------------------------------------------------------------------------------
// Two driver threads, 100,000 key events, continuous repaints

TEST_F(Reliability, HundredThousandKeysFromTwoThreadsWhileRepainting) {
    constexpr int kLeadDigits = 5;  // per thread, before the pairs
    constexpr int kPairs = 24'997;  // per thread: digit, backspace
    constexpr int kEventsPerThread = kLeadDigits + 2 * kPairs;
    constexpr int kExpectedMarks = 2 * kLeadDigits;
    DlgParams params = NewParams();
    params.ExtraWidth = kMaxMiddle - 135;
    params.Texts[0] = "";  // the echo area then shows marks only
    const RECT echo = EchoRect(kMaxMiddle);

    std::optional<Picture> reference = TypedShot(params, kExpectedMarks, "reference");
    std::optional<Picture> oneLess = TypedShot(params, kExpectedMarks - 1, "one-less");
    std::optional<Picture> oneMore = TypedShot(params, kExpectedMarks + 1, "one-more");
    ASSERT_TRUE(reference && oneLess && oneMore);
    ASSERT_GT(CountDiffering(*reference, *oneLess, echo), 0) << "count and count-1 look the same";
    ASSERT_GT(CountDiffering(*reference, *oneMore, echo), 0) << "count and count+1 look the same";

    auto run = PromptRun::StartDlgEx(Module(), api_, &params, QUENDA_MODE_ENTER_PIN, nullptr);
    HWND dialog = run->WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(go);
    std::atomic<int> failures{0};
    std::atomic<bool> typing{true};
    std::atomic<long> repaints{0};
    const OnKeyPressedFn onKey = api_.OnKeyPressed;
    // A thread's backspace always follows its own digit, so no backspace meets an empty echo and
    // the final count is exactly the lead digits of both threads.
    auto typist = [&] {
        if (WaitForSingleObject(go.get(), kJoinTimeoutMs) != WAIT_OBJECT_0) {
            failures += kEventsPerThread;
            return;
        }
        for (int i = 0; i < kLeadDigits; ++i)
            if (onKey(QUENDA_KEY_DIGIT, 0) != QUENDA_OK) ++failures;
        for (int i = 0; i < kPairs; ++i) {
            if (onKey(QUENDA_KEY_DIGIT, 0) != QUENDA_OK) ++failures;
            if (onKey(QUENDA_KEY_BACKSPACE, 0) != QUENDA_OK) ++failures;
        }
    };
    const double start = NowMs();
    {
        AsyncCall painter([&] {
            while (typing.load()) {
                InvalidateRect(dialog, nullptr, FALSE);
                ++repaints;
                Sleep(1);
            }
        });
        AsyncCall one(typist);
        AsyncCall two(typist);
        SetEvent(go.get());
        const bool joined = one.Join(60'000) && two.Join(60'000);
        typing = false;
        ASSERT_TRUE(painter.Join(kJoinTimeoutMs));
        ASSERT_TRUE(joined) << "the typists did not finish within 60 s";
    }
    const double elapsed = NowMs() - start;
    std::printf("[ info ] %d key events from two threads in %.0f ms, %ld invalidations\n",
                2 * kEventsPerThread, elapsed, repaints.load());
    EXPECT_EQ(failures.load(), 0) << "OnKeyPressed did not return 0 every time";
    ASSERT_TRUE(IsWindow(dialog)) << "the prompt closed under load";
    std::optional<Picture> raced = SettledShot(dialog);
    ASSERT_TRUE(raced);
    raced->Save("Reliability.raced");
    std::string first;
    EXPECT_EQ(CountDiffering(*reference, *raced, echo, &first), 0)
        << "the echo does not show exactly " << kExpectedMarks << " marks; first difference at " << first;
    ASSERT_TRUE(run->CloseAndJoin());
    EXPECT_EQ(run->Result(), QUENDA_OK);
}

// ---------------------------------------------------------------------------------------------
// The window system's close and Escape racing with keys and EndDlg

TEST_F(Reliability, ClosesRaceWithKeysAndEnd) {
    constexpr int kIterations = 350;
    constexpr int kEndRaceEvery = 50;  // EndDlg that finds the prompt open takes 2 s
    const OnKeyPressedFn onKey = api_.OnKeyPressed;
    const EndDlgFn endDlg = api_.EndDlg;
    int badResults = 0;
    int hangs = 0;
    int keysAccepted = 0;
    int endsAccepted = 0;
    const double start = NowMs();
    for (int i = 0; i < kIterations && hangs == 0; ++i) {
        auto run = PromptRun::StartDlg(Module(), api_, QUENDA_MODE_ENTER_PIN, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<int> bad{0};
        std::atomic<int> accepted{0};
        std::atomic<int> endAccepted{0};
        UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(go);
        {
            // The keys start with the close, so that they meet the prompt while it goes away.
            AsyncCall keys([&, i] {
                if (WaitForSingleObject(go.get(), kJoinTimeoutMs) != WAIT_OBJECT_0) ++bad;
                for (uint32_t n = 0; n < 5000 && !stop.load(); ++n) {
                    const uint32_t key =
                        (n + i) % 3 == 2 ? uint32_t{QUENDA_KEY_BACKSPACE} : uint32_t{QUENDA_KEY_DIGIT};
                    const uint32_t r = onKey(n % 97 == 0 ? uint32_t{QUENDA_KEY_CLEAR} : key, 0);
                    if (!IsZeroOrRefusal(r)) ++bad;
                    if (r == QUENDA_OK) ++accepted;
                }
            });
            HWND dialog = run->WaitForDialog();
            if (!dialog) {
                ADD_FAILURE() << "iteration " << i << ": no prompt appeared";
                ++hangs;
            }
            std::unique_ptr<AsyncCall> ender;
            if (i % kEndRaceEvery == 0)
                ender = std::make_unique<AsyncCall>([&] {
                    const uint32_t r = endDlg(QUENDA_END_PIN_ERROR);
                    if (!IsZeroOrRefusal(r)) ++bad;
                    if (r == QUENDA_OK) ++endAccepted;
                });
            // EndDlg gets a head start of 0..2 ms, so that it sometimes finds the prompt open and the
            // close then arrives during its outcome display.
            if (ender) Sleep(static_cast<DWORD>(i / kEndRaceEvery % 3));
            SetEvent(go.get());
            if (dialog) {
                switch (i % 3) {
                    case 0: PostMessageA(dialog, WM_CLOSE, 0, 0); break;
                    case 1: {
                        DWORD_PTR ignored = 0;
                        SendMessageTimeoutA(dialog, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kJoinTimeoutMs,
                                            &ignored);
                        break;
                    }
                    default:
                        // Escape released on the focused button.
                        if (HWND button = GetDlgItem(dialog, kButtonId))
                            PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                        else
                            PostMessageA(dialog, WM_CLOSE, 0, 0);
                        break;
                }
            }
            if (!run->Join(kJoinTimeoutMs)) {
                ADD_FAILURE() << "iteration " << i << ": the start call did not return";
                ++hangs;
            }
            stop = true;
            if (!keys.Join(kJoinTimeoutMs)) {
                ADD_FAILURE() << "iteration " << i << ": OnKeyPressed hung";
                ++hangs;
            }
            if (ender && !ender->Join(kJoinTimeoutMs)) {
                ADD_FAILURE() << "iteration " << i << ": EndDlg hung";
                ++hangs;
            }
        }
        if (run->Returned() && run->Result() != QUENDA_OK) {
            ADD_FAILURE() << "iteration " << i << ": start call returned " << run->Result();
            ++badResults;
        }
        badResults += bad.load();
        keysAccepted += accepted.load();
        endsAccepted += endAccepted.load();
        // Once the start call has returned, nothing is open any more.
        if (run->Returned()) {
            const uint32_t key = onKey(QUENDA_KEY_DIGIT, 0);
            const uint32_t end = endDlg(QUENDA_END_CANCEL);
            if (key != QUENDA_INVALID_PARAMETER || end != QUENDA_INVALID_PARAMETER) {
                ADD_FAILURE() << "iteration " << i << ": after the close OnKeyPressed gave " << key
                              << " and EndDlg " << end;
                ++badResults;
            }
        }
    }
    std::printf("[ info ] %d close races in %.0f ms; %d keys accepted, %d EndDlg accepted\n", kIterations,
                NowMs() - start, keysAccepted, endsAccepted);
    EXPECT_EQ(badResults, 0);
    EXPECT_EQ(hangs, 0);
}

// ---------------------------------------------------------------------------------------------
// Seeded sweep of bad input

class Sweep {
public:
    explicit Sweep(uint32_t seed) : rng_(seed) {}
    uint32_t Next() { return static_cast<uint32_t>(rng_()); }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }

    // Edge values of an unsigned field, or a random one.
    uint32_t Field() {
        static constexpr uint32_t kEdges[] = {
            0,   1,   2,   24,  25,         49,         50,         99,         100,        149,       150,
            151, 464, 465, 466, 0x7FFFFFFF, 0x80000000, 0xFFFFFF78, 0xFFFFFF79, 0xFFFFFFFE, 0xFFFFFFFF};
        if (Chance(60)) return kEdges[Below(std::size(kEdges))];
        return Next();
    }

    // Up to `maxBytes` of text: markup, ampersands, control bytes 1..31 and printable bytes; no NUL.
    std::string Text(size_t maxBytes) {
        const size_t length =
            Chance(20) ? maxBytes : Below(static_cast<uint32_t>(std::min<size_t>(maxBytes, 300)) + 1);
        std::string text;
        text.reserve(length);
        while (text.size() < length) {
            switch (Below(8)) {
                case 0: text += "<b>"; break;
                case 1: text += "&"; break;
                case 2: text += static_cast<char>(1 + Below(31)); break;
                case 3: text += Chance(50) ? "<" : ">"; break;
                case 4: text += "&&x"; break;
                default: text += static_cast<char>(32 + Below(224)); break;
            }
        }
        text.resize(length);
        return text;
    }

private:
    std::mt19937 rng_;
};

// A record as a driver might hand it over; pointers partly covered by Size are left null, as a
// driver passing such a Size owns no such field.
struct RandomRecord {
    DlgParams params{};
    std::vector<std::string> texts;
    bool expectRefusal = false;
};

RandomRecord MakeRecord(Sweep& sweep) {
    RandomRecord record;
    record.texts.resize(QUENDA_TEXT_COUNT + 2);
    DlgParams& p = record.params;
    static constexpr int32_t kSizes[] = {INT32_MIN,
                                         -1,
                                         0,
                                         1,
                                         4,
                                         8,
                                         48,
                                         52,
                                         88,
                                         92,
                                         96,
                                         100,
                                         104,
                                         static_cast<int32_t>(sizeof(DlgParams)) - 1,
                                         static_cast<int32_t>(sizeof(DlgParams)),
                                         static_cast<int32_t>(sizeof(DlgParams)) + 1,
                                         4096,
                                         INT32_MAX};
    p.Size = sweep.Chance(70) ? kSizes[sweep.Below(std::size(kSizes))] : static_cast<int32_t>(sweep.Next());
    p.Flags = sweep.Chance(80) ? (sweep.Field() | QUENDA_FLAG_KEEP_DESKTOP) : sweep.Field();
    for (int k = 0; k < QUENDA_TEXT_COUNT; ++k)
        if (sweep.Chance(40)) record.texts[k] = sweep.Text(sweep.Chance(10) ? 65536 : 2000);
    p.ExtraWidth = sweep.Field();
    p.PromptTop = sweep.Field();
    p.EchoTop = sweep.Field();
    p.ResultTop = sweep.Field();
    p.Reserved = sweep.Next();
    // Station and desktop names that do not exist: the prompt must still come or the call refuse.
    if (sweep.Chance(15)) record.texts[QUENDA_TEXT_COUNT] = sweep.Chance(50) ? "" : "NoSuchStation";
    if (sweep.Chance(15)) record.texts[QUENDA_TEXT_COUNT + 1] = sweep.Chance(50) ? "" : "NoSuchDesktop";
    const size_t taken = p.Size < 0 ? 0 : std::min<size_t>(static_cast<size_t>(p.Size), sizeof(DlgParams));
    auto covered = [&](size_t offset, size_t size) { return offset + size <= taken; };
    for (int k = 0; k < QUENDA_TEXT_COUNT; ++k) {
        const bool hasText = sweep.Chance(90) && !record.texts[k].empty();
        const size_t offset = offsetof(DlgParams, Texts) + k * sizeof(const char*);
        p.Texts[k] = hasText && covered(offset, sizeof(const char*)) ? record.texts[k].c_str() : nullptr;
        if (!covered(offset, sizeof(const char*)) && offset < taken) p.Texts[k] = nullptr;
    }
    if (!record.texts[QUENDA_TEXT_COUNT].empty() || sweep.Chance(5))
        p.WinStation = covered(offsetof(DlgParams, WinStation), sizeof(char*))
                           ? record.texts[QUENDA_TEXT_COUNT].c_str()
                           : nullptr;
    if (!record.texts[QUENDA_TEXT_COUNT + 1].empty() || sweep.Chance(5))
        p.Desktop = covered(offsetof(DlgParams, Desktop), sizeof(char*))
                        ? record.texts[QUENDA_TEXT_COUNT + 1].c_str()
                        : nullptr;
    // What the library sees: the leading bytes it takes.
    DlgParams seen{};
    if (p.Size >= 0) std::memcpy(&seen, &p, taken);
    record.expectRefusal = p.Size < 0 || seen.ExtraWidth > 0xFFFFFFFFu - 135;
    return record;
}

std::string RandomBytes(Sweep& sweep, size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(sweep.Next());
    return data;
}

// A registry value of any type and a size from 0 to 1 MiB.
std::pair<DWORD, std::string> RandomValue(Sweep& sweep) {
    static constexpr DWORD kTypes[] = {
        REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
        REG_LINK, REG_MULTI_SZ, REG_QWORD,     0xFFFFFFFF};
    const DWORD type = sweep.Chance(80) ? kTypes[sweep.Below(std::size(kTypes))] : sweep.Next();
    static constexpr size_t kSizes[] = {0, 1, 2, 3, 4, 5, 8, 255, 256, 4096, 65536, 1 << 20};
    const size_t size = sweep.Chance(70) ? kSizes[sweep.Below(std::size(kSizes))] : sweep.Below(70000);
    std::string data;
    if (sweep.Chance(50) && size > 0) {
        data = sweep.Text(size);  // text without NUL, often unterminated
        data.resize(size, 'x');
    } else {
        data = RandomBytes(sweep, size);
    }
    return {type, data};
}

TEST_F(Reliability, SeededSweepOfBadInput) {
    const uint32_t seed = SeedFromEnvironment();
    std::printf("[ info ] sweep seed %u (set QUENDA_SEED to repeat)\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    Sweep sweep(seed);
    const StartDlgExFn startEx = api_.StartDlgEx;
    const StartDlgFn startPlain = api_.StartDlg;
    const double sweepStart = NowMs();
    int prompts = 0;
    int refusals = 0;

    // Opens with `start` in thread A; a refusal must come at once without a window, an accepted
    // call must show its prompt and close on WM_CLOSE. Returns false on a failure already reported.
    auto exercise = [&](std::function<uint32_t()> start, bool expectRefusal, const std::string& what,
                        const std::function<void(HWND)>& whileOpen) {
        const double t0 = NowMs();
        PromptRun run(Module(), std::move(start));
        HWND dialog = run.WaitForDialog(expectRefusal ? 1000 : 10'000);
        if (expectRefusal) {
            EXPECT_EQ(dialog, nullptr) << what << ": a refused call showed a prompt";
            EXPECT_TRUE(run.Join(1000)) << what << ": a refused call did not return at once";
            EXPECT_EQ(run.Result(), QUENDA_INVALID_PARAMETER) << what;
            EXPECT_LT(NowMs() - t0, 1000.0) << what;
            ++refusals;
            return;
        }
        EXPECT_NE(dialog, nullptr) << what << ": no prompt appeared (call returned: " << run.Returned()
                                   << ", result " << run.Result() << ")";
        if (dialog) {
            ++prompts;
            if (whileOpen) whileOpen(dialog);
            PostMessageA(dialog, WM_CLOSE, 0, 0);
        }
        EXPECT_TRUE(run.Join(10'000)) << what << ": the start call did not return after WM_CLOSE";
        EXPECT_EQ(run.Result(), QUENDA_OK) << what;
    };

    RegistryScratch registry;
    ASSERT_TRUE(registry.Ready()) << "the library's registry key cannot be created";

    // Warm-up: every path once, so lazily created objects exist before the first count.
    {
        DlgParams params = NewParams();
        params.Texts[0] = "warm-up <b>&text";
        registry.Set("0409", "TXT_ENTER_PIN", REG_SZ, std::string("warm", 5));
        registry.Set("", "FixedLng", REG_DWORD, std::string("\x09\x04\x00\x00", 4));
        exercise([&] { return startEx(&params, QUENDA_MODE_ENTER_PIN, 0, nullptr); }, false, "warm-up",
                 [&](HWND) {
                     for (uint32_t key : {1u, 8u, 2u, 16u, 17u})
                         EXPECT_EQ(api_.OnKeyPressed(key, 0), QUENDA_OK);
                 });
        // Wine opens some objects once, on the first station or desktop lookup by name.
        for (const char* station : {"", "NoSuchStation"})
            for (const char* desktop : {"", "NoSuchDesktop"}) {
                DlgParams named = NewParams();
                named.WinStation = station;
                named.Desktop = desktop;
                exercise([&] { return startEx(&named, QUENDA_MODE_ENTER_PIN, 0, nullptr); }, false,
                         "warm-up with names", nullptr);
            }
        // The runtime's Win32 thread model creates the semaphore of a lock at its first use, once per
        // process; a refused call takes such a path.
        exercise([&] { return startEx(&params, 3, 0, nullptr); }, true, "warm-up refusal", nullptr);
        registry.Clear();
        PumpFor(200);
    }
    const std::vector<uintptr_t> handlesBefore = OpenHandles();
    {
        // The probe sees a handle this process opens.
        UniqueHandle probe(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(probe);
        ASSERT_EQ(OpenHandles().size(), handlesBefore.size() + 1) << "the handle probe is blind";
    }
    auto phase = [&](const char* name) {
        std::printf("[ info ] after %s: %zu handles, new: %s\n", name, OpenHandles().size(),
                    NewHandles(handlesBefore, OpenHandles()).c_str());
    };

    // Modes 0..255 and random ones, through both start calls.
    for (uint32_t step = 0; step < 256 + 16; ++step) {
        const uint32_t mode = step < 256 ? step : sweep.Next();
        const bool valid =
            mode == QUENDA_MODE_ENTER_PIN || mode == QUENDA_MODE_OLD_PIN || mode == QUENDA_MODE_NEW_PIN;
        const bool plain = (step & 1) != 0;
        const uint32_t ignored = sweep.Next();
        exercise(
            [=]() -> uint32_t {
                if (plain) return startPlain(mode, ignored, nullptr);
                DlgParams params = NewParams();
                return startEx(&params, mode, ignored, nullptr);
            },
            !valid, "mode " + std::to_string(mode), nullptr);
    }

    phase("modes");
    // Key codes 0..255 and random ones while a prompt is open; EndDlg codes without a prompt.
    exercise([&] { return startPlain(QUENDA_MODE_ENTER_PIN, 0, nullptr); }, false, "keys",
             [&](HWND dialog) {
                 for (uint32_t step = 0; step < 256 + 256; ++step) {
                     const uint32_t key = step < 256 ? step : sweep.Next();
                     EXPECT_EQ(api_.OnKeyPressed(key, sweep.Next()), QUENDA_OK) << "key " << key;
                 }
                 EXPECT_TRUE(IsWindow(dialog)) << "a key code closed the prompt";
             });
    for (uint32_t step = 0; step < 256 + 64; ++step) {
        const uint32_t code = step < 256 ? step : sweep.Next();
        const double t0 = NowMs();
        EXPECT_EQ(api_.EndDlg(code), QUENDA_INVALID_PARAMETER) << "EndDlg(" << code << ") without a prompt";
        EXPECT_EQ(api_.OnKeyPressed(code, 0), QUENDA_INVALID_PARAMETER)
            << "key " << code << " without a prompt";
        EXPECT_LT(NowMs() - t0, 500.0) << "a refusal waited, code " << code;
    }
    // Outcome codes outside the list, with a prompt open: the outcome display, then the close.
    for (uint32_t code : {0u, 6u, 0xFFFFFFFFu}) {
        PromptRun run(Module(), [&] { return startPlain(QUENDA_MODE_ENTER_PIN, 0, nullptr); });
        ASSERT_NE(run.WaitForDialog(), nullptr);
        EXPECT_EQ(api_.EndDlg(code), QUENDA_OK) << "EndDlg(" << code << ")";
        EXPECT_TRUE(run.Join(kJoinTimeoutMs));
        EXPECT_EQ(run.Result(), QUENDA_OK);
    }

    phase("keys and outcomes");
    // Random records.
    constexpr int kRecords = 80;
    for (int i = 0; i < kRecords; ++i) {
        RandomRecord record = MakeRecord(sweep);
        const uint32_t mode = sweep.Chance(90) ? QUENDA_MODE_ENTER_PIN + 4 * sweep.Below(2) : sweep.Next();
        const bool validMode = mode == 1 || mode == 2 || mode == 5;
        const DlgParams* params = sweep.Chance(3) ? nullptr : &record.params;
        const bool refuse = !validMode || (params && record.expectRefusal);
        char what[160];
        std::snprintf(what, sizeof what, "record %d: Size %d ExtraWidth %u tops %u/%u/%u mode %u", i,
                      record.params.Size, record.params.ExtraWidth, record.params.PromptTop,
                      record.params.EchoTop, record.params.ResultTop, mode);
        exercise([=] { return startEx(params, mode, 0, nullptr); }, refuse, what,
                 [&](HWND) {
                     for (int k = 0; k < 20; ++k)
                         EXPECT_EQ(api_.OnKeyPressed(sweep.Below(20), 0), QUENDA_OK) << what;
                 });
    }

    phase("records");
    // Registry values of every type and size, read while a prompt opens and switches texts.
    constexpr int kRegistryRounds = 16;
    static constexpr const char* kSubkeys[] = {"0409", "0009", "0407", "0007",
                                               "040C", "0425", "0C0A", "FFFF"};
    static constexpr const char* kNames[] = {
        "TXT_ENTER_PIN", "TXT_OLD_PIN",      "TXT_NEW_PIN",    "TXT_CONFIRM_PIN", "TXT_PIN_OK",
        "TXT_PIN_ERROR", "TXT_PIN_NO_MATCH", "TXT_END_CANCEL", "TXT_END_TIEMOUT", "TXT_CANCEL"};
    for (int round = 0; round < kRegistryRounds; ++round) {
        {
            auto [type, data] = RandomValue(sweep);
            if (sweep.Chance(40)) {
                static constexpr uint32_t kLangs[] = {0x0407, 0x0409, 0x040C,     0x0425,
                                                      0x0C0A, 0,      0xFFFFFFFF, 0x80000000};
                uint32_t lang = kLangs[sweep.Below(std::size(kLangs))];
                type = REG_DWORD;
                data.assign(reinterpret_cast<const char*>(&lang), 4);
            }
            EXPECT_TRUE(registry.Set("", "FixedLng", type, data)) << "round " << round;
        }
        for (int v = 0; v < 6; ++v) {
            auto [type, data] = RandomValue(sweep);
            const char* subkey = kSubkeys[sweep.Below(std::size(kSubkeys))];
            const char* name = kNames[sweep.Below(std::size(kNames))];
            EXPECT_TRUE(registry.Set(subkey, name, type, data))
                << subkey << "\\" << name << " " << data.size();
        }
        const uint32_t mode = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 : 5;
        exercise([=] { return startPlain(mode, 0, nullptr); }, false,
                 "registry round " + std::to_string(round),
                 [&](HWND) {
                     for (uint32_t key : {16u, 1u, 17u, 1u, 8u})
                         EXPECT_EQ(api_.OnKeyPressed(key, 0), QUENDA_OK);
                 });
        if (round % 8 == 7) registry.Clear();
    }
    registry.Clear();

    PumpFor(200);
    const std::vector<uintptr_t> handlesAfter = OpenHandles();
    std::printf("[ info ] sweep: %d prompts, %d refusals in %.0f ms; handles %zu before, %zu after\n",
                prompts, refusals, NowMs() - sweepStart, handlesBefore.size(), handlesAfter.size());
    EXPECT_LE(handlesAfter.size(), handlesBefore.size())
        << "handles leaked during the sweep: " << NewHandles(handlesBefore, handlesAfter);
}

}  // namespace
}  // namespace quenda::test
