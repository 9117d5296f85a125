// The loader of the media module and the program's side of its table.
#include "platform/media_module.h"

#include "base/util.h"
#include "base/util_queue.h"

#include <fmt/format.h>

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>

// Defined when the module's code is linked in (the tests); else null here,
// and the module is opened.
extern "C" const platform::MediaModule* vistrope_media_module() __attribute__((weak));

namespace platform {

namespace {

// Held by a leaked holder: nothing here may run in the static destructors,
// and the module it names stays loaded for the process's life.
using Loaded = std::expected<const MediaModule*, std::string>;

std::atomic<bool> g_settled { false }; // loaded() answers at once

const Loaded& loaded()
{
    static const Loaded* held = [] {
        if (vistrope_media_module)
            return new Loaded(vistrope_media_module());
        auto* result = new Loaded(load_media_module(media_module_path()));
        if (result->has_value())
            util::log(fmt::format("módulo de medios cargado ({})", media_module_path().string()));
        else
            util::log(result->error());
        return result;
    }();
    g_settled.store(true, std::memory_order_release);
    return *held;
}

// The shutter of a capture made before the module has loaded (in the first
// second after launch, a capture asked for by the launch's link): made and
// played on the background pool half a second later, once the capture has
// been delivered. Loading the module takes about 100 ms, and meanwhile every
// thread the delivery starts waits for the loader, so the file would come
// that much later; the sound comes late instead. The program keeps its
// shutter for the whole session, so once the module has loaded a play is
// played at once, as the module's own player does (after any still waiting,
// so that they keep their order). The state is shared with the jobs, which
// may outlive the player.
class DeferredSound final : public SoundPlayer {
public:
    explicit DeferredSound(std::span<const std::uint8_t> wav)
        : m_state(std::make_shared<State>())
    {
        m_state->wav.assign(wav.begin(), wav.end());
    }
    void play() override
    {
        const bool settled = g_settled.load(std::memory_order_acquire);
        {
            std::lock_guard lock(m_state->mutex);
            if (settled && m_state->pending == 0) {
                // Made here at most once: loaded() answers at once now.
                if (!m_state->made) {
                    m_state->made = true;
                    if (const auto& m = loaded())
                        m_state->player = (*m)->sound(m_state->wav);
                }
                if (m_state->player)
                    m_state->player->play();
                return;
            }
            ++m_state->pending;
        }
        util::after(0.5, [state = m_state] {
            util::in_utility([state] {
                if (SoundPlayer* real = state->real())
                    real->play();
                std::lock_guard lock(state->mutex);
                --state->pending;
                state->idle.notify_all();
            });
        });
    }
    void wait_idle() override
    {
        std::unique_lock lock(m_state->mutex);
        m_state->idle.wait(lock, [&] { return m_state->pending == 0; });
        if (m_state->player)
            m_state->player->wait_idle();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable idle;
        int pending = 0; // plays queued and not yet started
        std::vector<std::uint8_t> wav;
        bool made = false;
        std::unique_ptr<SoundPlayer> player; // null: no module, or not a sound

        SoundPlayer* real()
        {
            std::lock_guard lock(mutex);
            if (!made) {
                made = true;
                if (const auto& m = loaded())
                    player = (*m)->sound(wav);
            }
            return player.get();
        }
    };
    std::shared_ptr<State> m_state;
};

// What the program gets when the module cannot be loaded: every call fails
// with the loader's text.
class MissingMedia final : public Media {
public:
    explicit MissingMedia(std::string error)
        : m_error(std::move(error))
    {
    }
    std::expected<MediaProbe, std::string> probe(const std::filesystem::path&) override { return std::unexpected(m_error); }
    std::expected<std::unique_ptr<FrameReader>, std::string> open_frames(const std::filesystem::path&, double, double,
        std::uint32_t, std::uint32_t) override
    {
        return std::unexpected(m_error);
    }
    std::expected<QImage, std::string> thumbnail(const std::filesystem::path&, double) override { return std::unexpected(m_error); }
    ExportOutcome export_mp4(const std::filesystem::path&, const std::filesystem::path&, const Mp4Options&) override
    {
        return { ExportStatus::Failed, m_error };
    }
    std::expected<std::vector<std::uint8_t>, std::string> write_gif(std::span<const GifFrameView>, std::uint32_t,
        std::uint32_t) override
    {
        return std::unexpected(m_error);
    }

private:
    const std::string m_error;
};

class MissingRecognizer final : public TextRecognizer {
public:
    explicit MissingRecognizer(std::string error)
        : m_error(std::move(error))
    {
    }
    std::vector<std::string> supported_languages() override { return {}; }
    std::expected<Recognition, std::string> recognize(const QImage&, const std::vector<std::string>&) override
    {
        return std::unexpected(m_error);
    }
    void prepare(const std::vector<std::string>&) override { }

private:
    const std::string m_error;
};

// A view that never loads: what a file that cannot be played leaves.
class MissingPlayerView final : public VideoPlayerView {
public:
    bool has_current_item() const override { return false; }
    double position() const override { return 0; }
    double duration() const override { return 0; }
    bool paused() const override { return true; }
    void play() override { }
    void pause() override { }
    void step_frame(int) override { }
    void seek(double) override { }
    std::optional<double> reverse_end() const override { return std::nullopt; }
    std::optional<double> forward_end() const override { return std::nullopt; }
    void set_end_times(std::optional<double>, std::optional<double>) override { }
    bool can_begin_trimming() const override { return false; }
    void begin_trimming(std::function<void(TrimOutcome)>) override { }
    bool trimming() const override { return false; }
    void end_trimming(TrimOutcome) override { }
};

} // namespace

std::filesystem::path media_module_path()
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::filesystem::path(".") : self.parent_path()) / "vistrope-media.so";
}

