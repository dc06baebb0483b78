// The thread's error object and the error objects that providers post.
#include "platform/com/error_info.h"

#include <utility>

namespace {

// The thread's error object; released when the thread ends.
struct thread_error {
    IErrorInfo* info = nullptr;
    ~thread_error() {
        if (info != nullptr) {
            info->Release();
        }
    }
};

thread_error& current_error() {
    thread_local thread_error error;
    return error;
}

HRESULT copy_text(const std::u16string& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocStringLen(text.data(), static_cast<unsigned int>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The SQL information of one record.
class sql_error_info final : public com_object<ISQLErrorInfo> {
public:
    sql_error_info(std::u16string sqlstate, LONG native)
        : sqlstate_(std::move(sqlstate)), native_(native) {}

    HRESULT GetSQLInfo(BSTR* sqlstate, LONG* native_error) override {
        if (sqlstate == nullptr || native_error == nullptr) {
            return E_INVALIDARG;
        }
        *native_error = native_;
        return copy_text(sqlstate_, sqlstate);
    }

private:
    std::u16string sqlstate_;
    LONG native_;
};

} // namespace

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    if (reserved != 0) {
        return E_INVALIDARG;
    }
    if (info != nullptr) {
        info->AddRef();
    }
    IErrorInfo* earlier = std::exchange(current_error().info, info);
    if (earlier != nullptr) {
        earlier->Release();
    }
    return S_OK;
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info) {
    if (info == nullptr) {
        return E_INVALIDARG;
    }
    *info = nullptr;
    if (reserved != 0) {
        return E_INVALIDARG;
    }
    *info = std::exchange(current_error().info, nullptr);
    return *info != nullptr ? S_OK : S_FALSE;
}

com_error_object::com_error_object(std::vector<com_error_record> records)
    : records_(std::move(records)) {
}

void com_error_object::add(com_error_record record) {
    records_.push_back(std::move(record));
}

HRESULT com_error_object::GetGUID(GUID* guid) {
    if (guid == nullptr) {
        return E_INVALIDARG;
    }
    *guid = records_.empty() ? GUID_NULL : records_.front().iid;
    return S_OK;
}

HRESULT com_error_object::GetSource(BSTR* source) {
    return copy_text(records_.empty() ? std::u16string() : records_.front().source, source);
}

HRESULT com_error_object::GetDescription(BSTR* description) {
    if (records_.empty() || !records_.front().description) {
        return copy_text(std::u16string(), description);
    }
    return copy_text(*records_.front().description, description);
}

HRESULT com_error_object::GetRecordCount(ULONG* records) {
    if (records == nullptr) {
        return E_INVALIDARG;
    }
    *records = static_cast<ULONG>(records_.size());
    return S_OK;
}

HRESULT com_error_object::GetBasicErrorInfo(ULONG record, ERRORINFO* info) {
    if (info == nullptr) {
        return E_INVALIDARG;
    }
    if (record >= records_.size()) {
        return DB_E_BADRECORDNUM;
    }
    const com_error_record& r = records_[record];
    *info = ERRORINFO{r.result, static_cast<DWORD>(r.native_error), r.clsid, r.iid, 0};
    return S_OK;
}

HRESULT com_error_object::GetCustomErrorObject(ULONG record, REFIID riid, IUnknown** object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    *object = nullptr;
    if (record >= records_.size()) {
        return DB_E_BADRECORDNUM;
    }
    const com_error_record& r = records_[record];
    if (!r.sqlstate) {
        return S_OK;
    }
    auto* sql = new sql_error_info(*r.sqlstate, r.native_error);
    const HRESULT hr = sql->QueryInterface(riid, reinterpret_cast<void**>(object));
    sql->Release();
    return hr;
}

HRESULT com_error_object::GetErrorInfo(ULONG record, LCID, IErrorInfo** info) {
    if (info == nullptr) {
        return E_INVALIDARG;
    }
    *info = nullptr;
    if (record >= records_.size()) {
        return DB_E_BADRECORDNUM;
    }
    const com_error_record& r = records_[record];
    if (!r.description) {
        return E_FAIL;
    }
    *info = new com_simple_error_info(r.iid, r.source, r.description);
    return S_OK;
}

com_simple_error_info::com_simple_error_info(IID iid, std::u16string source,
                                             std::optional<std::u16string> description)
    : iid_(iid), source_(std::move(source)), description_(std::move(description)) {
}

HRESULT com_simple_error_info::GetGUID(GUID* guid) {
    if (guid == nullptr) {
        return E_INVALIDARG;
    }
    *guid = iid_;
    return S_OK;
}

HRESULT com_simple_error_info::GetSource(BSTR* source) {
    return copy_text(source_, source);
}

HRESULT com_simple_error_info::GetDescription(BSTR* description) {
    if (!description_) {
        if (description == nullptr) {
            return E_POINTER;
        }
        *description = nullptr;
        return S_OK;
    }
    return copy_text(*description_, description);
}

HRESULT com_post_error(std::vector<com_error_record> records) {
    const HRESULT result = records.empty() ? E_FAIL : records.front().result;
    auto* error = new com_error_object(std::move(records));
    SetErrorInfo(0, error);
    error->Release();
    return result;
}

HRESULT com_post_error(HRESULT result, const std::u16string& description,
                       const std::u16string& source) {
    com_error_record record;
    record.result = result;
    record.description = description;
    record.source = source;
    return com_post_error({std::move(record)});
}

HRESULT com_post_sql_error(HRESULT result, const std::u16string& description,
                           const std::u16string& source, const std::u16string& sqlstate,
                           LONG native_error) {
    com_error_record record;
    record.result = result;
    record.description = description;
    record.source = source;
    record.sqlstate = sqlstate;
    record.native_error = native_error;
    return com_post_error({std::move(record)});
}

HRESULT com_succeed(HRESULT result) {
    SetErrorInfo(0, nullptr);
    return result;
}
