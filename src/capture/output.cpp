#include "capture/output.h"

#include "base/config.h"
#include "codec/encode.h"
#include "codec/imageops.h"
#include "platform/sound_out.h"
#include "ui/hud.h"
#include "base/sound.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QClipboard>
#include <QColorSpace>
#include <QGuiApplication>
#include <QMimeData>

#include <fmt/format.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "ARGB32 pixels are B, G, R, A in memory only on little-endian machines");

namespace output {

namespace {

namespace fs = std::filesystem;

struct MainState {
    std::uint64_t next_delivery = 1;
    std::uint64_t last_copied = 0; // the newest delivery whose PNG went to the clipboard
    std::optional<std::shared_ptr<platform::SoundPlayer>> shutter; // filled once; null = no sound
    std::function<void(const Delivered&)> listener;
};

MainState& main_state()
{
    util::require_main_thread("hilo principal");
    static auto* s = new MainState(); // the shutter is released by release_sound
    return *s;
}

// The shutter sound, built on the first capture that plays one.
platform::SoundPlayer* shutter()
{
    MainState& s = main_state();
    if (!s.shutter) {
        const std::vector<std::uint8_t> wav = sound::shutter_wav();
        s.shutter = std::shared_ptr<platform::SoundPlayer>(platform::create_sound(wav));
    }
    return s.shutter->get();
}

std::string system_error(int err)
{
    return util::error_text(err);
}

std::string sized_name(std::string_view stem, std::string_view ext, unsigned n)
{
    if (n <= 1)
        return fmt::format("{}.{}", stem, ext);
    return fmt::format("{} ({}).{}", stem, n, ext);
}

void make_dir(const fs::path& dir, std::error_code& ec)
{
    fs::create_directories(dir, ec);
}

// Names chosen for files not published yet, process-wide.
struct Claims {
    std::mutex mutex;
    std::set<fs::path> paths;
};

Claims& claims()
{
    static Claims c;
    return c;
}

// The first name neither on disk nor claimed; with the claims' mutex held.
fs::path first_free(const fs::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const fs::path&)>& also_taken = {})
{
    for (unsigned n = 1;; ++n) {
        fs::path candidate = dir / sized_name(stem, ext, n);
        if (claims().paths.contains(candidate) || (also_taken && also_taken(candidate)))
            continue;
        // Not following links: a dangling link still holds the name, and
        // writing through it would land somewhere else.
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(candidate, ec);
        if (ec || st.type() == fs::file_type::not_found)
            return candidate;
    }
}

void unclaim(const fs::path& path)
{
    std::lock_guard lock(claims().mutex);
    claims().paths.erase(path);
}

std::string random_suffix()
{
    static constexpr std::string_view ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 engine { std::random_device {}() };
    std::string out(6, 'x');
    for (char& c : out)
        c = ALPHABET[engine() % ALPHABET.size()];
    return out;
}

// Puts `tmp` under `target` unless something stands there (EEXIST then).
// Where the file system refuses the atomic rename, a hard link does the
// same; where it has no hard links either, a check and a rename.
int publish_as(const fs::path& tmp, const fs::path& target)
{
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
    if (::link(tmp.c_str(), target.c_str()) == 0) {
        ::unlink(tmp.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP)
        return -1;
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(target, ec).type();
    if (type == fs::file_type::not_found)
        return ::rename(tmp.c_str(), target.c_str());
    errno = type == fs::file_type::none && ec ? ec.value() : EEXIST;
    return -1;
}

// Opens a new hidden file beside `path` for writing; its descriptor and
// name, or the error.
std::expected<std::pair<int, fs::path>, std::string> open_temporary(const fs::path& path)
{
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = path.parent_path() / fmt::format(".{}.{}", path.filename().string(), random_suffix());
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return std::unexpected(system_error(errno));
    return std::pair(fd, tmp);
}

// Writes every byte to a new hidden file beside `path`; its name, or the error.
std::expected<fs::path, std::string> write_temporary(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    auto opened = open_temporary(path);
    if (!opened)
        return std::unexpected(opened.error());
    const auto [fd, tmp] = *opened;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmp.c_str());
            return std::unexpected(system_error(err));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return std::unexpected(system_error(err));
    }
    return tmp;
}

// Everything the background job owns and the completion needs.
struct Job {
    std::uint64_t id = 0;
    Kind kind = Kind::Area;
    std::optional<Reserved> reserved;
    QImage image;
    qint64 image_key = 0; // which last shot this delivery stored
    QImage::Format format = QImage::Format_ARGB32_Premultiplied; // the picture's, for reading its PNG back
    QColorSpace color_space;
    double scale = 1.0;
    util::Stopwatch stopwatch { "" };
    bool copy = false;
    bool card = false;
    bool flash_in_place = false;
    std::vector<std::uint8_t> png;
    std::optional<fs::path> written;
    std::optional<std::string> save_error;
};

