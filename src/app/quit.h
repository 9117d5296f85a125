// app: how the program ends, from "Salir de Vistrope" or from a signal
// (SIGTERM at logout, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM): a running recording is stopped and
// its file published, then the event loop ends, and main writes the still
// captures still being delivered. Whatever is not done 4.8 s after the request
// is left behind (a recording's temporary is published at the next launch)
// and the process exits with status 0.
//
// Main thread.
#pragma once

#include <functional>

namespace app {

// Ends the program as described above. Later calls do nothing.
void quit();

// What quit() does before anything else: main has the single instance stop
// taking links there, so that a launch meanwhile waits for this process to
// end and starts a new one rather than hand its links to one that will not
// act on them.
void on_quit_begins(std::function<void()> step);

// Whether the program is ending: quit() ran, or a signal asked for it that
// the main thread has not come to yet.
bool quitting();

// Turns those signals into quit() on the main thread (through a pipe the
// handler writes to and the event loop watches). The handler also arms a
// timer (on a real-time signal) that ends the process (status 0) 4.9 s after the first signal,
// so a main thread that is blocked cannot keep it alive. Once, after the
// application object exists.
void install_signal_handlers();

// The display's loss ends the process at once (the toolkit exits when its
// X connection breaks): a running recording is stopped and its file
// published first, as at a SIGTERM, and the loss is logged. Once, after the
// application object exists.
void install_display_loss_handler();

} // namespace app
