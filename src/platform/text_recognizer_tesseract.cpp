// Text recognition with Tesseract (LSTM) and barcode reading with ZXing.
//
// Barcodes are read first and painted out, so their modules are not
// mistaken for letters. The picture is then made ready by the installed
// page preparation (scaled up, cut at blank rows into bands, patches of
// another background apart), and the jobs are read in parallel, each by an
// engine of the pool (a Tesseract engine is not shared between threads).
// The picture as it stands is read as well, as the command line reads it,
// at the same time on an engine of its own: that plain reading is the base
// of the result, and the preparation's reading replaces it line by line
// only where it reads clearly better. The user waits for the slower of the
// two readings, not both.
#include "platform/text_recognizer.h"
#include "platform/media_module.h"

#include "base/util.h"
#include "base/util_parallel.h"
#include "base/util_thread.h"

#define ZX_USE_UTF8 1
#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ZXing/ReadBarcode.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QPainter>

#include <dlfcn.h>
#include <malloc.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

namespace platform {

namespace {

std::string tessdata_dir()
{
    if (const char* env = std::getenv("TESSDATA_PREFIX"); env && *env)
        return env;
    for (const char* dir : { "/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata",
                             "/usr/share/tessdata" })
        if (std::error_code ec; std::filesystem::exists(std::filesystem::path(dir) / "eng.traineddata", ec))
            return dir;
    return {};
}

// One Tesseract engine, loaded for one language string.
struct Engine {
    std::unique_ptr<tesseract::TessBaseAPI> api;
    std::string langs;
};

std::expected<std::unique_ptr<Engine>, std::string> load_engine(const std::string& data_dir, const std::string& langs,
                                                                bool single_block)
{
    auto engine = std::make_unique<Engine>();
    engine->api = std::make_unique<tesseract::TessBaseAPI>();
    engine->langs = langs;
    const char* path = data_dir.empty() ? nullptr : data_dir.c_str();
    if (engine->api->Init(path, langs.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        return std::unexpected(fmt::format("Tesseract no pudo cargar los idiomas {}", langs));
    // One block per band: the layout is done afterwards from the word boxes,
    // and the engine's own page analysis measurably drops words next to
    // graphics (a scroll bar) in window captures.
    engine->api->SetPageSegMode(single_block ? tesseract::PSM_SINGLE_BLOCK : tesseract::PSM_AUTO);
    // Its own debug output would go to standard error on every call.
    engine->api->SetVariable("debug_file", "/dev/null");
    return engine;
}

// A pool of loaded engines. acquire() hands out an idle engine, loads a new
// one while fewer than `max` exist, and otherwise waits for one to come back.
class EnginePool {
public:
    EnginePool(std::string data_dir, int max, bool single_block)
        : m_data_dir(std::move(data_dir)), m_max(max), m_single_block(single_block) { }

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
            // An engine being loaded for the warm-up is nearly there.
            if (m_loading > 0) {
                m_cv.wait(lock);
                continue;
            }
            if (m_loaded < m_max || !m_idle.empty()) {
                // An idle engine for other languages is dropped and replaced.
                if (m_loaded >= m_max)
                    m_idle.erase(m_idle.begin());
                else
                    ++m_loaded;
                lock.unlock();
                auto engine = load_engine(m_data_dir, langs, m_single_block);
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

    // Loads one more engine into the idle ones, unless the pool is full;
    // what failed, or empty.
    std::string load_one(const std::string& langs)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_loaded >= m_max)
                return {};
            ++m_loaded;
            ++m_loading;
        }
        auto engine = load_engine(m_data_dir, langs, m_single_block);
        {
            std::lock_guard lock(m_mutex);
            --m_loading;
            if (engine)
                m_idle.push_back(std::move(*engine));
            else
                --m_loaded;
        }
        m_cv.notify_all();
        return engine ? std::string() : engine.error();
    }

    // Destroys the idle engines; those in use come back and stay.
    void drop_idle()
    {
        std::vector<std::unique_ptr<Engine>> idle;
        {
            std::lock_guard lock(m_mutex);
            idle.swap(m_idle);
            m_loaded -= static_cast<int>(idle.size());
        }
        m_cv.notify_all();
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
    bool m_single_block;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::unique_ptr<Engine>> m_idle;
    int m_loaded = 0;
    int m_loading = 0; // by load_one
};

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

// The library parallelises inside one engine with OpenMP; with several
// engines running at once that oversubscribes the cores and its threads spin
// (five times slower here). Its loops ask for a fixed thread count, so only
// making every parallel region of this thread inactive keeps each job on its
// own thread. The OpenMP runtime is the library's, not linked by us: it is
// reached where the library loaded it, and nothing is done without it.
void keep_library_on_this_thread()
{
    using SetInt = void (*)(int);
    static const std::pair<SetInt, SetInt> set = [] {
        void* omp = dlopen("libgomp.so.1", RTLD_NOW | RTLD_NOLOAD);
        if (!omp)
            return std::pair<SetInt, SetInt> {};
        return std::pair { reinterpret_cast<SetInt>(dlsym(omp, "omp_set_max_active_levels")),
                           reinterpret_cast<SetInt>(dlsym(omp, "omp_set_num_threads")) };
    }();
    if (set.first)
        set.first(0);
    if (set.second)
        set.second(1);
}

// The confidence in each character of the word `it` is at, whose text is
// `text`; empty unless the engine's symbols spell it one character each.
std::vector<float> character_confidences(const tesseract::ResultIterator& it, const std::string& text)
{
    std::vector<float> out;
    std::string spelt;
    tesseract::ResultIterator symbol(it);
    do {
        std::unique_ptr<char[]> s(symbol.GetUTF8Text(tesseract::RIL_SYMBOL));
        if (!s)
            return {};
        spelt += s.get();
        out.push_back(symbol.Confidence(tesseract::RIL_SYMBOL));
    } while (symbol.Next(tesseract::RIL_SYMBOL) && !symbol.IsAtBeginningOf(tesseract::RIL_WORD));
    const auto characters = std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
    if (spelt != text || static_cast<std::ptrdiff_t>(out.size()) != characters)
        return {};
    return out;
}

// `first_line` numbers the job's first text line; the next are numbered on.
std::expected<std::vector<ReadWord>, std::string> read_job(EnginePool& pool, const std::string& langs, const ReadJob& job,
                                                       double source_w, double source_h, int first_line)
{
    keep_library_on_this_thread();
    // The engine takes grey or RGB bytes; any other layout (a 32-bit
    // picture is BGRA in memory) would be read with its channels crossed.
    // Made before an engine is taken: a return between taking and giving
    // one back would lose it to the pool for good.
    const QImage image = job.image.format() == QImage::Format_Grayscale8 || job.image.format() == QImage::Format_RGB888
        ? job.image
        : job.image.convertToFormat(QImage::Format_Grayscale8);
    if (image.isNull() && !job.image.isNull())
        return std::unexpected(std::string("no hay memoria para preparar la imagen"));
    auto engine = pool.acquire(langs);
    if (!engine)
        return std::unexpected(engine.error());
    tesseract::TessBaseAPI& api = *(*engine)->api;
    const tesseract::PageSegMode mode = api.GetPageSegMode();
    api.SetImage(image.constBits(), image.width(), image.height(), image.depth() / 8,
                 static_cast<int>(image.bytesPerLine()));
    if (job.as_command_line) {
        // The command line's defaults: its own page analysis, and the
        // resolution a screenshot's PNG states.
        api.SetPageSegMode(tesseract::PSM_AUTO);
        api.SetSourceResolution(96);
    } else {
        api.SetSourceResolution(300);
    }
    std::vector<ReadWord> words;
    const int failed = api.Recognize(nullptr);
    api.SetPageSegMode(mode);
    if (failed != 0) {
        // A failed recognition is an error, not a picture without text.
        api.Clear();
        pool.release(std::move(*engine));
        return std::unexpected(std::string("Tesseract no pudo reconocer la imagen"));
    }
    {
        std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
        int line = first_line - 1;
        if (it && !it->Empty(tesseract::RIL_WORD)) {
            do {
                line += it->IsAtBeginningOf(tesseract::RIL_TEXTLINE) ? 1 : 0;
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int l = 0, t = 0, r = 0, b = 0;
                if (!text || !it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b))
                    continue;
                const auto sx = [&](int v) { return v / job.scale + job.origin_x; };
                const auto sy = [&](int v) { return v / job.scale + job.origin_y; };
                words.push_back({ { text.get(), norm_box(sx(l), sy(t), sx(r), sy(b), source_w, source_h) },
                                  it->Confidence(tesseract::RIL_WORD), std::max(line, first_line),
                                  character_confidences(*it, text.get()), it->WordIsFromDictionary() });
            } while (it->Next(tesseract::RIL_WORD));
        }
    }
    api.Clear();
    pool.release(std::move(*engine));
    return words;
}

// The picture as it stands, as the command line hands it to the engine: in
// colour (the engine thresholds each channel and reads its own grey), not
// made dark on light (the engine reads both), transparency over white.
// With barcodes read, it is read in grey with them painted out.
QImage plain_picture(const QImage& image, const std::vector<Fragment>& codes, const PagePreparation& prep)
{
    QImage rgb;
    if (image.hasAlphaChannel()) {
        rgb = QImage(image.size(), QImage::Format_RGB888);
        if (rgb.isNull())
            return rgb;
        rgb.fill(Qt::white);
        QPainter p(&rgb);
        p.drawImage(0, 0, image);
    } else {
        rgb = image.convertToFormat(QImage::Format_RGB888);
    }
    if (codes.empty() || rgb.isNull())
        return rgb;
    QImage grey = rgb.convertToFormat(QImage::Format_Grayscale8);
    if (!grey.isNull())
        prep.paint_out(grey, codes);
    return grey;
}

class TextRecognizerTesseract final : public TextRecognizer {
public:
    static constexpr int PREPARED_ENGINES = 2;
    // Numbers of text lines kept for each job, so that no two jobs share one.
    static constexpr int LINES_PER_JOB = 100000;

