// The trim-and-export window on the real X server with libmpv, driven with
// xdotool as a user would; exports read back with ffprobe. And the
// --video-ui self-check of the program itself.
#include "record/video_editor.h"

#include "base/config.h"
#include "base/state.h"
#include "cards/quick_access.h"
#include "clip_maker.h"
#include "platform/video_player.h"
#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QAbstractItemView>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSlider>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using testing_support::pump_for;
using testing_support::run_serving;
using testing_support::wait_until;

namespace {

void xdotool(const QStringList& args) { run_serving("xdotool", args); }

QPoint global_centre(const QWidget* w) { return w->mapToGlobal(w->rect().center()); }

void click(const QWidget* w)
{
    const QPoint c = global_centre(w);
    xdotool({ "mousemove", QString::number(c.x()), QString::number(c.y()), "click", "1" });
}

void drag(QPoint from, QPoint to)
{
    xdotool({ "mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1" });
    xdotool({ "mousemove", QString::number((from.x() + to.x()) / 2), QString::number(to.y()) });
    xdotool({ "mousemove", QString::number(to.x()), QString::number(to.y()), "mouseup", "1" });
}

// ffprobe's streams and duration: "video" → "1280x720", "audio" → "", "duration" → "3.0".
std::map<std::string, std::string> probe(const fs::path& file)
{
    const std::string out = run_serving("ffprobe", { "-v", "error", "-show_entries", "stream=codec_type,width,height:format=duration",
                                                       "-of", "csv=p=0", QString::fromStdString(file.string()) })
                                .toStdString();
    std::map<std::string, std::string> facts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("video,"))
            facts["video"] = line.substr(6);
        else if (line.starts_with("audio"))
            facts["audio"] = "";
        else if (!line.empty())
            facts["duration"] = line;
    }
    return facts;
}

class VideoEditorDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        auto settings = std::make_shared<config::Config>(*state::config());
        settings->after_capture.copy_to_clipboard = false;
        settings->save_dir = m_dir.path().string();
        state::set_config(settings);
    }
    void TearDown() override
    {
        testing_support::from_event_loop([] {
            for (auto& e : std::vector(video_editor::editors()))
                e->window->close();
        });
        for (VistropeQuickCard* c : std::vector(quick_access::cards()))
            c->close();
        pump_for(300);
        state::reset_for_tests();
    }

    testing_support::TempHome m_home;
    testing_support::TempDir m_dir;
};

// The toasts of the trim window, as they are shown, while it lives.
struct Toasts {
    std::vector<std::string> texts;
    Toasts()
    {
        video_editor::set_toast_sink([this](std::string_view, std::string_view text, double) { texts.emplace_back(text); });
    }
    ~Toasts() { video_editor::set_toast_sink(nullptr); }
    bool any(std::string_view start) const
    {
        return std::ranges::any_of(texts, [&](const std::string& t) { return t.starts_with(start); });
    }
};

// Opens the trim window on `clip` and exports it whole as an MP4 in its
// original size; the export's file, where one is left.
std::optional<fs::path> export_whole(const fs::path& clip, const fs::path& made, const Toasts& toasts)
{
    video_editor::open(clip);
    if (video_editor::editors().size() != 1) {
        ADD_FAILURE() << "no window for " << clip;
        return std::nullopt;
    }
    auto e = video_editor::editors().back();
    if (!wait_until([&] { return e->window->isVisible() && !e->busy; }, 20000))
        ADD_FAILURE() << "the window did not open";
    pump_for(300);
    EXPECT_EQ(e->resolution_popup->currentIndex(), 0); // "Original"
    click(e->mp4_button);
    // "Exportando MP4…", then what came of it.
    EXPECT_TRUE(wait_until([&] { return !e->busy && toasts.texts.size() >= 2; }, 60000)) << fmt::format("{}", fmt::join(toasts.texts, " | "));
    testing_support::from_event_loop([e] { e->window->close(); });
    EXPECT_TRUE(wait_until([] { return video_editor::editors().empty(); }, 20000)) << "the window did not close";
    return fs::exists(made) ? std::optional(made) : std::nullopt;
}

// A 10 s 1920 × 1080 recording with sound.
fs::path make_recording(const fs::path& dir)
{
    testing_support::ClipSpec spec;
    spec.width = 1920;
    spec.height = 1080;
    spec.fps = 30;
    spec.frames = 300;
    spec.sine = true;
    const fs::path clip = dir / "toma.mp4";
    if (auto error = testing_support::make_clip(clip, spec))
        ADD_FAILURE() << *error;
    return clip;
}

} // namespace

