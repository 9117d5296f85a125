#include "record/recorder_check.h"

#include "ui/hud.h"
#include "base/config.h"
#include "base/publish.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "platform/screens.h"
#include "capture/capture.h"
#include "capture/overlay.h"
#include "platform/capture_stream.h"
#include "platform/panels.h"
#include "record/input_overlay.h"
#include "record/recorder.h"
#include "record/recorder_stream.h"
#include "record/recorder_ui.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fs = std::filesystem;

namespace recorder {

namespace {

void say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool env(const char* name)
{
    return std::getenv(name) != nullptr;
}

std::string codec_list(const std::vector<platform::VideoCodec>& codecs)
{
    std::string out = "[";
    for (std::size_t i = 0; i < codecs.size(); ++i)
        out += (i ? ", \"" : "\"") + platform::codec_tag(codecs[i]) + "\"";
    return out + "]";
}

std::string size_text(PixelSize s)
{
    return fmt::format("({}, {})", s.width, s.height);
}

std::string result_text(const std::expected<void, std::string>& r)
{
    return r ? std::string("ok") : r.error();
}

} // namespace

std::optional<std::uint32_t> parse_u32(std::string_view text)
{
    if (text.starts_with('+'))
        text.remove_prefix(1);
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::vector<double> parse_numbers(std::string_view text)
{
    std::vector<double> out;
    for (const QString& piece : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).split(',')) {
        bool ok = false;
        const double v = piece.trimmed().toDouble(&ok);
        if (ok && std::isfinite(v))
            out.push_back(v);
    }
    return out;
}

bool snapshot(QWidget* view, const fs::path& path)
{
    view->ensurePolished();
    const QPixmap pm = view->grab();
    if (auto written = publish::write_output(path, output::encode(pm.toImage(), 1.0)); !written) {
        say(fmt::format("dibujo: {}", written.error()));
        return false;
    }
    say(fmt::format("dibujo: {} ({}×{} px)", path.string(), pm.width(), pm.height()));
    return true;
}

int debug_check(const fs::path& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        say(fmt::format("no pude crear la carpeta {}", dir.string()));
        return 1;
    }
    bool all_ok = true;

    // Each callback, called through the interface the stream knows it by,
    // must forward exactly its own report with the delegate's id.
    std::vector<Report> forwarded;
    auto delegate = std::make_shared<RecorderDelegate>(7, [&forwarded](Report r) { forwarded.push_back(std::move(r)); });
    say(fmt::format("clase {} registrada, id {}", delegate->class_name(), delegate->id()));
    const auto answers = [&](auto call, std::optional<Report> expected) {
        forwarded.clear();
        call();
        const bool ok = expected ? forwarded == std::vector { *expected } : forwarded.empty();
        all_ok = all_ok && ok;
        return ok;
    };
    platform::RecordingListener& as_recording = *delegate;
    platform::StreamListener& as_stream = *delegate;
    platform::StreamOutput& as_output = *delegate;
    using Kind = Report::Kind;
    const bool finish = answers([&] { as_recording.recording_finished(); }, Report { Kind::RecordingFinished, 7, {} });
    const bool start = answers([&] { as_recording.recording_started(); }, Report { Kind::RecordingStarted, 7, {} });
    const bool fail = answers([&] { as_recording.recording_failed("prueba"); }, Report { Kind::RecordingFailed, 7, "prueba" });
    const bool stop = answers([&] { as_stream.stream_stopped("prueba"); }, Report { Kind::StreamStopped, 7, "prueba" });
    const bool output = answers([&] { as_output.stream_output(platform::StreamOutputType::Screen); }, std::nullopt);
    say(fmt::format("responde a didFinish={} didStart={} didFail={} didStop={} didOutput={}", finish, start, fail, stop, output));

    const fs::path test_file = dir / "prueba.mp4";
    const auto codecs = platform::available_video_codecs();
    const auto screens = platform::screens();
    platform::ContentFilter display_filter;
    if (auto content = capture::cached(); content && !content->displays.empty())
        display_filter.display = content->displays.front();
    else if (!screens.empty())
        display_filter.display.display_id = screens.front().display_id;
    for (bool hevc : { false, true }) {
        const auto rc = recording_configuration(test_file.string(), hevc, codecs);
        say(fmt::format("hevc={}: url={} tipo=mp4 códec={}", hevc, rc.path, platform::codec_tag(rc.codec)));
        say(fmt::format("  códecs disponibles {}, contenedores [\"mp4\"]", codec_list(codecs)));
        platform::StreamConfiguration sc;
        sc.width = 64;
        sc.height = 64;
        auto stream = platform::create_capture_stream(display_filter, sc, delegate);
        const bool made = stream && (*stream)->add_recording_output(rc, delegate).has_value();
        all_ok = all_ok && made;
        say(fmt::format("  salida de grabación (libavformat) creada: {}", made));
    }

