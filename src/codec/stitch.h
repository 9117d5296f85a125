// stitch: turns the frames of a scrolling capture into one tall (or wide) image.
//
// The stitcher works on plain BGRA buffers and knows nothing of windows or
// screens. Every frame is compared with the reference frame of each track by
// per-row signatures (a 64-bit hash, a single-colour flag and a coarse luma
// profile): leading and trailing rows that did not change are the fixed header
// and footer, and the band between them is searched for the offset by which
// the content moved. Newly revealed rows are appended; the header is taken
// once from the first frame and the footer is placed once, at the very end.
//
// Threads: a Stitcher and a Preview are single-owner values without locks.
// Unless the stitcher is told otherwise, within one push the row signatures of
// a large frame are computed on scoped worker threads that all end before the
// push goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stitch {

// A borrowed view of one frame: 4 bytes per pixel in the order B, G, R, A.
// Row r starts at byte stride × r and holds 4 × width bytes; stride is at
// least 4 × width and `data` holds at least stride × (height − 1) + 4 × width
// bytes. Pushing a frame that breaks this stops the process: the stitcher
// never reads past the end of `data`.
struct Frame {
    std::span<const std::uint8_t> data;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
};

// Which way a track's content scrolls. A Horizontal track sees every frame
// transposed, so that its columns become rows.
enum class Axis : std::uint8_t { Vertical = 0, Horizontal = 1 };

// The outcome of one frame.
struct Step {
    enum class Kind : std::uint8_t {
        First = 0,     // the first frame was taken
        Unchanged = 1, // no movement, or too small to use
        Moved = 2,     // the content moved by `offset` rows; `added` rows were appended
        Lost = 3,      // the frame could not be placed
        Mismatch = 4,  // the frame's size differs from the first frame's, or is zero
        Full = 5,      // the row limit has been reached
    };
    Kind kind = Kind::Unchanged;
    // Moved only. Positive: the content moved up (scrolled forward): row r of
    // the new frame shows what row r + offset of the reference frame showed.
    std::int64_t offset = 0;
    std::uint64_t added = 0;

    static Step moved(std::int64_t offset, std::uint64_t added) { return {Kind::Moved, offset, added}; }
    bool operator==(const Step&) const = default;
};
inline constexpr Step STEP_FIRST{Step::Kind::First};
inline constexpr Step STEP_UNCHANGED{Step::Kind::Unchanged};
inline constexpr Step STEP_LOST{Step::Kind::Lost};
inline constexpr Step STEP_MISMATCH{Step::Kind::Mismatch};
inline constexpr Step STEP_FULL{Step::Kind::Full};

// "First", "Unchanged", "Moved { offset: 40, added: 40 }", ...
std::string debug_text(const Step& step);

// ---------------------------------------------------------------------------
// Row signatures and offset search.

// The row signatures of one frame.
struct Sig {
    std::vector<std::uint64_t> hashes; // one per row
    std::vector<std::uint8_t> uniform; // one per row: 1 when every pixel equals the first
    std::vector<std::uint8_t> bins;    // nbins per row, rows one after the other
    std::uint32_t nbins = 0;           // min(width, 32)

    std::size_t rows() const { return hashes.size(); }
};

struct RowHash {
    std::uint64_t hash = 0;
    bool uniform = false;
};

// The hash of one row (4 × width bytes, at least 4) and whether every pixel
// equals the first. Seedless: the same bytes hash alike on every run and machine.
RowHash hash_row(std::span<const std::uint8_t> row);

// The nbins + 1 bin edges for a row of `width` pixels (nbins = min(width, 32)).
std::vector<std::uint32_t> bin_edges(std::uint32_t width);

// One byte per bin into `out`: the rounded mean of (B + 2G + R) / 4 over the
// bin's pixels. `edges` has out.size() + 1 entries.
void luma_bins(std::span<const std::uint8_t> row, std::span<const std::uint32_t> edges,
               std::span<std::uint8_t> out);

// Frames of at least this many pixels are signed on several threads.
inline constexpr std::uint64_t PARALLEL_PIXELS = 262'144;

// Worker threads for signing a frame of `pixels` pixels: 1 below the
// threshold, else min(available parallelism, 8), capped by the worker limit.
unsigned sign_workers(std::uint64_t pixels);

// Caps the worker threads of every later signature pass (0: no cap). For the
// benchmarks, which time a push on 1, 2 and all threads in one run.
void set_worker_limit(unsigned limit);

