// ocr: text and barcode recognition of a captured image, to the clipboard.
//
// A selection made for text ends here: the overlay hands the captured image
// to start_text_capture, which recognises it on the background pool and, back
// on the main thread, puts the text on the clipboard with a toast. The
// command line (--ocr) runs the same recogniser on a PNG file.
#pragma once

#include "capture/ocr_layout.h"
#include "ui/hud.h"
#include "base/util.h"

#include <QImage>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class TextRecognizer;
}

namespace ocr {

// The recognition languages as locale tags ("es-MX", "es-ES", "en-US"): those
// of the three that the recogniser supports, in that order; "en-US" alone
// when it supports none. Computed once per process, on first use. Any thread.
const std::vector<std::string>& languages();
// The choice languages() makes from a recogniser's supported list.
std::vector<std::string> choose_languages(const std::vector<std::string>& supported);

// Recognises the text and the two-dimensional barcodes (QR, Micro QR, Aztec,
// Data Matrix) in an image and lays them out. Blocks the calling thread; any
// thread, several at once. A recogniser failure is logged ("el reconocedor
// falló: " + reason) and gives an empty result.
Result recognize_sync(const QImage& image);

// Puts a result on the clipboard with its toast: "No encontré texto" (the
// clipboard is left alone) or "Texto copiado · n caracteres" / "Código
// copiado · n caracteres". Main thread.
void deliver(const Result& result);

// The toast text deliver() shows for a result, and its character count.
std::string toast_text(const Result& result);

// One recognition of a small blank image, so that the engines are loaded
// before the first real capture. The application runs it once at launch on
// the utility pool. Any thread.
void warm_up();

// The engines are given back this long after the last text capture (or
// warm-up), as the grab's idle segments are: they hold a hundred MiB or
// more, and the next capture pays only the warm-up again.
constexpr double ENGINE_IDLE_SECONDS = 60;
// Replaces that delay (tests); negative restores it. Main thread.
void set_engine_idle_seconds(double seconds);

// The text capture job: recognises `image` on the background pool and
// delivers the result on the main thread; a recogniser that fails (its
// module could not be loaded) shows "No se pudo leer el texto" instead. `scale` is the capture's pixels per
// point; `capture` is the capture's stopwatch, lapped once the text is on the
// clipboard. Main thread (returns at once).
void start_text_capture(QImage image, double scale, util::Stopwatch capture);

// The --ocr switch: `path` is the argument that followed it (none when the
// switch was last). Prints the text of a PNG file; returns the exit status
// (0 done, 1 unreadable file, 2 usage). Needs no application object.
int cli(const std::optional<std::string>& path);

// Where deliver() shows its toasts: hud::toast unless replaced (tests record
// them). Null restores hud::toast. Main thread.
using ToastSink = hud::ToastSink;
void set_toast_sink(ToastSink sink);

// Replaces the process's recogniser (tests install a fake). Null restores the
// platform's default on next use. Not while a recognition runs.
void set_recognizer(std::unique_ptr<platform::TextRecognizer> recognizer);

} // namespace ocr
