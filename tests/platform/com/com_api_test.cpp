// COM library calls: per-thread initialisation, the class table, reference counting.
#include "platform/com/com_api.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

inline constexpr IID IID_ICounter = {0x5A1E0001, 0x0000, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr IID IID_INamedCounter = {0x5A1E0002, 0x0000, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr IID IID_IOther = {0x5A1E0003, 0x0000, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr CLSID CLSID_Counter = {0x5A1E0100, 0x0000, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}};

class ICounter : public IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_ICounter; }
    virtual int next() = 0;
};

// Extends ICounter, so an object with INamedCounter also answers ICounter.
class INamedCounter : public ICounter {
public:
    using com_base = ICounter;
    static constexpr const IID& iid() { return IID_INamedCounter; }
    virtual const char* name() = 0;
};

class IOther : public IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_IOther; }
    virtual int other() = 0;
};

int live_counters = 0;

class counter final : public com_object<INamedCounter, IOther> {
public:
    counter() { ++live_counters; }
    ~counter() override { --live_counters; }
    int next() override { return ++value_; }
    const char* name() override { return "counter"; }
    int other() override { return 42; }

private:
    int value_ = 0;
};

class com_fixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override {
        CoUninitialize();
        EXPECT_EQ(live_counters, 0);
    }
    com_class_scope counter_class{CLSID_Counter, com_simple_factory<counter>()};
};

} // namespace

TEST(com_init, counted_per_thread) {
    EXPECT_FALSE(com_is_initialized());
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    std::thread([] { EXPECT_FALSE(com_is_initialized()); }).join();
    CoUninitialize();
    EXPECT_TRUE(com_is_initialized());
    CoUninitialize();
    EXPECT_FALSE(com_is_initialized());
    CoUninitialize(); // unmatched: ignored
    EXPECT_FALSE(com_is_initialized());
}

TEST(com_init, creation_needs_initialised_thread) {
    com_class_scope scope(CLSID_Counter, com_simple_factory<counter>());
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(live_counters, 0);
}

TEST_F(com_fixture, creates_registered_class_with_one_reference) {
    ICounter* c = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void**>(&c)),
              S_OK);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->next(), 1);
    EXPECT_EQ(c->AddRef(), 2u);
    EXPECT_EQ(c->Release(), 1u);
    EXPECT_EQ(live_counters, 1);
    EXPECT_EQ(c->Release(), 0u);
    EXPECT_EQ(live_counters, 0);
}

TEST_F(com_fixture, query_interface_walks_base_chain_and_keeps_identity) {
    INamedCounter* named = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_INamedCounter,
                               reinterpret_cast<void**>(&named)),
              S_OK);
    ICounter* base = nullptr;
    ASSERT_EQ(named->QueryInterface(IID_ICounter, reinterpret_cast<void**>(&base)), S_OK);
    EXPECT_EQ(base->next(), 1);
    IOther* other = nullptr;
    ASSERT_EQ(base->QueryInterface(IID_IOther, reinterpret_cast<void**>(&other)), S_OK);
    EXPECT_EQ(other->other(), 42);
    IUnknown* id1 = nullptr;
    IUnknown* id2 = nullptr;
    ASSERT_EQ(other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&id1)), S_OK);
    ASSERT_EQ(named->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&id2)), S_OK);
    EXPECT_EQ(id1, id2);
    void* none = reinterpret_cast<void*>(1);
    const IID missing = {0x5A1E0004, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(named->QueryInterface(missing, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(named->QueryInterface(IID_ICounter, nullptr), E_POINTER);
    for (IUnknown* p : {static_cast<IUnknown*>(named), static_cast<IUnknown*>(base),
                        static_cast<IUnknown*>(other), id1, id2}) {
        p->Release();
    }
    EXPECT_EQ(live_counters, 0);
}

TEST_F(com_fixture, creation_failures) {
    const CLSID unknown_class = {0x5A1E0199, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    struct failure {
        const char* name;
        CLSID clsid;
        IUnknown* outer;
        DWORD context;
        IID iid;
        HRESULT expected;
    };
    counter* outer = new counter;
    const failure failures[] = {
        {"class not registered", unknown_class, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter,
         REGDB_E_CLASSNOTREG},
        {"out-of-process context only", CLSID_Counter, nullptr, CLSCTX_LOCAL_SERVER, IID_ICounter,
         REGDB_E_CLASSNOTREG},
        {"aggregation refused", CLSID_Counter, outer->unknown(), CLSCTX_INPROC_SERVER, IID_ICounter,
         CLASS_E_NOAGGREGATION},
        {"interface not offered", CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_NULL,
         E_NOINTERFACE},
    };
    for (const failure& f : failures) {
        SCOPED_TRACE(f.name);
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(f.clsid, f.outer, f.context, f.iid, &object), f.expected);
        EXPECT_EQ(object, nullptr);
    }
    outer->Release();
}

TEST_F(com_fixture, class_scope_hides_and_restores) {
    void* object = nullptr;
    {
        com_class_scope hidden(CLSID_Counter, nullptr);
        EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, 23, IID_ICounter, &object),
                  REGDB_E_CLASSNOTREG);
    }
    ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, 23, IID_ICounter, &object), S_OK);
    static_cast<ICounter*>(object)->Release();
}

TEST(com_progid, looked_up_without_regard_to_case) {
    com_register_progid(u"SQLOLEDB", CLSID_Counter);
    CLSID found = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"sqloledb", &found), S_OK);
    EXPECT_EQ(found, CLSID_Counter);
    EXPECT_TRUE(com_unregister_progid(u"SqlOleDb"));
    EXPECT_EQ(CLSIDFromProgID(u"SQLOLEDB", &found), CO_E_CLASSSTRING);
    EXPECT_EQ(found, GUID_NULL);
}

TEST(com_task_memory, zero_bytes_and_null) {
    void* p = CoTaskMemAlloc(0);
    EXPECT_NE(p, nullptr);
    p = CoTaskMemRealloc(p, 64);
    ASSERT_NE(p, nullptr);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
}
