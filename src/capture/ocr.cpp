#include "capture/ocr.h"

#include "ui/hud.h"
#include "platform/text_recognizer.h"
#include "base/files.h"
#include "base/png_chunks.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QClipboard>
#include <QGuiApplication>

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <mutex>

namespace ocr {

namespace {

std::mutex g_recognizer_mutex;

// Past this no picture would decode anyway (the toolkit refuses images of
// more than 256 MiB), and a QByteArray's size is an int.
constexpr std::uint64_t MAX_PNG_BYTES = 1u << 30;
// Held on the heap and never destroyed by the static destructors: the engine
// is released by the application (set_recognizer(nullptr)) before main returns.
std::shared_ptr<platform::TextRecognizer>& recognizer_slot()
{
    static auto* held = new std::shared_ptr<platform::TextRecognizer>();
    return *held;
}

std::shared_ptr<platform::TextRecognizer> recognizer()
{
    std::lock_guard lock(g_recognizer_mutex);
    if (!recognizer_slot())
        recognizer_slot() = platform::create_tesseract_recognizer();
    return recognizer_slot();
}

ToastSink g_toast;

// The idle release of the engines: the last use, and whether a timer is
// armed (one at a time, armed again while captures come).
std::mutex g_idle_mutex;
std::chrono::steady_clock::time_point g_last_use;
bool g_release_armed = false;
double g_idle_seconds = ENGINE_IDLE_SECONDS;

void release_if_idle()
{
    std::shared_ptr<platform::TextRecognizer> engine;
    {
        std::lock_guard lock(g_idle_mutex);
        g_release_armed = false;
        const double idle = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_last_use).count();
        if (idle < g_idle_seconds) {
            g_release_armed = true;
            util::after(g_idle_seconds - idle, release_if_idle);
            return;
        }
        std::lock_guard held(g_recognizer_mutex);
        engine = recognizer_slot();
    }
    if (engine)
        util::in_utility([engine] { engine->release_idle(); });
}

// Notes a use of the engines and arms their release. Any thread.
void used_engines()
{
    std::lock_guard lock(g_idle_mutex);
    g_last_use = std::chrono::steady_clock::now();
    if (g_release_armed)
        return;
    g_release_armed = true;
    util::after(g_idle_seconds, release_if_idle);
}

void show_toast(std::string_view symbol, std::string_view text, double seconds)
{
    hud::toast_through(g_toast, symbol, text, seconds);
}

std::vector<Found> to_pixels(const std::vector<platform::Fragment>& fragments, double w, double h)
{
    std::vector<Found> out;
    out.reserve(fragments.size());
    for (const auto& f : fragments)
        out.push_back({ f.text, w * f.box.x0, w * f.box.x1, h * f.box.top, h * f.box.bottom, f.line });
    return out;
}

} // namespace

std::vector<std::string> choose_languages(const std::vector<std::string>& supported)
{
    std::vector<std::string> out;
    for (const char* tag : { "es-MX", "es-ES", "en-US" })
        if (std::find(supported.begin(), supported.end(), tag) != supported.end())
            out.emplace_back(tag);
    if (out.empty())
        out.emplace_back("en-US");
    return out;
}

const std::vector<std::string>& languages()
{
    static const std::vector<std::string> LANGS = choose_languages(recognizer()->supported_languages());
    return LANGS;
}

void set_toast_sink(ToastSink sink)
{
    util::require_main_thread("hilo principal");
    g_toast = std::move(sink);
}

void set_engine_idle_seconds(double seconds)
{
    util::require_main_thread("hilo principal");
    std::lock_guard lock(g_idle_mutex);
    g_idle_seconds = seconds < 0 ? ENGINE_IDLE_SECONDS : seconds;
    // A timer armed for the old delay must not hold back the new one.
    g_release_armed = false;
}

void set_recognizer(std::unique_ptr<platform::TextRecognizer> replacement)
{
    std::lock_guard lock(g_recognizer_mutex);
    recognizer_slot() = std::move(replacement);
}

// The recognition, or the recogniser's failure (logged): an engine that
// cannot run (its module missing) is not "no text".
std::expected<Result, std::string> recognize_checked(const QImage& image)
{
    const auto engine = recognizer();
    auto found = engine->recognize(image, languages());
    if (!found) {
        util::log(fmt::format("el reconocedor falló: {}", found.error()));
        return std::unexpected(found.error());
    }
    const double w = image.width();
    const double h = image.height();
    return assemble(to_pixels(found->texts, w, h), to_pixels(found->codes, w, h));
}