// The signature pass: `workers` chunks of rows, each on its own scoped thread
// (on the calling thread when `workers` is 1). The frame must be valid.
Sig sign(const Frame& frame, unsigned workers);
// The same into `sig`, whose lists are overwritten but keep their memory.
void sign_into(const Frame& frame, unsigned workers, Sig& sig);
inline Sig sign(const Frame& frame)
{
    return sign(frame, sign_workers(std::uint64_t(frame.width) * frame.height));
}

// How rows are compared. Tolerant lets a caret, the pointer or noise through
// (luma bins, below); Exact takes equal hashes only, for content so sparse
// that it changes no more bins than a caret does (narrow text at one edge of
// a plain page, lines that differ in a digit or two, a change a few columns
// wide).
enum class Match : std::uint8_t { Tolerant = 0, Exact = 1 };

// Tolerant equality of row `row` in two frames: equal hashes, or luma bins
// that differ by at most one level per bin on average once the worst pair of
// neighbouring bins is set aside (room for a caret or a pointer).
bool rows_equal(const Sig& prev, const Sig& cur, std::size_t row);

// The offset by which rows top to end − 1 (the band that changed) moved, or
// nothing when it cannot be placed. Candidates are the best-voted offsets of
// rows whose hashes are unique in the reference band, 0 and the hint; when
// none verifies, a correlation of per-row luma sums proposes others.
std::optional<std::int64_t> find_offset(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                        std::size_t min_overlap, std::int64_t hint, Match match = Match::Tolerant);

// Verifies candidate offsets row by row over the band and returns the best
// valid one (at least 8 compared rows, at least 80 % matched), ties settled by
// ratio, then by closeness to the hint or the lower mean difference.
// With Match::Exact a row counts as matched only when its hashes are equal.
std::optional<std::int64_t> verify(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                   std::vector<std::int64_t> candidates, std::int64_t hint,
                                   Match match = Match::Tolerant);

// The parts of find_offset, exposed for tests.
// A valid candidate's share of matched rows and mean bin difference per row.
struct Score {
    double ratio = 0;
    double mean = 0;
};
// Whether valid candidate c (visited after `best`, so larger) takes its place:
// a ratio higher by more than 0.02; or, with ratios within 0.02, means within
// 0.5 and c strictly closer to the hint; or a mean lower by more than 0.5.
bool replaces(Score c, std::int64_t c_offset, Score best, std::int64_t best_offset, std::int64_t hint);
// Offsets with at least 2 votes, most votes first (ties ascending), at most 4.
std::vector<std::int64_t> voted_offsets(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                        std::int64_t max_shift);
// Per-row sums of the bins of rows top to end − 1.
std::vector<std::uint32_t> row_profile(const Sig& sig, std::size_t top, std::size_t end);
// ⌊SAD × 1024 / n⌋ of the two profiles overlapped at shift s (64-bit: a band
// of a few hundred bright rows already overflows 32 bits).
std::uint64_t profile_score(std::span<const std::uint32_t> prev, std::span<const std::uint32_t> cur, std::int64_t s);
// The fallback's picks: the best-scoring shifts, no two within 2, at most 6.
std::vector<std::int64_t> profile_offsets(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                          std::int64_t max_shift);

// ---------------------------------------------------------------------------
// Tracks and the stitcher.

// Writes the transposed frame into `out`, resized to fit and wholly
// overwritten: width = the frame's height, height = the frame's width, rows
// packed; result row i is frame column i read from the top down. Works in
// 16 × 16 tiles for locality. Stops the process on an invalid frame.
void transpose(const Frame& frame, std::vector<std::uint8_t>& out);

// A growable byte buffer for the stitched rows. It grows through the C
// library's realloc, which moves large blocks by remapping their pages rather
// than copying them, so appending to hundreds of megabytes of rows does not
// stall a push for a copy of all of them.
class Buffer {
public:
    Buffer() = default;
    ~Buffer();
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Appends n bytes; throws std::bad_alloc when memory runs out.
    void append(const std::uint8_t* bytes, std::size_t n);
    // Extends the size by n bytes and returns where they start, for the
    // caller to fill; throws std::bad_alloc when memory runs out.
    std::uint8_t* grow(std::size_t n);
    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::span<const std::uint8_t> bytes() const { return {m_data, m_size}; }
    // Hands the block over: the caller frees it with std::free.
    std::uint8_t* release();

private:
    void reserve(std::size_t capacity);

    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// A finished image or preview: BGRA, packed rows of 4 × width bytes.
struct Image {
    Buffer pixels;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The state of one scroll axis.
class Track {
public:
    // sign_threads: the threads signing each frame; 0 picks them by the
    // frame's size (sign_workers).
    explicit Track(std::uint32_t max_rows, unsigned sign_threads = 0);

