// tds_server: a small TDS 7.4 server for the tests. It listens on 127.0.0.1 only, serves the
// fixture databases, records every statement it receives and can be told to fail.
#include "tests/support/tds_server/tds_server.h"

#include "tests/support/tds_server/tds_bulk.h"
#include "tests/support/tds_server/tds_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <map>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tds_bytes::u16;
using tds_bytes::u32;
using tds_bytes::u64;
using tds_bytes::u8;

constexpr const char* default_version =
    "Microsoft SQL Server 2022 (RTM-CU12) (KB5033663) - 16.0.4115.5 (X64) \n"
    "\tMar  4 2024 08:56:10 \n"
    "\tCopyright (C) 2022 Microsoft Corporation\n"
    "\tDeveloper Edition (64-bit) on Linux (Ubuntu 22.04.4 LTS) <X64>";
constexpr const char* server_name = "VELMORA-TDS";

enum : std::uint8_t {
    token_colmetadata = 0x81,
    token_error = 0xAA,
    token_info = 0xAB,
    token_loginack = 0xAD,
    token_row = 0xD1,
    token_nbcrow = 0xD2,
    token_envchange = 0xE3,
    token_returnstatus = 0x79,
    token_returnvalue = 0xAC,
    token_done = 0xFD,
    token_doneproc = 0xFE,
    token_doneinproc = 0xFF,
};

enum : std::uint16_t {
    done_final = 0x0000,
    done_more = 0x0001,
    done_error = 0x0002,
    done_count = 0x0010,
    done_attention = 0x0020,
};

constexpr std::uint16_t cmd_select = 0xC1;

// Writes a token whose body is preceded by its u16 length.
void with_length(std::string& out, std::uint8_t token, const std::string& body) {
    u8(out, token);
    u16(out, static_cast<std::uint16_t>(body.size()));
    out += body;
}

// SQL Server cuts a message at 2047 characters (a statement quoted in an error can be any
// length); the token's own length field holds no more either. Cut at a whole UTF-8 character.
std::string_view message_text(std::string_view text) {
    constexpr std::size_t longest = 2047;
    std::size_t characters = 0, at = 0;
    for (; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if ((c & 0xC0) != 0x80 && characters++ == longest)
            break;
    }
    return text.substr(0, at);
}

void message_token(std::string& out, const tds_message& m) {
    std::string body;
    u32(body, static_cast<std::uint32_t>(m.number));
    u8(body, m.state);
    u8(body, m.severity);
    tds_us_varchar(body, message_text(m.text));
    tds_b_varchar(body, server_name);
    tds_b_varchar(body, "");
    u32(body, 1);
    with_length(out, m.severity > 10 ? token_error : token_info, body);
}

void done_token(std::string& out, std::uint16_t status, std::uint16_t command, std::uint64_t rows,
                std::uint8_t token = token_done) {
    u8(out, token);
    u16(out, status);
    u16(out, command);
    u64(out, rows);
}

void env_text(std::string& out, std::uint8_t type, const std::string& now, const std::string& was) {
    std::string body;
    u8(body, type);
    tds_b_varchar(body, now);
    tds_b_varchar(body, was);
    with_length(out, token_envchange, body);
}

void colmetadata(std::string& out, const std::vector<tds_result_column>& columns) {
    u8(out, token_colmetadata);
    u16(out, static_cast<std::uint16_t>(columns.size()));
    for (const auto& c : columns) {
        u32(out, tds_user_type(c.type));
        std::uint16_t flags = 0x0008; // updatable unknown, as SQL Server marks query columns
        if (c.nullable)
            flags |= 0x0001;
        if (c.identity)
            flags |= 0x0010;
        if (c.computed)
            flags |= 0x0020;
        u16(out, flags);
        tds_append_type_info(out, c.type);
        if (c.type.is_legacy_lob()) {
            u8(out, 1);
            tds_us_varchar(out, c.table);
        }
        tds_b_varchar(out, c.name);
    }
}

void row_token(std::string& out, const std::vector<tds_result_column>& columns,
               const std::vector<tds_value>& row) {
    bool any_null = false;
    for (const auto& v : row)
        any_null |= v.null;
    if (!any_null) {
        u8(out, token_row);
        for (std::size_t i = 0; i < columns.size(); ++i)
            tds_append_value(out, columns[i].type, row[i]);
        return;
    }
    u8(out, token_nbcrow);
    std::size_t bitmap_at = out.size();
    out.append((columns.size() + 7) / 8, '\0');
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (row[i].null) {
            out[bitmap_at + i / 8] = static_cast<char>(out[bitmap_at + i / 8] | (1 << (i % 8)));
            continue;
        }
        tds_append_value(out, columns[i].type, row[i]);
    }
}

