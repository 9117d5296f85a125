#include "editor/outputs.h"

#include "base/files.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/output.h"
#include "base/publish.h"

#include "editor/window.h"
#include "platform/url_scheme.h"

#include <QDrag>
#include <QFileDialog>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>
#include <QWidget>
#include <QPointer>
#include <QString>

#include <fmt/format.h>

#include <cmath>
#include <unistd.h>

namespace fs = std::filesystem;

namespace editor {

namespace {

// Where a save goes: a name held in the capture folder, or the path a panel chose.
struct Target {
    std::optional<publish::Reserved> reserved;
    fs::path path; // when no name is held
};

std::string display_name(const fs::path& path)
{
    const std::string bytes = path.filename().string();
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size())).toStdString();
}

void report(const std::weak_ptr<Editor>& weak, const std::string& status)
{
    if (const auto editor = weak.lock())
        editor->editing().set_status(status);
}

void write(const std::shared_ptr<Editor>& editor, output::Raster exported, double scale, Target target)
{
    auto raster = std::make_shared<const output::Raster>(std::move(exported));
    const QImage image = raster_image(raster, editor->base().color_space());
    std::optional<qint64> shot_key;
    if (!image.isNull()) {
        state::set_last_shot(image, scale);
        shot_key = image.cacheKey();
    }
    util::in_background([weak = std::weak_ptr<Editor>(editor), raster, scale, target = std::move(target), shot_key] {
        fs::path path = target.reserved ? target.reserved->path : target.path;
        std::optional<std::string> error;
        if (target.reserved && target.reserved->error) {
            error = target.reserved->error;
            publish::release(*target.reserved);
        } else if (const std::vector<std::uint8_t> png = encode(*raster, scale); target.reserved) {
            // Published under the held name, or the next free one when
            // another program took it meanwhile; never over a file.
            if (auto published = publish::publish(*target.reserved, png))
                path = *published;
            else
                error = published.error();
        } else if (auto replaced = files::replace(path, { reinterpret_cast<const char*>(png.data()), png.size() }); !replaced) {
            error = replaced.error();
        }
        const std::string name = display_name(path);
        if (error) {
            util::log(fmt::format("no pude guardar {}: {}", path.string(), *error));
            util::on_main([weak, name] {
                util::require_main_thread("cola principal");
                report(weak, "No se pudo guardar: " + name);
            });
            return;
        }
        util::log(fmt::format("editor: guardado en {}", path.string()));
        util::on_main([weak, path, name, shot_key] {
            util::require_main_thread("cola principal");
            // Only the last shot this save set learns the file; a newer
            // capture has its own.
            if (shot_key && state::last_shot_key() == *shot_key)
                state::record_last_shot_file(path);
            report(weak, "Guardado: " + name);
        });
    });
}

} // namespace

QImage raster_image(std::shared_ptr<const output::Raster> raster, const QColorSpace& space)
{
    if (!raster || raster->width == 0 || raster->height == 0)
        return {};
    const auto* holder = new std::shared_ptr<const output::Raster>(raster);
    QImage image(raster->pixels.data(), int(raster->width), int(raster->height), int(4 * raster->width),
        QImage::Format_ARGB32_Premultiplied,
        [](void* p) { delete static_cast<std::shared_ptr<const output::Raster>*>(p); }, const_cast<void*>(static_cast<const void*>(holder)));
    if (image.isNull()) {
        delete holder;
        return {};
    }
    image.setColorSpace(space);
    return image;
}

void copy(const std::shared_ptr<Editor>& editor)
{
    util::require_main_thread("hilo principal");
    auto exported = export_editor(*editor);
    if (!exported)
        return;
    editor->editing().set_status("Copiado al portapapeles");
    auto raster = std::make_shared<const output::Raster>(std::move(exported->first));
    util::in_background([raster, scale = exported->second] {
        auto png = std::make_shared<std::vector<std::uint8_t>>(encode(*raster, scale));
        util::on_main([png] {
            util::require_main_thread("cola principal");
            output::copy_png(*png);
        });
    });
}

void save(const std::shared_ptr<Editor>& editor)
{
    util::require_main_thread("hilo principal");
    auto exported = export_editor(*editor);
    if (!exported)
        return;
    const std::shared_ptr<const config::Config> cfg = state::config();
    write(editor, std::move(exported->first), exported->second,
        Target { publish::reserve_path(config::save_dir(*cfg), publish::capture_name_now(), "png"), {} });
}

void write_png(const std::shared_ptr<Editor>& editor, const fs::path& path)
{
    util::require_main_thread("hilo principal");
    auto exported = export_editor(*editor);
    if (!exported)
        return;
    write(editor, std::move(exported->first), exported->second, Target { std::nullopt, path });
}