std::expected<const MediaModule*, std::string> load_media_module(const std::filesystem::path& path)
{
    const auto failed = [&](std::string_view why) {
        return std::unexpected(fmt::format("no pude cargar el módulo de medios ({}): {}", path.string(), why));
    };
    // Every symbol bound now, so a missing library shows here and not as a
    // crash in the middle of a recording. Never closed: its threads, its
    // libraries' state and the objects it made live until the process ends.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        return failed(error ? error : "dlopen falló");
    }
    auto* entry = reinterpret_cast<const MediaModule* (*)()>(dlsym(handle, "vistrope_media_module"));
    if (!entry)
        return failed("no es un módulo de Vistrope");
    const MediaModule* table = entry();
    if (!table || table->size != sizeof(MediaModule) || !table->version || std::strcmp(table->version, VISTROPE_VERSION) != 0)
        return failed(fmt::format("es de otra versión ({}; el programa es la {})",
            table && table->version ? table->version : "?", VISTROPE_VERSION));
    return table;
}

std::expected<const MediaModule*, std::string> media_module()
{
    return loaded();
}

void preload_media_module()
{
    util::in_utility([] { (void)loaded(); });
}

// --- The program's side of the table --------------------------------------------------

std::unique_ptr<Media> create_ffmpeg_media()
{
    const auto& m = loaded();
    if (!m)
        return std::make_unique<MissingMedia>(m.error());
    return (*m)->media();
}

std::expected<std::unique_ptr<CaptureStream>, std::string> create_capture_stream(
    ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener)
{
    const auto& m = loaded();
    if (!m)
        return std::unexpected(m.error());
    return (*m)->capture_stream(std::move(filter), std::move(configuration), std::move(listener));
}

std::vector<VideoCodec> available_video_codecs()
{
    const auto& m = loaded();
    return m ? (*m)->video_codecs() : std::vector<VideoCodec> {};
}

std::unique_ptr<VideoPlayerView> create_mpv_player_view(const std::filesystem::path& path, PlayerOptions options)
{
    const auto& m = loaded();
    if (!m)
        return std::make_unique<MissingPlayerView>();
    return (*m)->player_view(path, options);
}

std::unique_ptr<TextRecognizer> create_tesseract_recognizer(TesseractOptions options)
{
    const auto& m = loaded();
    if (!m)
        return std::make_unique<MissingRecognizer>(m.error());
    return (*m)->recognizer(std::move(options));
}

std::unique_ptr<SoundPlayer> create_deferred_sound(std::span<const std::uint8_t> wav)
{
    return std::make_unique<DeferredSound>(wav);
}

std::unique_ptr<SoundPlayer> create_sound(std::span<const std::uint8_t> wav)
{
    if (!vistrope_media_module && !g_settled.load(std::memory_order_acquire))
        return create_deferred_sound(wav);
    const auto& m = loaded();
    return m ? (*m)->sound(wav) : nullptr;
}

} // namespace platform
