// Text recognition with Tesseract (LSTM) and barcode reading with ZXing.
//
// Screens carry small text: at scale 1 a UI label is 11-16 px tall, well
// below the size Tesseract's models were trained on, so images whose text
// lines are short are scaled up first. The image is then cut at blank rows
// into bands that are read in parallel, each by an engine of the pool (a
// Tesseract engine is not shared between threads). Barcodes are read first
// and painted out, so their modules are not mistaken for letters.
#include "platform/text_recognizer.h"

#include "util.h"

#define ZX_USE_UTF8 1
#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ZXing/ReadBarcode.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QPainter>

#include <omp.h>

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Bands are not cut thinner than this many scaled pixels of text: below it
// the engine's per-call overhead outweighs the parallel gain.
constexpr int MIN_BAND_PX = 120;

std::string tessdata_dir()
{
    if (const char* env = std::getenv("TESSDATA_PREFIX"); env && *env)
        return env;
    for (const char* dir : { "/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata",
                             "/usr/share/tessdata" })
        if (std::filesystem::exists(std::filesystem::path(dir) / "eng.traineddata"))
            return dir;
    return {};
}

// One Tesseract engine, loaded for one language string.
struct Engine {
    std::unique_ptr<tesseract::TessBaseAPI> api;
    std::string langs;
};

std::expected<std::unique_ptr<Engine>, std::string> load_engine(const std::string& data_dir, const std::string& langs)
{
    auto engine = std::make_unique<Engine>();
    engine->api = std::make_unique<tesseract::TessBaseAPI>();
    engine->langs = langs;
    const char* path = data_dir.empty() ? nullptr : data_dir.c_str();
    if (engine->api->Init(path, langs.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        return std::unexpected(fmt::format("Tesseract no pudo cargar los idiomas {}", langs));
    engine->api->SetPageSegMode(tesseract::PSM_AUTO);
    // Its own debug output would go to standard error on every call.
    engine->api->SetVariable("debug_file", "/dev/null");
    return engine;
}

// A pool of loaded engines. acquire() hands out an idle engine, loads a new
// one while fewer than `max` exist, and otherwise waits for one to come back.
class EnginePool {
public:
    EnginePool(std::string data_dir, int max) : m_data_dir(std::move(data_dir)), m_max(max) { }

    int size() const { return m_max; }

    std::expected<std::unique_ptr<Engine>, std::string> acquire(const std::string& langs)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            auto it = std::find_if(m_idle.begin(), m_idle.end(), [&](const auto& e) { return e->langs == langs; });
            if (it != m_idle.end()) {
                auto engine = std::move(*it);
                m_idle.erase(it);
                return engine;
            }
            if (m_loaded < m_max || !m_idle.empty()) {
                // An idle engine for other languages is dropped and replaced.
                if (m_loaded >= m_max)
                    m_idle.erase(m_idle.begin());
                else
                    ++m_loaded;
                lock.unlock();
                auto engine = load_engine(m_data_dir, langs);
                if (!engine) {
                    lock.lock();
                    --m_loaded;
                    m_cv.notify_one();
                }
                return engine;
            }
            m_cv.wait(lock);
        }
    }

    void release(std::unique_ptr<Engine> engine)
    {
        {
            std::lock_guard lock(m_mutex);
            m_idle.push_back(std::move(engine));
        }
        m_cv.notify_one();
    }

private:
    std::string m_data_dir;
    int m_max;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::unique_ptr<Engine>> m_idle;
    int m_loaded = 0;
};

// Rows of the image that hold ink: rows with more grey-level edges than the
// quietest row. Counting edges rather than dark pixels finds light text on a
// coloured button as well as dark text, and subtracting the quietest row
// ignores what crosses every row (a window border, a scroll bar, a divider).
std::vector<bool> ink_rows(const QImage& grey)
{
    std::vector<int> edges(grey.height());
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        int n = 0;
        for (int x = 1; x < grey.width(); ++x)
            n += std::abs(row[x] - row[x - 1]) > 48;
        edges[y] = n;
    }
    const int quiet = edges.empty() ? 0 : *std::min_element(edges.begin(), edges.end());
    std::vector<bool> ink(grey.height());
    for (int y = 0; y < grey.height(); ++y)
        ink[y] = edges[y] > quiet;
    return ink;
}

struct Run {
    int begin;
    int end; // exclusive
};

std::vector<Run> ink_runs(const std::vector<bool>& ink)
{
    std::vector<Run> runs;
    for (int y = 0; y < static_cast<int>(ink.size());) {
        if (!ink[y]) {
            ++y;
            continue;
        }
        int end = y;
        while (end < static_cast<int>(ink.size()) && ink[end])
            ++end;
        runs.push_back({ y, end });
        y = end;
    }
    return runs;
}

// The scale factor for an image whose ink runs (text lines, mostly) are these:
// the models read best when lines are about `target` pixels tall.
int upscale_for(const std::vector<Run>& runs, int target, int max_factor)
{
    std::vector<int> heights;
    for (const Run& r : runs)
        if (r.end - r.begin >= 4) // specks and rules are no text lines
            heights.push_back(r.end - r.begin);
    if (heights.empty())
        return 1;
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    const int median = heights[heights.size() / 2];
    return std::clamp((target + median - 1) / median, 1, std::max(1, max_factor));
}