fs::path save_as_path(const fs::path& chosen)
{
    // The file is a PNG whatever name it was given: "foto.jpg" would be a
    // PNG that viewers open by the wrong name.
    fs::path out = chosen;
    if (!out.has_extension())
        out += ".png";
    else if (QString::fromStdString(out.extension().string()).compare(QStringLiteral(".png"), Qt::CaseInsensitive) != 0) {
        out.replace_extension(".png");
        // The dialog asked about overwriting the name typed, not this one.
        if (std::error_code ec; fs::exists(fs::symlink_status(out, ec)))
            out = publish::unique_path(out.parent_path(), out.stem().string(), "png");
    }
    return out;
}

void save_as(const std::shared_ptr<Editor>& editor)
{
    util::require_main_thread("hilo principal");
    editor->editing().commit_text();
    auto* window = dynamic_cast<EditorWindow*>(editor->window());
    if (!window)
        return;
    const std::shared_ptr<const config::Config> cfg = state::config();
    const fs::path folder = config::save_dir(*cfg);
    const std::string name = publish::capture_name_now() + ".png";
    // X11 has no sheets: a dialog modal to the editor's window stands in.
    auto* dialog = new QFileDialog(window, QStringLiteral("Guardar como"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    // With the suffix the dialog adds it before asking about overwriting,
    // so typing "foo" never silently replaces an existing "foo.png".
    dialog->setDefaultSuffix(QStringLiteral("png"));
    dialog->setNameFilter(QStringLiteral("Imagen PNG (*.png)"));
    dialog->setDirectory(QString::fromStdString(folder.string()));
    dialog->selectFile(QString::fromStdString(name));
    const std::weak_ptr<Editor> weak = editor;
    QObject::connect(dialog, &QFileDialog::finished, dialog, [weak, dialog](int result) {
        if (result != QDialog::Accepted)
            return;
        const auto e = weak.lock();
        const QStringList files = dialog->selectedFiles();
        if (!e || files.isEmpty() || files.front().isEmpty())
            return;
        write_png(e, save_as_path(fs::path(files.front().toStdString())));
    });
    dialog->open();
}

QSize drag_thumbnail_size(std::uint32_t width, std::uint32_t height, double scale)
{
    const double longest = std::max(width, height);
    if (!(longest > 0) || !(scale > 0))
        return { 1, 1 };
    const double k = std::min(160 / longest, 1 / scale);
    return { std::max(int(std::lround(k * width)), 1), std::max(int(std::lround(k * height)), 1) };
}

std::expected<DragFile, std::string> drag_file(Editor& editor)
{
    util::require_main_thread("hilo principal");
    auto exported = export_editor(editor);
    if (!exported)
        return std::unexpected(std::string("nada que arrastrar"));
    // Per user: a shared /tmp/Vistrope could belong to someone else.
    // TMPDIR is the user's: one that is not a folder means /tmp, not a throw.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec)
        tmp = "/tmp";
    const auto folder = platform::private_directory(tmp / fmt::format("vistrope-{}", ::getuid()));
    if (!folder)
        return std::unexpected(std::string("no hay carpeta temporal propia"));
    auto raster = std::make_shared<const output::Raster>(std::move(exported->first));
    DragFile out;
    out.png = encode(*raster, exported->second);
    out.path = publish::unique_path(*folder / "Vistrope", publish::capture_name_now(), "png");
    if (auto written = files::replace(out.path, { reinterpret_cast<const char*>(out.png.data()), out.png.size() });
        !written)
        return std::unexpected(written.error());
    out.image = raster_image(raster, editor.base().color_space());
    return out;
}

QDrag* prepare_drag(const std::shared_ptr<Editor>& editor, QWidget* source)
{
    auto file = drag_file(*editor);
    if (!file) {
        util::log("no pude preparar el arrastre: " + file.error());
        return nullptr;
    }
    auto* mime = new QMimeData;
    mime->setUrls({ QUrl::fromLocalFile(QString::fromStdString(file->path.string())) });
    mime->setData(QStringLiteral("image/png"),
        QByteArray(reinterpret_cast<const char*>(file->png.data()), qsizetype(file->png.size())));
    auto* drag = new QDrag(source);
    drag->setMimeData(mime);
    if (!file->image.isNull()) {
        const QSize size = drag_thumbnail_size(std::uint32_t(file->image.width()), std::uint32_t(file->image.height()),
            editor->base().scale());
        const qreal dpr = source->devicePixelRatioF();
        QPixmap thumb = QPixmap::fromImage(file->image.scaled(size * dpr, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        thumb.setDevicePixelRatio(dpr);
        drag->setPixmap(thumb);
        // Centred under the pointer.
        drag->setHotSpot(QPoint(size.width() / 2, size.height() / 2));
    }
    return drag;
}

void drag_out(const std::shared_ptr<Editor>& editor, QWidget* source)
{
    // A nested event loop on X11: nothing of the editor is held across it.
    if (QDrag* drag = prepare_drag(editor, source))
        drag->exec(Qt::CopyAction);
}

} // namespace editor
