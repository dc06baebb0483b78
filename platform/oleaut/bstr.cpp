// BSTR: a 32-bit byte count, the UTF-16 text, a NUL unit; the pointer handed out is the text.
#include "platform/oleaut/oleaut.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t prefix_size = sizeof(uint32_t);

// The largest byte count that still leaves room for the prefix and the terminator.
constexpr std::size_t max_byte_length = std::numeric_limits<uint32_t>::max() - 16;

BSTR allocate(std::size_t byte_length) {
    if (byte_length > max_byte_length) {
        return nullptr;
    }
    // The text is followed by a whole NUL unit even for an odd byte count.
    auto* block = static_cast<char*>(std::malloc(prefix_size + byte_length + 2 * sizeof(OLECHAR)));
    if (block == nullptr) {
        return nullptr;
    }
    const auto length = static_cast<uint32_t>(byte_length);
    std::memcpy(block, &length, prefix_size);
    std::memset(block + prefix_size + byte_length, 0, 2 * sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(block + prefix_size);
}

char* block_of(BSTR text) {
    return reinterpret_cast<char*>(text) - prefix_size;
}

} // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    if (length > max_byte_length / sizeof(OLECHAR)) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<unsigned int>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length) {
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
    BSTR result = allocate(bytes);
    if (result == nullptr) {
        return nullptr;
    }
    if (text != nullptr) {
        std::memcpy(result, text, bytes);
    } else {
        std::memset(result, 0, bytes);
    }
    return result;
}

BSTR SysAllocStringByteLen(const char* bytes, unsigned int byte_length) {
    BSTR result = allocate(byte_length);
    if (result == nullptr) {
        return nullptr;
    }
    if (bytes != nullptr) {
        std::memcpy(result, bytes, byte_length);
    } else {
        std::memset(result, 0, byte_length);
    }
    return result;
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(block_of(text));
    }
}

unsigned int SysStringByteLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    uint32_t length = 0;
    std::memcpy(&length, block_of(text), prefix_size);
    return length;
}

unsigned int SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

int SysReAllocStringLen(BSTR* text, const OLECHAR* source, unsigned int length) {
    if (text == nullptr) {
        return 0;
    }
    // The source may lie inside the old string, so the new one is made first.
    BSTR replacement = SysAllocStringLen(source, length);
    if (replacement == nullptr) {
        return 0;
    }
    SysFreeString(*text);
    *text = replacement;
    return 1;
}
