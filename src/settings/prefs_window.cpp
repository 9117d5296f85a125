// Building the settings window: the controls, the five pages and the tab bar.
#include "settings/prefs.h"

#include "ui/status_icon.h"
#include "base/state.h"
#include "settings/widgets.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include <span>

namespace prefs {

namespace {

constexpr int PAGE_WIDTH = 600;
constexpr int LABEL_COLUMN = 190;
constexpr int NOTE_WIDTH = 330;

QString q(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// One row of a two-column form.
struct FormRow {
    enum class Kind { Labelled, Centred, Separator } kind;
    QString label;
    QWidget* view = nullptr;
    int top = 0;
};

FormRow labelled(const char* label, QWidget* view, int top = 0)
{
    return { FormRow::Kind::Labelled, QString::fromUtf8(label), view, top };
}
FormRow plain(QWidget* view, int top = 0)
{
    return { FormRow::Kind::Labelled, {}, view, top };
}
FormRow centred(const char* label, QWidget* view)
{
    return { FormRow::Kind::Centred, QString::fromUtf8(label), view, 0 };
}
FormRow separator()
{
    return { FormRow::Kind::Separator, {}, nullptr, 0 };
}

QFrame* line()
{
    auto* l = new QFrame;
    l->setFrameShape(QFrame::HLine);
    l->setFrameShadow(QFrame::Plain);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, widgets::colors().separator);
    l->setPalette(p);
    return l;
}

QGridLayout* grid_layout()
{
    auto* g = new QGridLayout;
    g->setContentsMargins(0, 0, 0, 0);
    g->setVerticalSpacing(8);
    g->setHorizontalSpacing(10);
    g->setColumnMinimumWidth(0, LABEL_COLUMN);
    return g;
}

// Labels end at the first column's right edge; a row's top padding is room
// above both cells.
QWidget* form(std::span<const FormRow> rows)
{
    auto* box = new QWidget;
    QGridLayout* g = grid_layout();
    box->setLayout(g);
    int r = 0;
    for (const FormRow& row : rows) {
        if (row.kind == FormRow::Kind::Separator) {
            auto* holder = new QWidget;
            auto* v = new QVBoxLayout(holder);
            v->setContentsMargins(0, 6, 0, 6);
            v->addWidget(line());
            g->addWidget(holder, r++, 0, 1, 2);
            continue;
        }
        const Qt::Alignment place = row.top > 0 ? Qt::AlignBottom : Qt::AlignVCenter;
        if (!row.label.isEmpty()) {
            auto* label = new QLabel(row.label);
            g->addWidget(label, r, 0, Qt::AlignRight | place);
        }
        g->addWidget(row.view, r, 1, Qt::AlignLeft | place);
        if (row.top > 0)
            g->setRowMinimumHeight(r, row.view->sizeHint().height() + row.top);
        ++r;
    }
    g->setColumnStretch(1, 1);
    return box;
}

// A note in the second column never reaches past the page's right margin,
// whatever width it asks for.
constexpr int SECOND_COLUMN = PAGE_WIDTH - 2 * 28 - LABEL_COLUMN - 10;

QWidget* note_of(const char* text, int width = NOTE_WIDTH, int indent = 0)
{
    return widgets::note(QString::fromUtf8(text), std::min(width, SECOND_COLUMN - indent));
}

// Under a checkbox, where its text begins.
QWidget* indented_note(const char* text)
{
    constexpr int INDENT = 20;
    return widgets::indented(note_of(text, NOTE_WIDTH, INDENT), INDENT);
}

QComboBox* popup()
{
    auto* box = new QComboBox;
    box->setFixedWidth(200);
    return box;
}

QWidget* row_of(std::initializer_list<QWidget*> views, int spacing)
{
    auto* box = new QWidget;
    auto* h = new QHBoxLayout(box);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(spacing);
    for (QWidget* v : views)
        h->addWidget(v, 0, Qt::AlignVCenter);
    return box;
}

QPushButton* button(const char* title, std::function<void()> action)
{
    auto* b = new QPushButton(QString::fromUtf8(title));
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] { action(); });
    return b;
}

QWidget* counter(Ui& u, Counter kind)
{
    const CounterRange r = counter_range(kind);
    auto* stepper = new Stepper(static_cast<int>(kind), r.minimum, r.maximum);
    const std::uint32_t initial = counter_value(config::Config{}, kind);
    stepper->set_value(static_cast<int>(initial));
    stepper->on_step = [](Stepper& s) { actions::stepped(s.tag(), s.value()); };
    auto* label = new QLabel(QString::fromStdString(counter_text(kind, initial)));
    u.counters[static_cast<std::size_t>(kind)] = { stepper, label };
    return row_of({ stepper, label }, 6);
}

