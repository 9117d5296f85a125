// app: the menu-bar application: delegate, launch sequence and dispatcher.
#pragma once

#include <memory>

namespace app {

// The command code shared by the status menu, the hot keys and the URL scheme.
enum class AppAction : unsigned char {
    CaptureArea = 0,
    CaptureFullscreen = 1,
    CaptureWindow = 2,
    CapturePreviousArea = 3,
    CaptureText = 4,
    RecordScreen = 5,
    RecordGif = 6,
    SelfTimer = 7,
    PinLast = 8,
    OpenLastInEditor = 9,
    CaptureScrolling = 10,
};

// Runs one action after the screen-recording permission check. Main thread.
void run(AppAction action);

// The direct capture roads (src/app_capture.cpp). Main thread.
// Captures the whole screen under the pointer and delivers it.
void capture_fullscreen();
// Captures the remembered area again; with none remembered, opens the area overlay.
void capture_previous_area();
// Shows "Captura en N s" and captures the full screen N seconds later.
void self_timer();

// The application delegate (VistropeAppDelegate): runs the launch sequence
// once the run loop turns and handles screen changes and opened URLs.
class AppDelegate final {
public:
    static std::shared_ptr<AppDelegate> create();
    // Called once the run loop has started.
    void did_finish_launching();

private:
    AppDelegate() = default;
};

} // namespace app
