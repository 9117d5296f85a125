#include "app/quit.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "record/recorder.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fmt/format.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace app {

namespace {

// What may still run after the request, from it to the forced exit.
constexpr auto GRACE = std::chrono::milliseconds(4800);

bool QUITTING = false;
int SIGNAL_PIPE[2] = { -1, -1 };

void on_signal(int number)
{
    // Only what is async-signal-safe: one byte to the pipe, errno kept.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(SIGNAL_PIPE[1], &byte, 1);
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
    if (std::exchange(QUITTING, true))
        return;
    // The forced end, for a writer or a delivery that does not finish: what
    // it leaves behind the next launch finds.
    std::thread([] {
        std::this_thread::sleep_for(GRACE);
        util::log("el cierre no terminó a tiempo; salgo y dejo lo pendiente para el próximo arranque");
        std::_Exit(0);
    }).detach();
    if (recorder::running()) {
        util::log("al salir: detengo la grabación en curso");
        recorder::stop();
    }
    quit_when_idle();
}

void install_signal_handlers()
{
    if (::pipe2(SIGNAL_PIPE, O_CLOEXEC | O_NONBLOCK) != 0) {
        util::log(fmt::format("sin manejo de señales: {}", std::strerror(errno)));
        return;
    }
    // The notifier lives as long as the application.
    auto* notifier = new QSocketNotifier(SIGNAL_PIPE[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        unsigned char byte = 0;
        while (::read(SIGNAL_PIPE[0], &byte, 1) == 1)
            util::log(fmt::format("recibí la señal {}; termino", ::sigabbrev_np(byte) ? ::sigabbrev_np(byte) : "?"));
        quit();
    });
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : { SIGTERM, SIGINT, SIGHUP })
        ::sigaction(number, &action, nullptr);
}

} // namespace app