// Thrown to end a session on purpose (the drop fault).
struct drop_connection {};

} // namespace

// One client connection: handshake, then batches until the client leaves.
class tds_server::session {
public:
    session(tds_server& server, int fd)
        : server_(server), fd_(fd), reader_(fd), writer_(fd, reader_) {}

    void run() {
        try {
            serve();
        } catch (const tds_connection_error&) {
        } catch (const drop_connection&) {
        } catch (const std::exception&) {
            // Anything else is a fault of the server or its fixture; the connection ends and
            // the client sees it, but the test process goes on.
        }
    }

private:
    void serve() {
        tds_packet_type type{};
        std::string payload;
        reader_.read_message(type, payload);
        if (type == tds_packet_type::prelogin) {
            prelogin();
            reader_.read_message(type, payload);
        }
        if (type != tds_packet_type::login7)
            return;
        if (!login(payload))
            return;
        for (;;) {
            reader_.read_message(type, payload);
            switch (type) {
            case tds_packet_type::sql_batch:
                batch(payload);
                break;
            case tds_packet_type::rpc:
                rpc(payload);
                break;
            case tds_packet_type::bulk_load:
                bulk_load(payload);
                break;
            case tds_packet_type::attention:
                // The client cancelled after the answer was complete: acknowledge it.
                done_token(writer_.buffer(), done_attention, 0, 0);
                writer_.end_message();
                break;
            default:
                return;
            }
        }
    }

    void prelogin() {
        // VERSION, ENCRYPTION (not supported: the login goes on in plain text), INSTOPT,
        // THREADID, MARS.
        std::string& out = writer_.buffer();
        struct option {
            std::uint8_t token;
            std::string data;
        };
        const option options[] = {
            {0x00, std::string("\x10\x00\x10\x13\x00\x00", 6)},
            {0x01, std::string("\x02", 1)},
            {0x02, std::string("\x00", 1)},
            {0x03, std::string()},
            {0x04, std::string("\x00", 1)},
        };
        std::size_t offset = std::size(options) * 5 + 1;
        for (const auto& o : options) {
            u8(out, o.token);
            u8(out, static_cast<std::uint8_t>(offset >> 8));
            u8(out, static_cast<std::uint8_t>(offset & 0xFF));
            u8(out, 0);
            u8(out, static_cast<std::uint8_t>(o.data.size()));
            offset += o.data.size();
        }
        u8(out, 0xFF);
        for (const auto& o : options)
            out += o.data;
        writer_.end_message();
    }