    const platform::FrameInterval interval { 1, 60 };
    // Flag 1: a valid interval, the only kind there is.
    say(fmt::format("intervalo: value={} timescale={} flags=1 ({:.5f} s)", interval.value, interval.timescale, 1.0 / 60));
    platform::StreamConfiguration configured;
    configured.width = 64;
    configured.height = 64;
    configured.minimum_frame_interval = interval;
    auto stream = platform::create_capture_stream(display_filter, configured, delegate);
    if (stream) {
        const auto back = (*stream)->configuration().minimum_frame_interval;
        say(fmt::format("ida y vuelta por StreamConfiguration: {}/{} flags=1", back.value, back.timescale));
    } else {
        say(fmt::format("ida y vuelta por StreamConfiguration: {}", stream.error()));
    }

    say(fmt::format("tamaños: 1512×982@2 h264 {}, 5120×2880@1 h264 {}, hevc {}",
        size_text(pixel_size(1512, 982, 2, platform::VideoCodec::H264)),
        size_text(pixel_size(5120, 2880, 1, platform::VideoCodec::H264)),
        size_text(pixel_size(5120, 2880, 1, platform::VideoCodec::Hevc))));

    // The stream takes the delegate as its listener, its sample output and
    // its recording's listener: that is what conforming means here.
    bool listener = false, output_taken = false, recording_taken = false;
    auto empty = platform::create_capture_stream(platform::ContentFilter {}, configured, delegate);
    if (empty) {
        listener = true;
        const auto added = (*empty)->add_stream_output(delegate, platform::StreamOutputType::Screen);
        output_taken = added.has_value();
        say(fmt::format("addStreamOutput: {}", result_text(added)));
        const auto recording = (*empty)->add_recording_output(recording_configuration(test_file.string(), false, codecs), delegate);
        recording_taken = recording.has_value();
        say(fmt::format("addRecordingOutput: {}", result_text(recording)));
    } else {
        say(fmt::format("CaptureStream: {}", empty.error()));
    }
    all_ok = all_ok && listener && output_taken && recording_taken && stream.has_value();
    empty = std::unexpected(std::string());
    stream = std::unexpected(std::string());
    // Nothing was recorded: the outputs' empty file goes.
    fs::remove(test_file, ec);

    say(fmt::format("StreamListener: \tconforma={}", listener && stop));
    say(fmt::format("StreamOutput: \tconforma={}", output_taken && output));
    say(fmt::format("RecordingListener: \tconforma={}", recording_taken && finish && start && fail));

    {
        auto* capsule = hud::panel({ -20000, -20000, 200, CAPSULE_HEIGHT }, false);
        auto* controls = new VistropeRecordControls();
        controls->setParent(capsule);
        capsule->resize(controls->size());
        controls->set_time("01:23");
        controls->set_hovered(true);
        all_ok = snapshot(controls, dir / "capsula.png") && all_ok;
        delete capsule;
    }
    {
        QWidget* toast = hud::prepare_toast("doc.on.clipboard", "Texto copiado · 238 caracteres");
        all_ok = snapshot(toast, dir / "aviso.png") && all_ok;
        toast->window()->hide();
    }
    {
        const platform::RectF main = screens.empty() ? platform::RectF { 0, 0, 1920, 1080 } : screens.front().frame;
        const platform::RectF area { main.x - 10000, main.y - 10000, 320, 200 };
        const platform::RectF visible { area.x - 140, area.y - 200, 600, 600 };
        auto ui = Ui::create(area, visible, true);
        ui->show_countdown(3);
        ui->outline()->move(-20000, -20000);
        all_ok = snapshot(ui->outline(), dir / "borde.png") && all_ok;
        ui->close();
    }
    return all_ok ? 0 : 1;
}

namespace {

struct Script {
    fs::path dir;
    bool input = false;
};

void list_and_quit(const fs::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto ext = it->path().extension();
        if (ext == ".mp4" || ext == ".gif")
            names.push_back(fmt::format("\"{}\"", it->path().filename().string()));
    }
    std::sort(names.begin(), names.end());
    util::log(fmt::format("prueba: videos [{}], sigue activa={}", fmt::join(names, ", "), running()));
    // A test that wrote no video did not do what it says.
    QCoreApplication::exit(names.empty() ? 1 : 0);
}

// A flat, opaque panel of one colour.
class FlatPanel final : public QWidget {
public:
    explicit FlatPanel(QColor colour)
        : m_colour(colour)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), m_colour);
    }

private:
    QColor m_colour;
};

QWidget* test_panel(const platform::RectF& global, int level, QColor colour)
{
    auto* w = new FlatPanel(colour);
    platform::make_panel(w, level, platform::Mouse::Ignores);
    const double primary = platform::primary_height();
    const auto tl = platform::rect_to_top_left(global, primary);
    w->setGeometry(QRect(static_cast<int>(std::lround(tl.x)), static_cast<int>(std::lround(tl.y)), static_cast<int>(std::lround(tl.w)),
        static_cast<int>(std::lround(tl.h))));
    w->show();
    return w;
}

