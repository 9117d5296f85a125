#include "record/video_editor.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/output.h"
#include "base/publish.h"
#include "platform/symbols.h"
#include "platform/video_player.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QAbstractItemView>
#include <QCursor>
#include <QKeyEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include <fmt/format.h>

#include <chrono>
#include <cmath>

void VistropeVideoEditorWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    // The controller may go with the list's entry: keep the hook alive
    // until it returns.
    if (auto hook = on_close)
        hook();
}

void VistropeVideoEditorWindow::resizeEvent(QResizeEvent*)
{
    if (on_resize)
        on_resize(size());
}

namespace video_editor {

namespace {

hud::ToastSink g_toast;
PlayerFactory g_player_factory;
ScreenArea g_screen_area;

void toast(std::string_view symbol, std::string_view text, double seconds)
{
    hud::toast_through(g_toast, symbol, text, seconds);
}

std::unique_ptr<platform::VideoPlayerView> make_player(const std::filesystem::path& path)
{
    if (g_player_factory)
        return g_player_factory(path);
    return platform::create_mpv_player_view(path);
}

QScreen* screen_under_pointer()
{
    if (QScreen* s = QGuiApplication::screenAt(QCursor::pos()))
        return s;
    return QGuiApplication::primaryScreen();
}

std::optional<Size> visible_screen()
{
    if (g_screen_area)
        return g_screen_area();
    const QScreen* s = screen_under_pointer();
    if (!s)
        return std::nullopt;
    const QRect r = s->availableGeometry();
    return Size { double(r.width()), double(r.height()) };
}

// Text of a path piece with invalid UTF-8 replaced.
std::string lossy(const std::filesystem::path& piece)
{
    return QString::fromUtf8(piece.string()).toStdString();
}

QString q(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

Fitted fitted(const QWidget* w)
{
    const QSize s = w->sizeHint();
    return { double(s.width()), double(s.height()) };
}

// Notes a Return or Enter that reaches the open pop-up's list, for the one
// shortcut that follows it in the same key press.
class PopupReturn final : public QObject {
public:
    explicit PopupReturn(QWidget* list)
        : QObject(list)
    {
        list->installEventFilter(this);
    }
    bool take() { return std::exchange(m_noted, false); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ShortcutOverride) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter) && static_cast<QWidget*>(watched)->isVisible()) {
                m_noted = true;
                // A press that no shortcut takes must not swallow the next one.
                QMetaObject::invokeMethod(this, [this] { m_noted = false; }, Qt::QueuedConnection);
            }
        }
        return false;
    }

private:
    bool m_noted = false;
};

} // namespace

void centre(QWidget* window)
{
    if (const QScreen* s = screen_under_pointer()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

std::vector<std::shared_ptr<VideoEditor>>& editors()
{
    static auto* list = new std::vector<std::shared_ptr<VideoEditor>>(); // emptied by the application before it quits
    return *list;
}

VideoEditor::VideoEditor(std::filesystem::path path_, video::VideoInfo info_)
    : path(std::move(path_))
    , info(info_)
{
}

VideoEditor::~VideoEditor()
{
    // The last owner may let go from inside one of the window's own events;
    // without an application (the process ending) the window is left alone.
    if (window && QCoreApplication::instance())
        window.release()->deleteLater();
    else
        (void)window.release();
}

QPushButton* button(std::string_view title, std::optional<std::string_view> symbol, std::function<void()> action)
{
    auto* b = new QPushButton(q(title));
    if (symbol) {
        const double scale = qApp ? qApp->devicePixelRatio() : 1.0;
        const QImage img = platform::symbols::image(*symbol, 16, b->palette().color(QPalette::ButtonText), scale);
        if (!img.isNull()) {
            b->setIcon(QIcon(QPixmap::fromImage(img)));
            b->setIconSize(QSize(16, 16));
        }
    }
    b->setAutoDefault(false);
    QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] {
        if (action)
            action();
    });
    b->resize(b->sizeHint());
    return b;
}