TEST_F(VideoEditorDesktop, TrimExportAndPlayAsAUser)
{
    const fs::path clip = make_recording(m_dir.path());
    xdotool({ "mousemove", "400", "300" });
    video_editor::open(clip);
    ASSERT_EQ(video_editor::editors().size(), 1u);
    auto e = video_editor::editors().back();
    platform::VideoPlayerView* player = e->player_view;
    ASSERT_TRUE(wait_until([&] { return e->window->isActiveWindow() && player->can_begin_trimming(); }, 20000));
    pump_for(300);

    // "Recortar…", then both handles dragged inwards, then "Recortar".
    click(e->window->findChild<QPushButton*>("trim"));
    ASSERT_TRUE(wait_until([&] { return player->trimming(); }, 5000));
    auto* bar = player->findChild<QWidget*>("range");
    ASSERT_TRUE(bar);
    pump_for(200);
    const int y = bar->height() / 2;
    const int w = bar->width();
    drag(bar->mapToGlobal(QPoint(5, y)), bar->mapToGlobal(QPoint(5 + (w - 20) / 5, y)));         // about 2 s
    drag(bar->mapToGlobal(QPoint(w - 5, y)), bar->mapToGlobal(QPoint(w - 5 - (w - 20) * 2 / 5, y))); // about 6 s
    pump_for(200);
    click(player->findChild<QPushButton*>("trim-confirm"));
    ASSERT_TRUE(wait_until([&] { return e->range.has_value(); }, 5000));
    const auto [s, end] = *e->range;
    EXPECT_NEAR(s, 2.0, 0.25);
    EXPECT_NEAR(end, 6.0, 0.25);
    EXPECT_EQ(e->range_label->text().toStdString(), video_editor::range_label_text(*e->range));
    EXPECT_TRUE(e->reset_button->isEnabled());
    EXPECT_FALSE(player->trimming());

    // "720p" from the pop-up, "Sin audio", then Return.
    click(e->resolution_popup);
    ASSERT_TRUE(wait_until([&] { return e->resolution_popup->view()->isVisible(); }, 5000));
    pump_for(200);
    xdotool({ "key", "Down", "Down" });
    pump_for(300);
    xdotool({ "key", "Return" });
    ASSERT_TRUE(wait_until([&] { return e->resolution_popup->currentIndex() == 2; }, 5000));
    pump_for(300);
    ASSERT_FALSE(e->busy); // the Return that chose the item started nothing
    click(e->mute_box);
    ASSERT_TRUE(wait_until([&] { return e->mute_box->isChecked(); }, 5000));
    xdotool({ "key", "Return" });
    ASSERT_TRUE(wait_until([&] { return e->busy; }, 5000));
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 60000));
    const fs::path mp4 = m_dir.path() / "toma (recortado).mp4";
    ASSERT_TRUE(fs::exists(mp4));
    EXPECT_FALSE(fs::exists(m_dir.path() / "toma (recortado) (2).mp4")); // one export only
    auto facts = probe(mp4);
    EXPECT_EQ(facts["video"], "1280,720");
    EXPECT_FALSE(facts.contains("audio"));
    EXPECT_NEAR(std::stod(facts["duration"]), end - s, 1.0 / 30 + 0.001);

    click(e->gif_button);
    ASSERT_TRUE(wait_until([&] { return e->busy; }, 5000));
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 60000));
    EXPECT_TRUE(fs::exists(m_dir.path() / "toma (recortado).gif"));

    // "Todo": the whole video again.
    click(e->reset_button);
    ASSERT_TRUE(wait_until([&] { return !e->range; }, 5000));
    EXPECT_EQ(e->range_label->text().toStdString(), "Video completo · 0:10");
    EXPECT_FALSE(e->reset_button->isEnabled());
    EXPECT_FALSE(player->forward_end());
    EXPECT_FALSE(player->reverse_end());

    // One frame forward and back moves the timecode by one frame.
    auto* timecode = player->findChild<QLabel*>("timecode");
    ASSERT_TRUE(timecode);
    pump_for(500);
    const double before = player->position();
    click(player->findChild<QWidget*>("frame-forward"));
    ASSERT_TRUE(wait_until([&] { return std::abs(player->position() - (before + 1.0 / 30)) < 0.005; }, 5000)) << player->position();
    EXPECT_SOON(timecode->text().startsWith(QString::fromStdString(platform::player_timecode(player->position()))));
    click(player->findChild<QWidget*>("frame-back"));
    ASSERT_TRUE(wait_until([&] { return std::abs(player->position() - before) < 0.005; }, 5000)) << player->position();
}