    explicit TextRecognizerTesseract(TesseractOptions options)
        : m_options(std::move(options))
        , m_data_dir(m_options.data_dir.empty() ? tessdata_dir() : m_options.data_dir)
        , m_pool(m_data_dir, m_options.engines > 0 ? m_options.engines
                                                   : static_cast<int>(std::clamp(util::parallelism(), 1u, 4u)),
                 m_options.single_block)
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

    // Two engines, the plain reading's and one for ours: what a selection of
    // a few lines needs. Loading all of the pool's at once took four times
    // as long (they share the cores and the language files' dictionaries),
    // and a large page loads the rest when it first needs them. The first
    // is loaded before this returns; the second behind it, on a thread of
    // its own, and a recognition that needs it meanwhile waits for it
    // rather than loading a third.
    void prepare(const std::vector<std::string>& languages) override
    {
        const std::string langs = tesseract_languages(languages);
        std::lock_guard lock(m_preload_mutex);
        if (m_preload.joinable())
            m_preload.join();
        auto first = m_pool.acquire(langs);
        if (!first) {
            util::log(first.error());
            return;
        }
        if (m_pool.size() >= PREPARED_ENGINES)
            m_preload = std::jthread([this, langs] {
                if (const auto failed = m_pool.load_one(langs); !failed.empty())
                    util::log(failed);
            });
        m_pool.release(std::move(*first));
    }