std::filesystem::path sibling(const std::filesystem::path& source, std::string_view extension, std::string_view note)
{
    std::filesystem::path folder = source.parent_path();
    if (folder.empty())
        folder = config::save_dir(*state::config());
    const std::string stem = source.has_stem() ? lossy(source.stem()) : std::string();
    return publish::unique_path(folder, fmt::format("{} ({})", stem, note), extension);
}

std::shared_ptr<VideoEditor> build(std::filesystem::path path)
{
    const std::optional<video::VideoInfo> info = video::info(path);
    if (!info) {
        util::log("no pude abrir el video " + util::escape_controls(path.string()));
        toast("exclamationmark.triangle", "No se pudo abrir el video", 1.6);
        return nullptr;
    }
    const Size available = available_area(visible_screen());
    auto editor = std::make_shared<VideoEditor>(std::move(path), *info);
    std::weak_ptr<VideoEditor> weak = editor;
    // The controls reach their controller without keeping it.
    auto act = [weak](void (VideoEditor::*method)()) {
        return [weak, method] {
            if (auto e = weak.lock())
                (e.get()->*method)();
        };
    };

    auto window = std::make_unique<VistropeVideoEditorWindow>();
    auto* bar = new QWidget(window.get());
    bar->setObjectName("bar");
    auto* trim = button("Recortar…", "scissors", act(&VideoEditor::ve_trim));
    trim->setToolTip(q("Elegir el tramo con la barra de recorte"));
    auto* reset = button("Todo", "arrow.uturn.backward", act(&VideoEditor::ve_reset));
    reset->setToolTip(q("Quitar el recorte"));
    auto* label = new QLabel;
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    mono.setWeight(QFont::Normal);
    label->setFont(mono);
    QPalette secondary = label->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    label->setPalette(secondary);
    auto* mp4 = button("Exportar MP4", "square.and.arrow.up", act(&VideoEditor::ve_export_mp4));
    auto* gif = button("Exportar GIF", "photo.stack", act(&VideoEditor::ve_export_gif));
    auto* popup = new QComboBox;
    popup->resize(120, 26);
    popup->addItems({ "Original", "1080p", "720p" });
    popup->setToolTip(q("Original copia el video sin recodificar (instantáneo)"));
    auto* mute = new QCheckBox(q("Sin audio"));
    mute->setEnabled(info->has_audio);

    std::array<QWidget*, BAR_ITEMS> controls {};
    controls[Trim] = trim;
    controls[Reset] = reset;
    controls[Label] = label;
    controls[Mute] = mute;
    controls[Resolution] = popup;
    controls[Gif] = gif;
    controls[Mp4] = mp4;
    std::array<Fitted, BAR_ITEMS> sizes {};
    for (int i = 0; i < BAR_ITEMS; ++i) {
        controls[i]->setParent(bar);
        sizes[i] = fitted(controls[i]);
    }
    sizes[Label].width = QFontMetricsF(mono).horizontalAdvance(q("Video completo · 00:00:00"));
    editor->bar_layout = lay_out_bar(sizes);

    // The window takes the picture's shape as it plays: a quarter turn swaps its sides.
    const bool sideways = info->rotation == 90 || info->rotation == 270;
    const Size shown { double(sideways ? info->height : info->width), double(sideways ? info->width : info->height) };
    const Size content = window_size(shown, available, editor->bar_layout.min_width);
    window->setWindowTitle(q("Vistrope — Editar video — " + (editor->path.has_filename() ? lossy(editor->path.filename()) : "")));
    window->setMinimumSize(int(editor->bar_layout.min_width), 320);

    std::unique_ptr<platform::VideoPlayerView> player = make_player(editor->path);
    player->setParent(window.get());
    editor->player_view = player.release();

    window->on_resize = [weak, bar, controls](QSize size) {
        auto e = weak.lock();
        if (!e)
            return;
        e->player_view->setGeometry(0, 0, size.width(), std::max(0, size.height() - int(BAR_HEIGHT)));
        bar->setGeometry(0, size.height() - int(BAR_HEIGHT), size.width(), int(BAR_HEIGHT));
        for (int i = 0; i < BAR_ITEMS; ++i) {
            const Frame f = place(e->bar_layout, BarItem(i), size.width());
            controls[i]->setGeometry(QRect(int(f.x), int(f.y), int(f.width), int(f.height)));
        }
    };
    window->on_close = [weak] {
        if (auto e = weak.lock())
            e->window_will_close();
    };
    // Push buttons have no default outside dialogs: Return and Enter are
    // the window's own shortcuts. The Return that picks an item of the open
    // pop-up closes it before the shortcuts are tried; it only picks the item.
    // While the trim bar is open, Return is its "Recortar" and Escape its
    // "Cancelar"; Return exports only with no bar open.
    auto* picking = new PopupReturn(popup->view());
    for (const auto key : { Qt::Key_Return, Qt::Key_Enter }) {
        auto* shortcut = new QShortcut(QKeySequence(key), window.get());
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, window.get(), [weak, picking, export_mp4 = act(&VideoEditor::ve_export_mp4)] {
            if (picking->take())
                return;
            if (auto e = weak.lock(); e && e->player_view->trimming())
                e->player_view->end_trimming(platform::TrimOutcome::Confirmed);
            else
                export_mp4();
        });
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window.get());
    escape->setContext(Qt::WindowShortcut);
    QObject::connect(escape, &QShortcut::activated, window.get(), [weak] {
        if (auto e = weak.lock(); e && e->player_view->trimming())
            e->player_view->end_trimming(platform::TrimOutcome::Cancelled);
    });
    // Left and Right move the playhead, a frame at a time (a second with
    // Shift), whatever control has the focus: the window has no other use
    // for them, and moving the focus between buttons is Tab's job.
    const std::pair<QKeyCombination, std::function<void(platform::VideoPlayerView&)>> steps[] = {
        { QKeyCombination(Qt::Key_Left), [](platform::VideoPlayerView& v) { v.step_frame(-1); } },
        { QKeyCombination(Qt::Key_Right), [](platform::VideoPlayerView& v) { v.step_frame(1); } },
        { QKeyCombination(Qt::ShiftModifier, Qt::Key_Left), [](platform::VideoPlayerView& v) { v.seek(v.position() - 1.0); } },
        { QKeyCombination(Qt::ShiftModifier, Qt::Key_Right), [](platform::VideoPlayerView& v) { v.seek(v.position() + 1.0); } },
    };
    for (const auto& [keys, step] : steps) {
        auto* shortcut = new QShortcut(QKeySequence(keys), window.get());
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, window.get(), [weak, step] {
            if (auto e = weak.lock(); e && e->player_view && e->player_view->has_current_item())
                step(*e->player_view);
        });
    }
    window->resize(int(content.width), int(content.height));
    window->on_resize(window->size());

    editor->range_label = label;
    trim->setObjectName("trim");
    editor->reset_button = reset;
    editor->mute_box = mute;
    editor->resolution_popup = popup;
    editor->mp4_button = mp4;
    editor->gif_button = gif;
    editor->window = std::move(window);
    editor->set_range(std::nullopt);
    return editor;
}