TEST_F(VideoEditorDesktop, TrimBarKeysScrubberClicksAndAGlyphThatStaysOnHover)
{
    const fs::path clip = make_recording(m_dir.path());
    xdotool({ "mousemove", "400", "300" });
    video_editor::open(clip);
    ASSERT_EQ(video_editor::editors().size(), 1u);
    auto e = video_editor::editors().back();
    platform::VideoPlayerView* player = e->player_view;
    ASSERT_TRUE(wait_until([&] { return e->window->isActiveWindow() && player->can_begin_trimming(); }, 20000));
    pump_for(300);
    auto* bar = player->findChild<QWidget*>("range");
    ASSERT_TRUE(bar);

    // Return with the bar open is its "Recortar": the handles' range, no export.
    click(e->window->findChild<QPushButton*>("trim"));
    ASSERT_TRUE(wait_until([&] { return player->trimming(); }, 5000));
    pump_for(200);
    const int y = bar->height() / 2;
    const int w = bar->width();
    drag(bar->mapToGlobal(QPoint(5, y)), bar->mapToGlobal(QPoint(5 + (w - 20) / 5, y)));
    pump_for(200);
    xdotool({ "key", "Return" });
    ASSERT_TRUE(wait_until([&] { return !player->trimming(); }, 5000));
    pump_for(500);
    EXPECT_FALSE(e->busy) << "Return on the bar exports nothing";
    ASSERT_TRUE(e->range.has_value());
    EXPECT_NEAR(e->range->first, 2.0, 0.3);
    EXPECT_FALSE(fs::exists(m_dir.path() / "toma (recortado).mp4"));

    // Escape with the bar open is its "Cancelar": the range stays as it was.
    const auto kept = e->range;
    click(e->window->findChild<QPushButton*>("trim"));
    ASSERT_TRUE(wait_until([&] { return player->trimming(); }, 5000));
    pump_for(200);
    drag(bar->mapToGlobal(QPoint(w - 5, y)), bar->mapToGlobal(QPoint(w / 2, y)));
    pump_for(200);
    xdotool({ "key", "Escape" });
    ASSERT_TRUE(wait_until([&] { return !player->trimming(); }, 5000));
    EXPECT_EQ(e->range, kept);
    EXPECT_TRUE(e->window->isVisible());

    // A click on the scrubber seeks where it lands.
    click(e->reset_button);
    ASSERT_TRUE(wait_until([&] { return !e->range; }, 5000));
    auto* scrubber = player->findChild<QSlider*>("scrubber");
    ASSERT_TRUE(scrubber);
    const QPoint at = scrubber->mapToGlobal(QPoint(scrubber->width() * 3 / 4, scrubber->height() / 2));
    xdotool({ "mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1" });
    ASSERT_TRUE(wait_until([&] { return player->position() > 6.0; }, 5000)) << player->position();
    EXPECT_NEAR(player->position(), 7.5, 0.8);

    // Hovered, the play button still shows its light glyph on the dark bar.
    auto* play = player->findChild<QWidget*>("play");
    ASSERT_TRUE(play);
    const QPoint centre = play->mapToGlobal(play->rect().center());
    xdotool({ "mousemove", QString::number(centre.x()), QString::number(centre.y()) });
    pump_for(500);
    // As the screen shows it, not as the widget would draw itself alone.
    const QPoint corner = play->mapToGlobal(QPoint(0, 0));
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0, corner.x(), corner.y(), play->width(), play->height()).toImage();
    int light = 0, dark = 0;
    for (int yy = 0; yy < shot.height(); ++yy)
        for (int xx = 0; xx < shot.width(); ++xx) {
            const int v = qGray(shot.pixel(xx, yy));
            light += v > 180;
            dark += v < 110;
        }
    const std::string saved = testing_support::run_file("play-hover.png");
    shot.save(QString::fromStdString(saved));
    EXPECT_GT(light, 20) << "the glyph; the button: " << saved;
    EXPECT_GT(dark, shot.width() * shot.height() / 3) << "the ground around it stays dark; the button: " << saved;
}

