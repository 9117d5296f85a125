// The GIF89a byte stream, its LZW coder and the two byte sinks.
#include "codec/gif.h"

#include "base/util.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace gif {

// ---------------------------------------------------------------------------
// Sinks

std::expected<void, std::string> MemorySink::write(std::span<const uint8_t> bytes)
{
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return {};
}

namespace {
constexpr size_t FILE_BUFFER = 1 << 20;
}

std::expected<std::unique_ptr<FileSink>, std::string> FileSink::create(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::unexpected(util::error_text(errno));
    return std::unique_ptr<FileSink>(new FileSink(fd));
}

std::unique_ptr<FileSink> FileSink::adopt(int fd)
{
    return std::unique_ptr<FileSink>(new FileSink(fd));
}

FileSink::FileSink(int fd)
    : m_fd(fd)
{
    m_buffer.reserve(FILE_BUFFER);
}

FileSink::~FileSink()
{
    ::close(m_fd);
}

std::expected<void, std::string> FileSink::write_all(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(util::error_text(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

std::expected<void, std::string> FileSink::write(std::span<const uint8_t> bytes)
{
    if (m_buffer.size() + bytes.size() > FILE_BUFFER) {
        if (auto r = flush(); !r)
            return r;
    }
    if (bytes.size() >= FILE_BUFFER)
        return write_all(bytes.data(), bytes.size());
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
    return {};
}

std::expected<void, std::string> FileSink::flush()
{
    auto r = write_all(m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return r;
}

// ---------------------------------------------------------------------------
// Tables, delays

std::optional<std::vector<uint16_t>> frame_delays(std::span<const uint8_t> file)
{
    size_t at = 0;
    const auto need = [&](size_t n) { return at + n <= file.size(); };
    // Sub-blocks: a length byte, that many bytes, until a zero length.
    const auto skip_blocks = [&]() {
        while (need(1)) {
            const size_t len = file[at++];
            if (len == 0)
                return true;
            if (!need(len))
                return false;
            at += len;
        }
        return false;
    };
    const auto table_size = [](uint8_t packed) { return (packed & 0x80) ? 3 * (size_t { 2 } << (packed & 7)) : 0; };
    if (!need(13) || std::memcmp(file.data(), "GIF8", 4) != 0)
        return std::nullopt;
    at = 13 + table_size(file[10]);
    std::vector<uint16_t> delays;
    uint16_t pending = 0;
    while (need(1)) {
        const uint8_t introducer = file[at++];
        if (introducer == 0x3B)
            return delays;
        if (introducer == 0x21) {
            if (!need(1))
                return std::nullopt;
            const uint8_t label = file[at++];
            if (label == 0xF9 && need(6) && file[at] == 4)
                pending = static_cast<uint16_t>(file[at + 2] | file[at + 3] << 8);
            if (!skip_blocks())
                return std::nullopt;
        } else if (introducer == 0x2C) {
            if (!need(10))
                return std::nullopt;
            at += 8;
            const uint8_t packed = file[at++];
            at += table_size(packed) + 1; // local table, LZW minimum code size
            if (!need(0) || !skip_blocks())
                return std::nullopt;
            delays.push_back(pending);
            pending = 0;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

uint32_t table_bits(size_t n)
{
    uint32_t b = 1;
    while ((size_t { 1 } << b) < n)
        ++b;
    return b;
}

void write_table(std::vector<uint8_t>& out, const Palette& palette, uint32_t bits)
{
    const size_t entries = size_t { 1 } << bits;
    for (size_t i = 0; i < entries; ++i) {
        const Rgb c = i < palette.size() ? palette[i] : Rgb {};
        out.push_back(c.r);
        out.push_back(c.g);
        out.push_back(c.b);
    }
}

uint64_t slot_delay_cs(uint64_t i, uint64_t j, double fps)
{
    const double a = std::round(static_cast<double>(i) * 100.0 / fps);
    const double b = std::round(static_cast<double>(j) * 100.0 / fps);
    const double d = b - a;
    if (!(d >= 1.0))
        return 1;
    if (d >= 65535.0)
        return 65535;
    return static_cast<uint64_t>(d);
}

// ---------------------------------------------------------------------------
// LZW

namespace {

// Codes go out least-significant bit first.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out)
        : m_out(out)
    {
    }
    void put(uint32_t code, uint32_t width)
    {
        m_acc |= static_cast<uint64_t>(code) << m_bits;
        m_bits += width;
        while (m_bits >= 8) {
            m_out.push_back(static_cast<uint8_t>(m_acc));
            m_acc >>= 8;
            m_bits -= 8;
        }
    }
    void finish()
    {
        if (m_bits > 0)
            m_out.push_back(static_cast<uint8_t>(m_acc));
        m_acc = 0;
        m_bits = 0;
    }

private:
    std::vector<uint8_t>& m_out;
    uint64_t m_acc = 0;
    uint32_t m_bits = 0;
};

constexpr uint32_t DICT_SLOTS = 8192;
constexpr uint32_t MAX_CODES = 4096;

} // namespace

std::vector<uint8_t> lzw_encode(std::span<const uint8_t> indices, uint8_t min_code_size)
{
    if (min_code_size < 2 || min_code_size > 8)
        util::fatal("tamaño de código LZW inválido");
    std::vector<uint8_t> out;
    out.reserve(indices.size() / 2 + 16);
    BitWriter bits(out);
    const uint32_t clear = 1u << min_code_size;
    const uint32_t end = clear + 1;
    uint32_t width = min_code_size + 1u;
    uint32_t next = clear + 2;
    bits.put(clear, width);
    if (indices.empty()) {
        bits.put(end, width);
        bits.finish();
        return out;
    }

    // The key of "string p followed by k" is ((p << 8) | k) + 1, so 0 marks an
    // empty slot. At most 4096 - clear - 2 keys are live: the table never fills.
    std::unique_ptr<uint32_t[]> keys(new uint32_t[DICT_SLOTS]());
    std::unique_ptr<uint16_t[]> codes(new uint16_t[DICT_SLOTS]);
    uint32_t prefix = indices[0];
    uint32_t seen = prefix;
    for (size_t i = 1; i < indices.size(); ++i) {
        const uint32_t k = indices[i];
        seen |= k;
        const uint32_t key = ((prefix << 8) | k) + 1;
        uint32_t slot = (key * 0x9E3779B1u) >> 19;
        while (keys[slot] != 0 && keys[slot] != key)
            slot = (slot + 1) & (DICT_SLOTS - 1);
        if (keys[slot] == key) {
            prefix = codes[slot];
            continue;
        }
        bits.put(prefix, width);
        keys[slot] = key;
        codes[slot] = static_cast<uint16_t>(next);
        ++next;
        if (next > (1u << width) && width < 12)
            ++width;
        if (next == MAX_CODES) {
            // Code 4095 is taken: start afresh before a 13-bit code is needed.
            bits.put(clear, width);
            std::memset(keys.get(), 0, DICT_SLOTS * sizeof(uint32_t));
            next = clear + 2;
            width = min_code_size + 1u;
        }
        prefix = k;
    }
    if (seen >> min_code_size)
        util::fatal("índice fuera de la tabla de colores");
    bits.put(prefix, width);
    // The decoder widens after this last code too; the end code follows suit.
    const uint32_t end_width = (next + 1 > (1u << width) && width < 12) ? width + 1 : width;
    bits.put(end, end_width);
    bits.finish();
    return out;
}

// ---------------------------------------------------------------------------
// The stream

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// Graphic control extension, image descriptor, optional local table and the
// data in sub-blocks of at most 255 bytes.
void append_frame(std::vector<uint8_t>& out, const Encoded& f, uint32_t delay)
{
    out.insert(out.end(), { 0x21, 0xF9, 0x04 });
    // Disposal 1 (leave in place): the next frame draws over this one.
    out.push_back(static_cast<uint8_t>(0x04 | (f.transparent ? 1 : 0)));
    put16(out, delay);
    out.push_back(f.transparent.value_or(0));
    out.push_back(0x00);

    out.push_back(0x2C);
    put16(out, f.left);
    put16(out, f.top);
    put16(out, f.width);
    put16(out, f.height);
    if (!f.local_palette.empty()) {
        const uint32_t b = table_bits(f.local_palette.size() + (f.transparent ? 1 : 0));
        out.push_back(static_cast<uint8_t>(0x80 | (b - 1)));
        write_table(out, f.local_palette, b);
    } else {
        out.push_back(0x00);
    }
    out.push_back(f.min_code_size);
    for (size_t at = 0; at < f.data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, f.data.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), f.data.begin() + static_cast<std::ptrdiff_t>(at), f.data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    out.push_back(0x00);
}

// A 1x1 fully transparent image that only adds time: it carries the part of
// a merged delay that a single 16-bit delay field cannot hold.
const Encoded& filler_frame()
{
    static const Encoded filler = [] {
        Encoded e;
        e.local_palette = { Rgb {} };
        e.transparent = 1;
        e.width = 1;
        e.height = 1;
        e.min_code_size = 2;
        const uint8_t index = 1;
        e.data = lzw_encode(std::span(&index, 1), 2);
        return e;
    }();
    return filler;
}

} // namespace

std::expected<void, std::string> GifEncoder::write_header()
{
    std::vector<uint8_t> out;
    out.reserve(13 + 3 * 256 + 19);
    const char* magic = "GIF89a";
    out.insert(out.end(), magic, magic + 6);
    put16(out, static_cast<uint32_t>(m_width));
    put16(out, static_cast<uint32_t>(m_height));
    uint32_t bits = 0;
    if (m_global) {
        // One spare entry after the palette: the transparent index of frames
        // that use the global table.
        bits = table_bits(m_global->palette.size() + 1);
        out.push_back(static_cast<uint8_t>(0x80 | (bits - 1)));
    } else {
        out.push_back(0x00);
    }
    out.push_back(0);  // background colour index
    out.push_back(0);  // pixel aspect ratio
    if (m_global)
        write_table(out, m_global->palette, bits);
    out.insert(out.end(), { 0x21, 0xFF, 0x0B });
    const char* app = "NETSCAPE2.0";
    out.insert(out.end(), app, app + 11);
    out.insert(out.end(), { 0x03, 0x01, 0x00, 0x00, 0x00 });  // loop forever
    if (auto r = m_sink->write(out); !r)
        return r;
    m_counts.bytes_written += out.size();
    m_header_written = true;
    return {};
}

std::expected<void, std::string> GifEncoder::write_frame(const Encoded& frame)
{
    std::vector<uint8_t> out;
    out.reserve(frame.data.size() + frame.data.size() / 255 + 800);
    append_frame(out, frame, std::min<uint32_t>(frame.delay, 65535));
    uint64_t written = 1;
    for (uint32_t rest = frame.delay > 65535 ? frame.delay - 65535 : 0; rest > 0;) {
        const uint32_t d = std::min<uint32_t>(rest, 65535);
        append_frame(out, filler_frame(), d);
        rest -= d;
        ++written;
    }
    if (auto r = m_sink->write(out); !r)
        return r;
    m_counts.frames_written += written;
    m_counts.bytes_written += out.size();
    return {};
}

} // namespace gif
