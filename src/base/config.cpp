#include "base/config.h"

#include "base/util.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <span>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace config {

namespace fs = std::filesystem;

namespace {

std::string where(const toml::node& node)
{
    const auto& pos = node.source().begin;
    return fmt::format("at line {} column {}", pos.line, pos.column);
}

std::string describe(const toml::node& node)
{
    std::ostringstream text;
    switch (node.type()) {
    case toml::node_type::string:
        text << "string " << *node.as_string();
        break;
    case toml::node_type::integer:
        text << "integer `" << node.as_integer()->get() << "`";
        break;
    case toml::node_type::floating_point:
        text << "floating point `" << *node.as_floating_point() << "`";
        break;
    case toml::node_type::boolean:
        text << "boolean `" << (node.as_boolean()->get() ? "true" : "false") << "`";
        break;
    case toml::node_type::table:
        text << "map";
        break;
    case toml::node_type::array:
        text << "sequence";
        break;
    default:
        text << "date-time";
        break;
    }
    return text.str();
}

std::string type_error(std::string_view key, const toml::node& node, std::string_view expected)
{
    return fmt::format("invalid type: {}, expected {} for key `{}` {}", describe(node), expected, key, where(node));
}

struct Reader {
    std::string error;

    template <class R>
    void read(const toml::table& table, R& record, std::span<const Field<R>> fields)
    {
        for (const auto& field : fields) {
            if (!error.empty())
                return;
            const toml::node* node = table.get(field.key);
            if (!node)
                continue;
            std::visit([&](auto member) { read_value(field.key, *node, record.*member); }, field.member);
        }
    }

    void read_value(std::string_view key, const toml::node& node, bool& out)
    {
        if (const auto* v = node.as_boolean())
            out = v->get();
        else
            error = type_error(key, node, "a boolean");
    }

    void read_value(std::string_view key, const toml::node& node, std::uint32_t& out)
    {
        const auto* v = node.as_integer();
        if (!v) {
            error = type_error(key, node, "u32");
            return;
        }
        const std::int64_t n = v->get();
        if (n < 0 || n > std::numeric_limits<std::uint32_t>::max()) {
            error = fmt::format("invalid value: integer `{}`, expected u32 for key `{}` {}", n, key, where(node));
            return;
        }
        out = static_cast<std::uint32_t>(n);
    }

    void read_value(std::string_view key, const toml::node& node, double& out)
    {
        if (const auto* f = node.as_floating_point())
            out = f->get();
        else if (const auto* i = node.as_integer())
            out = static_cast<double>(i->get());
        else
            error = type_error(key, node, "f64");
    }

    void read_value(std::string_view key, const toml::node& node, std::string& out)
    {
        if (const auto* v = node.as_string())
            out = v->get();
        else
            error = type_error(key, node, "a string");
    }

    template <class R>
    void read_table(const toml::table& root, std::string_view key, std::string_view record_name, R& record,
        std::span<const Field<R>> fields)
    {
        if (!error.empty())
            return;
        const toml::node* node = root.get(key);
        if (!node)
            return;
        const toml::table* table = node->as_table();
        if (!table) {
            error = type_error(key, *node, record_name);
            return;
        }
        read(*table, record, fields);
    }
};

template <class R>
void write_fields(std::ostringstream& out, const R& record, std::span<const Field<R>> fields)
{
    for (const auto& field : fields) {
        out << field.key << " = ";
        std::visit(
            [&](auto member) {
                const auto& value = record.*member;
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, bool>)
                    out << (value ? "true" : "false");
                else if constexpr (std::is_same_v<T, std::uint32_t>)
                    out << value;
                else
                    out << toml::value<T>(value);
            },
            field.member);
        out << '\n';
    }
}

bool exists_any(const fs::path& path)
{
    // A dangling link or anything else under the name counts as present:
    // such a file is never replaced by the defaults.
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found || (ec && ec != std::errc::no_such_file_or_directory);
}

std::expected<std::string, std::string> read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::unexpected(fmt::format("{}", std::strerror(errno)));
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad())
        return std::unexpected(std::string("error de lectura"));
    return ss.str();
}

} // namespace

std::expected<Config, std::string> parse(std::string_view text)
{
    Config config;
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error& err) {
        const auto& pos = err.source().begin;
        return std::unexpected(fmt::format("{} at line {} column {}", err.description(), pos.line, pos.column));
    }
    Reader reader;
    reader.read(root, config, std::span<const Field<Config>>(CONFIG_FIELDS));
    reader.read_table(root, "after_capture", "struct AfterCapture", config.after_capture,
        std::span<const Field<AfterCapture>>(AFTER_CAPTURE_FIELDS));
    reader.read_table(root, "shortcuts", "struct Shortcuts", config.shortcuts, std::span<const Field<Shortcuts>>(SHORTCUT_FIELDS));
    reader.read_table(root, "recording", "struct Recording", config.recording, std::span<const Field<Recording>>(RECORDING_FIELDS));
    if (!reader.error.empty())
        return std::unexpected(reader.error);
    return config;
}

std::string serialize(const Config& config)
{
    std::ostringstream out;
    write_fields(out, config, std::span<const Field<Config>>(CONFIG_FIELDS));
    out << "\n[after_capture]\n";
    write_fields(out, config.after_capture, std::span<const Field<AfterCapture>>(AFTER_CAPTURE_FIELDS));
    out << "\n[shortcuts]\n";
    write_fields(out, config.shortcuts, std::span<const Field<Shortcuts>>(SHORTCUT_FIELDS));
    out << "\n[recording]\n";
    write_fields(out, config.recording, std::span<const Field<Recording>>(RECORDING_FIELDS));
    return out.str();
}

fs::path Config::path()
{
    return util::home_dir() / "Library/Application Support/Vistrope/config.toml";
}

Config Config::load()
{
    return load_from(path());
}

std::expected<void, std::string> Config::save() const
{
    return save_to(*this, path());
}

Config load_from(const fs::path& path)
{
    if (!exists_any(path)) {
        Config defaults;
        (void)save_to(defaults, path);
        return defaults;
    }
    auto text = read_text(path);
    if (!text) {
        util::log(fmt::format("no pude leer config.toml ({}), uso valores por defecto", text.error()));
        return Config {};
    }
    auto parsed = parse(*text);
    if (!parsed) {
        util::log(fmt::format("config.toml inválido, uso valores por defecto: {}", parsed.error()));
        return Config {};
    }
    if (parsed->update_feed == OLD_DEFAULT_FEED)
        parsed->update_feed = std::string(DEFAULT_FEED);
    return *parsed;
}

std::expected<void, std::string> save_to(const Config& config, const fs::path& path)
{
    const std::string text = serialize(config);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return std::unexpected(ec.message());

    fs::path tmp = path;
    tmp += fmt::format(".tmp{}", ::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return std::unexpected(fmt::format("{}: {}", tmp.string(), std::strerror(errno)));
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out)
            return std::unexpected(fmt::format("{}: {}", tmp.string(), std::strerror(errno)));
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        return std::unexpected(ec.message());
    }
    return {};
}

fs::path expand_save_dir(std::string_view save_dir, const fs::path& home)
{
    // An empty folder would be the working directory, wherever that is.
    if (save_dir.empty())
        return expand_save_dir(Config {}.save_dir, home);
    if (save_dir == "~")
        return home;
    if (save_dir.starts_with("~/"))
        return home / fs::path(save_dir.substr(2));
    return fs::path(save_dir);
}

fs::path save_dir(const Config& config)
{
    return expand_save_dir(config.save_dir, util::home_dir());
}

} // namespace config
