// `vistrope --ocr PATH` with paths a shell can produce but a text API cannot
// carry: names that are not UTF-8, and files that are not files.
#include "test_util.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Ran {
    int status = -1; // -1: killed after the time limit
    std::string out, err;
};

// Runs the program with arguments passed as raw bytes, without a display.
Ran run_raw(const std::vector<std::string>& args, const fs::path& home, std::chrono::seconds limit)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::unsetenv("DISPLAY");
        ::setenv("HOME", home.c_str(), 1);
        std::vector<char*> argv { const_cast<char*>(VISTROPE_BINARY) };
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(VISTROPE_BINARY, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Ran ran;
    const auto until = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = { { out[0], POLLIN, 0 }, { err[0], POLLIN, 0 } };
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < until) {
        if (::poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else
                (i == 0 ? ran.out : ran.err).append(buf, static_cast<size_t>(n));
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int status = 0;
    if (open > 0)
        ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ran.status = open > 0 ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : -2);
    return ran;
}

} // namespace

TEST(OcrCommandLine, ReadsNamesThatAreNotUtf8AndRefusesWhatIsNoFile)
{
    TempDir dir;
    QImage img(300, 60, QImage::Format_RGB32);
    img.fill(Qt::white);
    {
        QPainter p(&img);
        QFont f("DejaVu Sans");
        f.setPixelSize(18);
        p.setFont(f);
        p.setPen(Qt::black);
        p.drawText(QPointF(12, 38), "Hola mundo");
    }
    const fs::path good = dir.path() / "muestra.png";
    ASSERT_TRUE(img.save(QString::fromStdString(good.string()), "PNG"));
    // Latin-1 "muestra-ñ.png": the byte 0xF1 alone is no UTF-8.
    const std::string latin1 = (dir.path() / "muestra-\xf1.png").string();
    fs::copy_file(good, fs::path(latin1));

    const Ran read = run_raw({ "--ocr", latin1 }, dir.path(), std::chrono::seconds(60));
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, "Hola mundo\n");

    // A FIFO nobody writes to, and a device without end, used to block forever.
    const fs::path fifo = dir.path() / "tuberia.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : { fifo.string(), std::string("/dev/zero"), dir.path().string() }) {
        const Ran refused = run_raw({ "--ocr", path }, dir.path(), std::chrono::seconds(20));
        EXPECT_EQ(refused.status, 1) << path << ": " << refused.err;
        EXPECT_EQ(refused.err, "no pude leer " + path + " como PNG\n");
        EXPECT_TRUE(refused.out.empty());
    }
}
