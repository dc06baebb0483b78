// tds_server: a small TDS 7.4 server for the tests. It listens on 127.0.0.1 only, serves the
// fixture databases, records every statement it receives and can be told to fail.
#include "tests/support/tds_server/tds_server.h"

#include "tests/support/tds_server/tds_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
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
    token_done = 0xFD,
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

void message_token(std::string& out, const tds_message& m) {
    std::string body;
    u32(body, static_cast<std::uint32_t>(m.number));
    u8(body, m.state);
    u8(body, m.severity);
    tds_us_varchar(body, m.text);
    tds_b_varchar(body, server_name);
    tds_b_varchar(body, "");
    u32(body, 1);
    with_length(out, m.severity > 10 ? token_error : token_info, body);
}

void done_token(std::string& out, std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
    u8(out, token_done);
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
            {0x00, std::string("\x10\x00\x10\x7A\x00\x00", 6)},
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
        std::uint32_t packet_size = tds_bytes::get_u32(p, 8);
        std::string user = login_text(p, 40);
        std::string password = login_text(p, 44, true);
        std::string database = login_text(p, 68);
        std::string& out = writer_.buffer();

        const tds_catalogue& cat = server_.catalogue_;
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
        const tds_fixture_database* db =
            database.empty() ? &cat.databases.front() : cat.find(database);
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
            body += std::string("\x10\x00\x10\x7A", 4);
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
            done_token(out, done_error, cmd_select, 0);
            return false;
        }
        tds_statement_context ctx{server_.catalogue_, *database_};
        tds_answer a = tds_answer_statement(ctx, text);
        for (const auto& m : a.infos)
            message_token(out, m);
        if (a.error) {
            message_token(out, *a.error);
            done_token(out, done_error, cmd_select, 0);
            return false;
        }
        if (!a.new_database.empty()) {
            std::string was = database_->name;
            database_ = server_.catalogue_.find(a.new_database);
            env_text(out, 1, database_->name, was);
        }
        std::uint16_t more = last ? 0 : done_more;
        if (!a.result) {
            done_token(out, static_cast<std::uint16_t>(more | (a.affected ? done_count : 0)), 0,
                       a.affected.value_or(0));
            return true;
        }
        std::optional<std::uint64_t> drop_after;
        for (const auto& [match, rows] : faults.drops)
            if (tds_contains(normal, tds_normalise(match)))
                drop_after = rows;
        return result(*a.result, more, drop_after);
    }

    bool result(const tds_result_set& rs, std::uint16_t more,
                std::optional<std::uint64_t> drop_after) {
        std::string& out = writer_.buffer();
        colmetadata(out, rs.columns);
        std::vector<tds_value> row;
        for (std::uint64_t i = 0; i < rs.row_count; ++i) {
            rs.row(i, row);
            if (drop_after && i == *drop_after) {
                writer_.flush_partial();
                std::string partial;
                row_token(partial, rs.columns, row);
                partial.resize(std::max<std::size_t>(1, partial.size() / 2));
                writer_.buffer() = partial;
                writer_.flush_partial();
                throw drop_connection{};
            }
            row_token(out, rs.columns, row);
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
        done_token(out, static_cast<std::uint16_t>(more | done_count), cmd_select, rs.row_count);
        return true;
    }

    void rpc(std::string_view payload) {
        // Remote procedure calls are not served yet; name the procedure in the log and refuse.
        std::size_t at = 0;
        if (payload.size() >= 4) {
            std::uint32_t total = tds_bytes::get_u32(payload, 0);
            if (total >= 4 && total <= payload.size())
                at = total;
        }
        std::string name = "?";
        if (at + 2 <= payload.size()) {
            std::uint16_t length = tds_bytes::get_u16(payload, at);
            if (length == 0xFFFF && at + 4 <= payload.size())
                name = "#" + std::to_string(tds_bytes::get_u16(payload, at + 2));
            else if (at + 2 + length * 2u <= payload.size())
                name = tds_utf8(payload.substr(at + 2, length * 2u));
        }
        server_.record("RPC " + name);
        std::string& out = writer_.buffer();
        message_token(out, {2812, 62, 16, "Could not find stored procedure '" + name + "'."});
        done_token(out, done_error, 0, 0);
        writer_.end_message();
    }

    tds_server& server_;
    int fd_;
    tds_reader reader_;
    tds_writer writer_;
    const tds_fixture_database* database_ = nullptr;
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

void tds_server::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_ = fault_set{};
}