void open(const std::filesystem::path& path)
{
    auto editor = build(path);
    if (!editor)
        return;
    QWidget* w = editor->window.get();
    centre(w);
    w->show();
    w->raise();
    w->activateWindow();
    editors().push_back(std::move(editor));
}

void VideoEditor::set_range(std::optional<Range> wanted)
{
    const double d = info.duration;
    if (wanted && counts_as_trim(*wanted, d)) {
        range = wanted;
        reset_button->setEnabled(true);
        range_label->setText(q(range_label_text(*wanted)));
        return;
    }
    range.reset();
    if (player_view && player_view->has_current_item())
        player_view->set_end_times(std::nullopt, std::nullopt);
    reset_button->setEnabled(false);
    range_label->setText(q(full_label(d)));
}

void VideoEditor::begin_trim()
{
    // A trim already open is no video that cannot be trimmed.
    if (!player_view || player_view->trimming())
        return;
    // The player view keeps the trim's completion, and the controller keeps
    // the view: a strong hold there would keep a closed window and its player
    // alive for good.
    std::weak_ptr<VideoEditor> weak = weak_from_this();
    if (!player_view->can_begin_trimming()) {
        util::after(0.3, [weak] {
            const auto self = weak.lock();
            if (!self)
                return;
            if (self->player_view->can_begin_trimming())
                self->begin_trim();
            else
                toast("exclamationmark.triangle", "Este video no se puede recortar", 1.6);
        });
        return;
    }
    player_view->pause();
    player_view->begin_trimming([weak](platform::TrimOutcome outcome) {
        const auto self = weak.lock();
        if (!self)
            return;
        platform::VideoPlayerView* view = self->player_view;
        if (outcome == platform::TrimOutcome::Cancelled || !view->has_current_item())
            return;
        const double d = self->info.duration;
        const auto valid = [](std::optional<double> t) { return t && std::isfinite(*t); };
        const double s = std::clamp(valid(view->reverse_end()) ? *view->reverse_end() : 0.0, 0.0, d);
        const double e = std::clamp(valid(view->forward_end()) ? *view->forward_end() : d, s, d);
        self->set_range(Range { s, e });
    });
}

