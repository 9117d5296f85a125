// gif: the animated GIF encoder.
//
// Three layers, all pure computation on caller-owned memory:
//  - the GIF89a byte stream and its LZW coder (gif.cpp),
//  - colour reduction: exact palettes, median cut, nearest mapping, and the
//    two size helpers the video export needs (gif_color.cpp),
//  - the pipeline: batches of frames differenced against the running canvas,
//    cropped, colour-reduced and LZW-coded on worker threads, written in
//    display order (gif_encoder.cpp).
//
// Pixels are u32 words 0x00RRGGBB, row by row, top row first. Inside the
// pipeline bit 24 marks an unchanged pixel (its low 24 bits still hold the
// colour), which may be written as transparent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gif {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
using Palette = std::vector<Rgb>;

constexpr uint32_t UNCHANGED = 0x01000000;

// ---------------------------------------------------------------------------
// Byte sinks. The encoder hands each header and each frame to its sink in one
// write; both sinks produce the same bytes.

class Sink {
public:
    virtual ~Sink() = default;
    // Appends `bytes`. On failure nothing is known to be written; the error is
    // the system's text of the I/O error.
    virtual std::expected<void, std::string> write(std::span<const uint8_t> bytes) = 0;
    // Hands buffered bytes on; GifEncoder::finish calls it last.
    virtual std::expected<void, std::string> flush() { return {}; }
};

// The whole file in memory; writing never fails.
class MemorySink final : public Sink {
public:
    std::expected<void, std::string> write(std::span<const uint8_t> bytes) override;
    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    std::vector<uint8_t> take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
};

// A file written through a 1 MiB buffer. create() makes or truncates the file
// (mode 0666 before the umask). The buffer goes out on flush() (which
// GifEncoder::finish calls); the destructor only closes the descriptor, so
// bytes are never written behind the back of whoever checks for errors.
class FileSink final : public Sink {
public:
    [[nodiscard]] static std::expected<std::unique_ptr<FileSink>, std::string> create(const std::filesystem::path& path);
    // Takes over a descriptor open for writing (the destructor closes it).
    [[nodiscard]] static std::unique_ptr<FileSink> adopt(int fd);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    std::expected<void, std::string> write(std::span<const uint8_t> bytes) override;
    std::expected<void, std::string> flush() override;

private:
    explicit FileSink(int fd);
    std::expected<void, std::string> write_all(const uint8_t* data, size_t size);
    int m_fd;
    std::vector<uint8_t> m_buffer;
};

// ---------------------------------------------------------------------------
// The stream layer.

// One frame ready for the stream.
struct Encoded {
    Palette local_palette;  // empty: the frame uses the global table
    std::vector<uint8_t> data;  // LZW-coded indices, not yet cut into sub-blocks
    uint32_t delay = 0;  // hundredths of a second; may exceed 65535 after merges
    std::optional<uint8_t> transparent;
    uint16_t left = 0, top = 0, width = 0, height = 0;
    uint8_t min_code_size = 2;
};

// Smallest b >= 1 with 2^b >= n.
uint32_t table_bits(size_t n);
// Appends exactly 2^bits RGB entries: the palette, then black.
void write_table(std::vector<uint8_t>& out, const Palette& palette, uint32_t bits);
// Variable-width GIF LZW (min code size 2..8), with a clear code whenever
// code 4095 has been assigned.
std::vector<uint8_t> lzw_encode(std::span<const uint8_t> indices, uint8_t min_code_size);
// Delay in hundredths of a second of a frame at slot i followed by one at
// slot j, for `fps` slots per second; each slot's time is rounded on its own
// so delays never drift. Clamped to 1..65535.
uint64_t slot_delay_cs(uint64_t i, uint64_t j, double fps);

// The delay of every image of a GIF file, in hundredths of a second exactly
// as stored (0 for an image without a graphic control extension); nothing when
// the block structure is broken before the trailer. Image readers round small
// delays up for display, which a measurement must not do.
std::optional<std::vector<uint16_t>> frame_delays(std::span<const uint8_t> file);

// ---------------------------------------------------------------------------
// Colour reduction (gif_color.cpp).

// A set of at most 256 colours with their palette indices, hashed into 1024
// slots so it is never more than a quarter full.
class ColorSet final {
public:
    ColorSet();
    static ColorSet from_palette(const Palette& palette);
    // True when the colour was added (with the next index).
    bool insert(uint32_t colour);
    std::optional<uint8_t> find(uint32_t colour) const
    {
        uint32_t slot = home(colour);
        while (m_slots[slot] != EMPTY) {
            if (m_slots[slot] == colour)
                return m_index[slot];
            slot = (slot + 1) & 1023;
        }
        return std::nullopt;
    }
    const std::vector<uint32_t>& colours() const { return m_colours; }
    size_t size() const { return m_colours.size(); }
    Palette palette() const;

private:
    static constexpr uint32_t EMPTY = 0xFFFFFFFF;
    static uint32_t home(uint32_t colour) { return (colour * 0x9E3779B1u) >> 22; }
    // The slot holding `colour`, or the empty slot where it would go.
    uint32_t probe(uint32_t colour) const;
    std::vector<uint32_t> m_slots;
    std::vector<uint8_t> m_index;
    std::vector<uint32_t> m_colours;
};

