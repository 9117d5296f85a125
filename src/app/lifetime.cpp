// The end of the application's life: every window of ours closes, then every
// engine and connection is let go in order, while the application object and
// the display connection still exist. Nothing of this is left to the static
// destructors, which run after both are gone and in no order we choose.
#include "app/app.h"
#include "app/app_hotkeys.h"

#include "base/util_queue.h"
#include "capture/capture.h"
#include "capture/modebar.h"
#include "capture/ocr.h"
#include "capture/output.h"
#include "capture/overlay.h"
#include "cards/pin.h"
#include "cards/quick_access.h"
#include "editor/mod.h"
#include "platform/text_recognizer.h"
#include "record/recorder.h"
#include "record/video.h"
#include "scroll/scroll.h"
#include "record/video_editor.h"
#include "settings/onboarding.h"
#include "settings/prefs.h"

#include <QCoreApplication>
#include <QEvent>

namespace app {

void close_windows()
{
    // Sessions first: each owns a grab thread that paints over our panels.
    if (scroll::running())
        scroll::cancel();
    recorder::abandon();
    if (overlay::is_open())
        overlay::cancel();
    modebar::release();
    quick_access::close_all();
    pin::close_all();
    editor::close_all();
    video_editor::editors().clear();
    prefs::reset();
    onboarding::reset();
    // Windows closed with deleteLater go now, not after the loop has ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void release_services()
{
    release_delegate();
    close_windows();
    // No background job may still hold an engine when it goes.
    util::wait_for_background();
    ocr::set_recognizer(nullptr);
    video::set_media(nullptr);
    capture::set_backend(nullptr);
    set_hotkey_backend(nullptr);
    output::release_sound();
    util::wait_for_background();
}

} // namespace app
