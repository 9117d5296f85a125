// `vistrope --ocr PATH` with paths a shell can produce but a text API cannot
// carry: names that are not UTF-8, and files that are not files.
#include "test_util.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <tuple>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// "Hola mundo", black on white, as the command line reads it at once.
QImage hola_mundo()
{
    QImage img(300, 60, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    QFont f("DejaVu Sans");
    f.setPixelSize(18);
    p.setFont(f);
    p.drawText(QPointF(12, 38), "Hola mundo");
    return img;
}

} // namespace

TEST(OcrCommandLine, ReadsNamesThatAreNotUtf8AndRefusesWhatIsNoFile)
{
    TempDir dir;
    const QImage img = hola_mundo();
    // Latin-1 "muestra-ñ.png": the byte 0xF1 alone is no UTF-8, and only a
    // shell can hand it over as it is.
    ASSERT_TRUE(img.save(QString::fromStdString((dir.path() / "muestra.png").string()), "PNG"));
    fs::copy_file(dir.path() / "muestra.png", dir.path() / "muestra-\xf1.png");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.insert("HOME", QString::fromStdString(dir.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    QProcess read;
    read.setProcessEnvironment(env);
    read.start("/bin/sh", { "-c", R"(exec "$0" --ocr "$1/muestra-$(printf '\361').png")", VISTROPE_BINARY,
                              QString::fromStdString(dir.path().string()) });
    ASSERT_TRUE(read.waitForFinished(60000));
    EXPECT_EQ(read.exitCode(), 0) << read.readAllStandardError().toStdString();
    EXPECT_EQ(read.readAllStandardOutput().toStdString(), "Hola mundo\n");

    // A FIFO nobody writes to, and a device without end, used to block forever.
    const fs::path fifo = dir.path() / "tuberia.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : { fifo.string(), std::string("/dev/zero"), dir.path().string() }) {
        QProcess refused;
        refused.setProcessEnvironment(env);
        refused.start(VISTROPE_BINARY, { "--ocr", QString::fromStdString(path) });
        const bool ended = refused.waitForFinished(20000);
        if (!ended)
            refused.kill();
        ASSERT_TRUE(ended) << path << " held the command";
        EXPECT_EQ(refused.exitCode(), 1) << path;
        EXPECT_EQ(refused.readAllStandardError().toStdString(), "no pude leer " + path + " como PNG\n");
        EXPECT_TRUE(refused.readAllStandardOutput().isEmpty());
    }
}

// The program opens its text module from its own folder: without it, the
// text recognition fails with the reason (and a status), and with it beside
// the program, wherever that is, it reads (no other module needed).
TEST(OcrCommandLine, TheMediaModuleIsOpenedFromTheProgramsFolder)
{
    TempDir dir;
    const QImage img = hola_mundo();
    const fs::path png = dir.path() / "muestra.png";
    ASSERT_TRUE(img.save(QString::fromStdString(png.string()), "PNG"));
    const fs::path built = fs::path(VISTROPE_BINARY).parent_path();
    const fs::path moved = dir.path() / "bin";
    fs::create_directories(moved);
    fs::copy_file(built / "vistrope-app", moved / "vistrope-app");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.insert("HOME", QString::fromStdString(dir.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    const auto ocr = [&] {
        QProcess read;
        read.setProcessEnvironment(env);
        read.start(QString::fromStdString((moved / "vistrope-app").string()), { "--ocr", QString::fromStdString(png.string()) });
        EXPECT_TRUE(read.waitForFinished(60000));
        return std::tuple(read.exitCode(), read.readAllStandardOutput().toStdString(), read.readAllStandardError().toStdString());
    };

    const auto [status, out, err] = ocr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("no pude leer el texto: no pude cargar el módulo de medios (" + (moved / "vistrope-text.so").string() + "): "),
        std::string::npos) << err;

    fs::copy_file(built / "vistrope-text.so", moved / "vistrope-text.so");
    const auto [status_with, out_with, err_with] = ocr();
    EXPECT_EQ(status_with, 0) << err_with;
    EXPECT_EQ(out_with, "Hola mundo\n");
}
