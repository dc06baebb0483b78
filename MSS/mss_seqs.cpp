// The in-memory stream of the bulk load.
#include "MSS/mss_seqs.h"

#include <algorithm>
#include <cstring>
#include <limits>

CSeqStream::~CSeqStream() {
    CoTaskMemFree(buffer_);
}

HRESULT CSeqStream::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_ISequentialStream) {
        *object = static_cast<ISequentialStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CSeqStream::AddRef() {
    return static_cast<ULONG>(++refs_);
}

ULONG CSeqStream::Release() {
    if (--refs_ == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(refs_);
}

HRESULT CSeqStream::Read(void* buffer, ULONG size, ULONG* read) {
    if (read != nullptr) {
        *read = 0;
    }
    if (buffer == nullptr) {
        return STG_E_INVALIDPOINTER;
    }
    if (size == 0) {
        return S_OK;
    }
    if (position_ >= size_) {
        return S_FALSE;
    }
    const ULONG n = std::min(size_ - position_, size);
    std::memcpy(buffer, buffer_ + position_, n);
    position_ += n;
    if (read != nullptr) {
        *read = n;
    }
    return n == size ? S_OK : S_FALSE;
}

HRESULT CSeqStream::Write(const void* buffer, ULONG size, ULONG* written) {
    if (buffer == nullptr) {
        return STG_E_INVALIDPOINTER;
    }
    if (written != nullptr) {
        *written = 0;
    }
    if (size == 0) {
        return S_OK;
    }
    // The bytes go at the position, which a fill leaves at 0: the stream grows by `size` and
    // the new bytes overwrite from the position on.
    if (position_ > size_) {
        return E_UNEXPECTED; // a position past the end would leave a gap of unknown bytes
    }
    if (size > std::numeric_limits<ULONG>::max() - size_) {
        return STG_E_MEDIUMFULL;
    }
    const ULONG grown = size_ + size;
    auto* bigger = static_cast<BYTE*>(CoTaskMemRealloc(buffer_, grown));
    if (bigger == nullptr) {
        return STG_E_MEDIUMFULL; // the old bytes stay as they were
    }
    buffer_ = bigger;
    size_ = grown;
    std::memcpy(buffer_ + position_, buffer, size);
    if (written != nullptr) {
        *written = size;
    }
    return S_OK;
}

BOOL CSeqStream::set_position(ULONG position) {
    position_ = position;
    return 1;
}

BOOL CSeqStream::clear() {
    CoTaskMemFree(buffer_);
    buffer_ = nullptr;
    size_ = 0;
    position_ = 0;
    return 1;
}

BOOL CSeqStream::equals(const void* bytes) const {
    if (size_ == 0) {
        return 1;
    }
    return bytes != nullptr && std::memcmp(bytes, buffer_, size_) == 0;
}