// Cuts the rows into at most `count` bands of similar height, only through
// blank gaps between ink runs (through the middle of the gap).
std::vector<Run> bands(const std::vector<Run>& runs, int height, int count, int min_band)
{
    if (runs.empty())
        return {};
    int ink_total = 0;
    for (const Run& r : runs)
        ink_total += r.end - r.begin;
    const int per_band = std::max(min_band, (ink_total + count - 1) / count);
    std::vector<Run> out;
    int start = 0;
    int acc = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        acc += runs[i].end - runs[i].begin;
        if (acc >= per_band && i + 1 < runs.size()) {
            const int cut = (runs[i].end + runs[i + 1].begin) / 2;
            out.push_back({ start, cut });
            start = cut;
            acc = 0;
        }
    }
    out.push_back({ start, height });
    return out;
}

// A grey copy with dark text on a light background: images whose mean is
// dark (dark mode) are inverted. Transparent pixels count as white.
QImage normalised_grey(const QImage& image)
{
    QImage rgb = image;
    if (image.hasAlphaChannel()) {
        rgb = QImage(image.size(), QImage::Format_RGB32);
        rgb.fill(Qt::white);
        QPainter p(&rgb);
        p.drawImage(0, 0, image);
    }
    QImage grey = rgb.convertToFormat(QImage::Format_Grayscale8);
    // Background: the most common grey value.
    std::array<std::size_t, 256> hist {};
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            ++hist[row[x]];
    }
    const auto background = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
    if (background < 128)
        grey.invertPixels();
    return grey;
}

NormBox norm_box(double l, double t, double r, double b, double w, double h)
{
    return { l / w, r / w, t / h, b / h };
}

std::vector<Fragment> read_codes(const QImage& grey)
{
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode | ZXing::BarcodeFormat::MicroQRCode | ZXing::BarcodeFormat::Aztec
                     | ZXing::BarcodeFormat::DataMatrix);
    hints.setTryHarder(true);
    const ZXing::ImageView view(grey.constBits(), grey.width(), grey.height(), ZXing::ImageFormat::Lum,
                                static_cast<int>(grey.bytesPerLine()));
    std::vector<Fragment> codes;
    for (const ZXing::Result& r : ZXing::ReadBarcodes(view, hints)) {
        if (!r.isValid())
            continue;
        const auto& pos = r.position();
        double l = pos[0].x, rt = pos[0].x, t = pos[0].y, b = pos[0].y;
        for (const auto& p : pos) {
            l = std::min<double>(l, p.x);
            rt = std::max<double>(rt, p.x);
            t = std::min<double>(t, p.y);
            b = std::max<double>(b, p.y);
        }
        codes.push_back({ r.text(), norm_box(l, t, rt + 1, b + 1, grey.width(), grey.height()) });
    }
    return codes;
}

// Reads the words of one band (rows [band.begin, band.end) of the scaled
// image) and appends them with boxes normalised to the whole scaled image.
std::expected<std::vector<Fragment>, std::string> read_band(EnginePool& pool, const std::string& langs,
                                                            const QImage& scaled, Run band)
{
    // The library parallelises inside one engine with OpenMP; with several
    // engines running at once that oversubscribes the cores and its threads
    // spin (five times slower here). Its loops ask for a fixed thread count,
    // so only making every parallel region of this thread inactive keeps each
    // band on its own thread.
    omp_set_max_active_levels(0);
    omp_set_num_threads(1);
    auto engine = pool.acquire(langs);
    if (!engine)
        return std::unexpected(engine.error());
    tesseract::TessBaseAPI& api = *(*engine)->api;
    const int h = band.end - band.begin;
    api.SetImage(scaled.constScanLine(band.begin), scaled.width(), h, 1, static_cast<int>(scaled.bytesPerLine()));
    api.SetSourceResolution(300);
    std::vector<Fragment> words;
    if (api.Recognize(nullptr) == 0) {
        std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
        if (it && !it->Empty(tesseract::RIL_WORD)) {
            do {
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int l = 0, t = 0, r = 0, b = 0;
                if (!text || !it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b))
                    continue;
                words.push_back({ text.get(), norm_box(l, t + band.begin, r, b + band.begin, scaled.width(),
                                                      scaled.height()) });
            } while (it->Next(tesseract::RIL_WORD));
        }
    }
    api.Clear();
    pool.release(std::move(*engine));
    return words;
}

class TextRecognizerTesseract final : public TextRecognizer {
public:
    explicit TextRecognizerTesseract(TesseractOptions options)
        : m_options(std::move(options))
        , m_data_dir(m_options.data_dir.empty() ? tessdata_dir() : m_options.data_dir)
        , m_pool(m_data_dir, m_options.engines > 0 ? m_options.engines
                                                   : static_cast<int>(std::clamp(util::parallelism(), 1u, 4u)))
    {
    }

