#include "settings/updater.h"

#include "base/config.h"
#include "base/util.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <set>

#include <unistd.h>

namespace updater {

namespace {

std::vector<std::uint64_t> version_parts(std::string_view text)
{
    while (text.starts_with('v'))
        text.remove_prefix(1);
    std::vector<std::uint64_t> parts;
    for (;;) {
        const size_t dot = text.find('.');
        std::string_view part = util::trim(text.substr(0, dot));
        if (part.starts_with('+'))
            part.remove_prefix(1);
        std::uint64_t n = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), n);
        // Empty, signed, lettered or overflowing parts count as 0.
        parts.push_back(error == std::errc() && end == part.data() + part.size() ? n : 0);
        if (dot == std::string_view::npos)
            return parts;
        text.remove_prefix(dot + 1);
    }
}

std::string invalid(std::string_view why)
{
    return fmt::format("appcast inválido: {}", why);
}

// Rejects a member given twice in any object while the reader builds it:
// the reader itself would silently keep the last one.
struct DuplicateMember {
    std::string name;
};

// Bytes that are not UTF-8 become U+FFFD, so the text can be shown and logged.
std::string lossy_utf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const size_t n = util::utf8_sequence(bytes);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        }
    }
    return out;
}

struct Url {
    std::optional<std::string_view> scheme, authority, query, fragment;
    std::string_view path;
};

// The five components by the regular expression of RFC 3986, appendix B.
Url split_url(std::string_view s)
{
    Url u;
    if (const size_t i = s.find_first_of(":/?#"); i != std::string_view::npos && i > 0 && s[i] == ':') {
        u.scheme = s.substr(0, i);
        s.remove_prefix(i + 1);
    }
    if (s.starts_with("//")) {
        s.remove_prefix(2);
        const size_t end = std::min(s.find_first_of("/?#"), s.size());
        u.authority = s.substr(0, end);
        s.remove_prefix(end);
    }
    const size_t path_end = std::min(s.find_first_of("?#"), s.size());
    u.path = s.substr(0, path_end);
    s.remove_prefix(path_end);
    if (s.starts_with('?')) {
        const size_t end = std::min(s.find('#'), s.size());
        u.query = s.substr(1, end - 1);
        s.remove_prefix(end);
    }
    if (s.starts_with('#'))
        u.fragment = s.substr(1);
    return u;
}

// RFC 3986, section 5.2.4.
std::string remove_dot_segments(std::string_view in)
{
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../"))
            in.remove_prefix(3);
        else if (in.starts_with("./"))
            in.remove_prefix(2);
        else if (in.starts_with("/./"))
            in.remove_prefix(2);
        else if (in == "/.")
            in = "/";
        else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            const size_t last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (in == "." || in == "..")
            in = {};
        else {
            const size_t next = std::min(in.find('/', 1), in.size());
            out.append(in.substr(0, next));
            in.remove_prefix(next);
        }
    }
    return out;
}

// RFC 3986, section 5.2.3.
std::string merge_paths(const Url& base, std::string_view path)
{
    if (base.authority && base.path.empty())
        return fmt::format("/{}", path);
    const size_t last = base.path.rfind('/');
    if (last == std::string_view::npos)
        return std::string(path);
    return fmt::format("{}{}", base.path.substr(0, last + 1), path);
}

// The host an address names, without user information or port: what a
// message about reaching it shows.
std::string host_of(std::string_view url)
{
    std::string_view host = split_url(url).authority.value_or(std::string_view());
    if (const size_t at = host.rfind('@'); at != std::string_view::npos)
        host.remove_prefix(at + 1);
    if (host.starts_with('[')) {
        if (const size_t end = host.find(']'); end != std::string_view::npos)
            host = host.substr(0, end + 1);
    } else if (const size_t colon = host.find(':'); colon != std::string_view::npos)
        host = host.substr(0, colon);
    return util::escape_controls(host.empty() ? url : host);
}

