// The service components: a provider's data source from a connection string.
#include "platform/oledb/oledb_services.h"

#include "platform/oledb/data_convert.h"

#include <mutex>

namespace {

const std::u16string services_source = u"OLE DB Service Components";

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view trim(std::u16string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char16_t fold(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool same_keyword(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

// The initialisation property a keyword sets. Only texts: the providers here read them as
// VT_BSTR, except the timeout.
struct keyword_property {
    const char16_t* keyword;
    DBPROPID id;
    bool number;
};

const keyword_property keyword_properties[] = {
    {u"Data Source", DBPROP_INIT_DATASOURCE, false},
    {u"Server", DBPROP_INIT_DATASOURCE, false},
    {u"Initial Catalog", DBPROP_INIT_CATALOG, false},
    {u"Database", DBPROP_INIT_CATALOG, false},
    {u"User Id", DBPROP_AUTH_USERID, false},
    {u"UID", DBPROP_AUTH_USERID, false},
    {u"Password", DBPROP_AUTH_PASSWORD, false},
    {u"PWD", DBPROP_AUTH_PASSWORD, false},
    {u"Integrated Security", DBPROP_AUTH_INTEGRATED, false},
    {u"Connect Timeout", DBPROP_INIT_TIMEOUT, true},
    {u"Extended Properties", DBPROP_INIT_PROVIDERSTRING, false},
};

// Keywords that ask for nothing of the provider here.
const char16_t* const ignored_keywords[] = {u"Persist Security Info"};

class data_initialize final : public com_object<IDataInitialize> {
public:
    HRESULT GetDataSource(IUnknown* outer, DWORD context, LPCOLESTR init_string, REFIID riid,
                          IUnknown** data_source) override;
};

// Holds the BSTR values of a property array until SetProperties has copied them.
struct property_list {
    std::vector<DBPROP> props;
    ~property_list() {
        for (DBPROP& p : props) {
            VariantClear(&p.vValue);
        }
    }
};

HRESULT data_initialize::GetDataSource(IUnknown* outer, DWORD context, LPCOLESTR init_string,
                                       REFIID riid, IUnknown** data_source) {
    if (data_source == nullptr || init_string == nullptr) {
        return com_post_error(E_INVALIDARG, u"No connection string was given.", services_source);
    }
    *data_source = nullptr;

    std::vector<oledb_keyword> pairs;
    std::u16string error;
    if (!oledb_parse_connection_string(init_string, pairs, error)) {
        return com_post_error(E_INVALIDARG,
                              u"Format of the initialization string does not conform to the "
                              u"OLE DB specification: " +
                                  error,
                              services_source);
    }

    // The first Provider keyword counts; for every other keyword the last one does.
    std::u16string provider;
    bool have_provider = false;
    property_list list;
    for (const auto& [keyword, value] : pairs) {
        if (same_keyword(keyword, u"Provider")) {
            if (!have_provider) {
                provider = value;
                have_provider = true;
            }
            continue;
        }
        const keyword_property* known = nullptr;
        for (const keyword_property& k : keyword_properties) {
            if (same_keyword(keyword, k.keyword)) {
                known = &k;
            }
        }
        bool ignored = false;
        for (const char16_t* k : ignored_keywords) {
            ignored = ignored || same_keyword(keyword, k);
        }
        if (ignored) {
            continue;
        }
        if (known == nullptr) {
            return com_post_error(DB_E_ERRORSOCCURRED,
                                  u"The connection string keyword \"" + keyword +
                                      u"\" is not supported.",
                                  services_source);
        }
        DBPROP prop{};
        prop.dwPropertyID = known->id;
        prop.dwOptions = DBPROPOPTIONS_REQUIRED;
        prop.colid = DB_NULLID;
        VariantInit(&prop.vValue);
        if (known->number) {
            int32_t number = 0;
            if (FAILED(VarI4FromStr(value.c_str(), 1033, 0, &number))) {
                return com_post_error(DB_E_ERRORSOCCURRED,
                                      u"The value of \"" + keyword + u"\" is not a number.",
                                      services_source);
            }
            prop.vValue.vt = VT_I4;
            prop.vValue.lVal = number;
        } else {
            prop.vValue.vt = VT_BSTR;
            prop.vValue.bstrVal =
                SysAllocStringLen(value.data(), static_cast<unsigned int>(value.size()));
        }
        // A repeated keyword replaces the earlier value.
        bool replaced = false;
        for (DBPROP& p : list.props) {
            if (p.dwPropertyID == prop.dwPropertyID) {
                VariantClear(&p.vValue);
                p = prop;
                replaced = true;
            }
        }
        if (!replaced) {
            list.props.push_back(prop);
        }
    }
    if (!have_provider || provider.empty()) {
        return com_post_error(DB_E_ERRORSOCCURRED,
                              u"The connection string does not name a provider.", services_source);
    }

    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(provider.c_str(), &clsid))) {
        return com_post_error(REGDB_E_CLASSNOTREG,
                              u"The provider \"" + provider + u"\" is not registered.",
                              services_source);
    }
    IDBProperties* properties = nullptr;
    HRESULT hr = CoCreateInstance(clsid, outer, context, IID_IDBProperties,
                                  reinterpret_cast<void**>(&properties));
    if (FAILED(hr)) {
        return com_post_error(hr, u"The provider \"" + provider + u"\" could not be created.",
                              services_source);
    }
    if (!list.props.empty()) {
        DBPROPSET set{list.props.data(), static_cast<ULONG>(list.props.size()), DBPROPSET_DBINIT};
        hr = properties->SetProperties(1, &set);
        if (FAILED(hr)) {
            properties->Release(); // the provider's error object stays for the caller
            return hr;
        }
    }
    hr = properties->QueryInterface(riid, reinterpret_cast<void**>(data_source));
    properties->Release();
    if (FAILED(hr)) {
        return com_post_error(hr, u"The provider does not offer the requested interface.",
                              services_source);
    }
    return com_succeed();
}

} // namespace

bool oledb_register_services() {
    static std::once_flag once;
    std::call_once(once, [] {
        com_register_class(CLSID_MSDAINITIALIZE, com_simple_factory<data_initialize>());
        com_register_class(CLSID_OLEDB_CONVERSIONLIBRARY, com_simple_factory<data_convert>());
    });
    return true;
}

bool oledb_parse_connection_string(std::u16string_view text, std::vector<oledb_keyword>& pairs,
                                   std::u16string& error) {
    pairs.clear();
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Keyword, up to a single "="; "==" is an "=" inside it.
        std::u16string keyword;
        bool have_equals = false;
        while (i < n) {
            const char16_t c = text[i];
            if (c == u'=') {
                if (i + 1 < n && text[i + 1] == u'=') {
                    keyword.push_back(u'=');
                    i += 2;
                    continue;
                }
                have_equals = true;
                ++i;
                break;
            }
            if (c == u';') {
                break;
            }
            keyword.push_back(c);
            ++i;
        }
        const std::u16string_view name = trim(keyword);
        if (!have_equals) {
            if (!name.empty()) {
                error = u"the keyword \"" + std::u16string(name) + u"\" has no value";
                return false;
            }
            ++i; // an empty element between two ";"
            continue;
        }
        if (name.empty()) {
            error = u"a value has no keyword";
            return false;
        }

        // Value: quoted, or everything up to the next ";".
        while (i < n && is_blank(text[i])) {
            ++i;
        }
        std::u16string value;
        if (i < n && (text[i] == u'"' || text[i] == u'\'')) {
            const char16_t quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value.push_back(quote);
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                value.push_back(text[i++]);
            }
            if (!closed) {
                error = u"the value of \"" + std::u16string(name) + u"\" lacks its closing quote";
                return false;
            }
            while (i < n && is_blank(text[i])) {
                ++i;
            }
            if (i < n && text[i] != u';') {
                error = u"text follows the quoted value of \"" + std::u16string(name) + u"\"";
                return false;
            }
        } else {
            const std::size_t end = std::min(text.find(u';', i), n);
            value = trim(text.substr(i, end - i));
            i = end;
        }
        ++i; // the ";"
        pairs.emplace_back(std::u16string(name), std::move(value));
    }
    return true;
}

std::u16string oledb_quote_value(std::u16string_view value) {
    const bool needs_quotes =
        value.find_first_of(u";'\"=") != std::u16string_view::npos ||
        (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
    if (!needs_quotes) {
        return std::u16string(value);
    }
    std::u16string quoted = u"\"";
    for (char16_t c : value) {
        quoted.push_back(c);
        if (c == u'"') {
            quoted.push_back(u'"');
        }
    }
    quoted.push_back(u'"');
    return quoted;
}
