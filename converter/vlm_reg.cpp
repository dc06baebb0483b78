// Registry settings: the wizard's settings from one start of the program to the next.
#include "converter/vlm_conv.h"

#include "TK/tk_log.h"

bool velmora_convertor::serialize(bool store) {
    tk_log_message(1, "serialize( %d )", store ? 1 : 0);
    if (reg_key.create(HKEY_CURRENT_USER, reg_key.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_ALL_ACCESS, nullptr, nullptr) != 0) {
        return false;
    }
    const bool load = !store;
    bool ok = true;
    // Each value in turn; a failed one does not stop the others.
    auto flag = [&](const char* name, bool& value, bool fallback) {
        if (load) {
            value = fallback;
        }
        ok = reg_key.serialize_value(name, value, store) && ok;
    };
    auto text = [&](const char* name, std::string& value) {
        ok = reg_key.serialize_value(name, value, store) && ok;
    };
    auto wtext = [&](const wchar_t* name, std::wstring& value) {
        ok = reg_key.serialize_value(name, value, store) && ok;
    };

    if (load) {
        dump_opts.line_breaks = 0;
    }
    ok = reg_key.serialize_value("dmp_line_br", dump_opts.line_breaks, store) && ok;
    flag("dmp_new_ver", dump_opts.new_version, true);
    flag("dmp_loc_wri", dump_opts.lock_tables, true);
    flag("dmp_ins_com", dump_opts.comments, true);
    flag("dmp_ins_db", dump_opts.create_database, false);
    flag("dmp_ins_tab", dump_opts.create_tables, true);
    if (program == vlm_program::console) {
        reg_key.close();
        return ok;
    }

    bool dbo = as_dbo;
    flag("as_dbo", dbo, true);
    wtext(L"char_set", sql->charset);
    flag("convert_views", convert_views, true);
    wtext(L"dest", dest);
    flag("direct", direct, true);
    text("host", host);
    text("log_file", log_file);
    if (load) {
        port = "3306";
    }
    text("port", port);
    text("pswd", pswd);
    wtext(L"mss_schema", mss_schema);
    wtext(L"mssqlh", mssqlh);
    wtext(L"mssqlp", mssqlp);
    wtext(L"mssqlu", mssqlu);
    flag("sec_log", sec_log, true);
    flag("skip_idx", skip_idx, false);
    wtext(L"src", src);
    flag("tab_def", tab_def, false);
    wtext(L"tab_type", sql->storage_engine);
    text("user", user);
    bool owned = view_owned;
    flag("view_owned", owned, true);
    if (load) {
        set_as_dbo(dbo);
        set_view_owned(owned);
    }
    reg_key.close();
    return ok;
}