    static std::string login_text(std::string_view p, std::size_t at, bool password = false) {
        std::size_t offset = tds_bytes::get_u16(p, at);
        std::size_t chars = tds_bytes::get_u16(p, at + 2);
        if (offset + chars * 2 > p.size())
            throw tds_connection_error("malformed LOGIN7");
        std::string bytes(p.substr(offset, chars * 2));
        if (password) {
            for (char& c : bytes) {
                auto b = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) ^ 0xA5);
                c = static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
            }
        }
        return tds_utf8(bytes);
    }

    bool login(std::string_view p) {
        if (p.size() < 94)
            throw tds_connection_error("malformed LOGIN7");
        server_.record_login(tds_bytes::get_u32(p, 4));
        std::uint32_t packet_size = tds_bytes::get_u32(p, 8);
        std::string user = login_text(p, 40);
        std::string password = login_text(p, 44, true);
        std::string database = login_text(p, 68);
        std::string& out = writer_.buffer();

        std::unique_lock model(server_.model_mutex_);
        tds_catalogue& cat = server_.catalogue_;
        bool known = false, any_login = false;
        for (const auto& db : cat.databases) {
            for (const auto& l : db.logins) {
                any_login = true;
                known |= l.user == user && l.password == password;
            }
        }
        if (server_.faults().refuse_logins || (any_login && !known)) {
            message_token(out, {18456, 1, 14, "Login failed for user '" + user + "'."});
            done_token(out, done_error, 0, 0);
            writer_.end_message();
            return false;
        }
        tds_fixture_database* db = database.empty() ? &cat.databases.front() : cat.find(database);
        if (!db) {
            message_token(out, {4060, 1, 11,
                                "Cannot open database \"" + database +
                                    "\" requested by the login. The login failed."});
            message_token(out, {18456, 1, 14, "Login failed for user '" + user + "'."});
            done_token(out, done_error, 0, 0);
            writer_.end_message();
            return false;
        }
        database_ = db;
        env_text(out, 1, db->name, "master");
        message_token(out, {5701, 2, 0, "Changed database context to '" + db->name + "'."});
        {
            std::string body;
            u8(body, 7);
            u8(body, 5);
            body.append(reinterpret_cast<const char*>(db->collation.bytes.data()), 5);
            u8(body, 0);
            with_length(out, token_envchange, body);
        }
        env_text(out, 2, "us_english", "");
        message_token(out, {5703, 1, 0, "Changed language setting to us_english."});
        {
            std::string body;
            u8(body, 1); // SQL interface
            body += std::string("\x74\x00\x00\x04", 4);
            tds_b_varchar(body, "Microsoft SQL Server");
            body += std::string("\x10\x00\x10\x13", 4);
            with_length(out, token_loginack, body);
        }
        if (packet_size < 512 || packet_size > 32767)
            packet_size = 4096;
        env_text(out, 4, std::to_string(packet_size), "4096");
        done_token(out, done_final, 0, 0);
        writer_.end_message();
        writer_.set_packet_size(packet_size);
        return true;
    }

    static std::string batch_text(std::string_view p) {
        // ALL_HEADERS: its first DWORD is its own total length.
        std::size_t skip = 0;
        if (p.size() >= 4) {
            std::uint32_t total = tds_bytes::get_u32(p, 0);
            if (total >= 4 && total <= p.size())
                skip = total;
        }
        return tds_utf8(p.substr(skip));
    }

    void batch(std::string_view payload) {
        std::string text = batch_text(payload);
        server_.record(text);
        fault_set faults = server_.faults();
        std::vector<std::string> statements = tds_split_batch(text);
        std::string& out = writer_.buffer();
        if (statements.empty()) {
            done_token(out, done_final, 0, 0);
            writer_.end_message();
            return;
        }
        if (statements.size() > 1) {
            std::optional<tds_message> error;
            {
                std::lock_guard model(server_.model_mutex_);
                error = tds_compile_batch(server_.catalogue_, *database_, state_, statements);
            }
            if (error) {
                message_token(out, *error);
                done_token(out, error_status(), cmd_select, 0, done_kind_);
                writer_.end_message();
                writer_.clear_attention();
                return;
            }
        }
        for (std::size_t i = 0; i < statements.size(); ++i) {
            bool last = i + 1 == statements.size();
            if (!statement(statements[i], faults, last))
                break;
        }
        writer_.end_message();
        writer_.clear_attention();
    }

    // Answers one statement; false ends the batch (an error or a cancel).
    bool statement(const std::string& text, const fault_set& faults, bool last) {
        std::string& out = writer_.buffer();
        std::string normal = tds_normalise(text);
        for (const auto& [match, e] : faults.failures) {
            if (!tds_contains(normal, tds_normalise(match)))
                continue;
            message_token(out, {e.number, e.state, e.severity, e.message});
            done_token(out, error_status(), cmd_select, 0, done_kind_);
            return false;
        }
        tds_answer a;
        {
            std::lock_guard model(server_.model_mutex_);
            tds_statement_context ctx{server_.catalogue_, *database_, &state_};
            a = tds_answer_statement(ctx, text);
        }
        for (const auto& m : a.infos)
            message_token(out, m);
        if (a.error) {
            message_token(out, *a.error);
            done_token(out, error_status(), cmd_select, 0, done_kind_);
            return false;
        }
        if (!a.new_database.empty()) {
            std::string was = database_->name;
            std::lock_guard model(server_.model_mutex_);
            database_ = server_.catalogue_.find(a.new_database);
            env_text(out, 1, database_->name, was);
        }
        std::uint16_t more = last ? 0 : done_more;
        if (!a.result) {
            done_token(out, static_cast<std::uint16_t>(more | (a.affected ? done_count : 0)), 0,
                       a.affected.value_or(0), done_kind_);
            return true;
        }
        std::optional<std::uint64_t> drop_after;
        for (const auto& [match, rows] : faults.drops)
            if (tds_contains(normal, tds_normalise(match)))
                drop_after = rows;
        pause_ = std::nullopt;
        for (const auto& p : faults.pauses)
            if (tds_contains(normal, tds_normalise(p.match)))
                pause_ = p;
        return result(*a.result, more, drop_after);
    }

    // Sends what is ready and waits, in short steps so that a stopping server is not held up.
    void pause_sending(std::chrono::milliseconds length) {
        writer_.flush_partial();
        const auto until = std::chrono::steady_clock::now() + length;
        while (std::chrono::steady_clock::now() < until && !server_.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    bool result(const tds_result_set& rs, std::uint16_t more,
                std::optional<std::uint64_t> drop_after) {
        std::string& out = writer_.buffer();
        colmetadata(out, rs.columns);
        std::vector<tds_value> row;
        for (std::uint64_t i = 0; i < rs.row_count; ++i) {
            if (pause_ && i == pause_->rows)
                pause_sending(pause_->length);
            std::size_t row_start = out.size();
            try {
                {
                    // Rows are made under the model's lock: other sessions may write meanwhile.
                    std::lock_guard model(server_.model_mutex_);
                    rs.row(i, row);
                }
                if (!drop_after || i != *drop_after)
                    row_token(out, rs.columns, row);
            } catch (const std::invalid_argument& e) {
                // A value that cannot be sent (a generated value that does not fit its column,
                // a spatial value without its text): report it as a server error.
                out.resize(row_start);
                message_token(out,
                              {50000, 1, 16,
                               "Row " + std::to_string(i + 1) + " of the fixture: " + e.what()});
                done_token(out, error_status(), cmd_select, 0, done_kind_);
                return false;
            }
            if (drop_after && i == *drop_after) {
                writer_.flush_partial();
                std::string partial;
                row_token(partial, rs.columns, row);
                partial.resize(std::max<std::size_t>(1, partial.size() / 2));
                writer_.buffer() = partial;
                writer_.flush_partial();
                throw drop_connection{};
            }
            writer_.flush_full_packets();
            if (writer_.attention()) {
                done_token(out, done_attention, 0, 0);
                return false;
            }
        }
        if (drop_after && *drop_after >= rs.row_count) {
            writer_.flush_partial();
            throw drop_connection{};
        }
        done_token(out, static_cast<std::uint16_t>(more | done_count), cmd_select, rs.row_count,
                   done_kind_);
        return true;
    }

    // The procedures FreeTDS calls for prepared and parameterised statements: sp_executesql,
    // sp_prepare, sp_execute, sp_prepexec and sp_unprepare. Parameters other than the statement
    // and the handle are read past; the statement is answered as if sent in a batch.
    void rpc(std::string_view payload) {
        rpc_request call = parse_rpc(payload);
        std::string& out = writer_.buffer();
        auto text_param = [&](std::size_t i) -> const std::string* {
            return i < call.params.size() && !call.params[i].null ? &call.params[i].text : nullptr;
        };
        auto int_param = [&](std::size_t i) -> std::optional<std::int32_t> {
            if (i >= call.params.size() || call.params[i].null || !call.params[i].is_int)
                return std::nullopt;
            return call.params[i].number;
        };
        const std::string name = lower_name(call.name);
        std::optional<std::string> statement;
        std::optional<std::int32_t> handle_out;
        if (name == "sp_executesql" && text_param(0)) {
            statement = *text_param(0);
        } else if ((name == "sp_prepexec" || name == "sp_prepare") && text_param(2)) {
            std::int32_t handle = next_handle_++;
            prepared_[handle] = *text_param(2);
            handle_out = handle;
            if (name == "sp_prepexec")
                statement = *text_param(2);
        } else if (name == "sp_execute" && int_param(0) && prepared_.count(*int_param(0))) {
            statement = prepared_[*int_param(0)];
        } else if (name == "sp_unprepare" && int_param(0)) {
            prepared_.erase(*int_param(0));
        } else {
            server_.record("RPC " + call.name);
            message_token(out,
                          {2812, 62, 16, "Could not find stored procedure '" + call.name + "'."});
            done_token(out, done_error, 0, 0, token_doneproc);
            writer_.end_message();
            return;
        }
        bool ok = true;
        if (statement) {
            server_.record(*statement);
            fault_set faults = server_.faults();
            std::vector<std::string> statements = tds_split_batch(*statement);
            done_kind_ = token_doneinproc;
            for (std::size_t i = 0; ok && i < statements.size(); ++i)
                ok = this->statement(statements[i], faults, false);
            done_kind_ = token_done;
            if (writer_.attention()) {
                writer_.end_message();
                writer_.clear_attention();
                return;
            }
        }
        u8(out, token_returnstatus);
        u32(out, ok ? 0 : 1);
        if (handle_out) {
            u8(out, token_returnvalue);
            u16(out, 0);
            tds_b_varchar(out, "@handle");
            u8(out, 0x01); // output parameter
            u32(out, 0);
            u16(out, 0x0009);
            u8(out, 0x26);
            u8(out, 4);
            u8(out, 4);
            u32(out, static_cast<std::uint32_t>(*handle_out));
        }
        done_token(out, ok ? done_final : done_error, 0, 0, token_doneproc);
        writer_.end_message();
    }

    struct rpc_param {
        bool null = false;
        bool is_int = false;
        std::int32_t number = 0;
        std::string text; // UTF-8, for character parameters
    };
    struct rpc_request {
        std::string name;
        std::vector<rpc_param> params;
    };

    static std::string lower_name(std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    static rpc_request parse_rpc(std::string_view p) {
        static const char* const procedures[] = {"",
                                                 "sp_cursor",
                                                 "sp_cursoropen",
                                                 "sp_cursorprepare",
                                                 "sp_cursorexecute",
                                                 "sp_cursorprepexec",
                                                 "sp_cursorunprepare",
                                                 "sp_cursorfetch",
                                                 "sp_cursoroption",
                                                 "sp_cursorclose",
                                                 "sp_executesql",
                                                 "sp_prepare",
                                                 "sp_execute",
                                                 "sp_prepexec",
                                                 "sp_prepexecrpc",
                                                 "sp_unprepare"};
        std::size_t at = 0;
        std::uint32_t headers = tds_bytes::get_u32(p, 0);
        if (headers >= 4 && headers <= p.size())
            at = headers;
        rpc_request r;
        std::uint16_t length = tds_bytes::get_u16(p, at);
        at += 2;
        if (length == 0xFFFF) {
            std::uint16_t id = tds_bytes::get_u16(p, at);
            at += 2;
            r.name = id < std::size(procedures) ? procedures[id] : "#" + std::to_string(id);
        } else {
            r.name = tds_utf8(take(p, at, length * 2u));
        }
        at += 2; // option flags
        while (at < p.size()) {
            std::uint8_t first = byte(p, at);
            if (first == 0xFF || first == 0x80)
                break; // a second call in the same request is not served
            std::uint8_t name_length = byte(p, at++);
            take(p, at, name_length * 2u);
            at += 1; // status flags
            r.params.push_back(read_param(p, at));
        }
        return r;
    }

    static std::uint8_t byte(std::string_view p, std::size_t at) {
        if (at >= p.size())
            throw tds_connection_error("truncated RPC request");
        return static_cast<std::uint8_t>(p[at]);
    }

    static std::string_view take(std::string_view p, std::size_t& at, std::size_t n) {
        if (at + n > p.size())
            throw tds_connection_error("truncated RPC request");
        std::string_view v = p.substr(at, n);
        at += n;
        return v;
    }

    static std::string read_plp(std::string_view p, std::size_t& at, bool& null) {
        std::uint64_t total = tds_bytes::get_u32(p, at) |
                              (static_cast<std::uint64_t>(tds_bytes::get_u32(p, at + 4)) << 32);
        at += 8;
        null = total == ~0ULL;
        std::string data;
        if (null)
            return data;
        for (;;) {
            std::uint32_t chunk = tds_bytes::get_u32(p, at);
            at += 4;
            if (chunk == 0)
                return data;
            data.append(take(p, at, chunk));
        }
    }

    // One parameter's TYPE_INFO and value; only integers and character values are kept.
    static rpc_param read_param(std::string_view p, std::size_t& at) {
        rpc_param r;
        std::uint8_t type = byte(p, at++);
        std::string data;
        bool wide = false;
        switch (type) {
        case 0x30:
        case 0x32:
        case 0x34:
        case 0x38:
        case 0x7F:
        case 0x3B:
        case 0x3E:
        case 0x3C:
        case 0x7A:
        case 0x3D:
        case 0x3A: {
            static const std::pair<std::uint8_t, std::size_t> sizes[] = {
                {0x30, 1}, {0x32, 1}, {0x34, 2}, {0x38, 4}, {0x7F, 8}, {0x3B, 4},
                {0x3E, 8}, {0x3C, 8}, {0x7A, 4}, {0x3D, 8}, {0x3A, 4}};
            for (auto [t, n] : sizes)
                if (t == type)
                    data = take(p, at, n);
            break;
        }
        case 0x26:
        case 0x68:
        case 0x6D:
        case 0x6E:
        case 0x6F:
        case 0x24:
        case 0x6A:
        case 0x6C:
        case 0x28:
        case 0x29:
        case 0x2A:
        case 0x2B: {
            if (type == 0x6A || type == 0x6C)
                at += 3;
            else if (type != 0x28)
                at += 1;
            std::uint8_t n = byte(p, at++);
            r.null = n == 0;
            data = take(p, at, n);
            break;
        }
        case 0xA7:
        case 0xAF:
        case 0xE7:
        case 0xEF:
        case 0xA5:
        case 0xAD: {
            std::uint16_t max = tds_bytes::get_u16(p, at);
            at += 2;
            bool text = type != 0xA5 && type != 0xAD;
            wide = type == 0xE7 || type == 0xEF;
            if (text)
                at += 5;
            if (max == 0xFFFF) {
                data = read_plp(p, at, r.null);
                break;
            }
            std::uint16_t n = tds_bytes::get_u16(p, at);
            at += 2;
            r.null = n == 0xFFFF;
            if (!r.null)
                data = take(p, at, n);
            break;
        }
        case 0x23:
        case 0x63:
        case 0x22:
        case 0x62: {
            at += 4;
            if (type == 0x23 || type == 0x63)
                at += 5;
            wide = type == 0x63;
            std::uint32_t n = tds_bytes::get_u32(p, at);
            at += 4;
            r.null = n == 0xFFFFFFFF || (type == 0x62 && n == 0);
            if (!r.null)
                data = take(p, at, n);
            break;
        }
        case 0xF1: {
            if (byte(p, at++) == 1) {
                take(p, at, byte(p, at) * 2u + 1);
                take(p, at, byte(p, at) * 2u + 1);
                take(p, at, tds_bytes::get_u16(p, at) * 2u + 2);
            }
            data = read_plp(p, at, r.null);
            wide = true;
            break;
        }
        default:
            throw tds_connection_error("RPC parameter of an unsupported type");
        }
        if (type == 0x38 || (type == 0x26 && data.size() == 4)) {
            r.is_int = true;
            r.number = static_cast<std::int32_t>(tds_bytes::get_u32(data, 0));
        }
        r.text = wide ? tds_utf8(data) : data;
        return r;
    }

    // A BULKLOAD message: the rows of the INSERT BULK just answered.
    void bulk_load(std::string_view payload) {
        const std::string record = "BULKLOAD " + std::to_string(payload.size()) + " bytes";
        server_.record(record);
        tds_answer a;
        for (const auto& [match, e] : server_.faults().failures) {
            if (!tds_contains(record, tds_normalise(match)))
                continue;
            // A failure switch for BULKLOAD refuses the batch: none of its rows are kept.
            state_.bulk.reset();
            a.error = tds_message{e.number, e.state, e.severity, e.message};
            break;
        }
        if (!a.error) {
            std::lock_guard model(server_.model_mutex_);
            tds_statement_context ctx{server_.catalogue_, *database_, &state_};
            a = tds_bulk_load(ctx, payload);
        }
        std::string& out = writer_.buffer();
        if (a.error) {
            message_token(out, *a.error);
            done_token(out, done_error, 0, 0);
        } else {
            done_token(out, done_count, 0, a.affected.value_or(0));
        }
        writer_.end_message();
    }

    tds_server& server_;
    int fd_;
    tds_reader reader_;
    tds_writer writer_;
    tds_fixture_database* database_ = nullptr;
    tds_session_state state_;
    // Inside a procedure call the statement's DONEINPROC is followed by the call's own tokens.
    std::uint16_t error_status() const {
        return done_kind_ == token_doneinproc ? done_error | done_more : done_error;
    }
    std::uint8_t done_kind_ = token_done; // DONEINPROC inside procedure calls
    std::map<std::int32_t, std::string> prepared_;
    std::int32_t next_handle_ = 1;
    // The pause switch that matched the statement being answered.
    std::optional<fault_set::pause> pause_;
};

tds_server::tds_server(const std::vector<std::string>& fixture_paths) {
    for (const auto& path : fixture_paths)
        catalogue_.databases.push_back(tds_load_fixture(path));
    if (catalogue_.databases.empty())
        throw tds_fixture_error("the TDS test server needs at least one fixture database");
    catalogue_.version = default_version;
}

tds_server::tds_server(std::vector<tds_fixture_database> databases) {
    catalogue_.databases = std::move(databases);
    if (catalogue_.databases.empty())
        throw tds_fixture_error("the TDS test server needs at least one fixture database");
    catalogue_.version = default_version;
}

tds_server::~tds_server() {
    stop();
}

void tds_server::start(std::uint16_t port) {
    if (listen_fd_ >= 0)
        throw std::logic_error("the TDS test server is already started");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        int e = errno;
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 std::strerror(e));
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe2(wake_fds_, O_CLOEXEC) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    listen_fd_ = fd;
    stopping_ = false;
    acceptor_ = std::thread([this] { accept_loop(); });
}

void tds_server::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        // Forget connections that ended, so a long manual run does not pile them up.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished) {
                (*it)->thread.join();
                ::close((*it)->fd);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        auto c = std::make_unique<connection>();
        c->fd = fd;
        connection* raw = c.get();
        c->thread = std::thread([this, raw] {
            session(*this, raw->fd).run();
            ::shutdown(raw->fd, SHUT_RDWR);
            raw->finished = true;
        });
        connections_.push_back(std::move(c));
    }
}