TEST_F(VideoEditorDesktop, SelfCheckWritesItsPicturesAndExports)
{
    const fs::path clip = make_recording(m_dir.path());
    const fs::path out = m_dir.path() / "salida";
    const auto listing = [](const fs::path& dir) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    std::vector<std::string> beside_the_clip = listing(m_dir.path());
    beside_the_clip.push_back("salida");
    std::sort(beside_the_clip.begin(), beside_the_clip.end());
    QProcess program;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(m_home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    program.setProcessEnvironment(env);
    program.start(VISTROPE_BINARY, { "--video-ui", QString::fromStdString(clip.string()), QString::fromStdString(out.string()) });
    ASSERT_TRUE(wait_until([&] { return program.state() == QProcess::NotRunning; }, 90000));
    const std::string text = program.readAllStandardOutput().toStdString();
    EXPECT_EQ(program.exitCode(), 0) << text;
    EXPECT_NE(text.find("GIF 800×450: "), std::string::npos) << text;
    EXPECT_NE(text.find("rango fijado: Some((1.0, 4.0))\n"), std::string::npos) << text;
    EXPECT_NE(text.find("editor.png (ok)"), std::string::npos) << text;
    EXPECT_NE(text.find("editor-recorte.png (ok)"), std::string::npos) << text;
    EXPECT_NE(text.find("archivos: [\n    \""), std::string::npos) << text;
    for (const char* name : { "vista-rapida.gif", "editor.png", "editor-recorte.png", "vista-rapida-0.png" }) {
        EXPECT_TRUE(fs::exists(out / name)) << name;
        EXPECT_NE(text.find(fmt::format("    \"{}\",\n", name)), std::string::npos) << name;
    }
    const fs::path mp4 = out / "toma (recortado).mp4";
    ASSERT_TRUE(wait_until([&] { return fs::exists(mp4); }, 1000));
    EXPECT_EQ(probe(mp4)["video"], "1280,720");
    EXPECT_FALSE(probe(mp4).contains("audio"));
    QImage shot(QString::fromStdString((out / "editor.png").string()));
    EXPECT_GE(shot.width(), 320);
    // Every export went into the run's folder; the video's own folder is as it was.
    EXPECT_EQ(listing(m_dir.path()), beside_the_clip);
}

TEST_F(VideoEditorDesktop, SelfCheckWithoutAVideoGivesItsUsageAndWithABadOneFails)
{
    QProcess program;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(m_home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    program.setProcessEnvironment(env);
    program.start(VISTROPE_BINARY, { "--video-ui" });
    ASSERT_TRUE(wait_until([&] { return program.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(program.readAllStandardError().toStdString(), "uso: vistrope --video-ui VIDEO [CARPETA]\n");
    EXPECT_EQ(program.exitCode(), 2);

    // A video that is not there: the run says so before anything else and ends with 1.
    const auto missing = m_dir.path() / "no.mp4";
    program.start(VISTROPE_BINARY, { "--video-ui", QString::fromStdString(missing.string()),
                                     QString::fromStdString((m_dir.path() / "salida").string()) });
    ASSERT_TRUE(wait_until([&] { return program.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(program.readAllStandardError().toStdString(), "error: no pude leer " + missing.string() + ": no existe\n");
    EXPECT_EQ(program.readAllStandardOutput().toStdString(), "");
    EXPECT_EQ(program.exitCode(), 1);
}

// A phone's portrait video (its picture stored landscape, turned 90° by its
// rotation) plays upright in the trim window, and the program lives on. The
// arrow keys step the playhead wherever the focus is: a frame, or a second
// with Shift; the focus stays where it was.
TEST_F(VideoEditorDesktop, ARotatedVideoPlaysUprightAndTheArrowsStepThePlayhead)
{
    testing_support::ClipSpec spec;
    spec.width = 1280;
    spec.height = 720;
    spec.fps = 30;
    spec.frames = 90;
    spec.rotation = 90;
    spec.yuv = std::array<int, 3> { 200, 128, 128 }; // light grey, every frame
    const fs::path clip = m_dir.path() / "vertical.mp4";
    ASSERT_FALSE(testing_support::make_clip(clip, spec));
    xdotool({ "mousemove", "400", "300" });
    video_editor::open(clip);
    ASSERT_EQ(video_editor::editors().size(), 1u);
    auto e = video_editor::editors().back();
    platform::VideoPlayerView* player = e->player_view;
    ASSERT_TRUE(wait_until([&] { return e->window->isActiveWindow() && player->can_begin_trimming(); }, 20000))
        << "the rotated video's first frame";
    pump_for(500);

    // The picture as the screen shows it: a light box, taller than wide.
    const QWidget* picture = player->findChild<QWidget*>("picture");
    ASSERT_TRUE(picture);
    const QPoint corner = picture->mapToGlobal(QPoint(0, 0));
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0, corner.x(), corner.y(), picture->width(), picture->height()).toImage();
    const std::string saved = testing_support::run_file("rotated.png");
    shot.save(QString::fromStdString(saved));
    int left = shot.width(), right = -1, top = shot.height(), bottom = -1;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (qGray(shot.pixel(x, y)) > 150) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, left) << "no picture; the view: " << saved;
    const double aspect = double(bottom - top + 1) / double(right - left + 1);
    EXPECT_NEAR(aspect, 1280.0 / 720.0, 0.08) << "upright: 720 × 1280; the view: " << saved;
    // The window takes the upright shape too: no wide window round a tall picture.
    EXPECT_LT(picture->width(), picture->height() * 2) << picture->width() << " × " << picture->height();

    // The trim bar open, the focus on one of its buttons: the arrows move the
    // playhead, not the focus.
    click(e->window->findChild<QPushButton*>("trim"));
    ASSERT_TRUE(wait_until([&] { return player->trimming(); }, 5000));
    auto* cancel = player->findChild<QPushButton*>("trim-cancel");
    ASSERT_TRUE(cancel);
    cancel->setFocus(Qt::TabFocusReason);
    pump_for(200);
    QWidget* focused = QApplication::focusWidget();
    const double start = player->position();
    xdotool({ "key", "Right" });
    ASSERT_TRUE(wait_until([&] { return std::abs(player->position() - (start + 1.0 / 30)) < 0.005; }, 5000)) << player->position();
    xdotool({ "key", "shift+Right" });
    ASSERT_TRUE(wait_until([&] { return std::abs(player->position() - (start + 1.0 / 30 + 1.0)) < 0.02; }, 5000)) << player->position();
    xdotool({ "key", "Left" });
    ASSERT_TRUE(wait_until([&] { return std::abs(player->position() - (start + 1.0)) < 0.02; }, 5000)) << player->position();
    xdotool({ "key", "shift+Left" });
    ASSERT_TRUE(wait_until([&] { return player->position() < start + 0.02; }, 5000)) << player->position();
    EXPECT_EQ(QApplication::focusWidget(), focused);
    EXPECT_TRUE(player->trimming());
}

// Exports that fall short say what they made. A video cut short on disk (its
// index says four seconds, its data ends before the second half) exports
// what it holds as "MP4 incompleto", with the seconds kept; a video of one
// frame exports a file whose frame plays, or says it could not, never "MP4
// listo" over a file with nothing to show.
TEST_F(VideoEditorDesktop, ExportsOfACutShortAndAOneFrameVideoSayWhatTheyMade)
{
    Toasts toasts;
    const fs::path cut = m_dir.path() / "cortado.mp4";
    run_serving("ffmpeg", { "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-f", "lavfi", "-i",
                              "sine=frequency=440", "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-g", "30", "-c:a", "aac",
                              "-movflags", "+faststart", QString::fromStdString(cut.string()) });
    ASSERT_TRUE(fs::exists(cut));
    fs::resize_file(cut, fs::file_size(cut) * 4 / 10);
    xdotool({ "mousemove", "400", "300" });
    const auto made = export_whole(cut, m_dir.path() / "cortado (copia).mp4", toasts);
    ASSERT_TRUE(made) << fmt::format("{}", fmt::join(toasts.texts, " | "));
    const double kept = std::stod(probe(*made)["duration"]);
    EXPECT_GT(kept, 0.5);
    EXPECT_LT(kept, 3.0);
    EXPECT_TRUE(toasts.any(fmt::format("MP4 incompleto · {:.1f} de 4.0 s · ", kept))) << fmt::format("{}", fmt::join(toasts.texts, " | "));
    EXPECT_FALSE(toasts.any("MP4 listo")) << fmt::format("{}", fmt::join(toasts.texts, " | "));

    toasts.texts.clear();
    const fs::path one = m_dir.path() / "uno.mp4";
    run_serving("ffmpeg", { "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-frames:v", "1", "-c:v", "libx264",
                              "-preset", "ultrafast", QString::fromStdString(one.string()) });
    ASSERT_TRUE(fs::exists(one));
    const auto single = export_whole(one, m_dir.path() / "uno (copia).mp4", toasts);
    std::printf("un cuadro: %s\n", fmt::format("{}", fmt::join(toasts.texts, " | ")).c_str());
    if (single) {
        // What was said to be ready plays: a frame decodes.
        const QString frames = run_serving("ffprobe", { "-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                                                          "stream=nb_read_frames", "-of", "csv=p=0", QString::fromStdString(single->string()) });
        EXPECT_GE(frames.trimmed().toInt(), 1) << frames.toStdString();
        EXPECT_TRUE(toasts.any("MP4 listo · ")) << fmt::format("{}", fmt::join(toasts.texts, " | "));
    } else {
        EXPECT_TRUE(toasts.any("No se pudo exportar el MP4")) << fmt::format("{}", fmt::join(toasts.texts, " | "));
    }
}
