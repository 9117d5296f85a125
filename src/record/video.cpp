#include "record/video.h"

#include "ui/hud.h"
#include "base/config.h"
#include "base/files.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "base/util_thread.h"
#include "platform/screens.h"
#include "capture/output.h"
#include "base/publish.h"
#include "platform/media.h"
#include "platform/workspace.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTransform>
#include <QMimeData>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace video {

namespace {

std::mutex g_media_mutex;
// On the heap: the application releases it (set_media(nullptr)) before main
// returns, and the static destructors never reach FFmpeg.
std::shared_ptr<platform::Media>& media_slot()
{
    static auto* held = new std::shared_ptr<platform::Media>();
    return *held;
}
ToastSink g_toast;

void show_toast(std::string_view symbol, std::string_view text, double seconds)
{
    hud::toast_through(g_toast, symbol, text, seconds);
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string errno_text(int code)
{
    return util::error_text(code);
}

// The slot of a sample at `offset` seconds from the range start.
std::uint64_t slot_of(double offset, double fps)
{
    const double s = std::ceil(offset * fps - 0.000001);
    return s > 0 ? static_cast<std::uint64_t>(s) : 0;
}

} // namespace

void set_media(std::shared_ptr<platform::Media> replacement)
{
    std::lock_guard lock(g_media_mutex);
    media_slot() = std::move(replacement);
}

std::shared_ptr<platform::Media> media()
{
    std::lock_guard lock(g_media_mutex);
    if (!media_slot())
        media_slot() = platform::create_ffmpeg_media();
    return media_slot();
}

void set_toast_sink(ToastSink sink)
{
    util::require_main_thread("hilo principal");
    g_toast = std::move(sink);
}

// --- Facts, first frame, clipboard -----------------------------------------------

QUrl file_url(const fs::path& path)
{
    return platform::file_url(path);
}

std::uint64_t round_side(double side)
{
    if (!(side > 0))
        return 0;
    const double r = std::round(side);
    return r >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(r);
}

double clean_duration(double seconds)
{
    return std::isfinite(seconds) && seconds >= 0 ? seconds : 0.0;
}

std::optional<VideoInfo> info(const fs::path& path)
{
    auto probe = media()->probe(path);
    if (!probe)
        return std::nullopt;
    return VideoInfo { round_side(probe->width), round_side(probe->height), clean_duration(probe->duration), probe->has_audio,
        probe->rotation };
}

std::optional<QImage> thumbnail(const fs::path& path, double max_side)
{
    auto image = media()->thumbnail(path, max_side);
    if (!image) {
        util::log(fmt::format("miniatura de {}: {}", util::escape_controls(path.string()), image.error()));
        return std::nullopt;
    }
    return std::move(*image);
}

bool has_gif_extension(const fs::path& path)
{
    const std::string ext = path.extension().string();
    return ext.size() == 4 && util::lower_ascii(ext) == ".gif";
}

QMimeData* mime_for_file(const fs::path& path)
{
    auto* data = new QMimeData;
    const QUrl url = file_url(path);
    data->setUrls({ url });
    // File managers of the GNOME family paste files from this type.
    data->setData(QStringLiteral("x-special/gnome-copied-files"), QByteArray("copy\n") + url.toEncoded());
    if (has_gif_extension(path)) {
        QFile file(QFile::decodeName(QByteArray::fromStdString(path.string())));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            if (file.error() == QFileDevice::NoError)
                data->setData(QStringLiteral("image/gif"), bytes);
        }
    }
    return data;
}

void copy_file(const fs::path& path)
{
    util::require_main_thread("hilo principal");
    QGuiApplication::clipboard()->setMimeData(mime_for_file(path)); // the clipboard takes the data over
}

// --- GIF conversion ---------------------------------------------------------------

void FrameBuffers::give(std::vector<std::uint32_t> pixels)
{
    std::lock_guard lock(m_mutex);
    m_free.push_back(std::move(pixels));
}

std::vector<std::uint32_t> FrameBuffers::take()
{
    std::lock_guard lock(m_mutex);
    if (m_free.empty())
        return {};
    std::vector<std::uint32_t> pixels = std::move(m_free.back());
    m_free.pop_back();
    return pixels;
}