// A page: the content at the top, 28 px in from the sides (centred for About),
// 24 px below the tab bar and above the bottom.
QWidget* page(QWidget* content, bool centre)
{
    auto* container = new QWidget;
    container->setFixedWidth(PAGE_WIDTH);
    auto* v = new QVBoxLayout(container);
    v->setContentsMargins(28, 24, 28, 24);
    v->addWidget(content, 0, Qt::AlignTop | (centre ? Qt::AlignHCenter : Qt::AlignLeft));
    v->addStretch(1);
    return container;
}

QWidget* general_page(Ui& u)
{
    auto* icon = new QLabel;
    icon->setFixedSize(16, 16);
    u.folder_icon = icon;
    u.folder_label = widgets::path_label(240);
    auto* folder = new QWidget;
    auto* h = new QHBoxLayout(folder);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(6);
    h->addWidget(icon, 0, Qt::AlignVCenter);
    h->addWidget(u.folder_label, 0, Qt::AlignVCenter);
    h->addSpacing(12 - 6);
    h->addWidget(button("Elegir…", actions::choose_folder), 0, Qt::AlignVCenter);

    u.quick_access = popup();
    for (const auto tenths : QUICK_ACCESS_PRESETS)
        u.quick_access->addItem(QString::fromStdString(quick_access_title(tenths)), QVariant::fromValue<qlonglong>(tenths));
    QObject::connect(u.quick_access, &QComboBox::activated, u.quick_access, [box = u.quick_access](int i) {
        actions::quick_access_changed(box->itemData(i).toLongLong());
    });

    // Where the file lives: the XDG configuration folder, not a guess.
    QPushButton* config_button = button("Abrir config.toml", actions::open_config);
    config_button->setToolTip(QString::fromStdString(config::Config::path().string()));
    const FormRow rows[] = {
        labelled("Inicio:", u.login),
        labelled("Al capturar:", u.toggles[0]),
        plain(u.toggles[17]),
        separator(),
        centred("Guardar en:", folder),
        separator(),
        labelled("Después de capturar:", u.toggles[1]),
        plain(u.toggles[2]),
        plain(u.toggles[3]),
        labelled("Cerrar la vista rápida:", u.quick_access, 4),
        separator(),
        labelled("Avanzado:", config_button),
        plain(note_of("Los cambios se guardan al instante. Si editas el archivo a mano, se aplica al volver a esta ventana.")),
    };
    return form(rows);
}

QWidget* capture_page(Ui& u)
{
    QWidget* timer = counter(u, Counter::SelfTimer);
    const FormRow rows[] = {
        labelled("Selección:", u.toggles[4]),
        plain(indented_note("La captura sale de la imagen congelada, así que el resultado es instantáneo al soltar el ratón.")),
        plain(u.toggles[5], 4),
        plain(u.toggles[6]),
        plain(u.toggles[16]),
        plain(indented_note("Cambia entre área, ventana, texto o grabar sin otro atajo. También con las teclas 1 a 7.")),
        separator(),
        labelled("Ventanas:", u.toggles[7]),
        plain(indented_note("Con sombra, la ventana se guarda sobre fondo transparente.")),
        separator(),
        labelled("Temporizador:", timer),
        plain(note_of("Espera antes de capturar la pantalla completa desde «Temporizador».")),
    };
    return form(rows);
}

QWidget* shortcuts_page(Ui& u)
{
    auto* grid = new QWidget;
    QGridLayout* g = grid_layout();
    grid->setLayout(g);
    int r = 0;
    for (const ShortcutEntry& e : shortcut_entries(state::config()->shortcuts)) {
        auto* field = new ShortcutField(e.id, e.text);
        QLabel* warning = widgets::label_with({}, 11, QFont::Normal, widgets::colors().orange);
        warning->setWordWrap(true);
        warning->setFixedWidth(184);
        g->addWidget(new QLabel(shortcut_label(e.id) + QLatin1Char(':')), r, 0, Qt::AlignRight | Qt::AlignVCenter);
        g->addWidget(field, r, 1, Qt::AlignVCenter);
        g->addWidget(warning, r, 2, Qt::AlignLeft | Qt::AlignVCenter);
        u.shortcut_rows.emplace_back(field, warning);
        ++r;
    }
    g->setColumnMinimumWidth(2, 184);

    auto* hint = widgets::note(q(HINT_IDLE), 344);
    hint->setFixedWidth(344);
    u.hint = hint;
    u.reset_button = button("Restaurar predeterminados", actions::reset_shortcuts);
    const FormRow rows[] = {
        plain(hint),
        separator(),
        plain(u.reset_button),
        plain(note_of("Para usar Impr Pant con Vistrope, primero quítale ese atajo a la herramienta de capturas de tu "
                      "escritorio, en la configuración de su teclado.",
                      370)),
    };
    auto* content = new QWidget;
    auto* v = new QVBoxLayout(content);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(10);
    v->addWidget(grid, 0, Qt::AlignLeft);
    v->addWidget(form(rows), 0, Qt::AlignLeft);
    return content;
}

