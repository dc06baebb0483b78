// The MS SQL writer: sequences.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"

void mss_database::create_sequences(const std::vector<udb_sequence>& list) {
    tk_log_message(2, "mss_database::create_sequences");
    if (!list.empty()) {
        tk_log_message(3, "Creating sequences (%d items)", static_cast<int>(list.size()));
    }
    mss_engine& engine = mss_engine::ref();
    for (const udb_sequence& sequence : list) {
        const std::wstring qualified = engine.get_dest_tname(sequence.name);
        const std::wstring drop = L"DROP SEQUENCE IF EXISTS " + qualified;
        tk_log_wmessage(2, L"%ls", drop.c_str());
        try {
            odb_command command(session.get());
            command.execute(drop);
        } catch (const tk_exception&) {
        }
        std::wstring table;
        std::wstring owner;
        mss_read_dest_name(sequence.name, owner, table);
        if (!owner.empty() && !udb_equal_no_case(owner, L"dbo")) {
            tk_log_wmessage(3, L"Creating schema if necessary: '%ls'\r\n", owner.c_str());
            create_schema(owner);
        }
        std::wstring sql = L"CREATE SEQUENCE " + qualified + L" START WITH " +
                           std::to_wstring(sequence.start) + L" INCREMENT BY " +
                           std::to_wstring(sequence.increment) + L" MINVALUE " +
                           std::to_wstring(sequence.min_value) + L" MAXVALUE " +
                           std::to_wstring(sequence.max_value);
        if (sequence.b_cycle) {
            sql += L" CYCLE";
        }
        tk_log_wmessage(3, L"%ls", sql.c_str());
        try {
            odb_command command(session.get());
            command.execute(sql);
        } catch (const tk_exception& e) {
            tk_log_message(3, "Error while creating sequence:\n%s\n", e.what());
            mss_report_writer_error("Sequence '" + tk_to_utf8(sequence.name) + "'",
                                    tk_exception(mss_server_text(e), e.level));
        }
    }
}
