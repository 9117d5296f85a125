#include "app/quit.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "base/util_thread.h"
#include "record/recorder.h"

#include <QCoreApplication>
#include <QtGlobal>
#include <QSocketNotifier>
#include <QTimer>

#include <fmt/format.h>

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace app {

namespace {

// What may still run after the request, from it to the forced exit.
constexpr auto GRACE = std::chrono::milliseconds(4800);

// The end after a signal when the main thread never comes to handle it (a
// read that blocks, a loop that does not return): a timer armed by the
// handler itself, a little after the main thread's own forced end would have
// come.
constexpr long SIGNAL_DEADLINE_NS = 4'900'000'000;

// The signals that end the program as "Salir de Vistrope" does.
constexpr int QUIT_SIGNALS[] = { SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM };
// The forced end's timer signal (SIGRTMIN is not a constant).
int DEADLINE_SIGNAL()
{
    return SIGRTMIN;
}

bool g_quitting = false;
int g_signal_pipe[2] = { -1, -1 };
timer_t g_deadline {};
bool g_have_deadline = false;            // set before any handler can run
volatile std::sig_atomic_t g_armed = 0;  // the deadline runs from the first signal
volatile std::sig_atomic_t g_signalled = 0;

std::function<void()>& first_step()
{
    static auto* step = new std::function<void()>();
    return *step;
}

void on_deadline(int)
{
    static constexpr char line[] = "[vistrope] el cierre no terminó a tiempo tras la señal; salgo\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line, sizeof line - 1);
    ::_exit(0);
}

void on_signal(int number)
{
    // Only what is async-signal-safe: the deadline armed once, one byte to
    // the pipe, errno kept.
    const int saved = errno;
    g_signalled = 1;
    if (g_have_deadline && !g_armed) {
        g_armed = 1;
        itimerspec at {};
        at.it_value.tv_sec = SIGNAL_DEADLINE_NS / 1'000'000'000;
        at.it_value.tv_nsec = SIGNAL_DEADLINE_NS % 1'000'000'000;
        ::timer_settime(g_deadline, 0, &at, nullptr);
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved;
}

// Ends the event loop once no recording is running or finishing its file.
void quit_when_idle()
{
    if (!recorder::busy()) {
        QCoreApplication::quit();
        return;
    }
    QTimer::singleShot(50, [] { quit_when_idle(); });
}

} // namespace

void quit()
{
    util::require_main_thread("hilo principal");
    if (std::exchange(g_quitting, true))
        return;
    if (first_step())
        first_step()();
    // The forced end, for a writer or a delivery that does not finish: what
    // it leaves behind the next launch finds.
    // Refused a thread (logged), the quit goes on without its forced end;
    // after a signal, the handler's timer still ends a process that hangs.
    (void)util::start_detached("vistrope-quit", [] {
        std::this_thread::sleep_for(GRACE);
        util::log("el cierre no terminó a tiempo; salgo y dejo lo pendiente para el próximo arranque");
        std::_Exit(0);
    });
    if (recorder::running()) {
        util::log("al salir: detengo la grabación en curso");
        recorder::stop();
    }
    quit_when_idle();
}

namespace {

QtMessageHandler g_previous_handler = nullptr;

void on_message(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The toolkit's last words before it exits, on the main thread.
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("The X11 connection broke")) && util::is_main_thread()) {
        util::log(fmt::format("se perdió la conexión con el servidor X ({}); termino", message.toStdString()));
        // A recording still finishing counts: its delivery would come from
        // the main queue, which ends with the toolkit.
        if (recorder::busy()) {
            util::log("al perder la pantalla: detengo y guardo la grabación en curso");
            recorder::rescue();
        }
    }
    if (g_previous_handler)
        g_previous_handler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

void install_display_loss_handler()
{
    g_previous_handler = qInstallMessageHandler(on_message);
}

void on_quit_begins(std::function<void()> step)
{
    util::require_main_thread("hilo principal");
    first_step() = std::move(step);
}

bool quitting()
{
    return g_quitting || g_signalled;
}

void install_signal_handlers()
{
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        util::log(fmt::format("sin manejo de señales: {}", std::strerror(errno)));
        return;
    }
    // The notifier lives as long as the application.
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        unsigned char byte = 0;
        while (::read(g_signal_pipe[0], &byte, 1) == 1)
            util::log(fmt::format("recibí la señal {}; termino", ::sigabbrev_np(byte) ? ::sigabbrev_np(byte) : "?"));
        quit();
    });
    // The deadline's signal ends the process at once, whichever thread takes
    // it. A real-time one: SIGALRM, sent by anyone, must end the program the
    // way the other signals do, not cut it short.
    struct sigaction deadline {};
    deadline.sa_handler = on_deadline;
    sigemptyset(&deadline.sa_mask);
    sigevent event {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = DEADLINE_SIGNAL();
    if (::sigaction(DEADLINE_SIGNAL(), &deadline, nullptr) == 0 && ::timer_create(CLOCK_MONOTONIC, &event, &g_deadline) == 0)
        g_have_deadline = true;
    else
        util::log(fmt::format("sin plazo de cierre tras una señal: {}", std::strerror(errno)));
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Every signal whose default would end the program without a word,
    // leaving a recording to the next launch.
    for (const int number : QUIT_SIGNALS)
        ::sigaction(number, &action, nullptr);
}

} // namespace app
