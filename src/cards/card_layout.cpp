#include "cards/card_layout.h"

#include "base/util.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace quick_access {

double card_height(double pixel_width, double pixel_height)
{
    const double h = pixel_height * CARD_WIDTH / std::max(pixel_width, 1.0);
    if (!(h >= 96)) // NaN too
        return 96;
    return std::round(std::min(h, 200.0));
}

imageops::Rect picture_part(const imageops::View& view, std::size_t alpha_offset)
{
    if (auto part = imageops::opaque_bounds(view, alpha_offset, PICTURE_MIN_ALPHA))
        return *part;
    return { 0, 0, view.width, view.height };
}

std::vector<ButtonSpec> buttons(CardKind kind, double h)
{
    // Laid out from the bottom-left corner, as the card was drawn; y flips to
    // the top-left origin as h − y − height.
    auto at = [h](double x, double y, double w, double bh) { return platform::RectF { x, h - y - bh, w, bh }; };
    std::vector<ButtonSpec> out;
    const double mid = h / 2 - 14;
    out.push_back({ Action::Copy, "Copiar", "", "", at(28, mid, 84, 28), 14 });
    out.push_back({ Action::Save, kind == CardKind::Image ? "Guardar" : "Mostrar", "", "", at(120, mid, 84, 28), 14 });
    if (kind == CardKind::Video)
        out.push_back({ Action::Gif, "GIF", "", "Convertir a GIF", at(176, 8, 48, 24), 12 });
    out.push_back({ Action::Close, "", "xmark", "Cerrar", at(8, h - 30, 22, 22), 11 });
    if (kind == CardKind::Image) {
        out.push_back({ Action::Edit, "", "pencil.and.scribble", "Anotar", at(202, h - 30, 22, 22), 11 });
        out.push_back({ Action::Pin, "", "pin", "Fijar en pantalla", at(202, 8, 22, 22), 11 });
    } else if (kind == CardKind::Video) {
        out.push_back({ Action::Edit, "", "scissors", "Editar video", at(202, h - 30, 22, 22), 11 });
    }
    return out;
}

std::string duration_badge(double seconds)
{
    const std::uint64_t s = util::whole_seconds(seconds);
    if (s < 3600)
        return fmt::format("{}:{:02}", s / 60, s % 60);
    return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

bool drag_starts(double dx, double dy)
{
    return std::hypot(dx, dy) >= DRAG_THRESHOLD;
}

std::vector<platform::RectF> stack(const platform::RectF& visible, const std::vector<double>& heights)
{
    std::vector<platform::RectF> out;
    const double x = visible.x + CARD_MARGIN;
    double y = visible.y + CARD_MARGIN;
    for (double h : heights) {
        out.push_back({ x, y, CARD_WIDTH, h });
        y += h + CARD_GAP;
    }
    return out;
}

bool closes(Action action, bool acted)
{
    switch (action) {
    case Action::Edit:
    case Action::Save:
    case Action::Gif: return acted;
    default: return true;
    }
}

} // namespace quick_access