// curl's exit codes for a name that does not resolve (host or proxy) and for
// a connection that cannot be made: the machine is offline, as far as the
// user can tell.
bool offline(const platform::ProcessResult& run)
{
    return run.exit_status == 5 || run.exit_status == 6 || run.exit_status == 7;
}

std::string no_connection(std::string_view url)
{
    return fmt::format("Sin conexión con {}", host_of(url));
}

// Why a fetch of `url` failed, in our words: curl's own text is English and
// only kept where nothing plainer can be said.
std::string fetch_failure(const platform::ProcessResult& run, std::string_view url, int max_time_s)
{
    if (offline(run))
        return no_connection(url);
    if (run.timed_out || run.exit_status == 28)
        return fmt::format("{} no respondió en {} segundos", host_of(url), max_time_s);
    const std::string why = lossy_utf8(util::trim(run.standard_error));
    // -f turns an HTTP error status into exit code 22: "... returned error: 404".
    if (run.exit_status == 22) {
        const size_t colon = why.rfind(": ");
        unsigned code = 0;
        if (colon != std::string::npos) {
            const char* first = why.data() + colon + 2;
            const auto [end, error] = std::from_chars(first, why.data() + why.size(), code);
            if (error == std::errc() && end - first == 3)
                return fmt::format("el servidor respondió con error (HTTP {})", code);
        }
    }
    return fmt::format("el servidor respondió con error ({})", why);
}

} // namespace

