// platform: a scriptable stand-in for shareable content and still capture.
//
// Fetches wait until the test answers them (answer_fetch), so a test can
// queue requests before the first content exists. Grabs answer at once, on
// the calling thread, with an image of the requested size filled with
// `fill`, or fail when told to. Every request is recorded. Main thread.
#pragma once

#include "platform/screen_capture.h"

#include <QColor>

#include <deque>

namespace platform {

class ScreenCaptureFake final : public ScreenCapture {
public:
    // What a successful fetch returns.
    ShareableContent content;
    // Fault injection: the next answered fetches fail with fetch_error; grabs fail with grab_error.
    bool fail_fetch = false;
    std::string fetch_error = "sin permiso";
    bool fail_grab = false;
    // A platform that answers a grab twice (the second answer must be ignored).
    bool answer_twice = false;
    std::string grab_error = "el servidor no respondió";
    QColor fill = QColor(255, 0, 0);
    // The size of a window grab (the window's frame is not in pixels).
    QSize window_size = QSize(40, 30);
    std::vector<std::uint32_t> own = {};

    // Recorded requests.
    std::vector<DisplayGrab> display_grabs;
    std::vector<WindowGrab> window_grabs;
    int fetches_started = 0;

    // Answers the oldest waiting fetch with `content` (or the failure);
    // false when none waits.
    bool answer_fetch();
    std::size_t pending_fetches() const { return m_pending.size(); }

    void fetch_content(std::function<void(ContentResult)> done) override;
    void grab_display(DisplayGrab grab, std::function<void(ImageResult)> done) override;
    void grab_window(WindowGrab grab, std::function<void(ImageResult)> done) override;
    ImageResult grab_display_now(const DisplayGrab& grab) override;
    std::expected<std::vector<ShareableWindow>, std::string> window_list() override;
    std::vector<std::uint32_t> own_windows() override { return own; }
    // Settles on the next turn of the main queue; counted.
    void after_screen_settles(std::function<void()> done) override;
    int settles = 0;
    CaptureCapabilities capabilities() const override { return { true, true, true }; }
    // Holds on idle pictures now in force.
    void hold_idle(bool hold) override { holds += hold ? 1 : -1; }
    int holds = 0;

private:
    std::deque<std::function<void(ContentResult)>> m_pending;
};

} // namespace platform