std::optional<std::vector<std::uint32_t>> pixels_of(platform::VideoSample& sample, std::uint32_t width, std::uint32_t height,
    std::vector<std::uint32_t> reuse)
{
    const auto view = sample.bgra();
    if (!view || !view->data || view->width == 0 || view->height == 0 || view->stride / 4 < view->width)
        return std::nullopt;
    const size_t w = view->width, h = view->height;
    std::vector<std::uint32_t> words = std::move(reuse);
    words.resize(w * h);
    for (size_t y = 0; y < h; ++y) {
        std::uint32_t* row = words.data() + y * w;
        std::memcpy(row, view->data + y * view->stride, w * 4);
        // B, G, R, A in memory is 0xAARRGGBB on this little-endian machine.
        for (size_t x = 0; x < w; ++x)
            row[x] &= 0x00FFFFFFu;
    }
    if (w != width || h != height)
        return gif::resize(words, w, h, width, height);
    return words;
}

std::vector<std::uint32_t> turned(std::vector<std::uint32_t> words, std::uint32_t width, std::uint32_t height, int degrees)
{
    const QImage picture(reinterpret_cast<const uchar*>(words.data()), static_cast<int>(width), static_cast<int>(height),
        static_cast<qsizetype>(width) * 4, QImage::Format_RGB32);
    const QImage upright = picture.transformed(QTransform().rotate(degrees));
    const auto w = static_cast<std::size_t>(upright.width()), h = static_cast<std::size_t>(upright.height());
    words.resize(w * h);
    for (std::size_t y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(upright.constScanLine(static_cast<int>(y)));
        for (std::size_t x = 0; x < w; ++x)
            words[y * w + x] = row[x] & 0x00FFFFFFu;
    }
    return words;
}

std::expected<Decoded, std::string> decode_frames(const fs::path& source, const GifSettings& settings, const FrameSink& sink,
    FrameBuffers* buffers)
{
    auto backend = media();
    auto probe = backend->probe(source);
    if (!probe)
        return std::unexpected(probe.error());
    const auto clamp_u32 = [](std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, UINT32_MAX)); };
    // The GIF shows the picture as players do, turned as the file says;
    // the reader gives it unturned, at the turned size's sides.
    const int rotation = probe->rotation;
    const bool sideways = rotation == 90 || rotation == 270;
    const std::uint32_t coded_w = clamp_u32(round_side(probe->width)), coded_h = clamp_u32(round_side(probe->height));
    const gif::Size size = gif::fit_width(sideways ? coded_h : coded_w, sideways ? coded_w : coded_h, settings.max_width);
    const std::uint32_t read_w = sideways ? size.height : size.width, read_h = sideways ? size.width : size.height;
    if (size.width > 65535 || size.height > 65535)
        return std::unexpected(std::string("tamaño de GIF inválido"));
    const config::Range fps_range = config::range_of(&config::Recording::gif_fps);
    const double fps = std::clamp<std::uint32_t>(settings.fps, fps_range.minimum, fps_range.maximum);
    const double duration = clean_duration(probe->duration);
    double start = 0, end = duration;
    if (settings.range) {
        start = std::min(std::max(settings.range->first, 0.0), duration);
        end = std::min(std::max(settings.range->second, 0.0), duration);
    }
    const double length = end - start;
    if (!(length >= 0.01))
        return std::unexpected(std::string("el rango está vacío"));

    auto reader = backend->open_frames(source, start, length, read_w, read_h);
    if (!reader)
        return std::unexpected(reader.error());
    const std::uint64_t slots = std::max<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(length * fps - 0.000001)), 1);
    // Past the grid a sample is dropped, not replaced (unless it comes first).
    (*reader)->use_last_of_each_slot([start, fps, slots](double t) -> std::optional<std::uint64_t> {
        const std::uint64_t slot = slot_of(t - start, fps);
        return slot < slots ? std::optional(slot) : std::nullopt;
    });

    Decoded decoded { size.width, size.height, 0 };
    const auto emit = [&](platform::VideoSample& sample, std::uint64_t from, std::uint64_t to) -> std::expected<void, std::string> {
        const auto t0 = std::chrono::steady_clock::now();
        auto pixels = pixels_of(sample, read_w, read_h, buffers ? buffers->take() : std::vector<std::uint32_t> {});
        if (pixels && rotation != 0)
            pixels = turned(std::move(*pixels), read_w, read_h, rotation);
        decoded.decode_ms += ms_since(t0);
        if (!pixels)
            return std::unexpected(std::string("no pude leer un cuadro"));
        const auto delay = static_cast<std::uint16_t>(gif::slot_delay_cs(from, to, fps));
        return sink(gif::Frame { std::move(*pixels), delay }, size.width, size.height);
    };

    decoded.asked = length;
    std::unique_ptr<platform::VideoSample> held;
    std::uint64_t held_slot = 0;
    for (;;) {
        const auto t0 = std::chrono::steady_clock::now();
        auto next = (*reader)->next();
        decoded.decode_ms += ms_since(t0);
        if (!next)
            return std::unexpected(next.error().empty() ? std::string("no pude leer el video") : next.error());
        if (!*next)
            break;
        const std::uint64_t slot = slot_of((*next)->time() - start, fps);
        // What the samples cover: through the last one's slot.
        decoded.seconds = std::max(decoded.seconds, std::min(std::max((*next)->time() - start, 0.0) + 1.0 / fps, length));
        if (!held) {
            // The first sample is kept even past the grid: a clip shorter than
            // one slot still gives one frame.
            held = std::move(*next);
            held_slot = slot;
        } else if (slot >= slots) {
            continue;
        } else if (slot <= held_slot) {
            held = std::move(*next);
        } else {
            if (auto r = emit(*held, held_slot, slot); !r)
                return std::unexpected(r.error());
            held = std::move(*next);
            held_slot = slot;
        }
    }
    if (held) {
        if (auto r = emit(*held, held_slot, std::max(slots, held_slot + 1)); !r)
            return std::unexpected(r.error());
    }
    return decoded;
}

