#include "editor/outputs.h"

#include "base/files.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"

#include <QString>

#include <fmt/format.h>

namespace fs = std::filesystem;

namespace editor {

namespace {

// Where a save goes: a name held in the capture folder, or the path a panel chose.
struct Target {
    std::optional<output::Reserved> reserved;
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
            output::release(*target.reserved);
        } else if (const std::vector<std::uint8_t> png = encode(*raster, scale); target.reserved) {
            // Published under the held name, or the next free one when
            // another program took it meanwhile; never over a file.
            if (auto published = output::publish(*target.reserved, png))
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
            const auto shot = state::last_shot();
            if (shot && shot_key && shot->image.cacheKey() == *shot_key)
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
        Target { output::reserve_path(config::save_dir(*cfg), output::capture_name_now(), "png"), {} });
}

void write_png(const std::shared_ptr<Editor>& editor, const fs::path& path)
{
    util::require_main_thread("hilo principal");
    auto exported = export_editor(*editor);
    if (!exported)
        return;
    write(editor, std::move(exported->first), exported->second, Target { std::nullopt, path });
}

} // namespace editor
