// `vistrope --editor-render IN OUT` as a developer runs it: the check passes
// on a picture at scale 2 and leaves seven pictures that show the scripted
// document, or ends with one line and status 1 when the picture is missing.
#include "capture/output.h"
#include "editor/model.h"
#include "editor/selfcheck.h"

#include "test_util.h"

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

struct Finished {
    int status = -1;
    std::string err;
};

Finished editor_render(const fs::path& home, const fs::path& in, const fs::path& out)
{
    QProcess process;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    process.setProcessEnvironment(env);
    process.start(VISTROPE_BINARY, { "--editor-render", QString::fromStdString(in.string()),
                                       QString::fromStdString(out.string()) });
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        return {};
    }
    return { process.exitCode(), process.readAllStandardError().toStdString() };
}

QImage read(const fs::path& path) { return QImage(QString::fromStdString(path.string()), "PNG"); }

TEST(EditorSelfCheckDesktop, RunsOnAPictureAtScaleTwoAndWritesSevenPictures)
{
    testing_support::TempDir home;
    const int w = 1200, h = 800;
    QImage picture(w, h, QImage::Format_RGB32);
    picture.fill(QColor(235, 235, 225));
    {
        QPainter p(&picture);
        for (int y = 0; y < h; y += 40)
            p.fillRect(0, y, w, 16, QColor(90, 140, 90));
    }
    const std::vector<std::uint8_t> png = output::encode(picture, 2);
    const fs::path in = home.path() / "entrada.png";
    testing_support::write_file(in, { reinterpret_cast<const char*>(png.data()), png.size() });
    const fs::path out = home.path() / "salida.png";

    const Finished run = editor_render(home.path(), in, out);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("escala 2"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("interacción simulada: todo bien"), std::string::npos);
    for (const char* lap : { "repintado completo #1 (", "repintado completo #2 (", "repintado completo #3 (" })
        EXPECT_NE(run.err.find(lap), std::string::npos) << lap;

    const QImage exported = read(out);
    ASSERT_EQ(exported.size(), QSize(w, h));
    // The filled rectangle of the script is there, and nothing the checks
    // drew and took back: their square's edge, their counters, their text.
    EXPECT_EQ(exported.pixelColor(int(0.4 * w), int(0.3 * h)), QColor(0, 122, 255));
    EXPECT_EQ(exported.pixelColor(int(0.46 * w), int(0.41 * h)), picture.pixelColor(int(0.46 * w), int(0.41 * h)));
    EXPECT_EQ(exported.pixelColor(int(0.9 * w), int(0.9 * h)), picture.pixelColor(int(0.9 * w), int(0.9 * h)));
    EXPECT_EQ(exported.pixelColor(int(0.62 * w), int(0.52 * h)), picture.pixelColor(int(0.62 * w), int(0.52 * h)));

    const int m = int(std::round(editor::model::frame_margin(w, h, 2)));
    EXPECT_EQ(read(editor::self_check_file(out, "background")).size(), QSize(w + 2 * m, h + 2 * m));
    // The spotlight dims what lies outside it.
    const QImage spotlight = read(editor::self_check_file(out, "spotlight"));
    ASSERT_EQ(spotlight.size(), QSize(w, h));
    EXPECT_LT(spotlight.pixelColor(w - 5, h / 2 + 5).lightness(), exported.pixelColor(w - 5, h / 2 + 5).lightness() - 40);
    // The crop dragged from 10 %, 12 % to 75 %, 80 %.
    const QImage cropped = read(editor::self_check_file(out, "cropped"));
    EXPECT_NEAR(cropped.width(), 0.65 * w, 2);
    EXPECT_NEAR(cropped.height(), 0.68 * h, 2);
    const QImage window = read(editor::self_check_file(out, "window"));
    ASSERT_FALSE(window.isNull());
    for (const char* suffix : { "window-background", "window-crop" })
        EXPECT_EQ(read(editor::self_check_file(out, suffix)).size(), window.size()) << suffix;
}

TEST(EditorSelfCheckDesktop, AMissingPictureEndsWithItsNameAndStatusOne)
{
    testing_support::TempDir home;
    const fs::path missing = home.path() / "no-existe.png";
    const Finished run = editor_render(home.path(), missing, home.path() / "salida.png");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("[vistrope] no pude abrir " + missing.string() + "\n"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(home.path() / "salida.png"));
    EXPECT_FALSE(fs::exists(home.path() / "salida-window.png"));
}

// Outputs named on the command line that are no plain file or folder are
// refused before anything runs, and left as they were: a socket as the
// rendered picture, a pipe as a self-check's folder.
TEST(EditorSelfCheckDesktop, ASocketOrAPipeAsTheOutputIsRefusedAndKept)
{
    testing_support::TempDir home;
    const fs::path socket = home.path() / "salida.png";
    const int listening = testing_support::bind_socket(socket);
    ASSERT_GE(listening, 0);
    const Finished run = editor_render(home.path(), home.path() / "entrada.png", socket);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "vistrope: " + socket.string() + " es un socket; no escribo en él\n");
    EXPECT_EQ(fs::symlink_status(socket).type(), fs::file_type::socket);
    ::close(listening);

    const fs::path fifo = home.path() / "resultados";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    QProcess process;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    process.setProcessEnvironment(env);
    process.start(VISTROPE_BINARY, { "--prefs-render", QString::fromStdString(fifo.string()) });
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
        "vistrope: " + fifo.string() + " no es una carpeta; ahí no escribo resultados\n");
    EXPECT_EQ(fs::symlink_status(fifo).type(), fs::file_type::fifo);
}

} // namespace
