// The GIF encoder against FFmpeg's palettegen+paletteuse pipeline, gifsicle
// (optimising FFmpeg's file) and gifski, on two generated clips of 150 frames
// at 800x450 and 15 fps: a screen recording (window panels with text, a moving
// pointer, a pause, a scroll) and a harder photo-like clip whose every pixel
// changes. Prints time, bytes and PSNR against the source frames (each GIF is
// decoded with giflib) and the ratios to ours.
//
// Usage: bench_gif [--smoke] [--gifski PATH] [--ours-only]
//
// With --recording it times the program's own road instead: `vistrope --gif`
// of a real terminal recording (made here by the recipe in record_terminal,
// so run it as `scripts/x-session --size 1280x720 build/bench/bench_gif
// --recording`, or give one with --video FILE) against FFmpeg's two-pass
// palette, and against another build of the program with --compare PATH
// (its `vistrope`); --program PATH names ours (default: the build's).
//   bench_gif --recording [--video FILE] [--program PATH] [--compare PATH] [--smoke]
#include "bench_common.h"
#include "codec/gif.h"

#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double FPS = 15;

struct Clip {
    std::string name;
    size_t width, height;
    std::vector<gif::Frame> frames;
};

uint32_t rgb(int r, int g, int b)
{
    auto c = [](int v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); };
    return c(r) << 16 | c(g) << 8 | c(b);
}

uint32_t blend(uint32_t bg, uint32_t fg, int a)
{
    auto ch = [&](int s) {
        const int b = (bg >> s) & 0xFF, f = (fg >> s) & 0xFF;
        return static_cast<uint32_t>(b + (f - b) * a / 255) << s;
    };
    return ch(16) | ch(8) | ch(0);
}

void fill(std::vector<uint32_t>& img, size_t w, int x0, int y0, int x1, int y1, uint32_t c, int clip_y0 = 0, int clip_y1 = 1 << 30)
{
    const int h = static_cast<int>(img.size() / w);
    for (int y = std::max({ y0, 0, clip_y0 }); y < std::min({ y1, h, clip_y1 }); ++y)
        for (int x = std::max(x0, 0); x < std::min(x1, static_cast<int>(w)); ++x)
            img[static_cast<size_t>(y) * w + x] = c;
}

// Anti-aliased glyphs: random strokes drawn on a 3x grid and averaged down,
// so text edges carry the intermediate shades real font rendering has.
struct Font {
    static constexpr int GW = 6, GH = 9;
    std::vector<std::vector<uint8_t>> glyphs;
    explicit Font(uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (int g = 0; g < 64; ++g) {
            std::vector<uint8_t> hi(GW * 3 * GH * 3, 0);
            for (int s = 0, n = 2 + static_cast<int>(rng() % 3); s < n; ++s) {
                const float ax = rng() % (GW * 3), ay = rng() % (GH * 3), bx = rng() % (GW * 3), by = rng() % (GH * 3);
                for (int t = 0; t <= 40; ++t) {
                    const int x = static_cast<int>(ax + (bx - ax) * t / 40), y = static_cast<int>(ay + (by - ay) * t / 40);
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            if (x + dx < GW * 3 && y + dy < GH * 3)
                                hi[(y + dy) * GW * 3 + x + dx] = 1;
                }
            }
            std::vector<uint8_t> lo(GW * GH);
            for (int y = 0; y < GH; ++y)
                for (int x = 0; x < GW; ++x) {
                    int sum = 0;
                    for (int dy = 0; dy < 3; ++dy)
                        for (int dx = 0; dx < 3; ++dx)
                            sum += hi[(y * 3 + dy) * GW * 3 + x * 3 + dx];
                    lo[y * GW + x] = static_cast<uint8_t>(sum * 255 / 9);
                }
            glyphs.push_back(std::move(lo));
        }
    }
    // Draws a line of pseudo-words; rows outside [clip_y0, clip_y1) are skipped.
    void text(std::vector<uint32_t>& img, size_t w, int x, int y, int max_x, uint32_t fg, uint32_t seed, int clip_y0 = 0, int clip_y1 = 1 << 30) const
    {
        std::mt19937 rng(seed);
        const int h = static_cast<int>(img.size() / w);
        while (x + GW < max_x) {
            const int len = 2 + static_cast<int>(rng() % 7);
            for (int i = 0; i < len && x + GW < max_x; ++i, x += GW + 1) {
                const auto& g = glyphs[rng() % glyphs.size()];
                for (int gy = 0; gy < GH; ++gy) {
                    const int py = y + gy;
                    if (py < std::max(0, clip_y0) || py >= std::min(h, clip_y1))
                        continue;
                    for (int gx = 0; gx < GW; ++gx)
                        if (const int a = g[gy * GW + gx]; a > 0) {
                            uint32_t& p = img[static_cast<size_t>(py) * w + x + gx];
                            p = blend(p, fg, a);
                        }
                }
            }
            x += GW;
            if (rng() % 9 == 0)
                break;
        }
    }
};

