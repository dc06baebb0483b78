// A growable block of bytes in memory offered as ISequentialStream: the bulk load hands a long
// value to the provider in one, and the provider reads it when the row is sent.
#pragma once

#include "platform/oledb/oledb.h"

#include <cstdint>

// Starts with one reference, no bytes and position 0. Written once, then read from the start:
// Write leaves the position where it was. Counting is not interlocked: one thread at a time.
class CSeqStream : public ISequentialStream {
public:
    CSeqStream() = default;
    CSeqStream(const CSeqStream&) = delete;
    CSeqStream& operator=(const CSeqStream&) = delete;

    // IUnknown and ISequentialStream answer; anything else is E_NOINTERFACE.
    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // Copies up to `size` bytes from the position: S_OK when all were there, S_FALSE when
    // fewer (none at the end). A null buffer is STG_E_INVALIDPOINTER.
    HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
    // Adds `size` bytes at the position. A null source is STG_E_INVALIDPOINTER; a buffer that
    // cannot grow (or would pass 4 GB) is STG_E_MEDIUMFULL with nothing added.
    HRESULT Write(const void* buffer, ULONG size, ULONG* written) override;

    virtual BOOL set_position(ULONG position);
    // No bytes, position 0.
    virtual BOOL clear();
    // Whether the first size() bytes at `bytes` are the stream's bytes.
    virtual BOOL equals(const void* bytes) const;
    virtual ULONG size() const { return size_; }
    virtual const BYTE* data() const { return buffer_; }

protected:
    virtual ~CSeqStream();

private:
    std::int32_t refs_ = 1;
    BYTE* buffer_ = nullptr;
    ULONG size_ = 0;
    ULONG position_ = 0;
};
