// Clipboard stand-in: global memory handles and a clipboard that a GUI program supplies.
#pragma once

#include "platform/win32/win32_types.h"

#include <cstddef>
#include <functional>
#include <string_view>

// Linux has no system clipboard outside a window system, so the clipboard is a hook: a GUI
// program (the wizard, over Qt) installs a sink that takes the text; without one, as in the
// console agent, OpenClipboard fails with ERROR_NOT_SUPPORTED and nothing is copied.

using HGLOBAL = void*;
using HWND = void*;

inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GMEM_DDESHARE = 0x2000;

inline constexpr UINT CF_UNICODETEXT = 13;

// Global memory: a block of `bytes` bytes (zeroed with GMEM_ZEROINIT), null with
// ERROR_NOT_ENOUGH_MEMORY when it cannot be had. GlobalLock gives the block's address;
// GlobalUnlock answers FALSE once no lock is left; GlobalFree answers null on success and the
// handle itself for an unknown handle.
HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);
std::size_t GlobalSize(HGLOBAL memory);

// The clipboard. OpenClipboard fails (ERROR_NOT_SUPPORTED) when no sink is installed and
// (ERROR_ACCESS_DENIED) while another thread holds it open. SetClipboardData accepts
// CF_UNICODETEXT alone: the UTF-16 text of the block, up to its first NUL, goes to the sink;
// when the sink takes it the block belongs to the clipboard (freed here) and the handle is
// returned, otherwise null and the caller still owns the block.
BOOL OpenClipboard(HWND owner);
BOOL EmptyClipboard();
HANDLE SetClipboardData(UINT format, HANDLE memory);
BOOL CloseClipboard();

namespace win32 {

// Takes the text; answers whether the clipboard now holds it. Called on the thread that sets the
// data, which need not be the GUI thread: a sink passes the text on to its GUI thread itself.
using clipboard_sink = std::function<bool(std::u16string_view text)>;

// Installs the sink the clipboard hands its text to; an empty function removes it.
void set_clipboard_sink(clipboard_sink sink);

} // namespace win32
