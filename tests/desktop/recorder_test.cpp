// Recording as a user does it: the record command, a drag over the screen,
// the command again; the capsule's "Detener"; a GIF recording.
#include "program.h"
#include "test_util.h"
#include "record/video.h"

#include <fmt/format.h>

#include <QProcess>
#include <QImage>
#include <QThread>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void xdo(const QStringList& args)
{
    QProcess p;
    p.start("xdotool", args);
    p.waitForFinished(5000);
    QThread::msleep(40);
}

class DesktopRecorder : public ::testing::Test {
protected:
    void start(std::string_view recording)
    {
        write_file(m_home.path() / "Library/Application Support/Vistrope/config.toml",
            fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                        "copy_to_clipboard = false\n[recording]\n{}",
                (m_home.path() / "capturas").string(), recording));
        m_program.emplace(m_home.path());
        ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    }

    void url(const QString& u)
    {
        QProcess second;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(m_home.path().string()));
        second.setProcessEnvironment(env);
        second.start(VISTROPE_BINARY, { u });
        ASSERT_TRUE(second.waitForFinished(10000));
    }

    // The record command, then a drag from (x0, y0) to (x1, y1) over the overlay.
    void record_area(const QString& command, int x0, int y0, int x1, int y1)
    {
        url(command);
        // The selection overlay says when it shows, and covers the screen.
        ASSERT_TRUE(m_program->wait_for("selector visible")) << m_program->err();
        bool open = false;
        for (int i = 0; i < 50 && !open; ++i) {
            for (const auto& g : program_windows())
                open = open || g.w >= 1000;
            QThread::msleep(100);
        }
        ASSERT_TRUE(open) << m_program->err();
        QThread::msleep(600);
        xdo({ "mousemove", QString::number(x0), QString::number(y0), "mousedown", "1" });
        xdo({ "mousemove", QString::number((x0 + x1) / 2), QString::number((y0 + y1) / 2) });
        xdo({ "mousemove", QString::number(x1), QString::number(y1) });
        xdo({ "mouseup", "1" });
    }

    std::vector<fs::path> files(std::string_view ext) const
    {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_home.path() / "capturas", ec))
            if (e.path().extension() == ext)
                out.push_back(e.path());
        return out;
    }

    TempHome m_home;
    std::optional<Program> m_program;
};

TEST_F(DesktopRecorder, TheRecordCommandADragAndTheCommandAgainMakeAnMp4)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    run("import", { "-window", "root", "/tmp/vistrope-desktop-recording.png" });
    // The capsule stands under the region: a 36-point panel of the program.
    bool capsule = false;
    for (const auto& g : program_windows())
        capsule = capsule || (g.h == 36 && g.y > 451);
    EXPECT_TRUE(capsule) << run("xwininfo", { "-root", "-tree" });
    QThread::msleep(1500);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("video de", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    const std::string head = read_file(mp4[0]).substr(0, 8);
    EXPECT_EQ(head.substr(4), "ftyp");
    // The program's own panels stay out of the picture; nothing of them is left on screen.
    QThread::msleep(500);
    for (const auto& g : program_windows())
        EXPECT_NE(g.h, 36) << "the capsule went with the recording";
}

namespace {

// The program's viewable windows by id: what xdotool finds of its class.
std::map<std::string, Geometry> windows_by_id()
{
    std::map<std::string, Geometry> out;
    std::istringstream ids(run("xdotool", { "search", "--onlyvisible", "--classname", "vistrope" }));
    std::string id;
    while (ids >> id)
        if (const auto g = window_geometry(id))
            out.emplace(id, *g);
    return out;
}

std::optional<Geometry> capsule_window()
{
    for (const auto& g : program_windows())
        if (g.h == 36)
            return g;
    return std::nullopt;
}

} // namespace

