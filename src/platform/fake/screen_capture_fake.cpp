#include "platform/fake/screen_capture_fake.h"

#include "base/util_queue.h"

namespace platform {

bool ScreenCaptureFake::answer_fetch()
{
    if (m_pending.empty())
        return false;
    auto done = std::move(m_pending.front());
    m_pending.pop_front();
    if (fail_fetch)
        done(std::unexpected(fetch_error));
    else
        done(content);
    return true;
}

void ScreenCaptureFake::fetch_content(std::function<void(ContentResult)> done)
{
    ++fetches_started;
    m_pending.push_back(std::move(done));
}

ImageResult ScreenCaptureFake::grab_display_now(const DisplayGrab& grab)
{
    display_grabs.push_back(grab);
    if (fail_grab)
        return std::unexpected(grab_error);
    QImage image(static_cast<int>(grab.width), static_cast<int>(grab.height), QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

void ScreenCaptureFake::grab_display(DisplayGrab grab, std::function<void(ImageResult)> done)
{
    ImageResult result = grab_display_now(grab);
    if (answer_twice)
        done(result);
    done(std::move(result));
}

void ScreenCaptureFake::grab_window(WindowGrab grab, std::function<void(ImageResult)> done)
{
    window_grabs.push_back(grab);
    if (fail_grab) {
        done(std::unexpected(grab_error));
        return;
    }
    QImage image(window_size, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    done(grab.with_shadow ? with_window_shadow(image, 1.0) : image);
}

std::expected<std::vector<ShareableWindow>, std::string> ScreenCaptureFake::window_list()
{
    if (fail_fetch)
        return std::unexpected(fetch_error);
    return content.windows;
}

void ScreenCaptureFake::after_screen_settles(std::function<void()> done)
{
    ++settles;
    util::on_main(std::move(done));
}

} // namespace platform
