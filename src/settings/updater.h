// updater: the update check against the feed.
//
// The rules (version order, the feed's format, address resolution, the stamp,
// curl's arguments) and the two blocking steps (fetch the feed, download and
// verify the installer) are plain code on injected runners, so they link
// without Qt. The threads, alerts and defaults live in updater_app.cpp.
//
// Untrusted input: the feed and the installer come from the network. Only
// https is followed (redirects included), the feed and the installer are
// capped in size, the installer is only kept once its SHA-256 matches the
// feed's, and the version
// enters a file name only in a harmless form.
#pragma once

#include "platform/process.h"

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// The version this build compares with the feed's.
inline constexpr std::string_view CURRENT_VERSION = VISTROPE_VERSION;
// The automatic check runs when the last one is at least this old.
inline constexpr std::chrono::seconds CHECK_INTERVAL { 86'400 };
// curl's own limits, and ours a little past them so curl reports first.
inline constexpr int FEED_MAX_TIME_S = 10;
inline constexpr int DOWNLOAD_MAX_TIME_S = 300;
inline constexpr std::chrono::milliseconds FEED_TIMEOUT { (FEED_MAX_TIME_S + 5) * 1000 };
inline constexpr std::chrono::milliseconds DOWNLOAD_TIMEOUT { (DOWNLOAD_MAX_TIME_S + 5) * 1000 };
inline constexpr long long FEED_MAX_BYTES = 1'048'576;
// An installer past this is refused: curl refuses an announced size, and the
// real runner keeps any file curl writes from growing beyond it.
inline constexpr long long DOWNLOAD_MAX_BYTES = 1LL << 30;

// The feed: version and url required, sha256 and notes empty when absent.
struct Feed {
    std::string version;
    std::string url;
    std::string sha256;
    std::string notes;
    bool operator==(const Feed&) const = default;
};

// Whether `candidate` is a greater dotted version than `current`: leading
// lower-case "v"s dropped, parts split on ".", trimmed, read as unsigned
// 64-bit decimals with one optional "+" (anything else counts as 0), missing
// parts 0.
bool is_newer(std::string_view candidate, std::string_view current);

// Reads the feed's JSON: an object with the four members (others ignored), or
// an array of the values in the order version, url, sha256, notes. A member
// given twice, a missing required member, a member that is not a string and a
// version that could not safely name a file are errors "appcast inválido: …".
std::expected<Feed, std::string> parse_feed(std::string_view json);

// Whether a version is fit for a file name: [0-9A-Za-z._+-] only, not empty,
// not starting with ".".
bool is_safe_version(std::string_view version);

// `reference` resolved against `base` (RFC 3986, section 5.2), textual: no
// percent-decoding or case folding. An absolute reference is taken as it is
// apart from its dot segments.
std::string resolve_url(std::string_view base, std::string_view reference);

// "la dirección no es https: {}" unless `url` is an absolute https URL with a host.
std::expected<void, std::string> require_https(std::string_view url);

// Whether the automatic check is due: no stamp (missing or unreadable), a
// stamp in the future, or one CHECK_INTERVAL old or older.
bool check_due(std::optional<std::chrono::system_clock::time_point> stamp, std::chrono::system_clock::time_point now);

// The stamp file "last-update-check" beside the settings file; its
// modification time is the last fetch attempt.
std::filesystem::path stamp_path();

// curl's arguments for the feed and for the installer. "-q" comes first so
// no ~/.curlrc can turn the certificate checks off (`insecure`) or add a
// proxy; https only, redirects included, TLS 1.2 or later.
std::vector<std::string> feed_arguments(std::string_view url);
std::vector<std::string> download_arguments(std::string_view url, const std::filesystem::path& out);

// Whether a newer feed may be offered at all: it names an https installer
// (resolved against `feed_url`) and its SHA-256 as 64 hex digits; else why
// not. An offer that could only fail after "Descargar" is no offer.
std::expected<void, std::string> offerable(const Feed& feed, std::string_view feed_url);

// The installer's file name for a version: "Vistrope-{version}.deb".
std::string installer_name(std::string_view version);

// Runs curl with arguments and a timeout.
using Runner = std::function<std::expected<platform::ProcessResult, std::string>(
    const std::vector<std::string>& args, std::chrono::milliseconds timeout)>;
// A file's SHA-256 as lower-case hex, or why it could not be read.
using Digest = std::function<std::expected<std::string, std::string>(const std::filesystem::path&)>;

// Fetches and reads the feed. Blocking; background only.
std::expected<Feed, std::string> fetch_feed(std::string_view url, const Runner& curl);

// Downloads the installer `url` for `feed` into `folder` (created when
// missing) under installer_name, through a temporary name of its own beside
// it, verifies its digest and only then renames it into place; the path.
// Failure, timeout, an installer past DOWNLOAD_MAX_BYTES or a mismatch leave
// no file behind. Blocking; background only.
std::expected<std::filesystem::path, std::string> download(std::string_view url, const Feed& feed,
    const std::filesystem::path& folder, const Runner& curl, const Digest& digest);

// --- The application side (updater_app.cpp) ---------------------------------------------

// The real curl: its standard output held up to FEED_MAX_BYTES, and no file
// it writes larger than `max_file_bytes` (the kernel stops it there).
Runner curl_runner(long long max_file_bytes = DOWNLOAD_MAX_BYTES);

// Release notes past this many bytes are cut in the offer.
inline constexpr std::size_t NOTES_MAX_BYTES = 65'536;

// The texts of the offer; the notes cut at NOTES_MAX_BYTES.
struct Offer {
    std::string message;     // "Vistrope {} ya está disponible"
    std::string informative; // "Tienes la versión {}." and the notes after a blank line
};
Offer offer_texts(const Feed& feed);

// Everything the check reaches outside; each member defaults to the real one.
struct Services {
    Runner curl;
    Digest digest;
    // The folder the installer goes to (the desktop's download folder).
    std::function<std::filesystem::path()> download_folder;
    // Opens the installer; `failed` hears why on the main thread when no program could.
    std::function<void(const std::string& path, std::function<void(const std::string& why)> failed)> open_path;
    // A modal informational alert. Main thread.
    std::function<void(const std::string& message, const std::string& informative)> alert;
    // The same with a button "Mostrar en la carpeta"; whether the user chose
    // it. Main thread.
    std::function<bool(const std::string& message, const std::string& informative)> alert_with_folder;
    // Shows `file` in the file manager, or its folder; `failed` hears why on
    // any thread when nothing could.
    std::function<void(const std::filesystem::path& file, std::function<void(const std::string& why)> failed)> reveal;
    // A passing word on screen. Main thread.
    std::function<void(const std::string& text)> toast;
    // The modal offer: true for "Descargar". Main thread.
    std::function<bool(const Offer&)> ask;
    std::function<void(std::function<void()>)> in_background;
    std::function<void(std::function<void()>)> on_main;
};
Services& services();
void reset_services();

// The automatic check, run only when the last one is a day old or more. Main thread.
void check_in_background();
// Checks now; interactive checks answer with alerts. Main thread.
void check(bool interactive);
// What the download says once the installer is verified: "Descargado en
// <the folder's name>".
std::string downloaded_text(const std::filesystem::path& installer);

// The offer and, when accepted, the download and opening. Main thread.
void offer(const std::string& feed_url, const Feed& feed);

} // namespace updater
