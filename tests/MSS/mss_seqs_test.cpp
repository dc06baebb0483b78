// The in-memory stream of the bulk load.
#include "MSS/mss_seqs.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct stream_holder {
    stream_holder() : s(new CSeqStream) {}
    ~stream_holder() { s->Release(); }
    CSeqStream* s;
};

TEST(mss_seqs, reads_back_what_was_written_in_pieces) {
    stream_holder h;
    const char bytes[] = "0123456789";
    ULONG n = 99;
    ASSERT_EQ(h.s->Write(bytes, 10, &n), S_OK);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(h.s->size(), 10u);
    EXPECT_TRUE(h.s->equals(bytes));
    char out[4];
    EXPECT_EQ(h.s->Read(out, 4, &n), S_OK);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(out, "0123", 4), 0);
    EXPECT_EQ(h.s->Read(out, 4, &n), S_OK);
    EXPECT_EQ(h.s->Read(out, 4, &n), S_FALSE);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::memcmp(out, "89", 2), 0);
    EXPECT_EQ(h.s->Read(out, 4, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(h.s->Read(nullptr, 4, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(h.s->Read(out, 0, &n), S_OK);

    h.s->set_position(0);
    char whole[10];
    EXPECT_EQ(h.s->Read(whole, 10, &n), S_OK);
    EXPECT_EQ(h.s->Read(whole, 10, &n), S_FALSE);
    EXPECT_EQ(n, 0u);

    EXPECT_TRUE(h.s->clear());
    EXPECT_EQ(h.s->Read(out, 1, &n), S_FALSE);
    EXPECT_EQ(h.s->size(), 0u);
}

TEST(mss_seqs, empty_and_refused_writes_change_nothing) {
    stream_holder h;
    ULONG n = 7;
    EXPECT_EQ(h.s->Write("x", 0, &n), S_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(h.s->size(), 0u);
    n = 7;
    EXPECT_EQ(h.s->Write(nullptr, 3, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(n, 7u);
    h.s->set_position(5); // past the end: a write would leave a gap
    EXPECT_TRUE(FAILED(h.s->Write("abc", 3, &n)));
    EXPECT_EQ(h.s->size(), 0u);
}

TEST(mss_seqs, answers_only_its_own_interfaces) {
    stream_holder h;
    void* p = nullptr;
    EXPECT_EQ(h.s->QueryInterface(IID_IStream, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(h.s->QueryInterface(IID_ISequentialStream, &p), S_OK);
    EXPECT_EQ(p, static_cast<ISequentialStream*>(h.s));
    EXPECT_EQ(h.s->Release(), 1u);
    ASSERT_EQ(h.s->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(h.s->AddRef(), 3u);
    h.s->Release();
    h.s->Release();
}

} // namespace