    std::vector<std::string> supported_languages() override
    {
        std::vector<std::string> tags;
        const auto has = [&](const char* code) {
            std::error_code ec;
            return std::filesystem::exists(std::filesystem::path(m_data_dir) / fmt::format("{}.traineddata", code), ec);
        };
        if (has("spa")) {
            tags.push_back("es-MX");
            tags.push_back("es-ES");
        }
        if (has("eng"))
            tags.push_back("en-US");
        return tags;
    }

    void prepare(const std::vector<std::string>& languages) override
    {
        const std::string langs = tesseract_languages(languages);
        std::vector<std::unique_ptr<Engine>> loaded;
        {
            std::vector<std::jthread> threads;
            std::mutex mutex;
            for (int i = 0; i < m_pool.size(); ++i)
                threads.emplace_back([&] {
                    auto engine = m_pool.acquire(langs);
                    std::lock_guard lock(mutex);
                    if (engine)
                        loaded.push_back(std::move(*engine));
                    else
                        util::log(engine.error());
                });
        }
        for (auto& engine : loaded)
            m_pool.release(std::move(engine));
    }

    std::expected<Recognition, std::string> recognize(const QImage& image,
                                                      const std::vector<std::string>& languages) override
    {
        Recognition out;
        if (image.isNull() || image.width() < 1 || image.height() < 1)
            return out;
        QImage grey = normalised_grey(image);
        out.codes = read_codes(grey);
        if (out.codes.empty()) {
            // Codes print dark on light whatever the page around them: a code
            // on a dark page reads only in the other polarity (and a
            // light-on-dark code on a light page likewise).
            QImage other = grey;
            other.invertPixels();
            out.codes = read_codes(other);
        }
        if (!out.codes.empty()) {
            // Paint the codes out (with a margin for their quiet zone).
            QPainter p(&grey);
            for (const Fragment& c : out.codes) {
                const double m = 0.02 * std::max(grey.width(), grey.height());
                p.fillRect(QRectF(c.box.x0 * grey.width() - m, c.box.top * grey.height() - m,
                                  (c.box.x1 - c.box.x0) * grey.width() + 2 * m,
                                  (c.box.bottom - c.box.top) * grey.height() + 2 * m),
                           Qt::white);
            }
        }
        const std::vector<Run> runs = ink_runs(ink_rows(grey));
        if (runs.empty())
            return out;
        const int factor = upscale_for(runs, m_options.target_line_px, m_options.max_upscale);
        const QImage scaled = factor == 1
            ? grey
            : grey.scaled(grey.width() * factor, grey.height() * factor, Qt::IgnoreAspectRatio,
                          Qt::SmoothTransformation);
        std::vector<Run> scaled_runs;
        for (const Run& r : runs)
            scaled_runs.push_back({ r.begin * factor, r.end * factor });
        const std::vector<Run> parts = bands(scaled_runs, scaled.height(), m_pool.size(), MIN_BAND_PX);

        const std::string langs = tesseract_languages(languages);
        std::vector<std::expected<std::vector<Fragment>, std::string>> results(parts.size());
        if (parts.size() == 1) {
            results[0] = read_band(m_pool, langs, scaled, parts[0]);
        } else {
            std::vector<std::jthread> threads;
            for (std::size_t i = 0; i < parts.size(); ++i)
                threads.emplace_back([&, i] { results[i] = read_band(m_pool, langs, scaled, parts[i]); });
        }
        for (auto& r : results) {
            if (!r)
                return std::unexpected(r.error());
            for (Fragment& f : *r)
                out.texts.push_back(std::move(f));
        }
        return out;
    }

private:
    TesseractOptions m_options;
    std::string m_data_dir;
    EnginePool m_pool;
};

} // namespace

std::string tesseract_languages(const std::vector<std::string>& locale_tags)
{
    std::vector<std::string> codes;
    for (const std::string& tag : locale_tags) {
        std::string code;
        if (tag == "es-MX" || tag == "es-ES")
            code = "spa";
        else if (tag == "en-US")
            code = "eng";
        if (!code.empty() && std::find(codes.begin(), codes.end(), code) == codes.end())
            codes.push_back(code);
    }
    if (codes.empty())
        return "eng";
    std::string out = codes[0];
    for (std::size_t i = 1; i < codes.size(); ++i)
        out += "+" + codes[i];
    return out;
}

std::unique_ptr<TextRecognizer> create_tesseract_recognizer(TesseractOptions options)
{
    return std::make_unique<TextRecognizerTesseract>(std::move(options));
}

QImage render_qr_code(std::string_view payload, int module_px)
{
    ZXing::MultiFormatWriter writer(ZXing::BarcodeFormat::QRCode);
    writer.setMargin(0);
    const ZXing::BitMatrix matrix = writer.encode(std::string(payload), 0, 0);
    const int quiet = 4;
    const int side = (matrix.width() + 2 * quiet) * module_px;
    QImage img(side, side, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    for (int y = 0; y < matrix.height(); ++y)
        for (int x = 0; x < matrix.width(); ++x)
            if (matrix.get(x, y))
                p.fillRect((x + quiet) * module_px, (y + quiet) * module_px, module_px, module_px, Qt::black);
    return img;
}

} // namespace platform