void circle(std::vector<uint32_t>& img, size_t w, float cx, float cy, float r, uint32_t c)
{
    for (int y = static_cast<int>(cy - r - 1); y <= static_cast<int>(cy + r + 1); ++y)
        for (int x = static_cast<int>(cx - r - 1); x <= static_cast<int>(cx + r + 1); ++x) {
            int cover = 0;
            for (int s = 0; s < 16; ++s) {
                const float dx = x + (s % 4 + 0.5f) / 4 - cx, dy = y + (s / 4 + 0.5f) / 4 - cy;
                cover += dx * dx + dy * dy <= r * r;
            }
            if (cover)
                img[static_cast<size_t>(y) * w + x] = blend(img[static_cast<size_t>(y) * w + x], c, cover * 255 / 16);
        }
}

// The classic arrow pointer: black with a white outline.
void pointer(std::vector<uint32_t>& img, size_t w, size_t h, int px, int py)
{
    static const char* shape[] = { "X", "XX", "X.X", "X..X", "X...X", "X....X", "X.....X", "X......X", "X.......X", "X........X", "X.....XXXX",
        "X..X..X", "X.X X..X", "XX  X..X", "X    X..X", "     X..X", "      XX" };
    for (int y = 0; y < 17; ++y)
        for (int x = 0; shape[y][x]; ++x) {
            const int X = px + x, Y = py + y;
            if (X < 0 || Y < 0 || X >= static_cast<int>(w) || Y >= static_cast<int>(h) || shape[y][x] == ' ')
                continue;
            img[static_cast<size_t>(Y) * w + X] = shape[y][x] == 'X' ? rgb(255, 255, 255) : rgb(0, 0, 0);
        }
}

