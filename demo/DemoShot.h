// Pictures of the prompt as the user sees it on screen.
#ifndef QUENDA_DEMO_SHOT_H
#define QUENDA_DEMO_SHOT_H

#include <windows.h>

#include <string>

namespace demo {

// The visible top-level window owned by the thread, or null.
[[nodiscard]] HWND FindPromptWindow(DWORD threadId) noexcept;

// Copies the screen area under the window and writes it as a PNG; error says why it failed.
[[nodiscard]] bool SaveWindowPng(HWND wnd, const std::wstring& path, std::string& error);

// "C:\...\x.png", plus " (Linux: /...)" when running under Wine.
[[nodiscard]] std::string DescribePath(const std::wstring& path);

[[nodiscard]] std::string ToUtf8(const std::wstring& text);

} // namespace demo

#endif