fs::path partial_path(const fs::path& destination)
{
    fs::path part = destination;
    part.replace_extension("gif.part");
    return part;
}

namespace {

// The partial file, opened without truncating and held under an exclusive
// lock: only the holder truncates, renames or deletes it, so two conversions
// to one destination cannot interleave their bytes.
std::expected<int, std::string> claim_partial(const fs::path& part)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0)
            return std::unexpected(errno_text(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            ::close(fd);
            if (code == EWOULDBLOCK)
                return std::unexpected(std::string("otra conversión está escribiendo este GIF"));
            return std::unexpected(errno_text(code));
        }
        // The holder before us may have renamed or deleted the name we opened:
        // the lock counts only when it is on the file the name still points to.
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::stat(part.c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            // The GIF is published by renaming this file: it takes the mode
            // the user's mask gives, not the process's mask of the moment.
            const int code = ::ftruncate(fd, 0) != 0 ? errno : files::give_new_file_mode(fd);
            if (code != 0) {
                ::close(fd);
                return std::unexpected(errno_text(code));
            }
            return fd;
        }
        ::close(fd);
    }
    return std::unexpected(std::string("otra conversión está escribiendo este GIF"));
}

// Hands the encoder whole batches on a worker thread, so the reader decodes
// the next batch while this one is differenced, coded and written. The
// encoder sees the same pushes in the same order as when fed directly, and
// only one thread at a time touches it and its file: at most one batch is
// with the worker and one is being filled.
class BatchFeed {
public:
    explicit BatchFeed(gif::GifEncoder& encoder)
        : m_encoder(encoder)
    {
        m_filling.reserve(m_encoder.batch_size());
    }
    BatchFeed(const BatchFeed&) = delete;
    BatchFeed& operator=(const BatchFeed&) = delete;
    ~BatchFeed() { (void)wait(); }

    std::expected<void, std::string> push(gif::Frame frame)
    {
        m_filling.push_back(std::move(frame));
        if (m_filling.size() < m_encoder.batch_size())
            return {};
        if (auto r = wait(); !r)
            return r;
        auto batch = std::make_shared<std::vector<gif::Frame>>(std::exchange(m_filling, {}));
        m_filling.reserve(m_encoder.batch_size());
        if (!m_worker.started())
            return feed(*batch); // no thread to be had: encode here
        m_worker.post([this, batch] { m_result = feed(*batch); });
        return {};
    }

    // The first error of the batch with the worker, once it is done.
    std::expected<void, std::string> wait()
    {
        m_worker.wait_idle();
        return std::exchange(m_result, std::expected<void, std::string> {});
    }

    std::expected<gif::Counts, std::string> finish()
    {
        if (auto r = wait(); !r)
            return std::unexpected(r.error());
        if (auto r = feed(m_filling); !r)
            return std::unexpected(r.error());
        return m_encoder.finish();
    }

private:
    std::expected<void, std::string> feed(std::vector<gif::Frame>& frames)
    {
        for (gif::Frame& f : frames)
            if (auto r = m_encoder.push(std::move(f)); !r)
                return r;
        frames.clear();
        return {};
    }