// A capture's pictures, its PNG and the card's work are freed into the
// allocator, which keeps the free pages of its heaps resident and, capture
// after capture, a little more of them. A second after a delivery (its flash
// and card made by then) they go back to the system; in a run of captures,
// at most once a second.
void trim_later()
{
    static bool armed = false;
    if (std::exchange(armed, true))
        return;
    util::after(1.0, [] {
        armed = false;
        util::in_utility([] { ::malloc_trim(0); });
    });
}

void complete(Job& job)
{
    util::require_main_thread("cola principal");
    MainState& s = main_state();
    bool copied = false;
    // An earlier capture that finishes late never replaces a newer one's copy.
    if (job.copy && job.id > s.last_copied) {
        copy_png(job.png);
        s.last_copied = job.id;
        copied = true;
    }
    if (job.written) {
        // Only the last shot this delivery stored learns the file: a newer
        // capture or an editor save has its own.
        if (state::last_shot_key() == job.image_key)
            state::record_last_shot_file(*job.written);
        if (job.card && cards().attach_file)
            cards().attach_file(*job.written, job.id);
    }
    if (job.save_error)
        hud::toast("exclamationmark.triangle", "No se pudo guardar la captura", 1.6);
    job.stopwatch.lap(std::string(done_text(copied, job.written.has_value())));
    const std::size_t png_bytes = job.png.size();
    // The last shot and the card keep these bytes, once, in place of the
    // picture: its grab segment goes back for the next capture.
    auto png = std::make_shared<const std::vector<std::uint8_t>>(std::move(job.png));
    state::keep_last_shot_as_png(job.image_key, { png, job.format, job.color_space });
    if (job.card && cards().attach_png)
        cards().attach_png(std::move(png), job.id);
    if (s.listener)
        s.listener({ job.id, job.kind, png_bytes, job.written, copied, job.card, job.flash_in_place, job.save_error });
    trim_later();
}

void run_job(std::shared_ptr<Job> job)
{
    job->png = encode(job->image, job->scale);
    job->stopwatch.lap(fmt::format("PNG de {:.2f} MB", static_cast<double>(job->png.size()) / 1'000'000.0));
    if (job->reserved) {
        if (auto published = publish(*job->reserved, job->png)) {
            job->written = std::move(*published);
        } else {
            job->save_error = published.error();
            util::log(fmt::format("no pude guardar {}: {}", util::escape_controls(job->reserved->path.string()), published.error()));
        }
    }
    job->image = QImage(); // the completion needs no pixels
    util::on_main([job] { complete(*job); });
}

} // namespace

std::string_view kind_name(Kind kind)
{
    switch (kind) {
    case Kind::Area:
        return "Area";
    case Kind::Window:
        return "Window";
    case Kind::Fullscreen:
        return "Fullscreen";
    case Kind::Scrolling:
        return "Scrolling";
    }
    util::fatal("output::Kind fuera de rango");
}

std::string_view done_text(bool copied, bool saved)
{
    if (copied && saved)
        return "listo en portapapeles y disco";
    if (copied)
        return "listo en portapapeles";
    if (saved)
        return "listo en disco";
    return "no guardada";
}

namespace {

Cards& card_sink()
{
    util::require_main_thread("hilo principal");
    static auto* held = new Cards();
    return *held;
}

} // namespace

void set_cards(Cards sink)
{
    card_sink() = std::move(sink);
}

const Cards& cards()
{
    return card_sink();
}

void set_delivered_listener(std::function<void(const Delivered&)> listener)
{
    main_state().listener = std::move(listener);
}

void deliver(Shot shot, util::Stopwatch stopwatch)
{
    util::require_main_thread("hilo principal");
    MainState& s = main_state();
    const std::shared_ptr<const config::Config> cfg = state::config();
    const config::AfterCapture& after = cfg->after_capture;
    stopwatch.lap(fmt::format("{} lista para entregar", kind_name(shot.kind)));

    if (after.play_sound)
        if (platform::SoundPlayer* sound = shutter())
            sound->play();

    state::set_last_shot(shot.image, shot.scale);

    auto job = std::make_shared<Job>();
    job->id = s.next_delivery++;
    job->kind = shot.kind;
    if (after.save)
        job->reserved = reserve_path(config::save_dir(*cfg), capture_name_now(), "png");
    job->image = shot.image;
    job->image_key = shot.image.cacheKey();
    job->format = shot.image.format();
    job->color_space = shot.image.colorSpace();
    job->scale = shot.scale;
    job->stopwatch = stopwatch;
    job->copy = after.copy_to_clipboard;
    job->card = after.show_quick_access;
    job->flash_in_place = !after.show_quick_access && shot.origin.has_value();
    util::in_background([job] { run_job(job); });

    if (after.show_quick_access) {
        if (cards().show_capture)
            cards().show_capture(shot.image, std::move(shot.origin), shot.scale, job->id);
        stopwatch.lap("vista rápida visible");
    } else if (shot.origin) {
        flash::play(*shot.origin, std::nullopt);
    }
}

