// app: the menu-bar application: delegate, launch sequence and dispatcher.
#pragma once

#include <memory>

namespace app {

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