TEST_F(DesktopRecorder, TheCapsuleGoesWhereItIsDraggedAndKeepsRecording)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    std::optional<Geometry> before;
    ASSERT_TRUE(poll([&] { return (before = capsule_window()).has_value(); }));
    // Pressed by its dot, well off the button, and dragged up and right.
    const int x = before->x + 12, y = before->y + before->h / 2;
    xdo({ "mousemove", QString::number(x), QString::number(y), "mousedown", "1" });
    for (int i = 1; i <= 10; ++i)
        xdo({ "mousemove", QString::number(x + 30 * i), QString::number(y - 25 * i) });
    xdo({ "mouseup", "1" });
    std::optional<Geometry> after;
    EXPECT_TRUE(poll([&] {
        after = capsule_window();
        return after && std::abs(after->x - (before->x + 300)) <= 6 && std::abs(after->y - (before->y - 250)) <= 6;
    })) << fmt::format("from {},{} to {},{}", before->x, before->y, after ? after->x : -1, after ? after->y : -1);
    ASSERT_TRUE(after);
    EXPECT_GE(after->x, 0);
    EXPECT_GE(after->y, 0);
    EXPECT_LE(after->x + after->w, 1920);
    EXPECT_LE(after->y + after->h, 1080);
    // A drag is no stop: the recording goes on until the command ends it.
    EXPECT_FALSE(m_program->wait_for("deteniendo", 1)) << m_program->err();
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("video de", 20)) << m_program->err();
    EXPECT_EQ(files(".mp4").size(), 1u);
}