std::string capture_name(const std::tm& t)
{
    return fmt::format("Vistrope {:04}-{:02}-{:02} a las {:02}.{:02}.{:02}", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
        t.tm_hour, t.tm_min, t.tm_sec);
}

std::string capture_name_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return capture_name(local);
}

fs::path unique_path(const fs::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const fs::path&)>& also_taken)
{
    std::error_code ec;
    make_dir(dir, ec); // a failure shows up when the file is written
    std::lock_guard lock(claims().mutex);
    return first_free(dir, stem, ext, also_taken);
}

Reserved reserve_path(const fs::path& dir, std::string_view stem, std::string_view ext)
{
    Reserved r { {}, std::nullopt, std::string(stem), std::string(ext) };
    std::error_code ec;
    make_dir(dir, ec);
    // A folder that cannot even be looked up (a name too long, links that
    // loop) fails this road like a missing one.
    std::error_code look;
    if (!fs::is_directory(dir, look)) {
        r.path = dir / sized_name(stem, ext, 1);
        r.error = system_error(ec ? ec.value() : look ? look.value() : ENOTDIR);
        return r;
    }
    std::lock_guard lock(claims().mutex);
    r.path = first_free(dir, stem, ext);
    claims().paths.insert(r.path);
    return r;
}

void release(const Reserved& reserved)
{
    if (!reserved.error)
        unclaim(reserved.path);
}

std::expected<fs::path, std::string> publish(const Reserved& reserved, std::span<const std::uint8_t> bytes)
{
    if (reserved.error)
        return std::unexpected(*reserved.error);
    const auto tmp = write_temporary(reserved.path, bytes);
    if (!tmp) {
        release(reserved);
        return std::unexpected(tmp.error());
    }
    auto published = publish_file(reserved, *tmp);
    if (!published)
        ::unlink(tmp->c_str());
    return published;
}

std::expected<fs::path, std::string> create_temporary(const fs::path& path)
{
    auto opened = open_temporary(path);
    if (!opened)
        return std::unexpected(opened.error());
    ::close(opened->first);
    return opened->second;
}

std::expected<fs::path, std::string> publish_file(const Reserved& reserved, const fs::path& temporary)
{
    if (reserved.error)
        return std::unexpected(*reserved.error);
    fs::path target = reserved.path;
    for (int attempt = 0;; ++attempt) {
        if (publish_as(temporary, target) == 0) {
            unclaim(target);
            release(reserved);
            return target;
        }
        const int err = errno;
        if (err != EEXIST || attempt == 10'000) {
            unclaim(target);
            release(reserved);
            return std::unexpected(system_error(err));
        }
        // Another program took the name since it was chosen: the next one.
        std::lock_guard lock(claims().mutex);
        if (target != reserved.path)
            claims().paths.erase(target);
        target = first_free(reserved.path.parent_path(), reserved.stem, reserved.ext);
        claims().paths.insert(target);
    }
}

std::optional<std::string> temporary_target(std::string_view name)
{
    if (!is_temporary_name(name))
        return std::nullopt;
    return std::string(name.substr(1, name.size() - 8));
}

bool is_temporary_name(std::string_view name)
{
    // ".<capture name>.<six letters or digits>"
    if (!name.starts_with(".Vistrope ") || name.size() < 18 || name[name.size() - 7] != '.')
        return false;
    for (const char c : name.substr(name.size() - 6))
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    const std::string_view inner = name.substr(1, name.size() - 8);
    return inner.ends_with(".png") || inner.ends_with(".mp4");
}

void remove_stale_temporaries(const fs::path& dir)
{
    std::error_code ec;
    const auto day_ago = fs::file_time_type::clock::now() - std::chrono::hours(24);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        // A recording's temporary is the recovery's: taken when abandoned,
        // set aside when it holds nothing playable, never removed unseen.
        const auto target = temporary_target(path.filename().string());
        if (!target || target->ends_with(".mp4"))
            continue;
        std::error_code file_ec;
        if (fs::symlink_status(path, file_ec).type() != fs::file_type::regular)
            continue;
        const auto modified = fs::last_write_time(path, file_ec);
        if (!file_ec && modified < day_ago)
            fs::remove(path, file_ec);
    }
}

