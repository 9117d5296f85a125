#include "platform/accessibility.h"

#include "platform/process.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

namespace platform {

namespace {

// Three bits: reduce motion, increased contrast, reduced transparency.
std::atomic<unsigned> g_options { 0 };

unsigned pack(const Accessibility& a)
{
    return (a.reduce_motion ? 1u : 0u) | (a.increased_contrast ? 2u : 0u) | (a.reduced_transparency ? 4u : 0u);
}

bool read_key(const std::string& schema, const std::string& key, bool default_value)
{
    using namespace std::chrono_literals;
    auto result = run_process("gsettings", { "get", schema, key }, 2000ms);
    if (!result || !result->succeeded())
        return default_value;
    return gsettings_bool(result->standard_output.c_str(), default_value);
}

} // namespace

bool gsettings_bool(const char* answer, bool default_value)
{
    std::string_view text(answer ? answer : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    return default_value;
}

Accessibility accessibility()
{
    const unsigned bits = g_options.load(std::memory_order_acquire);
    return { (bits & 1u) != 0, (bits & 2u) != 0, (bits & 4u) != 0 };
}

void set_accessibility(const Accessibility& options) { g_options.store(pack(options), std::memory_order_release); }

void load_accessibility()
{
    util::require_main_thread("hilo principal");
    util::in_utility([] {
        Accessibility a;
        a.reduce_motion = !read_key("org.gnome.desktop.interface", "enable-animations", true);
        a.increased_contrast = read_key("org.gnome.desktop.a11y.interface", "high-contrast", false);
        set_accessibility(a);
        if (a.reduce_motion || a.increased_contrast)
            util::log(std::string("accesibilidad:") + (a.reduce_motion ? " reducir movimiento" : "")
                + (a.increased_contrast ? " más contraste" : ""));
    });
}

} // namespace platform