    gif::GifEncoder& m_encoder;
    std::vector<gif::Frame> m_filling;
    std::expected<void, std::string> m_result; // the worker's, until wait() reads it
    util::Worker m_worker { "vistrope-gif", util::Worker::Refused::Fail }; // last
};

} // namespace

std::expected<GifReport, std::string> export_gif(const fs::path& source, const fs::path& destination, const GifSettings& settings)
{
    const auto started = std::chrono::steady_clock::now();
    const fs::path part = partial_path(destination);
    auto fd = claim_partial(part);
    if (!fd)
        return std::unexpected(fd.error());
    std::unique_ptr<gif::FileSink> file = gif::FileSink::adopt(*fd);
    FrameBuffers buffers;
    std::optional<gif::GifEncoder> encoder;
    std::optional<BatchFeed> feed;
    // Deleting happens once the worker has let go of the file, and before the
    // descriptor (and with it the lock) goes.
    const auto fail = [&](std::string message) -> std::expected<GifReport, std::string> {
        if (feed)
            (void)feed->wait();
        ::unlink(part.c_str());
        return std::unexpected(std::move(message));
    };

    const auto sink = [&](gif::Frame frame, std::uint32_t width, std::uint32_t height) -> std::expected<void, std::string> {
        if (!encoder) {
            gif::GifOptions options;
            options.threshold = 3;
            options.spent = [&buffers](std::vector<std::uint32_t> pixels) { buffers.give(std::move(pixels)); };
            auto made = gif::GifEncoder::create(*file, width, height, options);
            if (!made)
                return std::unexpected(made.error());
            encoder.emplace(std::move(*made));
            feed.emplace(*encoder);
        }
        return feed->push(std::move(frame));
    };
    auto decoded = decode_frames(source, settings, sink, &buffers);
    if (!decoded)
        return fail(decoded.error());
    if (!encoder)
        return fail("el video no tiene cuadros");
    auto counts = feed->finish();
    if (!counts)
        return fail(counts.error());
    if (::rename(part.c_str(), destination.c_str()) != 0)
        return fail(errno_text(errno));
    GifReport report;
    report.width = decoded->width;
    report.height = decoded->height;
    report.frames_read = counts->frames_received;
    report.frames_written = counts->frames_written;
    report.bytes = counts->bytes_written;
    report.decode_ms = decoded->decode_ms;
    report.seconds = decoded->seconds;
    report.asked = decoded->asked;
    report.total_ms = ms_since(started);
    return report;
}

namespace {

// A failed recording conversion keeps the video: its hidden MP4 is
// published beside it in the capture folder (a rename, never a copy that a
// full disk could leave half made). Where even that fails it stays hidden,
// for the next launch to publish.
std::optional<fs::path> rescue_recording(const fs::path& source)
{
    std::string name = publish::temporary_target(source.filename().string()).value_or(source.stem().string());
    if (name.ends_with(".mp4"))
        name.resize(name.size() - 4);
    auto published = publish::publish_file(publish::reserve_path(source.parent_path(), name, "mp4"), source);
    if (!published) {
        util::log(fmt::format("la grabación sigue en {}: {}", util::escape_controls(source.string()), published.error()));
        return std::nullopt;
    }
    util::log(fmt::format("la grabación quedó en {}", published->string()));
    return *published;
}

void finish_gif(const fs::path& source, const fs::path& destination, const GifCaller& caller,
    const util::Stopwatch& watch, const std::expected<GifReport, std::string>& result)
{
    util::require_main_thread("cola principal");
    if (std::holds_alternative<FromRecording>(caller) && !result) {
        if (auto moved = rescue_recording(source); moved && output::cards().show_video)
            output::cards().show_video(*moved, std::nullopt);
    } else if (const auto* trim = std::get_if<FromTrim>(&caller); trim && trim->done) {
        trim->done();
    }
    if (!result) {
        util::log(fmt::format("no pude crear el GIF: {}", result.error()));
        show_toast("exclamationmark.triangle", "No se pudo crear el GIF", 1.6);
        return;
    }
    const GifReport& r = *result;
    const double mb = static_cast<double>(r.bytes) / 1'000'000.0;
    watch.lap(fmt::format("{}×{}, {} de {} cuadros, {:.2f} MB (decodificar {:.0f} ms) en {}", r.width, r.height, r.frames_written,
        r.frames_read, mb, r.decode_ms, destination.string()));
    const auto settings = state::config();
    if (settings->after_capture.copy_to_clipboard)
        copy_file(destination);
    if (settings->after_capture.show_quick_access && output::cards().show_file)
        output::cards().show_file(destination);
    if (falls_short(r.seconds, r.asked)) {
        // The video ran out before the range did: what the GIF kept is said.
        util::log(fmt::format("el GIF tiene {:.2f} s de {:.2f} s pedidos", r.seconds, r.asked));
        show_toast("exclamationmark.triangle", fmt::format("GIF incompleto · {:.1f} de {:.1f} s · {:.1f} MB", r.seconds, r.asked, mb), 3.0);
        return;
    }
    show_toast("checkmark.circle", fmt::format("GIF listo · {:.1f} MB", mb), 1.6);
}

} // namespace

