// The --gif and --gif-bench tasks and the PSNR they report. They need no
// display: Qt's GIF reader and the FFmpeg writer run without one.
#include "record/video.h"

#include "base/publish.h"
#include "base/util.h"
#include "capture/output.h"
#include "platform/media.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace video {

namespace {

// The frame rates a conversion makes; it takes any other at the nearest end.
constexpr std::uint32_t MIN_FPS = 1, MAX_FPS = 50;

struct Variant {
    const char* label;
    const char* file; // its GIF's name in the run's folder
    gif::GifOptions options;
};

gif::GifOptions options_of(size_t threads, bool dither, uint8_t threshold, uint8_t tolerance)
{
    gif::GifOptions o;
    o.threads = threads;
    o.dither = dither;
    o.threshold = threshold;
    o.tolerance = tolerance;
    return o;
}

const std::array<Variant, 5>& variants()
{
    static const std::array<Variant, 5> table { {
        { "exacto (umbral 0)", "exacto", options_of(0, false, 0, 0) },
        { "app: umbral 3", "umbral-3", options_of(0, false, 3, 0) },
        { "umbral 3 + tolerancia 8", "umbral-3-tolerancia-8", options_of(0, false, 3, 8) },
        { "app + tramado", "tramado", options_of(0, true, 3, 0) },
        { "app, 1 hilo", "un-hilo", options_of(1, false, 3, 0) },
    } };
    return table;
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void print_line(std::FILE* stream, const std::string& line)
{
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QString qt_path(const fs::path& path)
{
    return QString::fromStdString(path.string());
}

// Writes a benchmark file into the run's own folder, following no link.
void write_bench_file(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

std::string psnr_text(const fs::path& path, const std::vector<gif::Frame>& frames)
{
    const auto psnr = gif_psnr(path, frames);
    return psnr ? fmt::format("{:.1f} dB, {} cuadros según Qt", psnr->first, psnr->second) : std::string("?");
}

} // namespace

std::optional<std::uint32_t> parse_u32(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::pair<double, std::uint64_t>> gif_psnr(const fs::path& gif_path, const std::vector<gif::Frame>& source)
{
    QFile file(qt_path(gif_path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    // Qt shows delays below 2 hundredths as 10; the stored values are wanted here.
    const auto delays = gif::frame_delays({ reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()) });
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, "gif");
    if (!delays || !reader.canRead())
        return std::nullopt;
    const int count = reader.imageCount();
    if (count < 0)
        return std::nullopt;
    std::int64_t g = 0, t = 0;
    size_t j = 0;
    double sse = 0;
    std::uint64_t samples = 0;
    for (int k = 0; k < count; ++k) {
        const QImage image = reader.read();
        if (image.isNull())
            return std::nullopt;
        g += static_cast<size_t>(k) < delays->size() ? (*delays)[static_cast<size_t>(k)] : 0;
        const output::Raster raster = output::rasterize(image);
        const size_t n = static_cast<size_t>(raster.width) * raster.height;
        while (j < source.size() && t < g) {
            const auto& frame = source[j];
            if (frame.pixels.size() == n) {
                for (size_t p = 0; p < n; ++p) {
                    const std::uint8_t* bgr = raster.pixels.data() + p * 4;
                    const std::uint32_t w = frame.pixels[p];
                    const int db = static_cast<int>(w & 0xFF) - bgr[0];
                    const int dg = static_cast<int>((w >> 8) & 0xFF) - bgr[1];
                    const int dr = static_cast<int>((w >> 16) & 0xFF) - bgr[2];
                    sse += static_cast<double>(db * db + dg * dg + dr * dr);
                }
                samples += 3 * n;
            }
            t += frame.delay;
            ++j;
        }
    }
    const double mse = std::max(sse / static_cast<double>(std::max<std::uint64_t>(samples, 1)), 0.000000001);
    return std::make_pair(10.0 * std::log10(65025.0 / mse), static_cast<std::uint64_t>(count));
}

namespace {

// The settings from the words after the paths: fps at `fps_at`, then the
// largest width (0 = no limit). A number missing or not readable keeps its
// default and an fps outside 1..50 is made at the nearest end, as the
// conversion does; such a word, and any word after the width, is named on
// standard error with what is done instead, so a typo never passes unseen,
// yet never costs the conversion.
GifSettings cli_settings(const std::vector<std::string>& args, size_t fps_at)
{
    GifSettings settings;
    const auto notice = [](const std::string& line) { print_line(stderr, "aviso: " + line); };
    if (args.size() > fps_at) {
        const std::string& text = args[fps_at];
        if (const auto fps = parse_u32(text)) {
            settings.fps = *fps;
            const std::uint32_t made = std::clamp(*fps, MIN_FPS, MAX_FPS);
            if (made != *fps)
                notice(fmt::format("fps {} fuera de {} a {}: convierto a {} fps", text, MIN_FPS, MAX_FPS, made));
        } else {
            notice(fmt::format("fps «{}» no es un número entero: convierto a {} fps", text, settings.fps));
        }
    }
    if (args.size() > fps_at + 1) {
        const std::string& text = args[fps_at + 1];
        if (const auto width = parse_u32(text))
            settings.max_width = *width;
        else
            notice(fmt::format("ancho máximo «{}» no es un número entero: uso {}", text, settings.max_width));
    }
    for (size_t i = fps_at + 2; i < args.size(); ++i)
        notice(fmt::format("sobra «{}»: después del ancho máximo no va nada; no lo uso", args[i]));
    return settings;
}

} // namespace

int cli_gif(const std::vector<std::string>& args)
{
    if (args.size() < 2) {
        print_line(stderr, "uso: vistrope --gif <video> <salida.gif> [fps] [ancho máximo]");
        return 2;
    }
    const GifSettings settings = cli_settings(args, 2);
    const fs::path input = args[0], output = args[1];
    struct stat in {}, out {};
    if (::stat(input.c_str(), &in) != 0) {
        print_line(stderr, fmt::format("error: no pude leer {}: {}", input.string(), util::error_text(errno)));
        return 1;
    }
    if (S_ISDIR(in.st_mode)) {
        print_line(stderr, fmt::format("error: no pude leer {}: {}", input.string(), util::error_text(EISDIR)));
        return 1;
    }
    // A pipe or a device would be read before anything could say no (a FIFO
    // without a writer blocks for good).
    if (!S_ISREG(in.st_mode)) {
        print_line(stderr, fmt::format("error: no pude leer {}: no es un archivo normal", input.string()));
        return 1;
    }
    // Never the video itself (by any of its names); otherwise the output is
    // written as every output named on the command line is.
    if (::stat(output.c_str(), &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
        print_line(stderr, fmt::format("error: la salida {} es el mismo archivo que el video", output.string()));
        return 1;
    }
    std::expected<GifReport, std::string> report = std::unexpected(std::string());
    std::string count = "?";
    const auto written = publish::write_output_with(output, [&](const fs::path& file) -> std::expected<void, std::string> {
        report = export_gif(input, file, settings);
        if (!report)
            return std::unexpected(fmt::format("no pude convertir {} en {}: {}", input.string(), output.string(), report.error()));
        // Counted here: a pipe given as the output cannot be read back.
        QImageReader reader(qt_path(file), "gif");
        if (reader.canRead())
            count = std::to_string(reader.imageCount());
        return {};
    });
    if (!written) {
        print_line(stderr, fmt::format("error: {}", written.error()));
        return 1;
    }
    if (written->replaces)
        print_line(stdout, fmt::format("reemplacé {}", written->path.string()));
    print_line(stdout, fmt::format("GIF {}×{}: {} cuadros leídos, {} escritos ({} según Qt), {:.1f} KB; decodificar {:.0f} ms, total {:.0f} ms",
        report->width, report->height, report->frames_read, report->frames_written, count,
        static_cast<double>(report->bytes) / 1024.0, report->decode_ms, report->total_ms));
    if (falls_short(report->seconds, report->asked))
        print_line(stderr, fmt::format("aviso: el video se acabó antes: el GIF tiene {:.2f} s de {:.2f} s", report->seconds, report->asked));
    return 0;
}

int cli_gif_bench(const std::vector<std::string>& args)
{
    if (args.empty()) {
        print_line(stderr, "uso: vistrope --gif-bench <video> [fps] [ancho máximo]");
        return 2;
    }
    const GifSettings settings = cli_settings(args, 1);
    // The GIFs go into a folder of this run's own, named in the output.
    char folder_template[] = "/tmp/vistrope-gif-bench-XXXXXX";
    if (!::mkdtemp(folder_template)) {
        print_line(stderr, fmt::format("error: no pude crear una carpeta en /tmp: {}", util::error_text(errno)));
        return 1;
    }
    const fs::path folder = folder_template;
    print_line(stdout, fmt::format("GIFs en {}", folder.string()));

    const auto started = std::chrono::steady_clock::now();
    std::vector<gif::Frame> frames;
    const auto decoded = decode_frames(args[0], settings, [&](gif::Frame frame, std::uint32_t, std::uint32_t) -> std::expected<void, std::string> {
        frames.push_back(std::move(frame));
        return {};
    });
    if (!decoded) {
        print_line(stderr, fmt::format("error: no pude leer {}: {}", args[0], decoded.error()));
        return 1;
    }
    print_line(stdout, fmt::format("{} cuadros de {}×{} a {} fps; leer y decodificar {:.0f} ms (de ellos {:.0f} ms en libavcodec)",
        frames.size(), decoded->width, decoded->height, settings.fps, ms_since(started), decoded->decode_ms));

    for (const Variant& v : variants()) {
        std::vector<gif::Frame> copy = frames;
        const auto t0 = std::chrono::steady_clock::now();
        auto encoded = gif::encode(std::move(copy), decoded->width, decoded->height, v.options);
        const double ms = ms_since(t0);
        if (!encoded) {
            print_line(stdout, fmt::format("  {:<32} error: {}", v.label, encoded.error()));
            continue;
        }
        const fs::path file = folder / fmt::format("{}.gif", v.file);
        write_bench_file(file, encoded->bytes);
        print_line(stdout, fmt::format("  {:<32} {:>8.1f} ms  {:>9.1f} KB  PSNR {}  ({} escritos)", v.label, ms,
            static_cast<double>(encoded->bytes.size()) / 1024.0, psnr_text(file, frames), encoded->counts.frames_written));
    }

    const fs::path file = folder / "ffmpeg.gif";
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<platform::GifFrameView> views;
    views.reserve(frames.size());
    for (const auto& f : frames)
        views.push_back({ f.pixels, f.delay });
    auto bytes = media()->write_gif(views, decoded->width, decoded->height);
    if (bytes)
        write_bench_file(file, *bytes);
    const double ms = ms_since(t0);
    if (!bytes) {
        print_line(stdout, fmt::format("  FFmpeg falló: {}", bytes.error()));
        return 0;
    }
    std::error_code ec;
    const auto length = fs::file_size(file, ec);
    print_line(stdout, fmt::format("  {:<32} {:>8.1f} ms  {:>9.1f} KB  PSNR {}", "FFmpeg (palettegen+paletteuse)", ms,
        ec ? 0.0 : static_cast<double>(length) / 1024.0, psnr_text(file, frames)));
    return 0;
}

} // namespace video