bool is_newer(std::string_view candidate, std::string_view current)
{
    const auto a = version_parts(candidate);
    const auto b = version_parts(current);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::uint64_t x = i < a.size() ? a[i] : 0;
        const std::uint64_t y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

bool is_safe_version(std::string_view version)
{
    if (version.empty() || version.starts_with('.'))
        return false;
    for (const char c : version) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.'
            || c == '_' || c == '+' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::expected<Feed, std::string> parse_feed(std::string_view text)
{
    using nlohmann::json;
    std::vector<std::set<std::string>> open_objects;
    const json::parser_callback_t reject_duplicates = [&](int, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            open_objects.emplace_back();
            break;
        case json::parse_event_t::object_end:
            open_objects.pop_back();
            break;
        case json::parse_event_t::key:
            if (!open_objects.back().insert(parsed.get<std::string>()).second)
                throw DuplicateMember{ parsed.get<std::string>() };
            break;
        default:
            break;
        }
        return true;
    };
    json doc;
    try {
        doc = json::parse(text.begin(), text.end(), reject_duplicates);
    } catch (const DuplicateMember& d) {
        return std::unexpected(invalid(fmt::format("el campo «{}» aparece dos veces", d.name)));
    } catch (const json::exception& e) {
        return std::unexpected(invalid(e.what()));
    }

    static constexpr std::array<std::string_view, 4> NAMES = { "version", "url", "sha256", "notes" };
    std::array<const json*, 4> values{};
    if (doc.is_object()) {
        for (size_t i = 0; i < NAMES.size(); ++i)
            if (const auto it = doc.find(std::string(NAMES[i])); it != doc.end())
                values[i] = &*it;
    } else if (doc.is_array()) {
        if (doc.size() > NAMES.size())
            return std::unexpected(invalid(fmt::format("la lista tiene {} valores; como mucho van 4", doc.size())));
        for (size_t i = 0; i < doc.size(); ++i)
            values[i] = &doc[i];
    } else
        return std::unexpected(invalid("se esperaba un objeto"));

    std::array<std::string, 4> texts;
    for (size_t i = 0; i < NAMES.size(); ++i) {
        if (!values[i]) {
            if (i < 2)
                return std::unexpected(invalid(fmt::format("falta el campo «{}»", NAMES[i])));
            continue;
        }
        if (!values[i]->is_string())
            return std::unexpected(invalid(fmt::format("el campo «{}» no es texto", NAMES[i])));
        texts[i] = values[i]->get<std::string>();
    }
    Feed feed{ std::move(texts[0]), std::move(texts[1]), std::move(texts[2]), std::move(texts[3]) };
    if (!is_safe_version(feed.version))
        return std::unexpected(invalid(fmt::format("versión «{}»", util::escape_controls(feed.version))));
    return feed;
}

std::string resolve_url(std::string_view base_text, std::string_view reference)
{
    const Url r = split_url(reference);
    const Url base = split_url(base_text);
    Url t;
    std::string path;
    if (r.scheme) {
        t.scheme = r.scheme;
        t.authority = r.authority;
        path = remove_dot_segments(r.path);
        t.query = r.query;
    } else {
        t.scheme = base.scheme;
        if (r.authority) {
            t.authority = r.authority;
            path = remove_dot_segments(r.path);
            t.query = r.query;
        } else {
            t.authority = base.authority;
            if (r.path.empty()) {
                path = std::string(base.path);
                t.query = r.query ? r.query : base.query;
            } else {
                path = remove_dot_segments(r.path.starts_with('/') ? std::string(r.path) : merge_paths(base, r.path));
                t.query = r.query;
            }
        }
    }
    t.fragment = r.fragment;

    // Section 5.3.
    std::string out;
    if (t.scheme)
        out += fmt::format("{}:", *t.scheme);
    if (t.authority)
        out += fmt::format("//{}", *t.authority);
    out += path;
    if (t.query)
        out += fmt::format("?{}", *t.query);
    if (t.fragment)
        out += fmt::format("#{}", *t.fragment);
    return out;
}

std::expected<void, std::string> require_https(std::string_view url)
{
    const Url u = split_url(url);
    if (!u.scheme || util::lower_ascii(*u.scheme) != "https" || !u.authority || u.authority->empty())
        return std::unexpected(fmt::format("la dirección no es https: {}", util::escape_controls(url)));
    return {};
}

bool check_due(std::optional<std::chrono::system_clock::time_point> stamp, std::chrono::system_clock::time_point now)
{
    return !stamp || *stamp > now || now - *stamp >= CHECK_INTERVAL;
}

std::filesystem::path stamp_path()
{
    return config::Config::path().parent_path() / "last-update-check";
}

std::vector<std::string> feed_arguments(std::string_view url)
{
    return { "-q", "-fsSL", "--proto", "=https", "--proto-redir", "=https", "--tlsv1.2", "--max-time", std::to_string(FEED_MAX_TIME_S),
             "--max-filesize", std::to_string(FEED_MAX_BYTES), "--", std::string(url) };
}

std::vector<std::string> download_arguments(std::string_view url, const std::filesystem::path& out)
{
    return { "-q", "-fsSL", "--proto", "=https", "--proto-redir", "=https", "--tlsv1.2", "--max-time", std::to_string(DOWNLOAD_MAX_TIME_S),
             "--max-filesize", std::to_string(DOWNLOAD_MAX_BYTES), "-o", out.string(), "--", std::string(url) };
}

std::expected<void, std::string> offerable(const Feed& feed, std::string_view feed_url)
{
    if (feed.sha256.empty())
        return std::unexpected(std::string("el appcast no trae sha256 del instalador"));
    const bool hex = feed.sha256.size() == 64 && std::all_of(feed.sha256.begin(), feed.sha256.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
    if (!hex)
        return std::unexpected(fmt::format("el sha256 del appcast no es válido: «{}»", util::escape_controls(feed.sha256)));
    return require_https(resolve_url(feed_url, feed.url));
}

std::string installer_name(std::string_view version)
{
    return fmt::format("Vistrope-{}.deb", version);
}

std::expected<Feed, std::string> fetch_feed(std::string_view url, const Runner& curl)
{
    if (auto https = require_https(url); !https)
        return std::unexpected(https.error());
    auto run = curl(feed_arguments(url), FEED_TIMEOUT);
    if (!run)
        return std::unexpected(run.error());
    // curl only enforces its cap when the size is announced; the runner stops
    // a longer answer, which then counts as too large, not as a server error.
    if (run->output_too_large || run->standard_output.size() > static_cast<size_t>(FEED_MAX_BYTES))
        return std::unexpected(invalid("pasa de 1 MiB"));
    if (!run->succeeded())
        return std::unexpected(fetch_failure(*run, url, FEED_MAX_TIME_S));
    return parse_feed(run->standard_output);
}

std::expected<std::filesystem::path, std::string> download(std::string_view url, const Feed& feed,
    const std::filesystem::path& folder, const Runner& curl, const Digest& digest)
{
    if (feed.sha256.empty())
        return std::unexpected(std::string("el appcast no trae sha256; no descargo el instalador"));
    if (!is_safe_version(feed.version))
        return std::unexpected(invalid(fmt::format("versión «{}»", util::escape_controls(feed.version))));
    if (auto https = require_https(url); !https)
        return std::unexpected(https.error());

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::filesystem::path target = folder / installer_name(feed.version);
    // A name of this download's own, so overlapping checks never write one file.
    std::string temporary = (folder / fmt::format(".{}.XXXXXX", installer_name(feed.version))).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return std::unexpected(fmt::format("no pude crear un archivo en {}: {}", folder.string(), std::strerror(errno)));
    ::close(fd);
    const auto fail = [&](std::string why) -> std::expected<std::filesystem::path, std::string> {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return std::unexpected(std::move(why));
    };

    auto run = curl(download_arguments(url, temporary), DOWNLOAD_TIMEOUT);
    if (!run)
        return fail(run.error());
    if (!run->succeeded()) {
        // 63: curl refused an announced size; a file at the cap was stopped
        // there. A temporary gone or unreadable tells of no size at all.
        const std::uintmax_t size = std::filesystem::file_size(temporary, ec);
        if (run->exit_status == 63 || (!ec && size >= static_cast<std::uintmax_t>(DOWNLOAD_MAX_BYTES)))
            return fail("el instalador pasa de 1 GiB; no lo guardo");
        if (offline(*run))
            return fail(fmt::format("{}; no pude descargar {}", no_connection(url), util::escape_controls(url)));
        return fail(fmt::format("no pude descargar {}", util::escape_controls(url)));
    }
    auto sum = digest(temporary);
    if (!sum)
        return fail(sum.error());
    // Hex digits are the same number in either case: a feed that writes its
    // digest in capitals names the same installer.
    if (util::lower_ascii(*sum) != util::lower_ascii(feed.sha256))
        return fail("la firma SHA-256 del instalador no coincide; lo borré por seguridad");
    // mkstemp made it private; an installer is an ordinary download.
    std::filesystem::permissions(temporary,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read
            | std::filesystem::perms::others_read, ec);
    if (std::filesystem::rename(temporary, target, ec); ec)
        return fail(fmt::format("no pude guardar {}: {}", target.string(), ec.message()));
    return target;
}

Offer offer_texts(const Feed& feed)
{
    Offer o;
    o.message = fmt::format("Vistrope {} ya está disponible", feed.version);
    o.informative = fmt::format("Tienes la versión {}.", CURRENT_VERSION);
    if (feed.notes.empty())
        return o;
    // Notes are the network's and only a preview of the release: past
    // NOTES_MAX_BYTES they are cut, at a character's start, with an ellipsis.
    std::string_view notes = feed.notes;
    if (notes.size() > NOTES_MAX_BYTES) {
        std::size_t cut = NOTES_MAX_BYTES;
        while (cut > 0 && (static_cast<unsigned char>(notes[cut]) & 0xC0) == 0x80)
            --cut;
        o.informative += fmt::format("\n\n{}…", notes.substr(0, cut));
    } else
        o.informative += fmt::format("\n\n{}", notes);
    return o;
}

} // namespace updater
