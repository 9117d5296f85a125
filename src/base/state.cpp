#include "base/state.h"

#include "base/png_chunks.h"
#include "base/util.h"

#include <QBuffer>
#include <QImageReader>

#include <fmt/format.h>

namespace state {

namespace {

struct Slots {
    std::shared_ptr<const config::Config> config;
    std::optional<LastArea> last_area;
    std::optional<LastShot> last_shot;
    std::optional<PngPicture> last_shot_png; // stands in for the last shot's pixels
    bool busy = false; // a slot is being replaced: re-entry breaks an invariant
};

// The slots belong to the main thread; a reference from any other thread
// stops the process.
Slots& store()
{
    util::require_main_thread("hilo principal");
    static Slots instance;
    return instance;
}

// Marks the slots borrowed for the life of the guard.
class Borrow {
public:
    explicit Borrow(Slots& s)
        : m_slots(s)
    {
        if (m_slots.busy)
            util::fatal("estado compartido en uso (préstamo reentrante)");
        m_slots.busy = true;
    }
    ~Borrow() { m_slots.busy = false; }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    Slots& m_slots;
};

} // namespace

std::shared_ptr<const config::Config> config()
{
    Slots& s = store();
    if (!s.config) {
        // Loading may log; the log never touches these slots.
        auto loaded = std::make_shared<const config::Config>(config::Config::load());
        Borrow borrow(s);
        s.config = std::move(loaded);
    }
    return s.config;
}

void set_config(std::shared_ptr<const config::Config> config)
{
    Slots& s = store();
    Borrow borrow(s);
    s.config = std::move(config);
}

void set_last_area(const LastArea& area)
{
    Slots& s = store();
    Borrow borrow(s);
    s.last_area = area;
}

std::optional<LastArea> last_area()
{
    return store().last_area;
}

void set_last_shot(QImage image, double scale)
{
    Slots& s = store();
    Borrow borrow(s);
    const qint64 key = image.cacheKey();
    s.last_shot = LastShot { std::nullopt, std::move(image), scale, key };
    s.last_shot_png.reset();
}

void record_last_shot_file(const std::filesystem::path& path)
{
    Slots& s = store();
    Borrow borrow(s);
    if (s.last_shot)
        s.last_shot->file = path;
}

std::optional<LastShot> last_shot()
{
    const Slots& s = store();
    std::optional<LastShot> shot = s.last_shot;
    if (shot && shot->image.isNull() && s.last_shot_png)
        shot->image = s.last_shot_png->read();
    return shot;
}

qint64 last_shot_key()
{
    const Slots& s = store();
    return s.last_shot ? s.last_shot->key : 0;
}

void keep_last_shot_as_png(qint64 key, PngPicture png)
{
    Slots& s = store();
    Borrow borrow(s);
    if (!s.last_shot || s.last_shot->key != key || !png.bytes || png.bytes->empty())
        return;
    s.last_shot->image = QImage();
    s.last_shot_png = std::move(png);
}

QImage PngPicture::read() const
{
    if (!bytes || bytes->empty())
        return {};
    // Our own encoder wrote these bytes, but the decoder gets no length it
    // could trust blindly from anyone.
    if (const auto fits = png_chunks::check(*bytes); !fits) {
        util::log(fmt::format("no pude leer de nuevo el PNG de una captura: {}", fits.error()));
        return {};
    }
    // Qt's reader refuses pictures above 128 MB unpacked by default: a long
    // scrolling capture or an 8K screen is over it, and this is its only copy.
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size()));
    QBuffer buffer;
    buffer.setData(data);
    QImageReader reader(&buffer, "PNG");
    reader.setAllocationLimit(0);
    QImage image = reader.read();
    if (image.isNull()) {
        util::log("no pude leer de nuevo el PNG de una captura");
        return image;
    }
    // The pixels come back exactly; the profile the file names is only the
    // one the picture was encoded in.
    image = image.convertToFormat(format);
    image.setColorSpace(color_space);
    return image;
}

namespace {

std::vector<std::string>& kept_arguments()
{
    static auto* held = new std::vector<std::string>();
    return *held;
}

} // namespace

void reset_for_tests()
{
    Slots& s = store();
    Borrow borrow(s);
    s.config.reset();
    s.last_area.reset();
    s.last_shot.reset();
    s.last_shot_png.reset();
}

void keep_process_arguments(std::vector<std::string> args)
{
    kept_arguments() = std::move(args);
}

const std::vector<std::string>& process_arguments()
{
    return kept_arguments();
}

std::function<void()>& instance_release()
{
    util::require_main_thread("hilo principal");
    static auto* held = new std::function<void()>();
    return *held;
}

std::function<void()>& quit_handler()
{
    util::require_main_thread("hilo principal");
    static auto* held = new std::function<void()>();
    return *held;
}

} // namespace state
