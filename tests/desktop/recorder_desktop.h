// The recorder's desktop tests' common ground: the program in a home of its
// own, the record command and a drag, its files and how long they play.
#pragma once

#include "program.h"
#include "test_util.h"

#include <fmt/format.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace recorder_desktop {

using namespace testing_support;
namespace fs = std::filesystem;

inline void xdo(const QStringList& args)
{
    QProcess p;
    p.start("xdotool", args);
    p.waitForFinished(5000);
    QThread::msleep(40);
}

class DesktopRecorder : public ::testing::Test {
protected:
    // `recording`: the [recording] table's lines. Unless `as_installed`, no
    // card, sound, flash or clipboard after a capture.
    void start(std::string_view recording, bool as_installed = false)
    {
        write_file(m_home.path() / ".config/vistrope/config.toml",
            fmt::format("save_dir = \"{}\"\n{}[recording]\n{}", (m_home.path() / "capturas").string(),
                as_installed ? "" : "[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\ncopy_to_clipboard = false\n",
                recording));
        m_program.emplace(m_home.path());
        ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    }

    // Starts a second process of the program, of the same home, with `u`.
    void launch_second(QProcess& second, const QString& u)
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(m_home.path().string()));
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_STATE_HOME");
        second.setProcessEnvironment(env);
        second.start(VISTROPE_BINARY, { u });
    }

    void url(const QString& u)
    {
        QProcess second;
        launch_second(second, u);
        ASSERT_TRUE(second.waitForFinished(10000));
    }

    // The record command, then a drag from (x0, y0) to (x1, y1) over the overlay.
    void record_area(const QString& command, int x0, int y0, int x1, int y1)
    {
        open_selector(command);
        xdo({ "mousemove", QString::number(x0), QString::number(y0), "mousedown", "1" });
        xdo({ "mousemove", QString::number((x0 + x1) / 2), QString::number((y0 + y1) / 2) });
        xdo({ "mousemove", QString::number(x1), QString::number(y1) });
        xdo({ "mouseup", "1" });
    }

    // Starts with the [recording] lines and records the usual region with
    // `command` for `ms` milliseconds from its first frame.
    void record_region_for(std::string_view recording, const QString& command, int ms)
    {
        start(recording);
        record_area(command, 200, 150, 601, 451);
        ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
        QThread::msleep(ms);
    }

    // Sends the signal to the program and waits up to `ms` for its end.
    void signal_program(int number, int ms)
    {
        ::kill(static_cast<pid_t>(m_program->process().processId()), number);
        ASSERT_TRUE(m_program->process().waitForFinished(ms));
    }

    // Lets the recording that said `word` run `ms`, kills the program with
    // SIGKILL, starts it again and waits for the recovery: how long it
    // recorded until the kill, and the recovered file, the one not yet in
    // `seen` (it joins them). The caller checks HasFatalFailure().
    void kill_and_recover(const char* word, int ms, std::set<fs::path>& seen, double& recorded, fs::path& recovered)
    {
        ASSERT_TRUE(m_program->wait_for(word, 20)) << m_program->err();
        QElapsedTimer since;
        since.start();
        QThread::msleep(static_cast<unsigned long>(ms));
        ::kill(static_cast<pid_t>(m_program->process().processId()), SIGKILL);
        recorded = static_cast<double>(since.elapsed()) / 1000.0;
        ASSERT_TRUE(m_program->process().waitForFinished(5000));

        m_program.emplace(m_home.path());
        ASSERT_TRUE(m_program->wait_for("grabación interrumpida recuperada", 20)) << m_program->err();
        ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
        std::optional<fs::path> found;
        for (const auto& f : files(".mp4"))
            if (seen.insert(f).second)
                found = f;
        ASSERT_TRUE(found) << m_program->err();
        recovered = *found;
    }

    // The command, until its selection overlay covers the screen and takes the keyboard.
    void open_selector(const QString& command)
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
    }

    // The n-th whole-screen recording of this run, `length_ms` long: the record
    // command, Return on the whole screen, the command again, until its file
    // is published as the n-th MP4.
    void record_whole_screen(std::size_t n, int length_ms)
    {
        open_selector("vistrope://record-screen");
        xdo({ "mousemove", "900", "500" });
        QThread::msleep(200);
        xdo({ "key", "Return" });
        ASSERT_TRUE(started(n)) << m_program->err();
        QThread::msleep(length_ms);
        url("vistrope://record-screen");
        ASSERT_TRUE(poll([&] { return files(".mp4").size() == n; }, 200)) << m_program->err();
    }

    // Until the program has said it records for the n-th time; false when it
    // could not record or never said so.
    bool started(std::size_t n)
    {
        return poll([&] {
            m_program->process().waitForReadyRead(50);
            m_program->wait_for("", 0);
            std::size_t count = 0;
            for (auto at = m_program->err().find("grabando en"); at != std::string::npos; at = m_program->err().find("grabando en", at + 1))
                ++count;
            return count == n || m_program->err().find("No se pudo grabar") != std::string::npos;
        }, 200) && m_program->err().find("No se pudo grabar") == std::string::npos;
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
    // Whether the writer has put a fragment of pictures in the temporary.
    bool fragment_written() const
    {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_home.path() / "capturas", ec))
            if (e.path().filename().string().starts_with(".Vistrope ") && read_file(e.path()).find("moof") != std::string::npos)
                return true;
        return false;
    }

    TempHome m_home;
    std::optional<Program> m_program;
};

// The container's duration as ffprobe reads it; -1 when it cannot.
inline double probed_duration(const fs::path& file)
{
    bool ok = false;
    const double d = QString::fromStdString(run("ffprobe", { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                                   QString::fromStdString(file.string()) }))
                         .trimmed()
                         .toDouble(&ok);
    return ok ? d : -1;
}

// Every name in the folder, hidden ones too.
inline std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        out.push_back(e.path().filename().string());
    std::ranges::sort(out);
    return out;
}

// The length of one stream ("v" or "a") of the file, in seconds.
inline double stream_length(const fs::path& file, const char* stream)
{
    return QString::fromStdString(run("ffprobe", { "-v", "error", "-select_streams", stream, "-show_entries", "stream=duration", "-of",
                                                     "csv=p=0", QString::fromStdString(file.string()) }))
        .trimmed()
        .toDouble();
}

// The file's sound, mono at 8 kHz.
inline std::vector<float> sound_of(const fs::path& file)
{
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", QString::fromStdString(file.string()), "-map", "0:a", "-ac", "1", "-ar", "8000",
                               "-f", "f32le", "-" });
    decode.waitForFinished(30000);
    const QByteArray raw = decode.readAllStandardOutput();
    std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
    return s;
}

// Of the first `seconds` of the sound, the share of tenths of a second that sound (the sine), not silence.
inline double sounding_share(const std::vector<float>& s, double seconds)
{
    const std::size_t tenth = 800;
    const auto tenths = static_cast<std::size_t>(seconds * 10);
    std::size_t sounding = 0;
    for (std::size_t k = 0; k < tenths && (k + 1) * tenth <= s.size(); ++k) {
        double sum = 0;
        for (std::size_t i = k * tenth; i < (k + 1) * tenth; ++i)
            sum += double(s[i]) * s[i];
        if (std::sqrt(sum / tenth) > 0.01)
            ++sounding;
    }
    return tenths ? double(sounding) / double(tenths) : 0;
}

} // namespace recorder_desktop
