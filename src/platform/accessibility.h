// platform: the desktop's accessibility options the program's animations honour.
//
// GNOME keeps them in GSettings: reduce motion is org.gnome.desktop.interface
// enable-animations turned off, increased contrast is
// org.gnome.desktop.a11y.interface high-contrast. X11 has no reduced
// transparency; it is always off. The options are read once at launch;
// until then, and on desktops without those keys, every option is off.
#pragma once

namespace platform {

struct Accessibility {
    bool reduce_motion = false;
    bool increased_contrast = false;
    bool reduced_transparency = false;
    bool operator==(const Accessibility&) const = default;
};

// The options as last read (or set by a test). Any thread.
Accessibility accessibility();

// Reads the options on the utility pool and keeps them. Main thread, at launch.
void load_accessibility();

// Replaces the options (tests). Any thread.
void set_accessibility(const Accessibility& options);

// Parses gsettings' answer to `get` ("true", "false", with a trailing newline);
// none of them means the key is missing: the default.
bool gsettings_bool(const char* answer, bool default_value);

} // namespace platform