    Step push(const Frame& frame);
    // Appends up to `count` packed rows to the output; sets full when fewer fit.
    void emit(const std::uint8_t* bytes, std::uint64_t count);
    // The tail becomes the frame's rows from `first_row` to the bottom.
    void set_tail(const Frame& frame, std::uint32_t first_row);

    bool has_reference() const { return m_prev.has_value(); }
    const Buffer& out() const { return m_out; }
    const std::vector<std::uint8_t>& tail() const { return m_tail; }
    std::uint32_t width() const { return m_width; }
    std::uint32_t height() const { return m_height; }
    std::uint32_t rows() const { return m_rows; }
    std::uint32_t tail_rows() const;
    std::int64_t pos() const { return m_pos; }
    std::uint32_t tail_from() const { return m_tail_from; }
    std::int64_t hint() const { return m_hint; }
    std::uint64_t frames() const { return m_frames; }
    // Frames that changed beyond a caret's worth but could not be placed.
    std::uint64_t unjoined() const { return m_unjoined; }
    bool full() const { return m_full; }

    // Output plus tail, consuming the track's buffers.
    Image take_image();

private:
    Buffer m_out;                     // stitched rows, packed
    std::vector<std::uint8_t> m_tail; // reference rows tail_from..height − 1, packed
    std::optional<Sig> m_prev;        // signatures of the reference frame
    Sig m_spare;                      // the current frame's, then the next reference's
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    std::uint32_t m_rows = 0;
    std::int64_t m_pos = 0; // output row of the reference frame's row 0
    std::uint32_t m_tail_from = 0;
    std::uint32_t m_min_footer = UINT32_MAX;
    std::int64_t m_hint = 0;
    std::uint64_t m_frames = 0;
    std::uint64_t m_unjoined = 0;
    std::uint32_t m_max_rows;
    unsigned m_sign_threads;
    bool m_full = false;
};

class Stitcher {
public:
    // Mode 0: one Vertical track; mode 2: Vertical and Horizontal, racing
    // until one of them moves; any other mode: one Horizontal track.
    // sign_threads as for Track: a caller that already pushes on a thread of
    // its own may want 1, spawning no threads per frame.
    Stitcher(std::uint8_t mode, std::uint32_t max_rows, unsigned sign_threads = 0);

    // One frame into every track. Stops the process on a frame whose data are
    // shorter than its view claims.
    Step push(const Frame& frame);

    // The finished image in screen orientation, or nothing when no frame was
    // ever taken. Consumes the stitcher.
    std::optional<Image> finish() &&;

    std::size_t track_count() const { return m_tracks.size(); }
    Axis axis() const { return m_tracks.front().axis; }
    const Track& track() const { return m_tracks.front().track; }
    // Frames the first track has taken in, the first included.
    std::uint64_t frames() const { return track().frames(); }
    // Frames of the first track that changed but could not be placed.
    std::uint64_t unjoined() const { return track().unjoined(); }
    // The first track's current length in rows: stitched rows plus kept tail rows.
    std::uint64_t length() const { return std::uint64_t(track().rows()) + track().tail_rows(); }

private:
    struct Entry {
        Axis axis;
        Track track;
    };
    std::vector<Entry> m_tracks;
    std::vector<std::uint8_t> m_scratch; // the transposed frame of the horizontal axis
};

// The live preview strip: the stitched rows reduced by an integer factor, in
// track orientation, grown by whole blocks as rows are added.
class Preview {
public:
    explicit Preview(std::uint32_t target_width); // 0 counts as 1

    // Reduces the rows the first track added since the last update. Returns
    // whether the preview changed.
    bool update(const Stitcher& stitcher);
    // A copy of the preview in screen orientation.
    Image image() const;

    std::uint32_t factor() const { return m_factor; }
    std::uint32_t consumed() const { return m_consumed; }
    std::uint32_t width() const { return m_width; }
    std::uint32_t height() const { return m_height; }
    Axis axis() const { return m_axis; }

private:
    std::vector<std::uint8_t> m_pixels;
    std::uint32_t m_target_width;
    std::uint32_t m_factor = 0;
    std::uint32_t m_consumed = 0;
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    Axis m_axis = Axis::Vertical;
};

} // namespace stitch
