#include "record/video_editor_rules.h"

#include "base/util.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace video_editor {

bool counts_as_trim(Range range, double duration)
{
    return range.first > 0.05 || range.second < duration - 0.05;
}

namespace {

// A time as the label shows it: whole tenths.
long long tenths(double seconds)
{
    return std::llround(std::max(seconds, 0.0) * 10);
}

} // namespace

std::string time_text(double seconds)
{
    const long long n = tenths(seconds);
    return fmt::format("{}:{:02}.{}", n / 600, (n / 10) % 60, n % 10);
}

std::string full_label(double duration)
{
    const std::uint64_t u = util::whole_seconds(duration);
    if (u < 3600)
        return fmt::format("Video completo · {}:{:02}", u / 60, u % 60);
    return fmt::format("Video completo · {}:{:02}:{:02}", u / 3600, (u / 60) % 60, u % 60);
}

std::string export_note(bool trimmed, bool muted, int resolution)
{
    // A trim is named as it always was, whatever else it did.
    if (trimmed)
        return "recortado";
    std::string note;
    const auto add = [&note](std::string_view part) {
        if (!note.empty())
            note += ", ";
        note += part;
    };
    if (muted)
        add("sin audio");
    if (resolution == 1)
        add("1080p");
    else if (resolution == 2)
        add("720p");
    // Nothing changed: a copy of the same video, said as such.
    return note.empty() ? std::string("copia") : note;
}

std::string range_label_text(Range range)
{
    // The length is the difference of the ends as shown, so that the three
    // numbers agree (2.36–6.94 s reads 0:02.4 – 0:06.9 · 4.5 s, not 4.6).
    const long long length = tenths(range.second) - tenths(range.first);
    return fmt::format("{} – {} · {}.{} s", time_text(range.first), time_text(range.second), length / 10, length % 10);
}

namespace {

double centred_y(double height) { return std::round((BAR_HEIGHT - height) / 2); }

} // namespace

BarLayout lay_out_bar(const std::array<Fitted, BAR_ITEMS>& fitted)
{
    BarLayout out;
    auto frame = [&](BarItem item, double x) {
        const double w = std::ceil(fitted[item].width);
        out.frames[item] = Frame { x, centred_y(fitted[item].height), w, fitted[item].height };
    };
    frame(Trim, 14);
    frame(Reset, out.frames[Trim].right() + 8);
    out.frames[Label] = Frame { out.frames[Reset].right() + 8, 18, std::ceil(fitted[Label].width) + 12, 16 };
    // The right group, placed from the right edge leftwards.
    double edge = DESIGN_WIDTH - 14;
    for (BarItem item : { Mp4, Gif, Resolution, Mute }) {
        frame(item, edge - std::ceil(fitted[item].width));
        edge = out.frames[item].x - 8;
    }
    out.min_width = std::ceil(out.frames[Label].right() + (DESIGN_WIDTH - (out.frames[Mute].x - 8)) + 8);
    return out;
}

Frame place(const BarLayout& layout, BarItem item, double width)
{
    Frame f = layout.frames[item];
    if (item >= Mute)
        f.x = width - (DESIGN_WIDTH - f.x);
    return f;
}

Size available_area(std::optional<Size> visible_screen)
{
    if (!visible_screen)
        return { 1152, 668 };
    return { visible_screen->width * 0.8, visible_screen->height * 0.8 - BAR_HEIGHT };
}

Size window_size(Size video, Size available, double min_bar_width)
{
    const double w = std::max(video.width / 2, 320.0);
    const double h = std::max(video.height / 2, 180.0);
    const double k = std::min({ available.width / w, available.height / h, 1.0 });
    return { std::max(std::round(w * k), min_bar_width), std::max(std::round(h * k) + BAR_HEIGHT, 360.0) };
}

namespace {

// A float as its shortest round-trip text, always with a fraction part.
std::string debug_float(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    std::string s = fmt::format("{}", v);
    if (s.find_first_of(".e") == std::string::npos)
        s += ".0";
    return s;
}

std::string debug_quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
            else
                out += c;
        }
    }
    return out + "\"";
}

} // namespace

std::string debug_range(const std::optional<Range>& range)
{
    if (!range)
        return "None";
    return fmt::format("Some(({}, {}))", debug_float(range->first), debug_float(range->second));
}

std::string debug_names(const std::vector<std::string>& names)
{
    if (names.empty())
        return "[]";
    std::string out = "[\n";
    for (const auto& n : names)
        out += "    " + debug_quoted(n) + ",\n";
    return out + "]";
}

} // namespace video_editor