QWidget* recording_page(Ui& u)
{
    u.fps = popup();
    for (const auto fps : FPS_PRESETS)
        u.fps->addItem(QString::fromStdString(fps_title(fps)), QVariant::fromValue<qlonglong>(fps));
    QObject::connect(u.fps, &QComboBox::activated, u.fps,
                     [box = u.fps](int i) { actions::fps_changed(box->itemData(i).toLongLong()); });
    QWidget* countdown = counter(u, Counter::Countdown);
    const FormRow rows[] = {
        labelled("Cuadros por segundo:", u.fps),
        labelled("Formato:", u.toggles[8], 4),
        plain(indented_note("Archivos más pequeños y pantallas de más de 4K, pero menos compatible al compartir que H.264.")),
        labelled("Cursor:", u.toggles[9], 4),
        plain(u.toggles[13]),
        labelled("Teclado:", u.toggles[14], 4),
        plain(u.toggles[15]),
        separator(),
        labelled("Audio:", u.toggles[10]),
        plain(u.toggles[11]),
        separator(),
        labelled("Cuenta regresiva:", countdown),
        labelled("Al terminar:", u.toggles[12], 4),
    };
    return form(rows);
}

QPixmap app_icon(int side)
{
    const double scale = qApp->devicePixelRatio() > 0 ? qApp->devicePixelRatio() : 1.0;
    const QImage img = ui::app_icon(side / 18.0 * scale, widgets::colors().accent);
    QPixmap out = QPixmap::fromImage(img);
    out.setDevicePixelRatio(scale);
    return out;
}

QWidget* about_page(Ui& u)
{
    const widgets::Colors& c = widgets::colors();
    auto* icon = new QLabel;
    icon->setFixedSize(112, 112);
    icon->setPixmap(app_icon(112));

    QLabel* version = widgets::label_with(QString::fromStdString(version_line()), 12, QFont::Normal, c.secondary);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);

    const std::string_view site = WEBSITE.substr(WEBSITE.find("://") + 3);
    auto* link = new QPushButton(q(site));
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    QFont link_font = QApplication::font();
    link_font.setPixelSize(13);
    link->setFont(link_font);
    link->setStyleSheet(QStringLiteral("QPushButton { border: none; color: %1; }").arg(c.link.name()));
    QObject::connect(link, &QPushButton::clicked, link, [] { actions::open_website(); });

    u.perm_icon = new QLabel;
    u.perm_icon->setFixedSize(18, 18);
    u.perm_label = widgets::label_with({}, 12, QFont::Normal, c.secondary);
    u.perm_button = button("Abrir Ajustes…", actions::open_privacy);
    auto* texts = new QWidget;
    auto* tv = new QVBoxLayout(texts);
    tv->setContentsMargins(0, 0, 0, 0);
    tv->setSpacing(1);
    tv->addWidget(widgets::label_with(QStringLiteral("Grabación de pantalla"), 13, QFont::DemiBold, c.label));
    tv->addWidget(u.perm_label);
    auto* inner = new QWidget;
    auto* ih = new QHBoxLayout(inner);
    ih->setContentsMargins(0, 0, 0, 0);
    ih->setSpacing(10);
    ih->addWidget(u.perm_icon, 0, Qt::AlignVCenter);
    ih->addWidget(texts, 0, Qt::AlignVCenter);
    ih->addStretch(1);
    ih->addWidget(u.perm_button, 0, Qt::AlignVCenter);
    QWidget* card = widgets::card(inner, 12);
    card->setFixedWidth(420);
    auto* permissions = new QWidget;
    auto* pv = new QVBoxLayout(permissions);
    pv->setContentsMargins(0, 0, 0, 0);
    pv->setSpacing(6);
    pv->addWidget(widgets::label_with(QStringLiteral("PERMISOS"), 11, QFont::DemiBold, c.secondary), 0, Qt::AlignLeft);
    pv->addWidget(card);

    // Each view with the room that follows it.
    const std::pair<QWidget*, int> views[] = {
        { icon, 10 },
        { widgets::label_with(QStringLiteral("Vistrope"), 26, QFont::Bold, c.label), 6 },
        { version, 10 },
        { widgets::label_with(QStringLiteral("Capturas de pantalla nativas y muy rápidas para Linux."), 13, QFont::Normal,
                              c.label),
          2 },
        { link, 22 },
        // X11 lets every client read the screen: there is no permission to
        // show or settings pane to open, so the rows stay out of sight.
        { permissions, 0 },
        { widgets::label_with(QStringLiteral("Hecho con Qt, FFmpeg, Tesseract y ZXing."), 11, QFont::Normal, c.tertiary), 0 },
    };
    auto* content = new QWidget;
    auto* v = new QVBoxLayout(content);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    permissions->hide();
    for (const auto& [view, after] : views) {
        v->addWidget(view, 0, Qt::AlignHCenter);
        if (after > 0)
            v->addSpacing(after);
    }
    return content;
}

} // namespace

