#include "record/recorder.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "base/xdg.h"
#include "base/hotkeys.h"
#include "platform/hot_keys.h"
#include "platform/screens.h"
#include "capture/capture.h"
#include "capture/output.h"
#include "base/publish.h"
#include "platform/url_scheme.h"
#include "platform/workspace.h"
#include "record/input_overlay.h"
#include "record/recorder_ui.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <utility>

#include <malloc.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace recorder {

// The stream and the seal of a finishing recording, shared with the threads
// that end them: whoever comes first to a step does it, and a rescue waits
// for what another thread already began.
struct Handoff {
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<platform::CaptureStream> stream; // until someone lets it go
    bool stream_gone = false;
    std::optional<Ending> seal_asked;
    std::optional<std::expected<Sealed, SealFailure>> sealed;
};

State& state()
{
    util::require_main_thread("hilo principal");
    static State s;
    return s;
}

namespace {

// On the heap: a recording owns a stream and panels, which end while the
// application exists (abandon), never in the static destructors.
std::unique_ptr<Session>& g_slot = *new std::unique_ptr<Session>();
// The recordings finished but not yet published or given up, main thread.
// On the heap like the slot: one still here at exit was never delivered.
std::vector<std::unique_ptr<Session>>& g_finishing = *new std::vector<std::unique_ptr<Session>>();
// How many recordings are alive (see Alive); read from any thread.
std::atomic<int> g_alive { 0 };

Services real_services()
{
    Services s;
    s.after = [](double seconds, Job job) { util::after(seconds, std::move(job)); };
    s.post = [](Job job) { util::on_main(std::move(job)); };
    s.now = [] { return Clock::now(); };
    s.screens = [] { return platform::screens(); };
    s.create_stream = [](platform::ContentFilter filter, platform::StreamConfiguration configuration,
                          std::shared_ptr<platform::StreamListener> listener) {
        return platform::create_capture_stream(std::move(filter), std::move(configuration), std::move(listener));
    };
    s.codecs = [] { return platform::available_video_codecs(); };
    s.with_content = [](std::move_only_function<void(capture::Content, bool)> next) { capture::with_content(std::move(next)); };
    s.refresh = [](capture::Waiter waiter) { capture::refresh(std::move(waiter)); };
    s.make_controls = [](const platform::RectF& area, const platform::RectF& visible, bool has_region) -> std::unique_ptr<Controls> {
        return Ui::create(area, visible, has_region);
    };
    s.start_input = [](const platform::RectF& screen, const platform::RectF& area, std::uint32_t flags,
                        double scale) -> std::unique_ptr<InputPanel> {
        return input_overlay::InputOverlay::start(screen, area, flags, scale);
    };
    s.accessibility_trusted = [] { return platform::accessibility_trusted(); };
    s.hold_still_pictures = [] { return capture::hold_idle_pictures(); };
    s.capture_name = [] { return publish::capture_name_now(); };
    s.snapshot = [](std::uint32_t display, std::optional<platform::RectF> region, double scale, FlashContinuation next) {
        if (next)
            flash::snapshot(display, region, scale, std::move(next));
        else
            flash::snapshot(display, region, scale);
    };
    s.play_flash = [](const flash::Origin& origin) { flash::play(origin, std::nullopt); };
    s.copy_file = [](const fs::path& path) { video::copy_file(path); };
    s.reveal = [](const fs::path& path) { platform::reveal(path); };
    s.show_video = [](const fs::path& path, std::optional<flash::Origin> origin) {
        if (output::cards().show_video)
            output::cards().show_video(path, std::move(origin));
    };
    s.make_gif = [](const fs::path& source, video::GifSettings settings, const fs::path& destination, std::shared_ptr<void> hold) {
        video::make_gif(source, settings, destination, true, video::FromRecording { std::move(hold) });
    };
    s.seal = [](const fs::path& temporary, Ending ending, std::function<void(std::expected<Sealed, SealFailure>)> then) {
        util::in_background([temporary, ending, then = std::move(then)] { then(recorder::seal(temporary, ending)); });
    };
    s.take_escape = [](Job pressed) -> std::shared_ptr<void> {
        // The press comes inside the key filter, which the holder's end
        // removes: the job runs after it, on the main queue.
        const std::uint32_t escape[] = { hotkeys::KEY_ESCAPE };
        auto keys = platform::take_keys(platform::create_x11_hot_keys(), escape, [pressed](std::uint32_t) { util::on_main(pressed); });
        if (!keys) {
            util::log(fmt::format("no pude tomar Escape: {}", keys.error()));
            return nullptr;
        }
        return std::shared_ptr<platform::HotKeys>(std::move(*keys));
    };
    s.after_screen_settles = [](Job job) { capture::after_screen_settles(std::move(job)); };
    s.release = [](Job let_go, Job then) {
        util::in_background([let_go = std::move(let_go), then = std::move(then)]() mutable {
            let_go();
            util::on_main(std::move(then));
        });
    };
    return s;
}

Services& services_slot()
{
    static Services s = real_services();
    return s;
}

void toast(std::string_view symbol, std::string_view text, double seconds)
{
    hud::toast_through(services().toast, symbol, text, seconds);
}

Session* find(std::uint64_t id)
{
    return g_slot && g_slot->id == id ? g_slot.get() : nullptr;
}

// The finishing recording with this id, or null once it is delivered or rescued.
Session* finishing(std::uint64_t id)
{
    const auto it = std::ranges::find_if(g_finishing, [id](const auto& r) { return r->id == id; });
    return it == g_finishing.end() ? nullptr : it->get();
}

// Done with a finishing recording: it goes here, on the main thread.
void forget(std::uint64_t id)
{
    std::erase_if(g_finishing, [id](const auto& r) { return r->id == id; });
}

// Ends the stream (waiting for its writer to close the file), or waits for
// the thread that is already ending it. Any thread.
void let_go(Handoff& h)
{
    std::unique_lock lock(h.mutex);
    if (auto stream = std::move(h.stream)) {
        lock.unlock();
        stream.reset();
        lock.lock();
        h.stream_gone = true;
        h.changed.notify_all();
        return;
    }
    h.changed.wait(lock, [&] { return h.stream_gone; });
}

// Asks for the file's seal; its result is kept in the handoff, for `next`
// (on the main queue) or for a rescue that cannot wait for that queue.
void ask_seal(Session& r, Ending ending, Job next)
{
    auto h = r.handoff;
    {
        std::lock_guard lock(h->mutex);
        h->seal_asked = ending;
    }
    services().seal(r.path, ending, [h, post = services().post, next = std::move(next)](std::expected<Sealed, SealFailure> sealed) mutable {
        {
            std::lock_guard lock(h->mutex);
            h->sealed = std::move(sealed);
        }
        h->changed.notify_all();
        if (next)
            post(std::move(next));
    });
}

std::expected<Sealed, SealFailure> take_sealed(Handoff& h)
{
    std::unique_lock lock(h.mutex);
    h.changed.wait(lock, [&] { return h.sealed.has_value(); });
    auto sealed = std::move(*h.sealed);
    h.sealed.reset();
    return sealed;
}

std::string debug_region(const std::optional<platform::RectF>& r)
{
    if (!r)
        return "None";
    return fmt::format("Some({:.1f}, {:.1f}, {:.1f}, {:.1f})", r->x, r->y, r->w, r->h);
}

std::string debug_window(const std::optional<std::uint32_t>& w)
{
    return w ? fmt::format("Some({})", *w) : std::string("None");
}

// `error`: what went wrong, from which the toast names the cause.
void could_not_record(std::uint64_t id, std::string_view error)
{
    if (teardown(id))
        toast("exclamationmark.triangle", with_cause("No se pudo grabar", error), 1.6);
}

void give_up(std::uint64_t id, const std::string& line)
{
    util::log(line);
    could_not_record(id, line);
}

void schedule_countdown(std::uint64_t id, std::uint32_t n)
{
    services().after(1.0, [id, n] {
        Session* r = find(id);
        if (!r)
            return;
        r->countdown = n - 1;
        countdown_step(id);
    });
}

void start_done(std::uint64_t id, const std::optional<std::string>& text)
{
    if (!text) {
        started(id);
        return;
    }
    util::log(fmt::format("no pude empezar a grabar: {}", *text));
    could_not_record(id, *text);
}

// Hides what a stopping recording shows: the controls and the keys-and-clicks panel.
void order_out(Session& r)
{
    r.ui->hide();
    if (auto overlay = std::move(r.overlay))
        overlay->stop();
}

void stop_stream(platform::CaptureStream& stream)
{
    stream.stop([](std::optional<std::string>) { });
}

void refetch_and_prepare(std::uint64_t id)
{
    services().refresh([id](capture::Content content) { prepare(id, std::move(content), true); });
}

// A writer that failed, or never said it finished, may have left half a
// fragment at the end: only the whole fragments before it are kept. The
// writer's own flag counts too, for an end the main queue did not see.
Ending ending_of(const Session& r)
{
    return r.failed || r.writer_failed->load() || !r.file_ended->load() ? Ending::Broken : Ending::Finished;
}

// The name a sealed file is published under: its own, or for an incomplete
// one "<name> (incompleta)", its own name given back.
publish::Reserved publish_name(const Session& r, bool incomplete)
{
    if (!incomplete)
        return r.name;
    publish::release(r.name);
    return publish::reserve_path(r.name.path.parent_path(), incomplete_stem(r.name.stem), "mp4");
}

} // namespace