    void release_idle() override
    {
        m_pool.drop_idle();
        // The engines' models and buffers are many small blocks the
        // allocator keeps for reuse unless told to give them back.
        ::malloc_trim(0);
    }

    std::expected<Recognition, std::string> recognize(const QImage& image,
                                                      const std::vector<std::string>& languages) override
    {
        Recognition out;
        if (image.isNull() || image.width() < 1 || image.height() < 1)
            return out;
        const PagePreparation& prep = page_preparation();
        if (!prep.page)
            return std::unexpected(std::string("la preparación de la imagen no está instalada"));
        using Clock = std::chrono::steady_clock;
        const auto ms_since = [](Clock::time_point t) {
            return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        };
        const Clock::time_point start = Clock::now();
        QImage grey = prep.grey(image);
        const Clock::time_point codes_start = Clock::now();
        out.codes = read_codes(grey);
        if (out.codes.empty()) {
            // Codes print dark on light whatever the page around them: a code
            // on a dark page reads only in the other polarity (and a
            // light-on-dark code on a light page likewise).
            QImage other = grey;
            other.invertPixels();
            out.codes = read_codes(other);
        }
        out.read_ms = ms_since(codes_start);
        // The codes are painted out, so their modules are not read as letters.
        if (!out.codes.empty())
            prep.paint_out(grey, out.codes);
        const std::string langs = tesseract_languages(languages);
        const double w = image.width(), h = image.height();
        // The picture as it stands is the longest job: its engine starts on
        // it at once, on a thread of its own, while the page is prepared
        // and its bands share the other engines. Refused a thread, it is
        // read here first.
        QImage picture = plain_picture(image, out.codes, prep);
        if (picture.isNull())
            return std::unexpected(std::string("no hay memoria para leer la imagen"));
        const Clock::time_point read_start = Clock::now();
        std::expected<std::vector<ReadWord>, std::string> plain_read;
        const auto read_plain = [&] { plain_read = read_job(m_pool, langs, { picture, 0, 0, 1, true }, w, h, 0); };
        // Declared after what it reads and writes, so that any return joins it first.
        util::Thread plain_thread = util::Thread::start("vistrope-ocr", read_plain);
        if (!plain_thread.started())
            read_plain();
        // Ours share the engines the plain reading leaves.
        const Clock::time_point page_start = Clock::now();
        auto page = prep.page(std::move(grey), m_options, std::max(1, m_pool.size() - 1));
        const double page_ms = ms_since(page_start);
        if (!page)
            return std::unexpected(page.error());
        const std::vector<ReadJob>& jobs = page->jobs;
        std::vector<std::expected<std::vector<ReadWord>, std::string>> results(jobs.size());
        // As many threads as engines, each taking the next job.
        const std::size_t workers = std::min<std::size_t>(jobs.size(), std::max(1, m_pool.size() - 1));
        util::parallel_for(jobs.size(), { .chunks = jobs.size(), .threads = workers }, [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i)
                results[i] = read_job(m_pool, langs, jobs[i], w, h, static_cast<int>(i + 1) * LINES_PER_JOB);
        });
        plain_thread.join();
        if (!plain_read)
            return std::unexpected(plain_read.error());
        std::vector<std::vector<ReadWord>> words;
        for (auto& r : results) {
            if (!r)
                return std::unexpected(r.error());
            words.push_back(std::move(*r));
        }
        std::vector<ReadWord> plain = std::move(*plain_read);
        // A patch that reads as nothing is read as the page showed it.
        for (std::size_t i = page->page_jobs; i < page->jobs.size(); ++i) {
            if (!words[i].empty())
                continue;
            auto again = read_job(m_pool, langs, prep.as_shown(*page, i - page->page_jobs), w, h,
                                  static_cast<int>(jobs.size() + 1 + i) * LINES_PER_JOB);
            if (!again)
                return std::unexpected(again.error());
            words[i] = std::move(*again);
        }
        // Preparing the page is counted as such, though the plain reading ran meanwhile.
        out.read_ms += ms_since(read_start) - page_ms;
        out.texts = prep.words(*page, std::move(words), std::move(plain), m_options.drop_strays);
        out.prepare_ms = ms_since(start) - out.read_ms;
        return out;
    }

private:
    TesseractOptions m_options;
    std::string m_data_dir;
    EnginePool m_pool;
    // Loads prepare()'s second engine; joined before the pool goes.
    std::mutex m_preload_mutex;
    std::jthread m_preload;
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

std::unique_ptr<TextRecognizer> tess::create_recognizer(TesseractOptions options)
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

// The module's table: the one symbol the program looks up in it.
extern "C" const platform::MediaModule* vistrope_text_module()
{
    using namespace platform;
    static const MediaModule table {
        .version = VISTROPE_VERSION,
        .size = sizeof(MediaModule),
        .recognizer = &tess::create_recognizer,
    };
    return &table;
}