struct Indexed {
    Palette palette;
    std::vector<uint8_t> indices;
};

// The exact palette of the changed pixels and one index per pixel, or nothing
// when there are more than `max_colours` distinct changed colours. Unchanged
// pixels keep the current index when their colour has it (longer LZW runs),
// else get the transparent index T = palette length.
std::optional<Indexed> exact_palette(std::span<const uint32_t> pixels, size_t max_colours);

// Indices for a frame on a palette whose packed RGB colours are `colours`
// (index = position) and whose colour positions `set` finds: a changed pixel
// (alpha 0) gets its colour's index, an unchanged one (alpha set) goes on with
// the current run when it has the run's colour, else the transparent index
// colours.size(). None when a changed colour is missing from `set`.
std::optional<std::vector<uint8_t>> map_onto(std::span<const uint32_t> pixels, const ColorSet& set, std::span<const uint32_t> colours);

struct ColorPoint {
    float r, g, b, weight;
};
struct ColorBox {
    size_t start, end;
    int axis;  // 0 red, 1 green, 2 blue
    float score;
    float r, g, b;
};
ColorBox cube(std::span<const ColorPoint> points, size_t start, size_t end);

// A 5-5-5 colour histogram (1 MiB); median cut builds palettes from it.
// While no more than EXACT_COLOURS distinct colours have been added it also
// counts them exactly, and the median cut then works on the exact colours:
// screen content (a gradient wallpaper, anti-aliased text) often has a few
// hundred colours packed into few 5-5-5 cells, where cell means would waste
// most of the palette and blur neighbouring shades together.
class Histogram final {
public:
    static constexpr size_t EXACT_COLOURS = 4096;
    Histogram();
    // Empty again, as newly made, in the memory it already has: an encoding
    // thread keeps one for all its frames rather than map a mebibyte afresh
    // for each.
    void clear();
    void add(uint32_t colour)
    {
        const uint32_t bin = ((colour >> 19) & 0x1F) << 10 | ((colour >> 11) & 0x1F) << 5 | ((colour >> 3) & 0x1F);
        Bin& b = m_bins[bin];
        b.count += 1;
        b.r += (colour >> 16) & 0xFF;
        b.g += (colour >> 8) & 0xFF;
        b.b += colour & 0xFF;
        if (m_exact_ok)
            add_exact(colour);
    }
    // True while every colour added is counted exactly.
    bool exact() const { return m_exact_ok; }
    // Weighted median cut with one refinement pass: 1..max(n, 1) colours.
    Palette palette(size_t n) const;

private:
    struct Bin {
        uint64_t count, r, g, b;
    };
    void add_exact(uint32_t colour);
    std::vector<Bin> m_bins;
    std::vector<uint32_t> m_exact_keys;  // colour + 1; 0 = empty
    std::vector<uint64_t> m_exact_counts;
    size_t m_exact_size = 0;
    bool m_exact_ok = true;
};

constexpr uint32_t NO_LIMIT = 2147483647;

// Maps every pixel of a frame rectangle (at left, top on the canvas) to its
// nearest palette colour, optionally with an 8x8 ordered dither anchored to
// the canvas. Returns nothing when a changed pixel's colour is more than
// `limit` away (in any channel) from the colour chosen for it.
std::optional<std::vector<uint8_t>> map_nearest(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top,
    const Palette& palette, bool dither, uint32_t transparent, uint32_t limit);

// A palette of at most max_colours and the indices: exact when possible,
// otherwise median cut and nearest mapping (without dither every distinct
// colour gets its own nearest entry; with dither map_nearest's cells and
// pattern apply). Never fails.
Indexed quantize(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top, size_t max_colours, bool dither);
// The same without the exact attempt, for callers that know it cannot fit;
// `histogram` is working memory, cleared first.
Indexed quantize_inexact(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top, size_t max_colours, bool dither,
    Histogram& histogram);

struct Size {
    uint32_t width, height;
    friend bool operator==(const Size&, const Size&) = default;
};
// The output size for a largest width (0 = no limit); each side at least 1.
Size fit_width(uint32_t width, uint32_t height, uint32_t max_width);
// Area-average resampling to exactly dst_width x dst_height pixels (a box
// filter, which also serves the rare enlargement). `pixels` must hold
// src_width x src_height words.
std::vector<uint32_t> resize(std::span<const uint32_t> pixels, size_t src_width, size_t src_height, size_t dst_width, size_t dst_height);

// ---------------------------------------------------------------------------
// The pipeline (gif_encoder.cpp).

struct Frame {
    std::vector<uint32_t> pixels;  // width x height words 0x00RRGGBB
    uint16_t delay = 0;  // hundredths of a second
};