std::unique_ptr<Ui> build()
{
    auto u = std::make_unique<Ui>();
    for (const Toggle& t : TOGGLES) {
        auto* box = new QCheckBox(q(t.title));
        QObject::connect(box, &QCheckBox::clicked, box, [tag = t.tag](bool on) { actions::toggle(tag, on); });
        u->toggles[static_cast<std::size_t>(t.tag)] = box;
    }
    u->login = new QCheckBox(QStringLiteral("Abrir Vistrope al iniciar sesión"));
    QObject::connect(u->login, &QCheckBox::clicked, u->login, [](bool on) { actions::toggle_login(on); });

    QWidget* contents[] = { general_page(*u), capture_page(*u), shortcuts_page(*u), recording_page(*u), about_page(*u) };

    u->window = std::make_unique<widgets::VistropeSettingsWindow>();
    widgets::VistropeSettingsWindow* w = u->window.get();
    w->setObjectName(QStringLiteral("vistrope-prefs"));
    w->on_activated = [] { actions::did_become_key(); };
    w->on_close = [] { actions::will_close(); };
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // The window takes each page's size, not the largest page's.
    layout->setSizeConstraint(QLayout::SetNoConstraint);

    u->toolbar = new QToolBar(w);
    u->toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    u->toolbar->setMovable(false);
    u->toolbar->setFloatable(false);
    u->toolbar->setIconSize(QSize(22, 22));
    auto* group = new QActionGroup(u->toolbar);
    group->setExclusive(true);
    u->pages = new QStackedWidget(w);
    Ui* raw = u.get();
    for (std::size_t i = 0; i < TABS.size(); ++i) {
        const QPixmap icon = widgets::symbol(TABS[i].symbol, 22);
        QAction* a = u->toolbar->addAction(icon.isNull() ? QIcon() : QIcon(icon), q(TABS[i].title));
        a->setCheckable(true);
        group->addAction(a);
        QObject::connect(a, &QAction::triggered, a, [raw, i] { select_tab(*raw, static_cast<int>(i)); });
        u->tab_actions.push_back(a);
        u->pages->addWidget(page(contents[i], i + 1 == TABS.size()));
    }
    layout->addWidget(u->toolbar);
    layout->addWidget(u->pages, 1);
    // One status line for every tab, so a failed save shows on the page
    // where the change was made.
    u->save_status = widgets::label_with({}, 12, QFont::Normal, widgets::colors().orange);
    u->save_status->setObjectName(QStringLiteral("save-status"));
    u->save_status->setWordWrap(true);
    u->save_status->setContentsMargins(28, 0, 28, 16);
    u->save_status->setFixedWidth(PAGE_WIDTH);
    u->save_status->hide();
    layout->addWidget(u->save_status);
    // The program's name, whichever tab shows.
    w->setWindowTitle(QStringLiteral("Vistrope"));

    select_tab(*u, 0);
    refresh(*u);
    return u;
}

void select_tab(Ui& u, int index)
{
    if (index < 0 || index >= static_cast<int>(u.tab_actions.size()))
        return;
    u.pages->setCurrentIndex(index);
    u.tab_actions[static_cast<std::size_t>(index)]->setChecked(true);
    fit_window(u);
}

void fit_window(Ui& u)
{
    QWidget* current = u.pages->currentWidget();
    if (!current)
        return;
    if (QLayout* l = current->layout())
        l->activate();
    int height = u.toolbar->sizeHint().height() + current->sizeHint().height();
    if (u.save_status && !u.save_status->isHidden())
        height += u.save_status->heightForWidth(PAGE_WIDTH);
    // A top-level widget's resize keeps its position: the top-left corner stays.
    u.window->setFixedSize(PAGE_WIDTH, height);
}

} // namespace prefs