Clip screen_clip(size_t w, size_t h, size_t n)
{
    const Font font(11);
    const int W = static_cast<int>(w), H = static_cast<int>(h);
    auto sx = [&](int v) { return v * W / 800; };
    auto sy = [&](int v) { return v * H / 450; };
    // The desktop and the two windows' frames, drawn once.
    std::vector<uint32_t> desk(w * h);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            desk[static_cast<size_t>(y) * w + x] = rgb(40 - y * 20 / H, 60 - y * 30 / H + x * 8 / W, 90 - y * 40 / H);
    fill(desk, w, 0, 0, W, sy(22), rgb(32, 32, 34));
    font.text(desk, w, 8, sy(22) / 2 - 4, sx(300), rgb(220, 220, 220), 1);
    font.text(desk, w, sx(640), sy(22) / 2 - 4, W - 8, rgb(220, 220, 220), 2);
    // Window 1: a document. Window 2: a dark code editor.
    const int ax0 = sx(40), ay0 = sy(50), ax1 = sx(520), ay1 = sy(425);
    fill(desk, w, ax0 - 1, ay0 - 1, ax1 + 1, ay1 + 1, rgb(150, 150, 155));
    fill(desk, w, ax0, ay0, ax1, ay0 + 28, rgb(232, 232, 234));
    circle(desk, w, ax0 + 14, ay0 + 14, 6, rgb(255, 95, 87));
    circle(desk, w, ax0 + 34, ay0 + 14, 6, rgb(254, 188, 46));
    circle(desk, w, ax0 + 54, ay0 + 14, 6, rgb(40, 200, 64));
    font.text(desk, w, ax0 + 200, ay0 + 10, ax0 + 320, rgb(60, 60, 60), 3);
    fill(desk, w, ax0, ay0 + 28, ax0 + 110, ay1, rgb(241, 241, 246));
    for (int i = 0; i < 14 && ay0 + 40 + i * 20 < ay1 - 12; ++i)
        font.text(desk, w, ax0 + 12, ay0 + 40 + i * 20, ax0 + 100, rgb(70, 70, 80), 100 + i);
    const int bx0 = sx(545), by0 = sy(80), bx1 = sx(785), by1 = sy(330);
    fill(desk, w, bx0 - 1, by0 - 1, bx1 + 1, by1 + 1, rgb(10, 10, 10));
    fill(desk, w, bx0, by0, bx1, by0 + 24, rgb(50, 50, 56));
    fill(desk, w, bx0, by0 + 24, bx1, by1, rgb(30, 30, 36));
    const uint32_t syntax[] = { rgb(206, 145, 120), rgb(156, 220, 254), rgb(197, 134, 192), rgb(212, 212, 212), rgb(106, 153, 85) };
    for (int i = 0; i * 15 + 32 < by1 - by0 - 10; ++i)
        font.text(desk, w, bx0 + 8 + (i % 4) * 14, by0 + 32 + i * 15, bx1 - 8, syntax[i % 5], 200 + i);

    // The document body: taller than its view, so it can scroll.
    const int body_x0 = ax0 + 110, body_y0 = ay0 + 28;
    const int view_h = ay1 - body_y0;
    const int doc_h = view_h + 900;
    std::vector<uint32_t> doc(static_cast<size_t>(ax1 - body_x0) * doc_h, rgb(252, 252, 252));
    const size_t dw = static_cast<size_t>(ax1 - body_x0);
    for (int line = 0; line * 18 + 30 < doc_h; ++line) {
        const uint32_t c = line % 7 == 0 ? rgb(20, 20, 20) : line % 5 == 3 ? rgb(30, 100, 200) : rgb(60, 60, 64);
        font.text(doc, dw, 16 + (line % 7 == 0 ? 0 : 8), 16 + line * 18, static_cast<int>(dw) - 16, c, 1000 + line);
        if (line % 11 == 10)
            fill(doc, dw, 16, 16 + line * 18 + 4, static_cast<int>(dw) - 16, 16 + line * 18 + 6, rgb(220, 220, 225));
    }

    Clip clip { "screen recording", w, h, {} };
    const size_t move_end = n * 70 / 150, idle_end = n * 80 / 150;
    for (size_t k = 0; k < n; ++k) {
        std::vector<uint32_t> img = desk;
        const int scroll = k < idle_end ? 0 : std::min<int>(static_cast<int>(k - idle_end) * 6, doc_h - view_h);
        for (int y = 0; y < view_h; ++y)
            std::copy_n(doc.data() + static_cast<size_t>(y + scroll) * dw, dw, img.data() + static_cast<size_t>(body_y0 + y) * w + body_x0);
        // A blinking caret in the editor.
        if ((k / 8) % 2 == 0)
            fill(img, w, bx0 + 120, by0 + 92, bx0 + 122, by0 + 106, rgb(230, 230, 230));
        const double t = static_cast<double>(std::min(k, move_end)) / std::max<size_t>(move_end, 1);
        const int px = static_cast<int>(W * (0.85 - 0.55 * t) + 40 * std::sin(t * 9)), py = static_cast<int>(H * (0.2 + 0.5 * t) + 30 * std::cos(t * 7));
        pointer(img, w, h, px, py);
        clip.frames.push_back({ std::move(img), static_cast<uint16_t>(gif::slot_delay_cs(k, k + 1, FPS)) });
    }
    return clip;
}

