// platform: text and barcode recognition of an image.
//
// The recogniser returns fragments, not layout: recognised words or runs of
// words, and the payloads of two-dimensional barcodes, each with a box. The
// ocr module lays them out as lines of text.
#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A box in normalised image coordinates: 0..1 of the image's pixel width and
// height, origin at the top-left corner.
struct NormBox {
    double x0 = 0;
    double x1 = 0;
    double top = 0;
    double bottom = 0;
};

struct Fragment {
    std::string text; // UTF-8
    NormBox box;
    // The engine's text line it was read on, as ReadWord::line; -1 unknown
    // (barcodes, recognisers that do not tell).
    int line = -1;
};

struct Recognition {
    std::vector<Fragment> texts; // recognised words or runs of words
    std::vector<Fragment> codes; // barcode payloads (QR, Micro QR, Aztec, Data Matrix)
    // Where the time went, in milliseconds: preparing the image (and
    // sorting out what was read), and the engines reading it.
    double prepare_ms = 0;
    double read_ms = 0;
};

class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;

    // The languages it can read, as locale tags ("es-ES", "en-US" ...); an
    // empty list when it cannot tell. Any thread.
    virtual std::vector<std::string> supported_languages() = 0;

    // Recognises text in the given languages (locale tags, in order of
    // preference) and the barcodes in `image` (any format; converted as
    // needed). Blocks; any thread, several calls at once. Fails with a
    // message when the engine cannot run.
    virtual std::expected<Recognition, std::string> recognize(const QImage& image,
                                                              const std::vector<std::string>& languages) = 0;

    // Loads the engines for these languages ahead of the first recognition,
    // so that it pays no start-up cost. Blocks; any thread.
    virtual void prepare(const std::vector<std::string>& languages) = 0;

    // Gives back the engines loaded and not in use, and the memory they
    // held; the next recognition loads what it needs again (the warm-up's
    // cost, not more). Any thread.
    virtual void release_idle() = 0;
};

struct TesseractOptions {
    std::string data_dir;      // empty: the system's tessdata folder
    int target_line_px = 32;   // text lines shorter than this are scaled up...
    int max_upscale = 4;       // ...by at most this factor (1: never)
    int engines = 0;           // engines in the pool; 0: up to 4, one a core
    bool read_patches = true;  // coloured patches (buttons, badges) also read on their own
    bool single_block = true;  // each band one block of text (else the engine's page analysis)
    bool drop_strays = true;   // short marks of low confidence standing alone are no text
};

// One piece of work for an engine: an image (a view into a larger one or an
// image of its own; grey, or RGB888 for the picture in colour) and how its
// pixels map back to the source image: source = pixel / scale + origin.
struct ReadJob {
    QImage image;
    double origin_x = 0;
    double origin_y = 0;
    double scale = 1;
    // Read with the engine's own page analysis and at the resolution a
    // screenshot file states, as its command line reads a picture; else
    // as one block of text at the resolution the scaled bands are made for.
    bool as_command_line = false;
};

// A word as an engine read it, its box normalised to the source image.
struct ReadWord {
    Fragment fragment;
    float confidence = 0; // 0..100
    // The engine's text line it read the word on, the same number for the
    // words of one line and no other within one recognition; -1 unknown.
    int line = -1;
    // The engine's confidence in each of the word's characters (0..100), in
    // order; empty when it did not tell them apart.
    std::vector<float> chars {};
    // Whether the engine found the word in its dictionary.
    bool dictionary = false;
};

// A picture made ready to read: the page's bands, then one job for each
// patch of another background, and what sorting out their words needs.
struct PreparedPage {
    QSize size;                       // the source picture's, pixels
    std::vector<ReadJob> jobs;
    std::size_t page_jobs = 0;        // the page's bands; the rest are patches, in order
    QImage scaled;                    // the page scaled up, which the bands view
    int factor = 1;                   // its scale
    std::vector<QRect> patch_boxes;   // each patch's text box, source pixels
    std::vector<QRect> patch_areas;   // each whole patch, its rim included
    QImage unpainted;                 // the page before its patches were painted out
    int chrome_rows = 0;              // the window's bars at the top, read apart, source pixels
    // Where the preparation painted over or recoloured the picture (255),
    // source pixels (all 0 for a page flattened whole); null when it
    // changed no pixel and read no bar or patch apart. A short word of the
    // plain reading over painted pixels is chrome ours may lack.
    QImage changed;
};

// The image work around the engines, which the application supplies
// (capture/ocr_prepare.h) and installs at launch, before any recognition.
struct PagePreparation {
    // A grey copy, dark text on light.
    std::function<QImage(const QImage& image)> grey;
    // Read barcodes painted out in the page's grey.
    std::function<void(QImage& grey, const std::vector<Fragment>& codes)> paint_out;
    // The jobs, for a pool of `engines` engines.
    std::function<std::expected<PreparedPage, std::string>(QImage grey, const TesseractOptions& options, int engines)>
        page;
    // A patch as the page showed it, read when its own reading gives nothing.
    std::function<ReadJob(const PreparedPage& page, std::size_t patch)> as_shown;
    // What the jobs read, one list a job, sorted out into the page's text;
    // `plain` is what the engine read of the picture as it stands, the base
    // that ours replaces only line by line, where it reads clearly better.
    std::function<std::vector<Fragment>(const PreparedPage& page, std::vector<std::vector<ReadWord>> read,
                                        std::vector<ReadWord> plain, bool drop_strays)>
        words;
};

// Installs the preparation (main thread, at launch; the recogniser reads it
// from any thread afterwards).
void set_page_preparation(PagePreparation preparation);
const PagePreparation& page_preparation();

// Tesseract (LSTM) for text, ZXing for barcodes. A pool of engines lets
// several recognitions, and the bands of one large image, run at once.
std::unique_ptr<TextRecognizer> create_tesseract_recognizer(TesseractOptions options = {});

// The Tesseract language codes for locale tags, joined with '+': "es-MX" and
// "es-ES" give "spa", "en-US" gives "eng"; duplicates and unknown tags are
// dropped; "eng" when nothing is left.
std::string tesseract_languages(const std::vector<std::string>& locale_tags);

// A QR code for `payload`, `module_px` pixels per module with a four-module
// quiet zone, black on white (tests and benchmarks draw it into pictures).
QImage render_qr_code(std::string_view payload, int module_px);

} // namespace platform
