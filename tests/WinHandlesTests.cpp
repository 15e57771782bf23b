#include <windows.h>

#include <gtest/gtest.h>

#include <type_traits>

#include "WinHandles.h"

using namespace quenda;

namespace {
int gClosed = 0;
BOOL WINAPI CountingCloser(HANDLE) {
    ++gClosed;
    return TRUE;
}
using CountedHandle = UniqueHandle<HANDLE, CountingCloser>;
}  // namespace

TEST(UniqueHandle, ClosesOnceAndFollowsMoves) {
    static_assert(!std::is_copy_constructible_v<UniqueBitmap> && !std::is_copy_assignable_v<UniqueBitmap>);
    static_assert(!std::is_copy_constructible_v<WindowDc> && !std::is_copy_constructible_v<SelectedObject>);
    gClosed = 0;
    {
        CountedHandle a(reinterpret_cast<HANDLE>(1));
        CountedHandle b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
        CountedHandle c;
        c = std::move(b);
        EXPECT_EQ(gClosed, 0);
        c.reset(reinterpret_cast<HANDLE>(2));
        EXPECT_EQ(gClosed, 1) << "reset closes the old value";
        CountedHandle d;
        EXPECT_EQ(gClosed, 1) << "an empty owner closes nothing";
    }
    EXPECT_EQ(gClosed, 2);
    {
        CountedHandle e(reinterpret_cast<HANDLE>(3));
        (void)e.release();
    }
    EXPECT_EQ(gClosed, 2) << "released values are the caller's";
}

TEST(UniqueHandle, GdiObjectsAreReallyDeleted) {
    HBRUSH raw = nullptr;
    {
        const UniqueBrush brush(CreateSolidBrush(RGB(1, 2, 3)));
        raw = brush.get();
        LOGBRUSH info{};
        ASSERT_EQ(GetObjectA(raw, sizeof info, &info), static_cast<int>(sizeof info));
    }
    LOGBRUSH after{};
    EXPECT_EQ(GetObjectA(raw, sizeof after, &after), 0) << "the brush must be gone";
}

TEST(SelectedObject, PutsThePreviousObjectBack) {
    const UniqueMemDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    const HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_FONT);
    const UniqueFont font(CreateFontA(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, "Arial"));
    {
        const SelectedObject selected(dc.get(), font.get());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), font.get());
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), before);
}

TEST(WindowDc, KeepsTheDcItWasGivenAndReleasesIt) {
    const WindowDc screen(nullptr);
    ASSERT_TRUE(screen);
    EXPECT_EQ(GetObjectType(screen.get()), static_cast<DWORD>(OBJ_DC));
    EXPECT_GT(GetDeviceCaps(screen.get(), HORZRES), 0);
}

TEST(ScopeExit, RunsOnEveryPathOut) {
    int runs = 0;
    try {
        const ScopeExit guard([&] { ++runs; });
        throw 1;
    } catch (int) {
    }
    { const ScopeExit guard([&] { ++runs; }); }
    EXPECT_EQ(runs, 2);
}