// A photo-like texture (smooth colour fields and fine detail from several
// octaves of value noise), panned and slowly relit, with a little sensor noise
// in every frame: every pixel changes every frame.
Clip photo_clip(size_t w, size_t h, size_t n)
{
    const size_t tw = w + n * 3 + 8, th = h + n + 8;
    std::mt19937 rng(21);
    auto octave = [&](size_t cell) {
        const size_t gw = tw / cell + 2, gh = th / cell + 2;
        std::vector<float> grid(gw * gh);
        for (auto& v : grid)
            v = static_cast<float>(rng() % 1000) / 1000.0f;
        std::vector<float> out(tw * th);
        for (size_t y = 0; y < th; ++y)
            for (size_t x = 0; x < tw; ++x) {
                const float fx = static_cast<float>(x) / cell, fy = static_cast<float>(y) / cell;
                const size_t ix = static_cast<size_t>(fx), iy = static_cast<size_t>(fy);
                const float ux = fx - ix, uy = fy - iy;
                const float a = grid[iy * gw + ix], b = grid[iy * gw + ix + 1], c = grid[(iy + 1) * gw + ix], d = grid[(iy + 1) * gw + ix + 1];
                out[y * tw + x] = (a * (1 - ux) + b * ux) * (1 - uy) + (c * (1 - ux) + d * ux) * uy;
            }
        return out;
    };
    const auto big = octave(180), mid = octave(45), fine = octave(9), hue = octave(260);
    std::vector<uint32_t> tex(tw * th);
    for (size_t i = 0; i < tex.size(); ++i) {
        const float v = 0.55f * big[i] + 0.3f * mid[i] + 0.15f * fine[i];
        const float hu = hue[i];
        tex[i] = rgb(static_cast<int>(255 * v * (0.6f + 0.6f * hu)), static_cast<int>(255 * v * (1.1f - 0.4f * hu)),
            static_cast<int>(255 * (0.25f + 0.5f * v) * (1.2f - hu)));
    }
    Clip clip { "photo-like", w, h, {} };
    std::mt19937 noise(5);
    for (size_t k = 0; k < n; ++k) {
        std::vector<uint32_t> img(w * h);
        const float light = 0.9f + 0.15f * std::sin(static_cast<float>(k) / 20.0f);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                const uint32_t p = tex[(y + k) * tw + x + k * 3];
                const int jitter = static_cast<int>(noise() % 5) - 2;
                img[y * w + x] = rgb(static_cast<int>(((p >> 16) & 0xFF) * light) + jitter, static_cast<int>(((p >> 8) & 0xFF) * light) + jitter,
                    static_cast<int>((p & 0xFF) * light) + jitter);
            }
        clip.frames.push_back({ std::move(img), static_cast<uint16_t>(gif::slot_delay_cs(k, k + 1, FPS)) });
    }
    return clip;
}

// ---------------------------------------------------------------------------
// Measuring

std::vector<uint8_t> read_bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

