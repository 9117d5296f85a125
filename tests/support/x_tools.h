// Reading what other programs see, from the desktop tests.
#pragma once

#include "qt_wait.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>

namespace testing_support {

// Runs a program to its end while this process keeps serving its windows
// and the clipboard it owns; returns its standard output.
inline QByteArray run_serving(const QString& program, const QStringList& args, int ms = 10000)
{
    QProcess p;
    p.start(program, args);
    wait_until([&] { return p.state() == QProcess::NotRunning; }, ms);
    return p.readAllStandardOutput();
}

// The clipboard's image/png, read with xclip as another program would.
inline QByteArray xclip_png()
{
    return run_serving("xclip", { "-selection", "clipboard", "-t", "image/png", "-o" });
}

} // namespace testing_support