void make_gif(const fs::path& source, GifSettings settings, const fs::path& destination, bool remove_source, GifCaller caller)
{
    util::require_main_thread("hilo principal");
    show_toast("photo.stack", "Creando GIF…", 120);
    util::Stopwatch watch("gif");
    util::in_background([source, settings, destination, remove_source, caller = std::move(caller), watch]() mutable {
        auto result = export_gif(source, destination, settings);
        if (result && remove_source) {
            std::error_code ec;
            fs::remove(source, ec);
        }
        util::on_main([source, destination, caller = std::move(caller), watch, result = std::move(result)] {
            finish_gif(source, destination, caller, watch, result);
        });
    });
}

fs::path gif_path_for(const fs::path& source)
{
    fs::path folder = source.parent_path();
    if (folder.empty())
        folder = config::save_dir(*state::config());
    std::string stem = source.has_filename() ? source.stem().string() : std::string();
    if (stem.empty())
        stem = publish::capture_name_now();
    return publish::unique_path(folder, stem, "gif", [](const fs::path& candidate) {
        // An error (a folder that cannot be looked up) leaves the name free, so
        // the search ends and the writing reports the failure.
        std::error_code ec;
        const auto type = fs::symlink_status(partial_path(candidate), ec).type();
        return !ec && type != fs::file_type::not_found;
    });
}

// --- MP4 export -------------------------------------------------------------------

void export_mp4(const fs::path& source, const fs::path& destination, const Mp4Export& settings, Mp4Done done)
{
    util::require_main_thread("hilo principal");
    // The destination is deleted before the export reads the source: both
    // being one file would lose it.
    struct stat a {}, b {};
    if (::stat(source.c_str(), &a) == 0 && ::stat(destination.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
        done(std::unexpected(std::string("no se pudo preparar la exportación")));
        return;
    }
    if (settings.range && !(settings.range->second > settings.range->first)) {
        done(std::unexpected(std::string("el rango está vacío")));
        return;
    }
    auto backend = media();
    auto probe = backend->probe(source);
    if (!probe) {
        done(std::unexpected(probe.error()));
        return;
    }
    // What the export must hold: the range within the source, or all of it.
    const double duration = clean_duration(probe->duration);
    const double asked = settings.range ? std::max(std::min(settings.range->second, duration) - std::max(settings.range->first, 0.0), 0.0)
                                        : duration;
    std::error_code ec;
    fs::remove(destination, ec);
    const platform::Mp4Options options { settings.range, settings.mute, settings.resolution };
    util::in_background([backend, source, destination, options, asked, done = std::move(done)]() mutable {
        const platform::ExportOutcome outcome = backend->export_mp4(source, destination, options);
        std::expected<Mp4Made, std::string> result = std::unexpected(
            outcome.error ? *outcome.error : fmt::format("estado {}", static_cast<int>(outcome.status)));
        if (outcome.status == platform::ExportStatus::Completed) {
            // Checked before anyone is told: a file with no picture to
            // show is no export, and one shorter than asked says so.
            const auto written = backend->measure(destination);
            if (!written)
                result = std::unexpected(fmt::format("no pude leer lo exportado: {}", written.error()));
            else if (written->frames == 0)
                result = std::unexpected(std::string("lo exportado no tiene ningún cuadro que mostrar"));
            else
                result = Mp4Made { destination, written->seconds, asked };
            if (!result) {
                std::error_code gone;
                fs::remove(destination, gone);
            } else {
                // The media library creates the file with the process's mask of that
                // moment, which a library on another thread may have narrowed: the
                // export gets the mode the user's mask gives before anyone is told.
                ::chmod(destination.c_str(), static_cast<mode_t>(files::new_file_mode()));
            }
        }
        util::on_main([result = std::move(result), done = std::move(done)] {
            util::require_main_thread("cola principal");
            done(result);
        });
    });
}

} // namespace video