// PSNR of a GIF against the source frames: each source frame is compared
// with the picture on screen at its start time (giflib decodes and we
// composite), so merged and dropped frames are judged fairly.
std::optional<double> psnr(const std::vector<uint8_t>& bytes, const Clip& clip)
{
    struct Reader {
        const std::vector<uint8_t>* b;
        size_t at;
    } reader { &bytes, 0 };
    int err = 0;
    GifFileType* g = DGifOpen(&reader, [](GifFileType* f, GifByteType* out, int n) -> int {
        auto* r = static_cast<Reader*>(f->UserData);
        const size_t take = std::min<size_t>(static_cast<size_t>(n), r->b->size() - r->at);
        std::memcpy(out, r->b->data() + r->at, take);
        r->at += take;
        return static_cast<int>(take);
    }, &err);
    if (!g)
        return std::nullopt;
    if (DGifSlurp(g) != GIF_OK || static_cast<size_t>(g->SWidth) != clip.width || static_cast<size_t>(g->SHeight) != clip.height) {
        DGifCloseFile(g, &err);
        return std::nullopt;
    }
    std::vector<uint32_t> screen(clip.width * clip.height, 0);
    double sse = 0;
    uint64_t samples = 0;
    uint64_t gif_time = 0, src_time = 0;
    size_t j = 0;
    for (int k = 0; k < g->ImageCount; ++k) {
        const SavedImage& s = g->SavedImages[k];
        GraphicsControlBlock gcb { 0, false, 0, -1 };
        DGifSavedExtensionToGCB(g, k, &gcb);
        const ColorMapObject* map = s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap : g->SColorMap;
        // Disposal 3 needs the picture as it was before this image.
        std::vector<uint32_t> before;
        if (gcb.DisposalMode == DISPOSE_PREVIOUS)
            before = screen;
        for (int y = 0; y < s.ImageDesc.Height; ++y)
            for (int x = 0; x < s.ImageDesc.Width; ++x) {
                const int idx = s.RasterBits[static_cast<size_t>(y) * s.ImageDesc.Width + x];
                if (idx == gcb.TransparentColor || !map || idx >= map->ColorCount)
                    continue;
                const size_t X = static_cast<size_t>(s.ImageDesc.Left + x), Y = static_cast<size_t>(s.ImageDesc.Top + y);
                if (X < clip.width && Y < clip.height) {
                    const GifColorType c = map->Colors[idx];
                    screen[Y * clip.width + X] = static_cast<uint32_t>(c.Red) << 16 | static_cast<uint32_t>(c.Green) << 8 | c.Blue;
                }
            }
        gif_time += static_cast<uint64_t>(gcb.DelayTime);
        while (j < clip.frames.size() && src_time < gif_time) {
            const auto& src = clip.frames[j].pixels;
            for (size_t i = 0; i < src.size(); ++i)
                for (int sh : { 0, 8, 16 }) {
                    const double d = static_cast<double>((src[i] >> sh) & 0xFF) - static_cast<double>((screen[i] >> sh) & 0xFF);
                    sse += d * d;
                }
            samples += 3 * src.size();
            src_time += clip.frames[j].delay;
            ++j;
        }
        if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
            for (int y = 0; y < s.ImageDesc.Height; ++y)
                for (int x = 0; x < s.ImageDesc.Width; ++x) {
                    const size_t X = static_cast<size_t>(s.ImageDesc.Left + x), Y = static_cast<size_t>(s.ImageDesc.Top + y);
                    if (X < clip.width && Y < clip.height)
                        screen[Y * clip.width + X] = 0;
                }
        } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
            screen = std::move(before);
        }
    }
    DGifCloseFile(g, &err);
    const double mse = std::max(sse / static_cast<double>(std::max<uint64_t>(samples, 1)), 1e-9);
    return 10 * std::log10(65025.0 / mse);
}

struct Result {
    std::string label;
    bool ok = false;
    double ms = 0;
    size_t bytes = 0;
    std::optional<double> db;
    std::string note;
};

double now_ms()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Writes the frames as raw bgr0 (our words in little-endian order) to a
// command's standard input; returns the command's wall time, or nothing.
std::optional<double> pipe_frames(const std::string& command, const Clip& clip)
{
    const double t0 = now_ms();
    std::FILE* p = ::popen(command.c_str(), "w");
    if (!p)
        return std::nullopt;
    for (const auto& f : clip.frames)
        std::fwrite(f.pixels.data(), 4, f.pixels.size(), p);
    const int status = ::pclose(p);
    if (status != 0)
        return std::nullopt;
    return now_ms() - t0;
}

std::optional<double> run_timed(const std::string& command)
{
    const double t0 = now_ms();
    if (std::system(command.c_str()) != 0)
        return std::nullopt;
    return now_ms() - t0;
}

bool have(const std::string& tool)
{
    return std::system(("command -v '" + tool + "' >/dev/null 2>&1").c_str()) == 0;
}

Result measure_file(const std::string& label, std::optional<double> ms, const fs::path& file, const Clip& clip)
{
    Result r;
    r.label = label;
    if (!ms || !fs::exists(file)) {
        r.note = "failed";
        return r;
    }
    const auto bytes = read_bytes(file);
    r.ok = true;
    r.ms = *ms;
    r.bytes = bytes.size();
    r.db = psnr(bytes, clip);
    return r;
}

void print(const Result& r, const Result* ours)
{
    if (!r.ok) {
        std::printf("  %-36s %s\n", r.label.c_str(), r.note.c_str());
        return;
    }
    std::printf("  %-36s %9.1f ms %9.1f KB  PSNR %6.2f dB", r.label.c_str(), r.ms, r.bytes / 1024.0, r.db.value_or(0));
    if (ours && ours != &r && ours->ok)
        std::printf("   ours is %s faster, %.2fx smaller, %+.2f dB", bench::ratio(r.ms, ours->ms).c_str(),
            static_cast<double>(r.bytes) / static_cast<double>(ours->bytes), ours->db.value_or(0) - r.db.value_or(0));
    std::printf("\n");
}

