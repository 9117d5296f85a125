// Driving the program from a benchmark: started through its front
// executable with a HOME of its own, links handed to it the way the desktop
// does, its log read back, and what /proc says about a process.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fmt/format.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <sstream>
#include <string>

namespace bench_process {

inline std::string loadavg()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// User + system seconds of a live process, all its threads.
inline double process_cpu(qint64 pid)
{
    std::ifstream in(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    // Fields 3… after the name: state is 3, utime 14, stime 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stod(field);
        if (i == 15)
            stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A line of /proc/PID/status in MB (VmRSS, VmHWM); 0 when gone.
inline double status_mb(qint64 pid, const char* key)
{
    std::ifstream in(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(key)) {
            std::istringstream s(line.substr(std::strlen(key) + 1));
            double kb = 0;
            s >> kb;
            return kb / 1024.0;
        }
    return 0;
}

inline QByteArray output_of(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    return p.readAllStandardOutput();
}

// The session's screen size in pixels; none without an X display.
inline std::optional<std::pair<int, int>> display_size()
{
    const QList<QByteArray> wh = output_of("xdotool", { "getdisplaygeometry" }).trimmed().split(' ');
    if (wh.size() != 2)
        return std::nullopt;
    return std::pair { wh[0].toInt(), wh[1].toInt() };
}

// Makes `home` the program's: the first run done, captures in its folder
// "capturas" (returned), `settings` (TOML lines) after that.
inline QString prepare_home(const QTemporaryDir& home, const std::string& settings = {})
{
    const QString captures = home.filePath("capturas");
    QDir().mkpath(home.filePath(".config/vistrope"));
    QDir().mkpath(captures);
    QFile(home.filePath(".config/vistrope/onboarded")).open(QIODevice::WriteOnly);
    QFile config(home.filePath(".config/vistrope/config.toml"));
    config.open(QIODevice::WriteOnly);
    config.write(fmt::format("save_dir = \"{}\"\n{}", captures.toStdString(), settings).c_str());
    return captures;
}

// The program under test, started as the desktop tests start it.
class App {
public:
    App(const QString& front, const QString& home)
        : m_front(front)
        , m_home(home)
    {
        QProcessEnvironment env = environment();
        m_process.setProcessEnvironment(env);
        // The program itself, which the front would start in a session of
        // its own and leave: this one is measured, and stopped at the end.
        m_process.start(QString::fromStdString((std::filesystem::path(m_front.toStdString()).parent_path() / "vistrope-app").string()), {});
        m_process.waitForStarted(10000);
    }
    ~App()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
        }
    }
    QProcessEnvironment environment() const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_home);
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_STATE_HOME");
        return env;
    }
    qint64 pid() const { return m_process.processId(); }
    // Reads what the program has logged so far.
    const std::string& log()
    {
        m_log += m_process.readAllStandardError().toStdString();
        return m_log;
    }
    std::size_t count(const std::string& text)
    {
        std::size_t n = 0;
        const std::string& l = log();
        for (auto at = l.find(text); at != std::string::npos; at = l.find(text, at + 1))
            ++n;
        return n;
    }
    // Waits until `text` has been logged `n` times; `each` runs every 50 ms meanwhile.
    bool wait_count(const std::string& text, std::size_t n, double seconds, const std::function<void()>& each = {})
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < seconds * 1000) {
            if (count(text) >= n)
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(50);
            if (each)
                each();
        }
        return count(text) >= n;
    }
    void link(const QString& url)
    {
        QProcess front;
        front.setProcessEnvironment(environment());
        front.start(m_front, { url });
        front.waitForFinished(20000);
    }

private:
    QString m_front;
    QString m_home;
    QProcess m_process;
    std::string m_log;
};

// Runs xdotool with these arguments and waits for it.
inline void xdo(const QStringList& args)
{
    QProcess p;
    p.start("xdotool", args);
    p.waitForFinished(5000);
}

} // namespace bench_process
