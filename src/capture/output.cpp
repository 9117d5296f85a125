#include "capture/output.h"

#include "base/config.h"
#include "base/publish.h"
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

#include <malloc.h>

#include <cstring>
#include <memory>

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

// Everything the background job owns and the completion needs.
struct Job {
    std::uint64_t id = 0;
    Kind kind = Kind::Area;
    std::optional<publish::Reserved> reserved;
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
    const std::size_t png_bytes = job.png.size();
    // The clipboard, the last shot and the card keep these bytes, once, in
    // place of the picture: its grab segment goes back for the next capture.
    auto png = std::make_shared<const std::vector<std::uint8_t>>(std::move(job.png));
    // An earlier capture that finishes late never replaces a newer one's copy.
    if (job.copy && job.id > s.last_copied) {
        copy_png(png);
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
        if (auto published = publish::publish(*job->reserved, job->png)) {
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
        job->reserved = publish::reserve_path(config::save_dir(*cfg), publish::capture_name_now(), "png");
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
    const publish::Reserved reserved = publish::reserve_path(config::save_dir(*cfg), publish::capture_name_now(), "png");
    if (reserved.error)
        return std::unexpected(*reserved.error);
    return publish::publish(reserved, png);
}

namespace {

// PNG bytes on the clipboard, shared with the capture that made them: a
// copy is made only for whoever pastes.
class SharedPng final : public QMimeData {
public:
    explicit SharedPng(std::shared_ptr<const std::vector<std::uint8_t>> png)
        : m_png(std::move(png))
    {
    }

    QStringList formats() const override { return { QStringLiteral("image/png") }; }

protected:
    QVariant retrieveData(const QString& mime, QMetaType) const override
    {
        if (mime != QStringLiteral("image/png"))
            return {};
        return QByteArray(reinterpret_cast<const char*>(m_png->data()), static_cast<qsizetype>(m_png->size()));
    }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> m_png;
};

} // namespace

void copy_png(std::shared_ptr<const std::vector<std::uint8_t>> png)
{
    util::require_main_thread("hilo principal");
    if (!png)
        return;
    QGuiApplication::clipboard()->setMimeData(new SharedPng(std::move(png))); // the clipboard takes the data over
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
