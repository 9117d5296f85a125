// Real programs of the test desktop (xterm, mousepad) started by a desktop
// test: placed where the test wants them, found by their process id, ended
// by it when the test ends.
#pragma once

#include "program.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace testing_support {

class RealProgram {
public:
    RealProgram() = default;
    RealProgram(const RealProgram&) = delete;
    RealProgram& operator=(const RealProgram&) = delete;
    ~RealProgram()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill(); // the child this test started
            m_process.waitForFinished(5000);
        }
    }

    // Starts the program and waits until its window (at least `min_side`
    // px each way) is viewable; false when it never showed one.
    bool start(const QString& program, const QStringList& args, int min_side = 100)
    {
        m_process.start(program, args);
        if (!m_process.waitForStarted(10000))
            return false;
        bool ended = false;
        const bool shown = poll([&] {
            // A program that ended (a font it could not load) shows nothing.
            if (m_process.state() == QProcess::NotRunning)
                return ended = true;
            std::string found = run("xdotool", { "search", "--onlyvisible", "--pid", QString::number(m_process.processId()) });
            // Clients that state no process id (xmessage), by their class.
            if (found.empty())
                found = run("xdotool", { "search", "--onlyvisible", "--classname", program.section('/', -1) });
            std::istringstream ids(found);
            std::string id;
            while (ids >> id) {
                const auto g = window_geometry(id);
                if (g && g->w > min_side && g->h > min_side) {
                    m_window = id;
                    m_geometry = *g;
                    return true;
                }
            }
            return false;
        }, 100);
        return shown && !ended;
    }

    // An xterm with a white page and a font text recognition reads, at
    // (x, y), `columns` × `rows` cells, running `command` in sh.
    bool start_xterm(int x, int y, int columns, int rows, const std::string& command)
    {
        return start("xterm", { "-fa", "DejaVu Sans Mono", "-fs", "11", "-bg", "white", "-fg", "black", "+sb", "-geometry",
                                  QString("%1x%2+%3+%4").arg(columns).arg(rows).arg(x).arg(y), "-e", "sh", "-c",
                                  QString::fromStdString(command) })
            && settle();
    }

    // The window's place once the window manager framed it, as xwininfo
    // reports it (xdotool counts a reparented window's frame offset twice).
    bool settle()
    {
        QThread::msleep(500);
        static const QRegularExpression field(R"((Absolute upper-left X|Absolute upper-left Y|Width|Height):\s+(-?\d+))");
        const QString info = QString::fromStdString(run("xwininfo", { "-id", QString::fromStdString(m_window) }));
        std::map<QString, int> values;
        for (auto it = field.globalMatch(info); it.hasNext();) {
            const auto m = it.next();
            values[m.captured(1)] = m.captured(2).toInt();
        }
        if (values.size() != 4)
            return false;
        m_geometry = { values["Width"], values["Height"], values["Absolute upper-left X"], values["Absolute upper-left Y"] };
        return true;
    }

    void focus() { run("xdotool", { "windowactivate", "--sync", QString::fromStdString(m_window) }); }
    std::string title() const { return run("xdotool", { "getwindowname", QString::fromStdString(m_window) }); }
    const std::string& window() const { return m_window; }
    const Geometry& geometry() const { return m_geometry; }

private:
    QProcess m_process;
    std::string m_window;
    Geometry m_geometry {};
};

} // namespace testing_support
