// overlay: the selection overlay (one panel per screen) and its sessions.
#pragma once

namespace overlay {

enum class Mode { Area, Window };
enum class Purpose { Screenshot, Text, Record, Scroll };

// Opens the overlay on every screen for a new session. Main thread.
void begin(Mode mode, Purpose purpose);
// Closes the open session without delivering anything. Main thread.
void cancel();
// Builds the panels ahead of the first use (rebuilt only when the screens change). Main thread.
void prewarm();

} // namespace overlay