struct GifOptions {
    std::optional<Palette> palette;  // fixed palette, 1..255 colours
    size_t threads = 0;  // 0 = the available parallelism
    bool dither = false;  // 8x8 ordered dither where colours are approximated
    // A pixel within this of the canvas in every channel is unchanged, except
    // between two changed pixels of its row, where only a difference of 1 is.
    uint8_t threshold = 0;
    uint8_t tolerance = 0;  // largest channel error accepted to use the global palette
    // Given each pushed frame's pixel buffer (width x height words, contents
    // left over) once the encoder is done with it, on the thread that pushes
    // or finishes, so the caller can fill it with a later frame; unset: the
    // buffers are freed.
    std::function<void(std::vector<uint32_t>)> spent = {};
};

// A frame after differencing: the changed rectangle only.
struct Prepared {
    std::vector<uint32_t> pixels;  // unchanged pixels carry UNCHANGED
    size_t left = 0, top = 0, width = 0, height = 0;
    uint32_t delay = 0;
};

// How a batch's frames choose colours.
struct PaletteMode {
    enum class Kind { Fixed, Global } kind = Kind::Global;
    const Palette* palette = nullptr;
    const ColorSet* set = nullptr;  // Global only
    uint8_t tolerance = 0;  // Global only
};

// Colour-reduces and LZW-codes one prepared frame. `histogram` is the
// calling thread's working memory for the median cut (made on first need).
Encoded encode_frame(const Prepared& frame, const PaletteMode& mode, bool dither, std::unique_ptr<Histogram>& histogram);

struct Counts {
    uint64_t frames_received = 0;
    uint64_t frames_written = 0;
    uint64_t bytes_written = 0;
};

// One animated GIF over a sink. Frames are pushed in display order; batches
// are differenced against the canvas, encoded in parallel and written; the
// last encoded frame is held back so later unchanged frames can extend it.
class GifEncoder final {
public:
    // Fails with "tamaño de GIF inválido" for a side outside 1..65535 and with
    // "paleta fija inválida" for a fixed palette of 0 or more than 255 colours.
    // The sink must outlive the encoder.
    [[nodiscard]] static std::expected<GifEncoder, std::string> create(Sink& sink, size_t width, size_t height, GifOptions options);

    // Appends a frame; a full batch is encoded and written at once. A frame of
    // another size is refused with "cuadro de tamaño distinto".
    std::expected<void, std::string> push(Frame frame);
    // Processes and empties the batch; returns the sink's first error.
    std::expected<void, std::string> flush_batch();
    std::expected<void, std::string> write_header();
    // Writes one frame. A delay above 65535 (merged frames) is not cut: the
    // rest follows in 1x1 transparent frames, so the animation keeps its time.
    std::expected<void, std::string> write_frame(const Encoded& frame);
    // The last batch, the header if no frame came, the held-back frame and
    // the trailer; then the sink is flushed.
    std::expected<Counts, std::string> finish();

    const Counts& counts() const { return m_counts; }
    size_t threads() const { return m_threads; }
    size_t batch_size() const { return m_batch_size; }
    // Frames per batch: about 64 MiB of pixels, at least min(threads, 8) and
    // at most 4 x threads frames. The encoder sizes its batches for
    // BATCH_THREADS whatever its own thread count: the global palette comes
    // from the first batch, and the same frames must give the same file on
    // any machine and at any load.
    static size_t batch_size_for(size_t width, size_t height, size_t threads);
    static constexpr size_t BATCH_THREADS = 8;

private:
    GifEncoder(Sink& sink, size_t width, size_t height, GifOptions options);
    struct Global {
        Palette palette;
        ColorSet set;
    };
    std::vector<std::optional<Prepared>> diff(std::vector<Frame>& batch, std::vector<uint32_t>& delays, bool first);
    std::vector<Encoded> encode_parallel(const std::vector<std::optional<Prepared>>& prepared, const PaletteMode& mode);
    // Hands a frame's buffer to options.spent when it is whole, else frees it.
    void give_back(std::vector<uint32_t>& pixels);

    Sink* m_sink;
    std::vector<uint32_t> m_canvas;
    std::vector<Frame> m_batch;
    GifOptions m_options;
    std::optional<Global> m_global;
    std::optional<Encoded> m_pending;
    // Each encoding worker's histogram, kept from batch to batch.
    std::vector<std::unique_ptr<Histogram>> m_histograms;
    size_t m_width, m_height;
    size_t m_threads;
    size_t m_batch_size;
    Counts m_counts;
    bool m_first_batch_done = false;
    bool m_header_written = false;
};

struct EncodeResult {
    std::vector<uint8_t> bytes;
    Counts counts;
};
// The whole file in memory. Errors: "tamaño de GIF inválido", "paleta fija
// inválida", "cuadro de tamaño distinto"; nothing is produced then.
std::expected<EncodeResult, std::string> encode(std::vector<Frame> frames, size_t width, size_t height, GifOptions options);

} // namespace gif