// The window manager lists a new panel a moment after it is shown: fetch
// the content anew until it does (two seconds at most), then record it.
void start_when_listed(std::uint32_t display, std::optional<platform::RectF> region, std::uint32_t window, double scale,
    actions::RecordingFormat format, int tries)
{
    capture::refresh([=](capture::Content content) {
        if ((!content || !capture::find_window(*content, window)) && tries < 20) {
            util::after(0.1, [=] { start_when_listed(display, region, window, scale, format, tries + 1); });
            return;
        }
        start_inner(display, region, window, scale, format);
    });
}

void run_script(const Script& script)
{
    const auto screens = platform::screens();
    if (screens.empty()) {
        QCoreApplication::quit();
        return;
    }
    const platform::Screen& main = screens.front();
    const bool full = env("VISTROPE_RECORD_FULL");
    const std::optional<platform::RectF> region = full
        ? std::nullopt
        : std::optional(platform::RectF { std::round(main.frame.w * 0.2), std::round(main.frame.h * 0.2), 640, 400 });
    const platform::RectF area = global_area(main.frame, region);
    const auto format = env("VISTROPE_RECORD_GIF") ? actions::RecordingFormat::Gif : actions::RecordingFormat::Video;

    std::vector<double> at;
    if (const char* ui_at = std::getenv("VISTROPE_RECORD_UI_AT")) {
        at = parse_numbers(ui_at);
        if (at.size() < 2)
            util::log(fmt::format("prueba: VISTROPE_RECORD_UI_AT necesita dos números ({}); grabo el área de prueba", ui_at));
    }
    if (at.size() >= 2) {
        overlay::begin(overlay::Mode::Window, overlay::Purpose::Record, format);
        util::after(0.6, [x = at[0], y = at[1]] { overlay::debug_click_global({ x, y }); });
    } else if (env("VISTROPE_RECORD_WINDOW")) {
        QWidget* a = test_panel(area, 3, util::rgba(1, 0, 1, 1));
        QWidget* b = test_panel({ area.x + area.w / 2, area.y + area.h - 0.6 * area.h, area.w, 0.4 * area.h }, 4, util::rgba(0, 1, 0, 1));
        platform::restack_panels();
        const auto window = static_cast<std::uint32_t>(a->winId());
        start_when_listed(main.display_id, region, window, main.scale, format, 0);
        util::after(4.0, [a, b] {
            a->hide();
            b->hide();
            a->deleteLater();
            b->deleteLater();
        });
    } else {
        start_inner(main.display_id, region, std::nullopt, main.scale, format);
    }
    util::log(fmt::format("prueba: grabando {}×{} pt, activa={}", area.w, area.h, running()));

    if (script.input) {
        const double cx = area.x + area.w / 2, cy = area.y + area.h / 2;
        util::after(1.0, [cx, cy] { input_overlay::simulate(0, cx, cy); });
        util::after(1.3, [cx, cy] { input_overlay::simulate(1, cx, cy); });
        util::after(1.6, [cx, cy] { input_overlay::simulate(0, cx, cy); });
    }
    util::after(2.5, [] {
        const Session* r = session();
        if (auto* ui = r ? dynamic_cast<Ui*>(r->ui.get()) : nullptr)
            ui->click_status_item();
        else
            stop();
    });
    util::after(4.0, [] {
        int visible = 0;
        for (QWidget* w : platform::panels())
            visible += platform::panel_level(w) == input_overlay::PANEL_LEVEL && w->isVisible();
        util::log(fmt::format("prueba: ventanas de clics visibles tras detener: {}", visible));
    });
    util::after(6.0, [dir = script.dir] { list_and_quit(dir); });
}

} // namespace

void record_test(const fs::path& dir)
{
    config::Config cfg = *state::config();
    if (env("VISTROPE_RECORD_HEVC"))
        cfg.recording.hevc = true;
    if (env("VISTROPE_RECORD_AUDIO"))
        cfg.recording.system_audio = true;
    if (env("VISTROPE_RECORD_INPUT"))
        cfg.recording.show_clicks = true;
    if (const char* countdown = std::getenv("VISTROPE_RECORD_COUNTDOWN"))
        if (auto v = parse_u32(countdown))
            cfg.recording.countdown_seconds = *v;
    // The folder it lists is where the recordings go.
    cfg.save_dir = dir.string();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        util::log(fmt::format("prueba: no pude crear la carpeta {}", util::escape_controls(dir.string())));
        util::on_main([] { QCoreApplication::exit(1); });
        return;
    }
    state::set_config(std::make_shared<config::Config>(cfg));
    util::after(1.0, [script = Script { dir, env("VISTROPE_RECORD_INPUT") }] { run_script(script); });
}

} // namespace recorder