void tds_server::stop() {
    if (listen_fd_ < 0)
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    char b = 1;
    [[maybe_unused]] auto w = ::write(wake_fds_[1], &b, 1);
    acceptor_.join();
    std::vector<std::unique_ptr<connection>> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& c : connections)
        ::shutdown(c->fd, SHUT_RDWR);
    for (auto& c : connections) {
        c->thread.join();
        ::close(c->fd);
    }
    ::close(listen_fd_);
    ::close(wake_fds_[0]);
    ::close(wake_fds_[1]);
    listen_fd_ = wake_fds_[0] = wake_fds_[1] = -1;
}

std::string tds_server::odbc_connection_string(const std::string& user, const std::string& password,
                                               const std::string& database) const {
    std::string s = "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=" + std::to_string(port_) +
                    ";TDS_Version=7.4;UID=" + user + ";PWD={" + password + "};";
    if (!database.empty())
        s += "DATABASE=" + database + ";";
    return s;
}

void tds_server::record(std::string statement) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(statement));
}

void tds_server::record_login(std::uint32_t tds_version) {
    std::lock_guard lock(mutex_);
    login_versions_.push_back(tds_version);
}

std::vector<std::uint32_t> tds_server::login_versions() const {
    std::lock_guard lock(mutex_);
    return login_versions_;
}

std::vector<std::string> tds_server::statements() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void tds_server::clear_statements() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

tds_server::fault_set tds_server::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void tds_server::refuse_logins(bool refuse) {
    std::lock_guard lock(mutex_);
    faults_.refuse_logins = refuse;
}

void tds_server::fail_statement(const std::string& match, tds_server_error error) {
    std::lock_guard lock(mutex_);
    faults_.failures.emplace_back(match, std::move(error));
}

void tds_server::drop_connection_after_rows(const std::string& match, std::uint64_t rows) {
    std::lock_guard lock(mutex_);
    faults_.drops.emplace_back(match, rows);
}

void tds_server::pause_after_rows(const std::string& match, std::uint64_t rows,
                                  std::chrono::milliseconds pause) {
    std::lock_guard lock(mutex_);
    faults_.pauses.push_back({match, rows, pause});
}

bool tds_server::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void tds_server::discard_written_rows(bool discard) {
    std::lock_guard model(model_mutex_);
    catalogue_.discard_written_rows = discard;
}

std::uint64_t tds_server::discarded_rows() {
    std::lock_guard model(model_mutex_);
    return catalogue_.discarded_rows;
}

void tds_server::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_ = fault_set{};
}
