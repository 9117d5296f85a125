// Reading what other programs see, from the desktop tests.
#pragma once

#include "qt_wait.h"

#include "capture/capture.h"
#include "platform/screen_capture.h"

#include <QByteArray>
#include <QImage>
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

// Runs xdotool to its end while this process keeps serving its windows;
// true when it ended well within `ms`. (A loop on waitForFinished alone never
// ends when the process finishes while events are being processed.)
inline bool xdotool_serving(const QStringList& args, int ms = 15000)
{
    QProcess p;
    p.start("xdotool", args);
    if (!p.waitForStarted(3000))
        return false;
    if (!wait_until([&] { return p.state() == QProcess::NotRunning; }, ms)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The clipboard's image/png, read with xclip as another program would.
inline QByteArray xclip_png()
{
    return run_serving("xclip", { "-selection", "clipboard", "-t", "image/png", "-o" });
}

// The whole first screen as the X server shows it now, the program's own
// panels included (ARGB32; null when the grab failed).
inline QImage screen_now()
{
    platform::DisplayGrab grab;
    grab.display = platform::shareable_displays().front();
    grab.width = grab.display.pixel_width;
    grab.height = grab.display.pixel_height;
    auto image = capture::backend().grab_display_now(grab);
    return image ? image->convertToFormat(QImage::Format_ARGB32) : QImage();
}

} // namespace testing_support