void VideoEditor::set_busy(bool on)
{
    busy = on;
    mp4_button->setEnabled(!on);
    gif_button->setEnabled(!on);
}

void VideoEditor::export_mp4()
{
    if (busy)
        return;
    const int item = resolution_popup->currentIndex();
    video::Mp4Export settings;
    settings.range = range;
    settings.resolution = item == 1 ? 1 : item == 2 ? 2 : 0;
    settings.mute = mute_box->isEnabled() && mute_box->isChecked();
    const std::filesystem::path destination = sibling(path, "mp4", export_note(range.has_value(), settings.mute, settings.resolution));
    set_busy(true);
    toast("square.and.arrow.up", "Exportando MP4…", 30);
    const auto started = std::chrono::steady_clock::now();
    video::export_mp4(path, destination, settings,
        [self = shared_from_this(), destination, started](std::expected<video::Mp4Made, std::string> result) {
            self->set_busy(false);
            if (!result) {
                util::log("no pude exportar el MP4: " + result.error());
                toast("exclamationmark.triangle", "No se pudo exportar el MP4", 1.6);
                return;
            }
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
            util::log(fmt::format("MP4 exportado en {:.0f} ms: {}", ms, util::escape_controls(destination.string())));
            if (state::config()->after_capture.copy_to_clipboard)
                video::copy_file(destination);
            std::error_code ec;
            const auto bytes = std::filesystem::file_size(destination, ec);
            const double mb = ec ? 0.0 : double(bytes) / 1'000'000.0;
            if (result->short_of_asked()) {
                // The source ran out before the range did: what was kept is said.
                util::log(fmt::format("el MP4 exportado tiene {:.2f} s de {:.2f} s pedidos", result->seconds, result->asked));
                toast("exclamationmark.triangle", fmt::format("MP4 incompleto · {:.1f} de {:.1f} s · {:.1f} MB", result->seconds, result->asked, mb), 3.0);
            } else {
                toast("checkmark.circle", fmt::format("MP4 listo · {:.1f} MB", mb), 1.6);
            }
            if (output::cards().show_file)
                output::cards().show_file(destination);
        });
}

void VideoEditor::export_gif()
{
    if (busy)
        return;
    const auto settings = state::config();
    video::GifSettings gif { range, settings->recording.gif_fps, settings->recording.gif_max_width };
    const std::filesystem::path destination = range ? sibling(path, "gif") : video::gif_path_for(path);
    set_busy(true);
    video::make_gif(path, gif, destination, false, video::FromTrim { [self = shared_from_this()] { self->set_busy(false); } });
}

void VideoEditor::window_will_close()
{
    if (player_view)
        player_view->pause();
    auto self = shared_from_this();
    std::erase(editors(), self);
}

void set_player_factory(PlayerFactory factory) { g_player_factory = std::move(factory); }
void set_toast_sink(hud::ToastSink sink) { g_toast = std::move(sink); }
void set_screen_area(ScreenArea area) { g_screen_area = std::move(area); }

} // namespace video_editor