TEST_F(DesktopRecorder, ClickingTheRecordingsTrayIconStopsItAndKeepsTheFile)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    auto small = [] {
        std::map<std::string, Geometry> icons;
        for (const auto& [id, g] : windows_by_id())
            if (g.w <= 64 && g.h <= 64 && g.w > 4)
                icons.emplace(id, g);
        return icons;
    };
    std::map<std::string, Geometry> before;
    ASSERT_TRUE(poll([&] { return !(before = small()).empty(); })) << "the program's own tray icon";
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    std::optional<Geometry> icon;
    ASSERT_TRUE(poll([&] {
        for (const auto& [id, g] : small())
            if (!before.count(id))
                icon = g;
        return icon.has_value();
    })) << "the recording's tray icon";
    QThread::msleep(1200);
    xdo({ "mousemove", QString::number(icon->x + icon->w / 2), QString::number(icon->y + icon->h / 2), "click", "1" });
    ASSERT_TRUE(m_program->wait_for("video de", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    EXPECT_EQ(read_file(mp4[0]).substr(4, 4), "ftyp");
    EXPECT_TRUE(poll([&] { return small().size() == before.size(); })) << "the recording's icon goes with it";
}

TEST_F(DesktopRecorder, DetenerDuringTheCountdownLeavesNoFile)
{
    start("countdown_seconds = 5\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 300, 200, 700, 500);
    ASSERT_TRUE(m_program->wait_for("grabación: pantalla", 20)) << m_program->err();
    std::optional<Geometry> capsule;
    for (int i = 0; i < 30 && !capsule; ++i) {
        for (const auto& g : program_windows())
            if (g.h == 36 && g.w > 100)
                capsule = g;
        QThread::msleep(100);
    }
    ASSERT_TRUE(capsule) << m_program->err() << run("xwininfo", { "-root", "-tree" });
    run("import", { "-window", "root", "/tmp/vistrope-desktop-countdown.png" });
    // The button is the capsule's right end.
    xdo({ "mousemove", QString::number(capsule->x + capsule->w - 30), QString::number(capsule->y + 18), "click", "1" });
    ASSERT_TRUE(m_program->wait_for("grabación cancelada", 10)) << m_program->err();
    QThread::msleep(6000);
    EXPECT_TRUE(files(".mp4").empty());
    EXPECT_EQ(m_program->err().find("video de"), std::string::npos);
}

TEST_F(DesktopRecorder, AGifRecordingLeavesAGifAndNoMp4)
{
    start("countdown_seconds = 0\nshow_clicks = false\ngif_max_width = 320\n");
    record_area("vistrope://record-gif", 250, 250, 570, 490);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    QThread::msleep(1200);
    url("vistrope://record-gif");
    ASSERT_TRUE(m_program->wait_for("gif: ", 60)) << m_program->err();
    const auto gif = files(".gif");
    ASSERT_EQ(gif.size(), 1u) << m_program->err();
    EXPECT_EQ(read_file(gif[0]).substr(0, 6), "GIF89a");
    EXPECT_TRUE(files(".mp4").empty());
    // The MP4 was recorded into a private folder and removed after the conversion.
    const auto at = m_program->err().find("video de ");
    ASSERT_NE(at, std::string::npos);
    const auto from = m_program->err().find(" en /", at);
    const auto to = m_program->err().find(".mp4", from);
    ASSERT_NE(to, std::string::npos);
    const fs::path source = m_program->err().substr(from + 4, to + 4 - from - 4);
    EXPECT_EQ(fs::status(source.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(source)) << source;
}

} // namespace

namespace {

struct Seen {
    int blue_frames = 0, orange_frames = 0, pill_frames = 0, frames = 0;
    int green_frames = 0, magenta_frames = 0;
};

// Frames of the video with a ring's blue, a ring's orange, and the pill's dark body.
Seen look_at(const fs::path& mp4)
{
    Seen seen;
    auto r = video::decode_frames(mp4, { std::nullopt, 30, 0 }, [&](gif::Frame f, std::uint32_t, std::uint32_t) -> std::expected<void, std::string> {
        int blue = 0, orange = 0, dark = 0, green = 0, magenta = 0;
        for (std::uint32_t px : f.pixels) {
            const int R = (px >> 16) & 255, G = (px >> 8) & 255, B = px & 255;
            blue += B - R > 50 && B > G + 20;
            orange += R - B > 50 && R > G + 20;
            dark += R < 70 && G < 50 && B < 75; // the pill over grey or over magenta
            green += G > 200 && R < 60 && B < 60;
            magenta += R > 200 && B > 200 && G < 60;
        }
        ++seen.frames;
        seen.blue_frames += blue > 40;
        seen.orange_frames += orange > 40;
        seen.pill_frames += dark > 400;
        seen.green_frames += green > 100;
        seen.magenta_frames += magenta > static_cast<int>(f.pixels.size() / 2);
        return {};
    });
    EXPECT_TRUE(r) << (r ? "" : r.error());
    return seen;
}

} // namespace

TEST_F(DesktopRecorder, ClicksAndAShortcutInTheRegionReachTheVideo)
{
    start("countdown_seconds = 0\nshow_clicks = true\nshow_keys = true\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    EXPECT_TRUE(m_program->wait_for("excepciones en el filtro: 1", 1)) << m_program->err();
    QThread::msleep(300);
    xdo({ "mousemove", "300", "250", "click", "4" });
    QThread::msleep(800);
    xdo({ "mousemove", "400", "300", "click", "1" });
    QThread::msleep(100);
    run("import", { "-window", "root", "/tmp/vistrope-desktop-ring.png" });
    QThread::msleep(700);
    xdo({ "key", "ctrl+shift+f" });
    QThread::msleep(150);
    run("import", { "-window", "root", "/tmp/vistrope-desktop-pill.png" });
    QThread::msleep(900);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("video de", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    const Seen seen = look_at(mp4[0]);
    EXPECT_GT(seen.frames, 10);
    EXPECT_GT(seen.blue_frames, 0);
    EXPECT_GT(seen.pill_frames, 0);
    EXPECT_EQ(seen.orange_frames, 0) << "a wheel step is no click";
}

namespace {

// Runs the program with a self-check switch; its standard output and error
// (and its exit status in `status` when given).
std::pair<std::string, std::string> run_check(const fs::path& home, const QStringList& args, const std::map<QString, QString>& vars = {},
    int* status = nullptr)
{
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    for (const auto& [k, v] : vars)
        env.insert(k, v);
    p.setProcessEnvironment(env);
    p.start(VISTROPE_BINARY, args);
    EXPECT_TRUE(p.waitForFinished(60000));
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return { p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString() };
}

} // namespace

TEST(DesktopRecorderCheck, DebugRecorderPrintsItsFindingsAndDrawsThreePictures)
{
    TempHome home;
    const fs::path dir = home.path() / "comprobar";
    int status = -1;
    const auto [out, err] = run_check(home.path(), { "--debug-recorder", QString::fromStdString(dir.string()) }, {}, &status);
    EXPECT_EQ(status, 0) << out << err;
    for (const char* line : { "clase VistropeRecorderDelegate registrada, id 7",
             "responde a didFinish=true didStart=true didFail=true didStop=true didOutput=true",
             "hevc=false: url=", "intervalo: value=1 timescale=60 flags=1 (0.01667 s)",
             "ida y vuelta por StreamConfiguration: 1/60 flags=1",
             "tamaños: 1512×982@2 h264 (3024, 1964), 5120×2880@1 h264 (4096, 2304), hevc (5120, 2880)",
             "addStreamOutput: ok", "addRecordingOutput: ok", "StreamListener: \tconforma=true",
             "RecordingListener: \tconforma=true" })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out << err;
    for (const char* png : { "capsula.png", "aviso.png", "borde.png" }) {
        QImage img(QString::fromStdString((dir / png).string()));
        EXPECT_FALSE(img.isNull()) << png;
        EXPECT_NE(out.find(fmt::format("dibujo: {} ({}×{} px)", (dir / png).string(), img.width(), img.height())), std::string::npos) << out;
    }
    EXPECT_FALSE(fs::exists(dir / "prueba.mp4"));
}

TEST(DesktopRecorderCheck, RecordTestOfAWindowWithInput)
{
    TempHome home;
    const fs::path dir = home.path() / "prueba";
    const auto [out, err] = run_check(home.path(), { "--record-test", QString::fromStdString(dir.string()) },
        { { "VISTROPE_RECORD_WINDOW", "1" }, { "VISTROPE_RECORD_INPUT", "1" }, { "VISTROPE_RECORD_COUNTDOWN", "abc" } });
    EXPECT_NE(err.find("prueba: ventanas de clics visibles tras detener: 0"), std::string::npos) << err;
    EXPECT_NE(err.find("prueba: videos [\"Vistrope "), std::string::npos) << err;
    EXPECT_NE(err.find(".mp4\"], sigue activa=false"), std::string::npos) << err;
    std::vector<fs::path> mp4;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".mp4")
            mp4.push_back(e.path());
    ASSERT_EQ(mp4.size(), 1u);
    const Seen seen = look_at(mp4[0]);
    // Panel A alone, uncovered: magenta fills the frames and the green panel over it is not there.
    EXPECT_GT(seen.magenta_frames, seen.frames / 2);
    EXPECT_EQ(seen.green_frames, 0);
    EXPECT_GT(seen.blue_frames, 0);
    EXPECT_GT(seen.pill_frames, 0);
}

TEST(DesktopRecorderCheck, SwitchesEndWithStatusZeroOnlyWhenTheyDidTheirWork)
{
    TempHome home;
    // A folder below a plain file can never be made.
    write_file(home.path() / "archivo", "x");
    const QString nowhere = QString::fromStdString((home.path() / "archivo" / "carpeta").string());
    int status = -1;
    auto [out, err] = run_check(home.path(), { "--debug-recorder", nowhere }, {}, &status);
    EXPECT_EQ(status, 1) << out << err;
    EXPECT_NE(out.find("no pude crear la carpeta"), std::string::npos) << out;
    std::tie(out, err) = run_check(home.path(), { "--record-test", nowhere }, {}, &status);
    EXPECT_EQ(status, 1) << out << err;

    // Beside a running instance a self-check that needs the desktop says so.
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("listo")) << program.err();
    const QString folder = QString::fromStdString((home.path() / "prueba").string());
    for (const char* name : { "--record-test", "--selftest", "--scroll-test" }) {
        std::tie(out, err) = run_check(home.path(), { name, folder }, {}, &status);
        EXPECT_EQ(status, 1) << name << "\n" << err;
        EXPECT_NE(err.find(fmt::format("Vistrope ya está abierto; ciérralo para ejecutar {}", name)), std::string::npos) << err;
    }
    std::tie(out, err) = run_check(home.path(), { "--video-ui", QString::fromStdString((home.path() / "no.mp4").string()) }, {}, &status);
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(err.find("Vistrope ya está abierto; ciérralo para ejecutar --video-ui"), std::string::npos) << err;
}
