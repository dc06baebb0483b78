// tds_wire: byte building, UTF-8/UTF-16 conversion and packet framing for the TDS test server.
#include "tests/support/tds_server/tds_wire.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Decodes one code point; returns false on malformed input.
bool next_code_point(std::string_view s, std::size_t& i, char32_t& cp) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = 0;
    if (b < 0x80) {
        cp = b;
    } else if ((b & 0xE0) == 0xC0) {
        cp = b & 0x1F;
        extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
        cp = b & 0x0F;
        extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
        cp = b & 0x07;
        extra = 3;
    } else {
        return false;
    }
    if (i + extra >= s.size())
        return false;
    for (int k = 1; k <= extra; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

void put_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::string tds_utf16le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        if (!next_code_point(utf8, i, cp))
            throw std::invalid_argument("invalid UTF-8 text");
        if (cp >= 0x10000) {
            cp -= 0x10000;
            tds_bytes::u16(out, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            tds_bytes::u16(out, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            tds_bytes::u16(out, static_cast<std::uint16_t>(cp));
        }
    }
    return out;
}

std::string tds_utf8(std::string_view utf16le) {
    std::string out;
    out.reserve(utf16le.size() / 2);
    std::size_t n = utf16le.size() / 2;
    for (std::size_t k = 0; k < n; ++k) {
        char32_t u = tds_bytes::get_u16(utf16le, 2 * k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            char32_t low = tds_bytes::get_u16(utf16le, 2 * (k + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++k;
                continue;
            }
        }
        put_utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    return out;
}

std::size_t tds_utf16_units(std::string_view utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80)
            units += (c >= 0xF0) ? 2 : 1;
    }
    return units;
}

void tds_b_varchar(std::string& out, std::string_view utf8) {
    std::string u = tds_utf16le(utf8);
    if (u.size() / 2 > 255)
        throw std::invalid_argument("name longer than 255 characters");
    tds_bytes::u8(out, static_cast<std::uint8_t>(u.size() / 2));
    out += u;
}

void tds_us_varchar(std::string& out, std::string_view utf8) {
    std::string u = tds_utf16le(utf8);
    if (u.size() / 2 > 65535)
        throw std::invalid_argument("text longer than 65535 characters");
    tds_bytes::u16(out, static_cast<std::uint16_t>(u.size() / 2));
    out += u;
}

void tds_reader::read_exact(char* into, std::size_t size) {
    while (size > 0) {
        ssize_t got = ::recv(fd_, into, size, 0);
        if (got == 0)
            throw tds_connection_error("client closed the connection");
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw tds_connection_error("receive failed");
        }
        into += got;
        size -= static_cast<std::size_t>(got);
    }
}

void tds_reader::read_message(tds_packet_type& type, std::string& payload) {
    payload.clear();
    for (;;) {
        char header[8];
        read_exact(header, sizeof header);
        std::size_t length =
            (static_cast<unsigned char>(header[2]) << 8) | static_cast<unsigned char>(header[3]);
        if (length < 8)
            throw tds_connection_error("malformed TDS packet header");
        type = static_cast<tds_packet_type>(static_cast<unsigned char>(header[0]));
        std::size_t old = payload.size();
        payload.resize(old + length - 8);
        read_exact(payload.data() + old, length - 8);
        if (payload.size() > 64u * 1024 * 1024)
            throw tds_connection_error("client message too large");
        if (header[1] & 0x01)
            return;
    }
}

bool tds_reader::readable() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

void tds_writer::set_packet_size(std::size_t size) {
    packet_size_ = std::max<std::size_t>(512, std::min<std::size_t>(size, 32767));
}

void tds_writer::send_packet(std::string_view data, bool last) {
    char header[8];
    std::size_t length = data.size() + 8;
    header[0] = static_cast<char>(tds_packet_type::tabular_result);
    header[1] = last ? 0x01 : 0x00;
    header[2] = static_cast<char>(length >> 8);
    header[3] = static_cast<char>(length & 0xFF);
    header[4] = header[5] = 0;
    header[6] = static_cast<char>(packet_id_++);
    header[7] = 0;
    std::string packet(header, sizeof header);
    packet.append(data);
    std::size_t sent = 0;
    while (sent < packet.size()) {
        ssize_t n = ::send(fd_, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw tds_connection_error("send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

void tds_writer::poll_attention() {
    if (attention_ || !reader_.readable())
        return;
    tds_packet_type type{};
    std::string payload;
    reader_.read_message(type, payload);
    if (type == tds_packet_type::attention)
        attention_ = true;
}

void tds_writer::flush_full_packets() {
    std::size_t chunk = packet_size_ - 8;
    if (buf_.size() <= chunk)
        return;
    std::size_t at = 0;
    while (buf_.size() - at > chunk) {
        send_packet(std::string_view(buf_).substr(at, chunk), false);
        at += chunk;
        poll_attention();
    }
    buf_.erase(0, at);
}

void tds_writer::flush_partial() {
    flush_full_packets();
    if (!buf_.empty())
        send_packet(buf_, false);
    buf_.clear();
}

void tds_writer::end_message() {
    flush_full_packets();
    send_packet(buf_, true);
    buf_.clear();
    packet_id_ = 1;
}