namespace {

// The profile the image's pixels are in: its own, else sRGB.
std::optional<std::vector<std::uint8_t>> icc_of(const QImage& image)
{
    const QColorSpace space = image.colorSpace().isValid() ? image.colorSpace() : QColorSpace(QColorSpace::SRgb);
    const QByteArray icc = space.iccProfile();
    if (icc.isEmpty())
        return std::nullopt;
    return std::vector<std::uint8_t>(icc.begin(), icc.end());
}

} // namespace

Raster rasterize(const QImage& image)
{
    Raster raster;
    if (image.isNull())
        return raster;
    const QImage src = image.format() == QImage::Format_ARGB32_Premultiplied
        ? image
        : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    raster.width = static_cast<std::uint32_t>(src.width());
    raster.height = static_cast<std::uint32_t>(src.height());
    const std::size_t row = 4 * static_cast<std::size_t>(raster.width);
    if (static_cast<std::size_t>(src.bytesPerLine()) == row) {
        // One copy, without zero-filling the buffer first.
        raster.pixels.assign(src.constBits(), src.constBits() + row * raster.height);
    } else {
        raster.pixels.resize(row * raster.height);
        for (std::uint32_t y = 0; y < raster.height; ++y)
            std::memcpy(raster.pixels.data() + y * row, src.constScanLine(static_cast<int>(y)), row);
    }
    raster.icc = icc_of(image);
    return raster;
}

std::vector<std::uint8_t> encode(const QImage& image, double scale)
{
    // Pixels already in the encoder's layout are read where they are: a tall
    // scrolling capture is hundreds of megabytes.
    const QImage src = image.format() == QImage::Format_ARGB32_Premultiplied
        ? image
        : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    encode::PngOptions options;
    options.icc = icc_of(image);
    options.scale = scale;
    return encode::encode_png({ { src.constBits(), static_cast<std::size_t>(src.sizeInBytes()) },
                                  static_cast<std::uint32_t>(src.width()), static_cast<std::uint32_t>(src.height()),
                                  static_cast<std::size_t>(src.bytesPerLine()), false },
        std::move(options));
}

std::expected<fs::path, std::string> save_image(const QImage& image, double scale)
{
    return save_png(encode(image, scale));
}

std::expected<fs::path, std::string> save_png(std::span<const std::uint8_t> png)
{
    const std::shared_ptr<const config::Config> cfg = state::config();
    const Reserved reserved = reserve_path(config::save_dir(*cfg), capture_name_now(), "png");
    if (reserved.error)
        return std::unexpected(*reserved.error);
    return publish(reserved, png);
}

void copy_png(std::span<const std::uint8_t> png)
{
    util::require_main_thread("hilo principal");
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"),
        QByteArray(reinterpret_cast<const char*>(png.data()), static_cast<qsizetype>(png.size())));
    QGuiApplication::clipboard()->setMimeData(data); // the clipboard takes the data over
}

std::optional<std::size_t> alpha_offset(QImage::Format format)
{
    switch (format) {
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return 3; // a 32-bit 0xAARRGGBB word, little-endian in memory
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return 3; // bytes R, G, B, A
    default:
        return std::nullopt; // no alpha, padding only, or not 8 bits in 32
    }
}

std::optional<QImage> trim_transparent(const QImage& image)
{
    if (image.isNull() || image.depth() != 32)
        return std::nullopt;
    const auto offset = alpha_offset(image.format());
    if (!offset)
        return std::nullopt;
    const std::size_t stride = static_cast<std::size_t>(image.bytesPerLine());
    const std::size_t needed = stride * static_cast<std::size_t>(image.height());
    if (static_cast<std::size_t>(image.sizeInBytes()) < needed)
        return std::nullopt;
    const imageops::View view { { image.constBits(), needed }, static_cast<std::size_t>(image.width()),
        static_cast<std::size_t>(image.height()), stride };
    const auto bounds = imageops::opaque_bounds(view, *offset);
    if (!bounds)
        return std::nullopt;
    if (bounds->x == 0 && bounds->y == 0 && bounds->w == view.width && bounds->h == view.height)
        return std::nullopt;
    return image.copy(static_cast<int>(bounds->x), static_cast<int>(bounds->y), static_cast<int>(bounds->w),
        static_cast<int>(bounds->h));
}

void release_sound()
{
    main_state().shutter.reset();
}

} // namespace output
