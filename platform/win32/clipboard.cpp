// Clipboard stand-in: global memory handles and a clipboard that a GUI program supplies.
#include "platform/win32/clipboard.h"

#include "platform/win32/error.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

namespace {

struct global_block {
    std::size_t size = 0;
    int locks = 0;
    unsigned char* bytes = nullptr;
};

std::mutex blocks_mutex;
std::unordered_map<HGLOBAL, global_block> blocks;

std::mutex clipboard_mutex;
win32::clipboard_sink sink;
bool is_open = false;
std::thread::id holder;

bool held_by_caller() {
    return is_open && holder == std::this_thread::get_id();
}

} // namespace

HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) {
    // A block of 0 bytes still gets an address of its own.
    auto* data =
        static_cast<unsigned char*>((flags & GMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                                            : std::malloc(bytes ? bytes : 1));
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(blocks_mutex);
    blocks[data] = global_block{bytes, 0, data};
    return data;
}

LPVOID GlobalLock(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(blocks_mutex);
    auto found = blocks.find(memory);
    if (found == blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++found->second.locks;
    return found->second.bytes;
}

BOOL GlobalUnlock(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(blocks_mutex);
    auto found = blocks.find(memory);
    if (found == blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (found->second.locks > 0)
        --found->second.locks;
    SetLastError(ERROR_SUCCESS);
    return found->second.locks > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(blocks_mutex);
    auto found = blocks.find(memory);
    if (found == blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    std::free(found->second.bytes);
    blocks.erase(found);
    return nullptr;
}

std::size_t GlobalSize(HGLOBAL memory) {
    std::lock_guard<std::mutex> guard(blocks_mutex);
    auto found = blocks.find(memory);
    return found == blocks.end() ? 0 : found->second.size;
}

BOOL OpenClipboard(HWND) {
    std::lock_guard<std::mutex> guard(clipboard_mutex);
    if (!sink) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (is_open && holder != std::this_thread::get_id()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    is_open = true;
    holder = std::this_thread::get_id();
    return TRUE;
}

BOOL EmptyClipboard() {
    std::lock_guard<std::mutex> guard(clipboard_mutex);
    if (!held_by_caller()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

HANDLE SetClipboardData(UINT format, HANDLE memory) {
    std::u16string text;
    {
        std::lock_guard<std::mutex> guard(blocks_mutex);
        auto found = blocks.find(memory);
        if (format != CF_UNICODETEXT || found == blocks.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        // The text ends at its first NUL, and never beyond the block.
        const std::size_t units = found->second.size / 2;
        text.resize(units);
        if (units)
            std::memcpy(text.data(), found->second.bytes, units * 2);
        text.resize(text.find(u'\0') == std::u16string::npos ? units : text.find(u'\0'));
    }
    std::lock_guard<std::mutex> guard(clipboard_mutex);
    if (!held_by_caller()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!sink(text)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    GlobalFree(memory);
    return memory;
}

BOOL CloseClipboard() {
    std::lock_guard<std::mutex> guard(clipboard_mutex);
    if (!held_by_caller()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    is_open = false;
    return TRUE;
}

void win32::set_clipboard_sink(clipboard_sink new_sink) {
    std::lock_guard<std::mutex> guard(clipboard_mutex);
    sink = std::move(new_sink);
}
