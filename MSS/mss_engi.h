// The MS SQL Server connection of the process: login, data source, version, database list.
#pragma once

#include "MSS/odb_init.h"
#include "OLE/ole_ptr.h"
#include "TK/tk_singl.h"
#include "platform/oledb/oledb.h"

#include <memory>
#include <string>
#include <vector>

class mss_database;

// Options of the MS SQL writer's script, held by the converter's MS SQL part.
struct mss_dump_options {
    mss_dump_options();
    bool flag1 = true;
    bool flag2 = true;
    bool flag3 = false;
    bool flag4 = true;
    std::string text1;
    std::string text2;
};

class mss_engine : public tk_singleton<mss_engine> {
public:
    // Version codes of the server.
    static constexpr int version_unknown = 1;
    static constexpr int version_azure = 100;

    // Non-zero `no_com_init`: COM is left as it is.
    explicit mss_engine(int no_com_init);
    ~mss_engine() override;

    // SQL Server login with a database, without one, and Windows authentication.
    void connect(const std::wstring& server, const std::wstring& user, const std::wstring& password,
                 const std::wstring& database, bool fast_load);
    void connect(const std::wstring& server, const std::wstring& user, const std::wstring& password,
                 bool fast_load);
    void connect(const std::wstring& server, bool fast_load);

    bool enable_fast_load(IDBInitialize* data_source, bool enable);
    int get_version(IDBInitialize* data_source);
    void init_db_contents(IDBInitialize* data_source);
    // The first column of the first row of "exec sp_helpsort", or empty.
    std::string get_code_page(IDBInitialize* data_source);
    // The version code of an @@VERSION text.
    static int version_from_text(const std::wstring& text);

    const std::vector<std::wstring>& get_contents();
    bool is_db_exist(const std::wstring& name);
    std::unique_ptr<mss_database> open_db(const std::wstring& name, int flags,
                                          const std::wstring& schema);

    // "[owner].[table]" for a table name in any of its forms.
    std::wstring get_safe_tname(const std::wstring& name);
    // "[owner].[name]" for a name given to the writer (mss_read_dest_name): the default schema
    // (the login's, or dbo) where the name gives none.
    std::wstring get_dest_tname(const std::wstring& name);

    // Whether a foreign key's rule text is one delete rule and one update rule, in either order,
    // separated by one blank (letter case ignored).
    static bool is_valid_fk_props(const std::wstring& text);

    void set_as_dbo(bool as_dbo);
    bool is_view_owned() const { return view_owned_; }
    void set_view_owned(bool owned) { view_owned_ = owned; }

    int version() const { return version_; }
    bool is_connected() const { return connected_; }
    bool is_native() const { return initializer_.is_native(); }
    bool is_fast_load() const { return fast_load_; }
    bool is_unicode() const { return unicode_; }
    // Whether the writer sends text as Unicode (N'' literals, UTF-16 bulk values); on by default.
    void set_unicode(bool unicode) { unicode_ = unicode; }
    bool is_windows_auth() const { return windows_auth_; }
    const std::wstring& server() const { return server_; }
    const std::wstring& user() const { return user_; }
    IDBInitialize* data_source() const { return data_source_.get(); }

    // The schema of a name given without one: the login's, or dbo.
    std::wstring default_owner() const;

private:
    void connect_steps(const std::wstring& server, const std::wstring& user,
                       const std::wstring& password, const std::wstring& database, bool fast_load,
                       bool windows_auth);

    IDataConvert* data_converter_ = nullptr;
    int version_ = 0;
    std::wstring server_;
    std::wstring user_;
    std::wstring password_;
    bool connected_ = false;
    // A connection was made once: open_db may connect again with its settings, also after an
    // open that failed (the server was gone for a while).
    bool configured_ = false;
    bool fast_load_ = true;
    bool windows_auth_ = false;
    bool unicode_ = true;
    int no_com_init_ = 0;
    odb_initializer initializer_;
    std::vector<std::wstring> databases_;
    ole_com_ptr<IDBInitialize> data_source_;
    bool as_dbo_ = false;
    bool view_owned_ = true;
};