Result recognize_sync(const QImage& image)
{
    return recognize_checked(image).value_or(Result {});
}

std::string toast_text(const Result& result)
{
    const std::size_t n = count_chars(result.text);
    if (n == 0)
        return "No encontré texto";
    return fmt::format("{} · {} {}", result.has_code ? "Código copiado" : "Texto copiado", n,
                       n == 1 ? "carácter" : "caracteres");
}

void deliver(const Result& result)
{
    util::require_main_thread("hilo principal");
    if (count_chars(result.text) == 0) {
        show_toast("text.magnifyingglass", toast_text(result), 1.4);
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(result.text));
    show_toast("doc.on.clipboard", toast_text(result), 1.2);
}

void warm_up()
{
    const auto engine = recognizer();
    engine->prepare(languages());
    // A white 256 × 64 picture: nothing to read, but it runs the whole path once.
    QImage blank(256, 64, QImage::Format_RGB32);
    blank.fill(Qt::white);
    (void)recognize_sync(blank);
    used_engines();
}

void start_text_capture(QImage image, double scale, util::Stopwatch capture)
{
    util::in_background([image = std::move(image), scale, capture = std::move(capture)]() mutable {
        const util::Stopwatch stopwatch("OCR");
        // Noted at the start too, so the idle release never lands while
        // this reading runs.
        used_engines();
        auto checked = recognize_checked(image);
        used_engines();
        image = QImage(); // the capture is not needed any more
        if (!checked) {
            util::on_main([capture] {
                show_toast("exclamationmark.triangle", "No se pudo leer el texto", 1.6);
                capture.lap("el reconocedor falló; el portapapeles no cambia");
            });
            return;
        }
        Result result = std::move(*checked);
        stopwatch.lap(fmt::format("{} caracteres", count_chars(result.text)));
        util::on_main([result = std::move(result), scale, capture] {
            deliver(result);
            // The log says what happened: nothing found leaves the clipboard alone.
            const std::size_t n = count_chars(result.text);
            if (n == 0)
                capture.lap(fmt::format("sin texto; el portapapeles no cambia (escala {:.1f})", scale));
            else
                capture.lap(fmt::format("{} en portapapeles: {} caracteres (escala {:.1f})", result.has_code ? "código" : "texto", n, scale));
        });
    });
}

int cli(const std::optional<std::string>& path)
{
    if (!path) {
        std::fputs("uso: vistrope --ocr <imagen.png>\n", stderr);
        return 2;
    }
    // Opened by its bytes, so a name that is not UTF-8 works; only a regular
    // file, so a FIFO or a device cannot hold the command forever.
    const auto bytes = files::read_regular(std::filesystem::path(*path), MAX_PNG_BYTES);
    // The chunks are walked before the decoder sees them: it would allocate
    // whatever length a chunk claims before finding the file too short.
    if (bytes) {
        const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
        if (png_chunks::is_png(data))
            if (const auto fits = png_chunks::check(data); !fits) {
                std::fprintf(stderr, "no pude leer %s como PNG: %s\n", path->c_str(), fits.error().c_str());
                return 1;
            }
    }
    QImage image;
    if (!bytes || !image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()), "PNG")
        || image.isNull()) {
        std::fprintf(stderr, "no pude leer %s como PNG\n", path->c_str());
        return 1;
    }
    if (std::getenv("VISTROPE_OCR_PREWARM")) {
        const util::Stopwatch stopwatch("precalentar");
        warm_up();
        stopwatch.lap("listo");
    }
    const util::Stopwatch stopwatch("OCR");
    const auto checked = recognize_checked(image);
    if (!checked) {
        std::fprintf(stderr, "no pude leer el texto: %s\n", checked.error().c_str());
        return 1;
    }
    const Result& result = *checked;
    stopwatch.lap(fmt::format("{} caracteres (código: {})", count_chars(result.text), result.has_code));
    if (std::getenv("VISTROPE_OCR_BENCH")) {
        const util::Stopwatch warm("OCR en caliente");
        (void)recognize_sync(image);
        warm.lap("listo");
    }
    std::fwrite(result.text.data(), 1, result.text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace ocr
