// tds_wire: byte building, UTF-8/UTF-16 conversion and packet framing for the TDS test server.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Packet types of the TDS protocol that the server reads or writes.
enum class tds_packet_type : std::uint8_t {
    sql_batch = 0x01,
    rpc = 0x03,
    tabular_result = 0x04,
    attention = 0x06,
    bulk_load = 0x07,
    login7 = 0x10,
    prelogin = 0x12,
};

// A lost or broken client connection; ends the session quietly.
class tds_connection_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Little-endian byte building into a std::string used as a byte buffer.
namespace tds_bytes {
inline void u8(std::string& out, std::uint8_t v) {
    out.push_back(static_cast<char>(v));
}
inline void u16(std::string& out, std::uint16_t v) {
    u8(out, v & 0xFF);
    u8(out, v >> 8);
}
inline void u32(std::string& out, std::uint32_t v) {
    u16(out, v & 0xFFFF);
    u16(out, v >> 16);
}
inline void u64(std::string& out, std::uint64_t v) {
    u32(out, static_cast<std::uint32_t>(v));
    u32(out, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint16_t get_u16(std::string_view in, std::size_t at) {
    if (at + 2 > in.size())
        throw tds_connection_error("truncated TDS message");
    return static_cast<std::uint8_t>(in[at]) | (static_cast<std::uint8_t>(in[at + 1]) << 8);
}
inline std::uint32_t get_u32(std::string_view in, std::size_t at) {
    return get_u16(in, at) | (static_cast<std::uint32_t>(get_u16(in, at + 2)) << 16);
}
} // namespace tds_bytes

// UTF-8 to UTF-16LE bytes; invalid UTF-8 throws std::invalid_argument.
std::string tds_utf16le(std::string_view utf8);
// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD.
std::string tds_utf8(std::string_view utf16le);
// Number of UTF-16 code units of a UTF-8 text.
std::size_t tds_utf16_units(std::string_view utf8);

// B_VARCHAR (byte count of characters) and US_VARCHAR (u16 count) in UTF-16LE.
void tds_b_varchar(std::string& out, std::string_view utf8);
void tds_us_varchar(std::string& out, std::string_view utf8);

// Reads whole TDS messages (one or more packets up to the end-of-message bit) from a socket.
class tds_reader {
public:
    explicit tds_reader(int fd) : fd_(fd) {}
    // Reads the next message; throws tds_connection_error when the peer closes or breaks.
    void read_message(tds_packet_type& type, std::string& payload);
    // True when data is waiting on the socket without blocking.
    bool readable() const;

private:
    void read_exact(char* into, std::size_t size);
    int fd_;
};

// Streams one response message as packets of the negotiated size. While a long result is
// flushed, an ATTENTION from the client is noticed so the result can be cut short.
class tds_writer {
public:
    tds_writer(int fd, tds_reader& reader) : fd_(fd), reader_(reader) {}
    void set_packet_size(std::size_t size);
    std::string& buffer() { return buf_; }
    // Sends full packets while more than a packet is buffered.
    void flush_full_packets();
    // Sends everything buffered, the last packet marked end-of-message.
    void end_message();
    // Sends everything buffered without ending the message (used before a deliberate drop).
    void flush_partial();
    bool attention() const { return attention_; }
    void clear_attention() { attention_ = false; }

private:
    void send_packet(std::string_view data, bool last);
    void poll_attention();
    int fd_;
    tds_reader& reader_;
    std::size_t packet_size_ = 4096;
    std::string buf_;
    std::uint8_t packet_id_ = 1;
    bool attention_ = false;
};