void run_clip(const Clip& clip, int runs, const fs::path& dir, const std::string& gifski, bool ours_only)
{
    size_t distinct = 1;
    for (size_t i = 1; i < clip.frames.size(); ++i)
        distinct += clip.frames[i].pixels != clip.frames[i - 1].pixels;
    std::vector<bool> seen(size_t { 1 } << 24);
    size_t colours = 0, first_colours = 0;
    for (size_t i = 0; i < clip.frames.size(); ++i) {
        for (uint32_t p : clip.frames[i].pixels)
            if (!seen[p & 0xFFFFFF]) {
                seen[p & 0xFFFFFF] = true;
                ++colours;
            }
        if (i == 0)
            first_colours = colours;
    }
    std::printf("\n%s: %zu frames of %zux%zu at %.0f fps (%zu differ from the one before), %zu colours (%zu in the first frame)\n",
        clip.name.c_str(), clip.frames.size(), clip.width, clip.height, FPS, distinct - 1, colours, first_colours);

    // Ours, with the application's options, at 1, 2 and all threads. The
    // frame copy is made outside the timed region.
    std::vector<Result> ours;
    const size_t all = std::thread::hardware_concurrency() ? std::thread::hardware_concurrency() : 4;
    for (size_t threads : { size_t { 1 }, size_t { 2 }, all }) {
        Result r;
        r.label = "ours, " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
        std::vector<double> times;
        std::vector<uint8_t> bytes;
        for (int i = 0; i < runs; ++i) {
            auto frames = clip.frames;
            const double t0 = now_ms();
            auto out = gif::encode(std::move(frames), clip.width, clip.height, { .palette = {}, .threads = threads, .dither = false, .threshold = 3, .tolerance = 0 });
            times.push_back(now_ms() - t0);
            if (!out) {
                r.note = out.error();
                break;
            }
            bytes = std::move(out->bytes);
        }
        if (!bytes.empty()) {
            r.ok = true;
            r.ms = bench::summarize(times).median_ms;
            r.bytes = bytes.size();
            r.db = psnr(bytes, clip);
            std::ofstream(dir / ("ours-" + std::to_string(threads) + ".gif"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        }
        ours.push_back(r);
    }
    const Result& best = ours.back();
    for (const auto& r : ours)
        print(r, nullptr);
    if (ours_only)
        return;

    const std::string size = std::to_string(clip.width) + "x" + std::to_string(clip.height);
    const fs::path ff = dir / (clip.name.substr(0, 5) + "-ffmpeg.gif");
    Result ffmpeg;
    if (have("ffmpeg")) {
        const auto ms = pipe_frames("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgr0 -s " + size + " -framerate 15 -i - -filter_complex "
                "\"[0:v]split[a][b];[a]palettegen[p];[b][p]paletteuse\" -f gif '" + ff.string() + "'",
            clip);
        ffmpeg = measure_file("FFmpeg palettegen+paletteuse", ms, ff, clip);
    } else {
        ffmpeg.label = "FFmpeg palettegen+paletteuse";
        ffmpeg.note = "not available (no ffmpeg on PATH)";
    }
    print(ffmpeg, &best);
    if (ffmpeg.ok) {
        Result one = ours.front();
        std::printf("  %-36s ours on 1 thread is %s faster than FFmpeg\n", "", bench::ratio(ffmpeg.ms, one.ms).c_str());
    }

    Result sicle;
    sicle.label = "FFmpeg + gifsicle -O3";
    if (ffmpeg.ok && have("gifsicle")) {
        const fs::path out = dir / (clip.name.substr(0, 5) + "-gifsicle.gif");
        const auto ms = run_timed("gifsicle -O3 '" + ff.string() + "' -o '" + out.string() + "'");
        sicle = measure_file(sicle.label, ms ? std::optional<double>(*ms + ffmpeg.ms) : std::nullopt, out, clip);
        if (ms)
            std::printf("  (gifsicle alone: %.1f ms)\n", *ms);
    } else {
        sicle.note = "not available";
    }
    print(sicle, &best);

    Result ski;
    ski.label = "gifski (quality 90)";
    if (gifski.empty()) {
        ski.note = "not available: no gifski binary runs here";
    } else {
        // gifski reads PNG files: write them first, untimed.
        const fs::path pngs = dir / (clip.name.substr(0, 5) + "-png");
        fs::create_directories(pngs);
        const bool made = pipe_frames("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgr0 -s " + size + " -framerate 15 -i - '" + (pngs / "f%04d.png").string() + "'",
            clip).has_value();
        const fs::path out = dir / (clip.name.substr(0, 5) + "-gifski.gif");
        const auto ms = made ? run_timed("'" + gifski + "' --quiet --fps 15 -o '" + out.string() + "' '" + pngs.string() + "'/f*.png") : std::nullopt;
        ski = measure_file(ski.label, ms, out, clip);
    }
    print(ski, &best);
}

// ---------------------------------------------------------------------------
// The program's own road on a real recording: `vistrope --gif` of a terminal
// recording against FFmpeg's two-pass palette (palettegen into a PNG, then
// paletteuse), each a process of its own, timed from start to end.

std::string quoted(const fs::path& p)
{
    std::string out = "'";
    for (char c : p.string())
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The recipe: an xterm over the whole 1280x720 screen, recorded for 6 s at
// 30 fps by FFmpeg's x11grab into H.264 (libx264's default preset, as screen
// recorders write it) while xdotool types two commands whose output scrolls.
bool record_terminal(const fs::path& out)
{
    const std::string script = "set -e\n"
        "xterm -geometry 180x50+0+0 -fa Monospace -fs 10 -e bash --norc & xt=$!\n"
        "for i in $(seq 100); do xdotool search --pid $xt >/dev/null 2>&1 && break; sleep 0.1; done\n"
        "sleep 0.5\n"
        "ffmpeg -nostdin -v error -y -f x11grab -framerate 30 -video_size 1280x720 -i \"$DISPLAY\" -t 6 -c:v libx264 -pix_fmt yuv420p "
        + quoted(out) + " & ff=$!\n"
        "xdotool type --delay 40 'ls -la /usr/lib | head -30'; xdotool key Return; sleep 0.5\n"
        "xdotool type --delay 40 'for i in $(seq 60); do echo \"line $i $(date +%N)\"; sleep 0.03; done'; xdotool key Return\n"
        "wait $ff; kill $xt\n";
    const fs::path file = out.parent_path() / "record.sh";
    std::ofstream(file) << script;
    return std::system(("bash " + quoted(file)).c_str()) == 0 && fs::exists(out);
}

struct Road {
    std::string label;
    std::string command;  // prints nothing but the program's own line
    fs::path output;
    std::vector<double> ms;
    std::vector<std::vector<uint8_t>> files;
    std::string line;
};

void run_road(Road& road)
{
    const double t0 = now_ms();
    std::string line;
    if (std::FILE* p = ::popen(road.command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p))
            line = buffer;
        if (::pclose(p) != 0)
            line = "failed";
    }
    road.ms.push_back(now_ms() - t0);
    road.line = line.substr(0, line.find_last_not_of('\n') + 1);
    road.files.push_back(read_bytes(road.output));
}

int run_recording(int argc, char** argv, bool smoke)
{
    fs::path video, program, old_program;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--video")
            video = argv[i + 1];
        else if (a == "--program")
            program = argv[i + 1];
        else if (a == "--compare")
            old_program = argv[i + 1];
    }
    if (program.empty())
        program = fs::canonical("/proc/self/exe").parent_path().parent_path() / "vistrope";
    char tmpl[] = "/tmp/vistrope-bench-gif-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const fs::path dir = tmpl;
    if (video.empty()) {
        video = dir / "terminal.mp4";
        if (!std::getenv("DISPLAY") || !record_terminal(video)) {
            std::printf("no recording: run inside scripts/x-session --size 1280x720, or pass --video FILE\n");
            fs::remove_all(dir);
            return 1;
        }
    }
    const std::string args = " 15 800";
    std::vector<Road> roads;
    roads.push_back({ "vistrope --gif", quoted(program) + " --gif " + quoted(video) + " " + quoted(dir / "ours.gif") + args + " 2>/dev/null",
        dir / "ours.gif", {}, {}, {} });
    if (!old_program.empty())
        roads.push_back({ "compared build --gif", quoted(old_program) + " --gif " + quoted(video) + " " + quoted(dir / "old.gif") + args + " 2>/dev/null",
            dir / "old.gif", {}, {}, {} });
    const std::string chain = "fps=15,scale=800:-1:flags=area";
    roads.push_back({ "FFmpeg two-pass palette",
        "ffmpeg -nostdin -v error -y -i " + quoted(video) + " -vf '" + chain + ",palettegen' " + quoted(dir / "palette.png")
            + " && ffmpeg -nostdin -v error -y -i " + quoted(video) + " -i " + quoted(dir / "palette.png") + " -lavfi '" + chain
            + "[x];[x][1:v]paletteuse' " + quoted(dir / "ffmpeg.gif"),
        dir / "ffmpeg.gif", {}, {}, {} });
    const int runs = smoke ? 1 : 9;
    std::string load = "?";
    if (std::ifstream in("/proc/loadavg"); in)
        std::getline(in, load);
    std::printf("GIF road on %s, 15 fps, 800 px wide: %d runs each, alternated; load average %s\n", video.string().c_str(), runs, load.c_str());
    for (int i = 0; i < runs; ++i)
        for (Road& r : roads)
            run_road(r);
    const double ours = bench::summarize(roads.front().ms).median_ms;
    for (const Road& r : roads) {
        const bench::Timing t = bench::summarize(r.ms);
        bool same = true;
        for (const auto& f : r.files)
            same = same && f == r.files.front() && !f.empty();
        std::printf("  %-26s %8.1f ms (median, min %.1f)  %9zu bytes%s", r.label.c_str(), t.median_ms, t.min_ms, r.files.front().size(),
            same ? ", the same file every run" : ", FILES DIFFER BETWEEN RUNS");
        if (&r != &roads.front())
            std::printf("   ours is %s faster", bench::ratio(t.median_ms, ours).c_str());
        std::printf("\n");
        if (!r.line.empty())
            std::printf("  %-26s %s\n", "", r.line.c_str());
    }
    if (roads.size() == 3)
        std::printf("  ours and the compared build write %s\n", roads[0].files.front() == roads[1].files.front() ? "the same bytes" : "different bytes");
    std::printf("  target: at least 3x faster than FFmpeg's two-pass palette, and no slower than the compared build\n");
    fs::remove_all(dir);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--recording")
            return run_recording(argc, argv, smoke);
    std::string gifski;
    bool ours_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--gifski" && i + 1 < argc)
            gifski = argv[i + 1];
        if (std::string(argv[i]) == "--ours-only")
            ours_only = true;
    }
    if (gifski.empty() && have("gifski"))
        gifski = "gifski";
    if (!gifski.empty() && std::system(("'" + gifski + "' --version >/dev/null 2>&1").c_str()) != 0) {
        std::printf("gifski at %s does not run here\n", gifski.c_str());
        gifski.clear();
    }

    const size_t w = smoke ? 200 : 800, h = smoke ? 112 : 450, n = smoke ? 20 : 150;
    const int runs = smoke ? 1 : 3;
    char tmpl[] = "/tmp/vistrope-bench-gif-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const fs::path dir = tmpl;

    std::string load = "?";
    if (std::ifstream in("/proc/loadavg"); in)
        std::getline(in, load);
    std::printf("GIF encoder benchmark%s: %u hardware threads, load average %s\n", smoke ? " (smoke)" : "", std::thread::hardware_concurrency(),
        load.c_str());
    std::printf("ours: application options (threshold 3, tolerance 0, no dither), median of %d runs; references: one run each,\n"
                "fed the same frames through a pipe (timed with process start-up); PSNR via giflib against every source frame\n",
        runs);

    run_clip(screen_clip(w, h, n), runs, dir, gifski, ours_only);
    run_clip(photo_clip(w, h, n), runs, dir, gifski, ours_only);
    fs::remove_all(dir);
    return 0;
}