Services& services()
{
    return services_slot();
}

void reset_services()
{
    services_slot() = real_services();
}

const Session* session()
{
    return g_slot.get();
}

std::string time_text(std::uint64_t s)
{
    if (s <= 3599)
        return fmt::format("{:02}:{:02}", s / 60 % 60, s % 60);
    return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

std::string ending_text(std::uint64_t seconds, bool incomplete, const std::optional<std::string>& cause,
    std::uint32_t sound_lost, std::uint64_t lost_at)
{
    std::string text = !incomplete ? fmt::format("Grabación guardada · {}", time_text(seconds))
        : cause                    ? fmt::format("Grabación incompleta: {} · {}", *cause, time_text(seconds))
                                   : fmt::format("Grabación incompleta · {}", time_text(seconds));
    if (sound_lost) {
        const char* what = sound_lost == SOUND_SYSTEM ? "sin sonido del sistema"
            : sound_lost == SOUND_MICROPHONE          ? "sin micrófono"
                                                      : "sin sonido";
        text += fmt::format(" · {} desde {}", what, time_text(lost_at));
    }
    return text;
}

platform::RectF global_area(const platform::RectF& screen, const std::optional<platform::RectF>& region)
{
    if (!region)
        return screen;
    return platform::rect_from_display(screen, *region);
}

void start_inner(std::uint32_t display_id, std::optional<platform::RectF> region, std::optional<std::uint32_t> window,
    double scale, actions::RecordingFormat format)
{
    if (!util::is_main_thread())
        return;
    Services& s = services();
    if (g_slot) {
        util::log("ya hay una grabación en curso; ignoro la nueva");
        toast("record.circle", "Ya hay una grabación en curso", 1.6);
        return;
    }
    util::log(fmt::format("grabación: pantalla {}, región {}, ventana {}", display_id, debug_region(region), debug_window(window)));
    state().input_tries = 0;
    const auto entered = s.now();

    const auto screens = s.screens();
    const auto screen = std::ranges::find_if(screens, [&](const platform::Screen& sc) { return sc.display_id == display_id; });
    if (screen == screens.end()) {
        util::log(fmt::format("no encontré la pantalla {}", display_id));
        return;
    }
    const platform::RectF area = global_area(screen->frame, region);
    const auto cfg = state::config();
    const std::uint64_t id = state().next_id++;

    auto rec = std::make_unique<Session>();
    rec->id = id;
    rec->display = display_id;
    rec->region = region;
    rec->window = window;
    rec->scale = scale;
    rec->format = format;
    rec->stopwatch = util::Stopwatch("grabación", entered);
    // A region that takes in the whole screen is recorded as the screen: its
    // outline would lie wholly off screen, a screenful of panel for nothing.
    const platform::RectF& f = screen->frame;
    const bool whole = area.x <= f.x && area.y <= f.y && area.x + area.w >= f.x + f.w && area.y + area.h >= f.y + f.h;
    rec->ui = s.make_controls(area, screen->visible_frame, region.has_value() && !whole);

    bool keys = cfg->recording.show_keys;
    if (keys && s.start_input && !s.accessibility_trusted()) {
        toast("keyboard", "Para mostrar teclas, el servidor X necesita XInput 2 y XTEST", 2.4);
        keys = false;
    }
    if (s.start_input && (cfg->recording.show_clicks || keys)) {
        const std::uint32_t flags = (cfg->recording.show_clicks ? SHOW_CLICKS : 0) | (keys ? SHOW_KEYS : 0)
            | (cfg->recording.show_all_keys ? SHOW_ALL_KEYS : 0);
        rec->overlay = s.start_input(screen->frame, area, flags, scale);
    }

    // The MP4 (a GIF recording's too, until its conversion ends) is written
    // to a hidden temporary beside its name in the capture folder: nobody sees
    // it half-written, and a run that stops leaves it to the next launch.
    rec->name = publish::reserve_path(config::save_dir(*cfg), s.capture_name(), "mp4");
    auto temporary = rec->name.error ? std::expected<fs::path, std::string>(std::unexpected(*rec->name.error))
                                     : publish::create_temporary(rec->name.path);
    if (!temporary) {
        const fs::path folder = rec->name.path.parent_path();
        util::log(fmt::format("no pude crear el archivo de la grabación en {}: {}", util::escape_controls(folder.string()),
            temporary.error()));
        publish::release(rec->name);
        rec->ui->close();
        if (rec->overlay)
            rec->overlay->stop();
        // A folder that could not be made (a parent that is gone or cannot be
        // written) is, to the user, a folder that does not exist.
        std::error_code ec;
        toast("exclamationmark.triangle",
            fs::is_directory(folder, ec) ? with_cause("No se pudo grabar", temporary.error()) : "No se pudo grabar: la carpeta no existe",
            1.6);
        return;
    }
    rec->path = std::move(*temporary);
    // Held while this run has it, so no other instance's launch takes it for
    // abandoned; noted, so the next launch finds it wherever it is.
    rec->live = LiveFile::hold(rec->path, xdg::state_dir());
    rec->countdown = std::min(cfg->recording.countdown_seconds, config::range_of(&config::Recording::countdown_seconds).maximum);
    const bool with_overlay = rec->overlay != nullptr;
    const std::uint32_t countdown = rec->countdown;
    rec->ui->show_countdown(countdown);
    rec->countdown_shown = countdown > 0;
    // Escape cancels the countdown, and no other program sees it meanwhile.
    if (countdown > 0 && s.take_escape)
        rec->escape = s.take_escape([id] {
            const Session* r = find(id);
            if (r && !r->start_requested) {
                util::log("Escape en la cuenta atrás");
                stop();
            }
        });
    g_slot = std::move(rec);

    if (countdown > 0)
        schedule_countdown(id, countdown);
    else
        try_start(id);

    // A new panel is only listed by a fresh fetch.
    if (with_overlay)
        s.refresh([id](capture::Content content) { prepare(id, std::move(content), false); });
    else
        s.with_content([id](capture::Content content, bool) { prepare(id, std::move(content), false); });
}

bool running()
{
    return g_slot != nullptr;
}

Alive::Alive()
{
    ++g_alive;
}

Alive::~Alive()
{
    --g_alive;
}

bool busy()
{
    return g_alive.load() > 0;
}

void countdown_step(std::uint64_t id)
{
    Session* r = find(id);
    if (!r)
        return;
    r->ui->show_countdown(r->countdown);
    if (r->countdown > 0) {
        schedule_countdown(id, r->countdown);
        return;
    }
    // The first frame is grabbed only once the server has taken the square
    // off and the compositor has drawn the screen without it: under load its
    // last number was in the video's first frames.
    services().after_screen_settles([id] {
        if (Session* s = find(id)) {
            s->countdown_shown = false;
            try_start(id);
        }
    });
}

void try_start(std::uint64_t id)
{
    Session* r = find(id);
    if (!r || r->countdown > 0 || r->countdown_shown || r->start_requested || r->stopping || !r->stream)
        return;
    r->start_requested = true;
    r->escape.reset(); // the countdown is over: Escape is the recorded programs' again
    r->stream->start([id, post = services().post](std::optional<std::string> error) {
        post([id, text = error_text(error)] { start_done(id, text); });
    });
}

void started(std::uint64_t id)
{
    Session* r = find(id);
    if (!r || r->started_at)
        return;
    r->started_at = services().now();
    r->stopwatch.lap("grabando");
    tick(id);
}

void tick(std::uint64_t id)
{
    Session* r = find(id);
    if (!r || r->stopping)
        return;
    const double t = r->started_at ? std::chrono::duration<double>(services().now() - *r->started_at).count() : 0.0;
    const double whole = std::floor(std::max(t, 0.0));
    r->ui->set_time(time_text(static_cast<std::uint64_t>(whole)));
    services().after(whole - t + 1.0 + 0.01, [id] { tick(id); });
}

void stop()
{
    util::require_main_thread("hilo principal");
    Session* r = g_slot.get();
    if (!r || r->stopping)
        return;
    const std::uint64_t id = r->id;
    if (!r->start_requested) {
        util::log("grabación cancelada");
        teardown(id);
        toast("xmark.circle", "Grabación cancelada", 1.2);
        return;
    }
    r->stopping = true;
    order_out(*r);
    r->stopwatch.lap("deteniendo");
    if (r->stream)
        r->stream->stop([](std::optional<std::string> error) {
            if (error)
                util::log(fmt::format("al detener la grabación: {}", *error));
        });
    // The watchdog, for an output that never reports the end.
    services().after(5.0, [id] { finish(id); });
}

void report(const Report& rep)
{
    switch (rep.kind) {
    case Report::Kind::RecordingStarted:
        started(rep.id);
        return;
    case Report::Kind::RecordingFinished:
        finish(rep.id);
        return;
    case Report::Kind::RecordingFailed: {
        util::log(fmt::format("la grabación falló: {}", rep.error));
        Session* r = find(rep.id);
        if (!r || !r->started_at) {
            could_not_record(rep.id, rep.error);
        } else {
            r->failed = true;
            r->failure = rep.error;
            finish(rep.id); // keeps what was recorded
        }
        return;
    }
    case Report::Kind::SoundUnavailable:
        if (find(rep.id))
            toast("speaker.slash", fmt::format("Grabación sin sonido: {}", rep.error), 2.4);
        return;
    case Report::Kind::SoundLost: {
        // A stop ends the inputs too: only a loss while recording is news.
        Session* r = find(rep.id);
        if (!r || r->stopping)
            return;
        const double t = r->started_at ? std::chrono::duration<double>(services().now() - *r->started_at).count() : 0.0;
        if (!r->sound_lost)
            r->sound_lost_at = static_cast<std::uint64_t>(std::floor(std::max(t, 0.0)));
        r->sound_lost |= rep.input == 0 ? SOUND_SYSTEM : SOUND_MICROPHONE;
        util::log(fmt::format("grabación: {} se cortó a los {:.1f} s; el video sigue sin él", rep.input == 0 ? "el sonido del sistema" : "el micrófono", t));
        return;
    }
    case Report::Kind::StreamStopped: {
        Session* r = find(rep.id);
        if (!r)
            return;
        const bool was_stopping = std::exchange(r->stopping, true);
        order_out(*r);
        if (!was_stopping)
            services().after(3.0, [id = rep.id] { finish(id); });
        return;
    }
    }
}

void abandon()
{
    if (g_slot)
        teardown(g_slot->id);
}

namespace {

// Seals and publishes a stopped recording whose stream is gone, at once: the
// main queue will not run again. A seal already asked for is waited for.
void keep_at_exit(Session& r)
{
    if (!r.handoff) {
        r.handoff = std::make_shared<Handoff>();
        r.handoff->stream_gone = true;
    }
    std::optional<Ending> asked;
    {
        std::lock_guard lock(r.handoff->mutex);
        asked = r.handoff->seal_asked;
    }
    const Ending ending = asked ? *asked : ending_of(r);
    if (!asked)
        ask_seal(r, ending, {});
    auto sealed = take_sealed(*r.handoff);
    if (!sealed) {
        publish::release(r.name);
        util::log(fmt::format("la grabación no se pudo guardar al salir: {}", sealed.error().reason));
        return;
    }
    const publish::Reserved name = publish_name(r, ending == Ending::Broken);
    const auto published = publish::publish_file(name, sealed->path);
    if (!published) {
        util::log(fmt::format("no pude publicar la grabación al salir: {}", published.error()));
        return; // the temporary stays for the next launch
    }
    util::log(fmt::format("grabación guardada al salir en {}", util::escape_controls(published->string())));
}

} // namespace

void rescue()
{
    util::require_main_thread("hilo principal");
    if (std::unique_ptr<Session> r = std::move(g_slot)) {
        // The windows belong to a display that is gone: they are left, not closed.
        (void)r->ui.release();
        (void)r->overlay.release();
        if (!r->started_at || !r->stream) {
            std::error_code ec;
            fs::remove(r->path, ec);
            publish::release(r->name);
            util::log("grabación descartada al salir: aún no grababa");
        } else {
            if (!r->stopping)
                stop_stream(*r->stream);
            r->stream.reset(); // waits for the writer to close the file
            keep_at_exit(*r);
        }
    }
    // One that ended by itself just before (its grab saw the display go
    // first) is on its way through jobs of the main queue, which will not run.
    auto finishing = std::move(g_finishing);
    g_finishing.clear();
    for (auto& r : finishing) {
        util::log("la grabación ya estaba terminando: la sello aquí");
        let_go(*r->handoff);
        keep_at_exit(*r);
    }
}

bool teardown(std::uint64_t id)
{
    if (!find(id))
        return false;
    std::unique_ptr<Session> r = std::move(g_slot);
    r->ui->close();
    if (auto overlay = std::move(r->overlay))
        overlay->stop();
    if (r->start_requested && r->stream)
        stop_stream(*r->stream);
    // Releasing the stream waits for its writer, so the file is closed before it goes.
    r->stream.reset();
    if (!r->started_at) {
        std::error_code ec;
        fs::remove(r->path, ec);
    }
    publish::release(r->name);
    return true;
}

namespace {

// Publishes a recording's sealed file and hands it on like every
// recording: a complete one under its name, one the writer could not
// complete as "<name> (incompleta)", its toast saying so and why.
void deliver_sealed(const Session& recording, const Sealed& sealed, std::uint64_t wall_seconds, bool incomplete)
{
    const Session* r = &recording;
    Services& s = services();
    const auto cfg = state::config();
    std::error_code ec;
    const auto size = fs::file_size(sealed.path, ec);
    r->stopwatch.lap(fmt::format("video de {:.1f} MB en {}", static_cast<double>(size) / 1'000'000.0, util::escape_controls(sealed.path.string())));
    // The length the card and the trim window will read from the file.
    const std::uint64_t seconds = std::isfinite(sealed.duration) ? util::whole_seconds(sealed.duration) : wall_seconds;

    if (r->format == actions::RecordingFormat::Gif && !incomplete) {
        // The MP4 stays hidden until its conversion ends: the conversion
        // removes it, or publishes it when the GIF cannot be made.
        publish::release(r->name);
        s.snapshot(r->display, r->region, r->scale, {}); // a flash in place
        const fs::path gif = publish::unique_path(config::save_dir(*cfg), r->name.stem, "gif",
            [](const fs::path& p) {
                // A name that cannot be looked up is free here: the converter
                // reports the folder's failure.
                std::error_code ec;
                const auto type = fs::symlink_status(video::partial_path(p), ec).type();
                return !ec && type != fs::file_type::not_found;
            });
        s.make_gif(sealed.path, video::GifSettings { std::nullopt, cfg->recording.gif_fps, cfg->recording.gif_max_width }, gif, r->live);
        return;
    }
    const publish::Reserved name = publish_name(*r, incomplete);
    const auto published = publish::publish_file(name, sealed.path);
    if (!published) {
        util::log(fmt::format("no pude publicar la grabación {}: {}", util::escape_controls(name.path.string()), published.error()));
        toast("exclamationmark.triangle", with_cause("No se pudo guardar la grabación", published.error()), 1.6);
        return;
    }
    r->stopwatch.lap(fmt::format("publicado como {}", util::escape_controls(published->string())));
    if (cfg->after_capture.copy_to_clipboard)
        s.copy_file(*published);
    s.snapshot(r->display, r->region, r->scale,
        [path = *published, card = cfg->after_capture.show_quick_access](std::optional<flash::Origin> origin) {
            Services& sv = services();
            if (card)
                sv.show_video(path, std::move(origin));
            else if (origin)
                sv.play_flash(*origin);
        });
    if (cfg->recording.reveal_in_folder)
        s.reveal(*published);
    const std::optional<std::string> cause = incomplete ? failure_cause(r->failure) : std::nullopt;
    const std::string text = ending_text(seconds, incomplete, cause, r->sound_lost, r->sound_lost_at);
    // A longer text stays longer.
    toast(incomplete ? "exclamationmark.triangle" : "video.fill", text, incomplete || r->sound_lost ? 3.0 : 1.4);
}

// Publishes (or gives up) a finishing recording once its seal is done.
void sealed_step(std::uint64_t id, std::uint64_t wall_seconds)
{
    Session* r = finishing(id);
    if (!r)
        return; // a rescue took it
    const Ending ending = *r->handoff->seal_asked;
    auto sealed = take_sealed(*r->handoff);
    if (!sealed) {
        util::log(fmt::format("la grabación no se puede reproducir: {}", sealed.error().reason));
        publish::release(r->name);
        if (!sealed.error().set_aside.empty())
            toast("exclamationmark.triangle", set_aside_text(sealed.error().set_aside, false), 4.0);
        else
            toast("exclamationmark.triangle",
                with_cause("No se pudo guardar la grabación", ending == Ending::Broken ? r->failure : sealed.error().reason), 1.6);
        forget(id);
        return;
    }
    if (sealed->live)
        r->live = std::move(sealed->live);
    deliver_sealed(*r, *sealed, wall_seconds, ending == Ending::Broken);
    forget(id);
    // The card's thumbnail and the flash's snapshot are made by then:
    // what they freed goes back to the system with the recording's own.
    services().after(3.0, [] { ::malloc_trim(0); });
}

// Hands a finished recording's file on, once its stream is gone.
void deliver(std::uint64_t id, std::uint64_t wall_seconds)
{
    Session* r = finishing(id);
    if (!r)
        return; // a rescue took it
    std::error_code ec;
    const auto size = fs::file_size(r->path, ec);
    if (ec || size == 0) {
        util::log(fmt::format("la grabación no produjo archivo: {}", util::escape_controls(r->path.string())));
        fs::remove(r->path, ec);
        publish::release(r->name);
        toast("exclamationmark.triangle", with_cause("No se pudo guardar la grabación", r->failure), 1.6);
        forget(id);
        return;
    }
    // What an incomplete end kept is published as what it is, an
    // incomplete recording.
    ask_seal(*r, ending_of(*r), [id, wall_seconds] { sealed_step(id, wall_seconds); });
}

} // namespace

void finish(std::uint64_t id)
{
    if (!find(id))
        return;
    Session* r = g_finishing.emplace_back(std::move(g_slot)).get();
    Services& s = services();
    r->ui->close();
    r->ui.reset(); // the widgets go on the main thread, before the wait
    r->escape.reset();
    r->stills_held.reset(); // nothing is grabbed while the writer ends
    if (auto overlay = std::move(r->overlay))
        overlay->stop();
    if (!r->stopping && r->stream)
        stop_stream(*r->stream);
    // Stands in for the file's own length only when that cannot be read.
    const std::uint64_t duration = r->started_at ? util::whole_seconds(std::chrono::duration<double>(s.now() - *r->started_at).count()) : 0;
    // The stream's end waits for the writer, which may take seconds for a
    // long recording: the main thread goes on meanwhile, and after it the
    // output has said whether the file was completed.
    r->handoff = std::make_shared<Handoff>();
    r->handoff->stream_gone = !r->stream;
    r->handoff->stream = std::move(r->stream);
    s.release([h = r->handoff] { let_go(*h); }, [id, duration] { deliver(id, duration); });
}

void prepare(std::uint64_t id, capture::Content content, bool /*refreshed*/)
{
    Services& s = services();
    Session* r = find(id);
    if (!r)
        return;
    if (!content)
        return give_up(id, "el servidor X no dio sus pantallas");
    const platform::ShareableDisplay* display = capture::find_display(*content, r->display);
    if (!display)
        return give_up(id, fmt::format("no encontré la pantalla {}", r->display));
    // This process is left out by its pid, listed or not: a whole-screen
    // recording has no window of ours mapped yet (no outline, the capsule to
    // come), and the stream reads the window list again as panels appear.
    const std::int64_t own_pid = ::getpid();

    std::optional<std::uint32_t> exception;
    std::optional<std::uint32_t> panel;
    if (r->overlay) {
        panel = r->overlay->window_id();
        if (panel && capture::find_window(*content, *panel))
            exception = panel;
    }
    util::log(fmt::format("grabación: ventana de clics {}, excepciones en el filtro: {}", debug_window(panel), exception ? 1 : 0));
    if (r->overlay && !exception) {
        if (const auto wait = exception_wait(state().input_tries)) {
            ++state().input_tries;
            s.after(*wait, [id] { refetch_and_prepare(id); });
            return;
        }
        util::log("no encontré la ventana de clics y teclas; el video saldrá sin ellos");
    }

    const auto choice = choose_filter(*content, *display, r->window, r->region, own_pid, exception);
    if (!choice.note.empty())
        util::log(choice.note);
    const auto cfg = state::config();
    const auto codecs = s.codecs();
    const auto output = recording_configuration(r->path.string(), cfg->recording.hevc, codecs);
    const double w = choice.region ? choice.region->w : display->frame.w;
    const double h = choice.region ? choice.region->h : display->frame.h;
    StreamWish wish;
    wish.region = choice.region;
    wish.size = pixel_size(w, h, r->scale, output.codec);
    wish.fps = cfg->recording.fps;
    wish.format = r->format;
    wish.show_cursor = cfg->recording.show_cursor;
    wish.system_audio = cfg->recording.system_audio;
    wish.microphone = cfg->recording.microphone;
    const auto configuration = stream_configuration(wish);

    auto ended = r->file_ended;
    auto writer_failed = r->writer_failed;
    auto delegate = std::make_shared<RecorderDelegate>(id, [ended, writer_failed, post = s.post](Report rep) {
        if (rep.kind == Report::Kind::RecordingFailed)
            writer_failed->store(true);
        if (rep.kind == Report::Kind::RecordingFinished || rep.kind == Report::Kind::RecordingFailed)
            ended->store(true);
        post([rep] { report(rep); });
    });
    if (s.hold_still_pictures)
        r->stills_held = s.hold_still_pictures();
    auto stream = s.create_stream(choice.filter, configuration, delegate);
    if (!stream)
        return give_up(id, fmt::format("no pude preparar la captura: {}", stream.error()));
    auto add = [&](platform::StreamOutputType type) {
        if (auto added = (*stream)->add_stream_output(delegate, type); !added)
            util::log(fmt::format("no pude añadir la salida {} a la captura: {}", static_cast<int>(type), added.error()));
    };
    add(platform::StreamOutputType::Screen);
    if (configuration.captures_audio)
        add(platform::StreamOutputType::Audio);
    if (configuration.captures_microphone)
        add(platform::StreamOutputType::Microphone);
    if (auto added = (*stream)->add_recording_output(output, delegate); !added)
        return give_up(id, fmt::format("no pude añadir la salida de grabación: {}", added.error()));

    r->stream = std::move(*stream);
    r->delegate = std::move(delegate);
    r->stopwatch.lap(fmt::format("stream listo, {}×{} px", configuration.width, configuration.height));
    try_start(id);
}

} // namespace recorder
