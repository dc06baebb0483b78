// The COM interface holder.
#include "OLE/ole_ptr.h"

#include "mss_test_support.h"
#include "platform/com/error_info.h"

namespace {

using ole_ptr_test = mss_fixture;

// An error object whose references the test can count.
IErrorInfo* make_object() {
    return new com_simple_error_info(GUID_NULL, u"src", u"text");
}

} // namespace

TEST_F(ole_ptr_test, holds_its_own_reference_and_traces_the_release) {
    IErrorInfo* object = make_object();
    {
        ole_com_ptr<IErrorInfo> holder(object);
        EXPECT_EQ(holder.get(), object);
        EXPECT_EQ(object->AddRef(), 3u); // ours, the holder's, this one
        object->Release();
    }
    EXPECT_EQ(trace_count("ole_com_ptr<T>::~ole_com_ptr() - 1 refs left"), 1);
    EXPECT_EQ(object->Release(), 0u);
}

TEST_F(ole_ptr_test, empty_holder_access_is_an_internal_error_and_traces_nothing) {
    {
        ole_com_ptr<IErrorInfo> empty;
        try {
            BSTR text = nullptr;
            empty->GetSource(&text);
            FAIL() << "no exception";
        } catch (const tk_mail_assertion& e) {
            EXPECT_EQ(e.message, make_err_meggase("..\\OLE/ole_ptr", 94));
            EXPECT_EQ(e.level, 2);
        }
        EXPECT_EQ(empty.get(), nullptr);
    }
    EXPECT_EQ(trace().find("refs left"), std::string::npos);
}

TEST_F(ole_ptr_test, out_parameter_replaces_and_releases_the_earlier_pointer) {
    IErrorInfo* first = make_object(); // our reference
    ole_com_ptr<IErrorInfo> holder(first);
    IErrorInfo* second = make_object();
    SetErrorInfo(0, second);
    second->Release(); // the thread's reference is the only one left

    ASSERT_EQ(GetErrorInfo(0, &holder), S_OK); // the holder lets go of `first` on the way
    EXPECT_EQ(holder.get(), second);
    EXPECT_EQ(first->Release(), 0u);

    ole_com_ptr<IErrorInfo> copy = holder;
    EXPECT_EQ(copy.get(), second);
    ole_com_ptr<IErrorInfo> moved = std::move(copy);
    EXPECT_EQ(copy.get(), nullptr);
    EXPECT_EQ(moved.get(), second);
}
