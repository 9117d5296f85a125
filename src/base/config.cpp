#include "base/config.h"
#include "base/actions.h"

#include "base/files.h"
#include "base/util.h"
#include "base/xdg.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <limits>
#include <span>
#include <sstream>
#include <utility>
#include <vector>

namespace config {

namespace fs = std::filesystem;

namespace {

std::string where(const toml::node& node)
{
    const auto& pos = node.source().begin;
    return fmt::format("en la línea {}, columna {}", pos.line, pos.column);
}

std::string describe(const toml::node& node)
{
    std::ostringstream text;
    switch (node.type()) {
    case toml::node_type::string:
        text << "el texto " << *node.as_string();
        break;
    case toml::node_type::integer:
        text << "el entero `" << node.as_integer()->get() << "`";
        break;
    case toml::node_type::floating_point:
        text << "el número con decimales `" << *node.as_floating_point() << "`";
        break;
    case toml::node_type::boolean:
        text << "el booleano `" << (node.as_boolean()->get() ? "true" : "false") << "`";
        break;
    case toml::node_type::table:
        text << "una tabla";
        break;
    case toml::node_type::array:
        text << "una lista";
        break;
    default:
        text << "una fecha u hora";
        break;
    }
    return text.str();
}

std::string type_error(std::string_view key, const toml::node& node, std::string_view expected)
{
    return fmt::format("tipo no válido: {}; la clave `{}` espera {} ({})", describe(node), key, expected, where(node));
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
            error = type_error(key, node, "un booleano (true o false)");
    }

    void read_value(std::string_view key, const toml::node& node, std::uint32_t& out)
    {
        const auto* v = node.as_integer();
        if (!v) {
            error = type_error(key, node, "un entero de 0 a 4294967295");
            return;
        }
        const std::int64_t n = v->get();
        if (n < 0 || n > std::numeric_limits<std::uint32_t>::max()) {
            error = fmt::format("valor no válido: el entero `{}`; la clave `{}` espera un entero de 0 a 4294967295 ({})", n, key, where(node));
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
            error = type_error(key, node, "un número");
    }

    void read_value(std::string_view key, const toml::node& node, std::string& out)
    {
        if (const auto* v = node.as_string())
            out = v->get();
        else
            error = type_error(key, node, "un texto");
    }

    template <class R>
    void read_table(const toml::table& root, std::string_view key, std::string_view expected, R& record,
        std::span<const Field<R>> fields)
    {
        if (!error.empty())
            return;
        const toml::node* node = root.get(key);
        if (!node)
            return;
        const toml::table* table = node->as_table();
        if (!table) {
            error = type_error(key, *node, expected);
            return;
        }
        read(*table, record, fields);
    }
};

} // namespace

// The printer's own choice of literal and multi-line strings cannot hold
// every text (three quotes in a row, a leading line break), so texts are
// written as basic strings with escapes, which can. Bytes that are not UTF-8
// (no text the program reads holds them) become U+FFFD: one odd character
// beats a file the next start rejects as a whole.
std::string basic_string(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        const size_t length = util::utf8_sequence(text);
        if (length == 0) {
            out += "\\uFFFD";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F)
            out += fmt::format("\\u{:04X}", c);
        else
            out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    out += '"';
    return out;
}

namespace {

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
                else if constexpr (std::is_same_v<T, std::string>)
                    out << basic_string(value);
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

// Whether what follows a backslash, past blanks and line breaks, is a byte
// the library cannot take there: past ASCII it reaches a point it deems
// unreachable, both in an escape ("\é") and, in a multi-line string, after
// a line-ending backslash ("a\" then "  é" on the next line, valid as it is).
bool impossible_escape(std::string_view text, size_t backslash)
{
    size_t k = backslash + 1;
    while (k < text.size() && (text[k] == ' ' || text[k] == '\t' || text[k] == '\n' || text[k] == '\r'))
        ++k;
    if (k >= text.size())
        return false;
    const auto c = static_cast<unsigned char>(text[k]);
    return c >= 0x7F || c < 0x20;
}

// The index of the last character of the string that opens at `i`; line
// breaks inside it are counted into `line`. An unterminated one ends where
// the parser will complain about it. npos for a backslash that no escape
// can follow.
// Keys are never multi-line strings: where a key begins, three quotes are an
// empty key and a stray quote, as the library reads them.
size_t end_of_string(std::string_view text, size_t i, size_t& line, bool multiline)
{
    const char quote = text[i];
    const bool basic = quote == '"';
    const std::string_view triple = basic ? "\"\"\"" : "'''";
    if (multiline && text.substr(i, 3) == triple) {
        for (size_t j = i + 3; j < text.size(); ++j) {
            if (basic && text[j] == '\\') {
                if (impossible_escape(text, j))
                    return std::string_view::npos;
                if (j + 1 < text.size() && text[j + 1] == '\n')
                    ++line;
                ++j;
            } else if (text[j] == '\n')
                ++line;
            else if (text.substr(j, 3) == triple)
                return j + 2;
        }
        return text.size() - 1;
    }
    for (size_t j = i + 1; j < text.size(); ++j) {
        if (text[j] == '\n')
            return j - 1;
        if (basic && text[j] == '\\' && impossible_escape(text, j))
            return std::string_view::npos;
        if (basic && text[j] == '\\' && j + 1 < text.size() && text[j + 1] != '\n')
            ++j;
        else if (text[j] == quote)
            return j;
    }
    return text.size() - 1;
}

// What the TOML library must never see, found outside strings and comments
// before it parses:
//   - a dotted key or a table header of more than MAX_KEY_SEGMENTS parts: it
//     walks them recursively, a frame per part, and a deep enough one
//     overflows the stack before anything can be reported;
//   - a byte that is not ASCII: a bare key holding one ("tamaño = 1") sends
//     its reader down a path it deems unreachable;
//   - a NUL or another control character: in a table header it stops the
//     library on an assertion.
// Strings and comments may hold any of these; the library reports what is
// wrong with them itself. A byte-order mark may open the file.
// Whether the ten characters before `i` are a date, "1979-05-27".
bool follows_date(std::string_view text, size_t i)
{
    if (i < 10)
        return false;
    for (size_t k = 0; k < 10; ++k) {
        const char c = text[i - 10 + k];
        if (k == 4 || k == 7 ? c != '-' : (c < '0' || c > '9'))
            return false;
    }
    return true;
}

// Whether the time's hours and colon follow the date's delimiter at `i`:
// "1979-05-27T:" and "1979-05-27 2]" stop the library on an assertion.
bool time_follows(std::string_view text, size_t i)
{
    const auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
    return digit(i + 1) && digit(i + 2) && i + 3 < text.size() && text[i + 3] == ':';
}

bool bare_key_character(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::optional<std::string> refused_outside_strings(std::string_view text)
{
    size_t line = 1, segments = 1;
    // The arrays ('[') and inline tables ('{') of a value the scan is in,
    // innermost last; whether a value (not a key) is being read; whether only
    // blanks came before on this line: a "[" there, outside any value, opens
    // a table header.
    std::vector<char> open;
    bool in_value = false;
    bool line_start = true;
    // Whether a key or a value may begin here. Only there does a quote open
    // a string: inside a broken value the library does not read one, so
    // what follows such a quote is checked like the rest.
    bool expect = true;
    // Whether a plain value (a number, a date, a word) is being read: a
    // bracket or a quote after it starts nothing for the library.
    bool scalar = false;
    size_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        const bool opens_header = c == '[' && open.empty() && line_start;
        if (c != ' ' && c != '\t')
            line_start = false;
        switch (c) {
        case '\n':
            ++line;
            segments = 1;
            line_start = true;
            scalar = false;
            if (open.empty()) {
                in_value = false;
                expect = true;
            }
            break;
        case '[':
            segments = 1;
            if (scalar) {
                expect = false;
                break;
            }
            expect = true;
            if (!opens_header) {
                open.push_back('[');
                in_value = true;
                break;
            }
            in_value = false;
            // The library takes for granted that a header's name begins
            // with a key (bare or quoted): "[=]" or "[.a]" stop it on an
            // assertion.
            if (i + 1 < text.size() && text[i + 1] == '[')
                ++i;
            {
                size_t k = i + 1;
                while (k < text.size() && (text[k] == ' ' || text[k] == '\t'))
                    ++k;
                // Other control characters and bytes past ASCII are named as
                // such when the scan reaches them.
                const int next = k < text.size() ? static_cast<unsigned char>(text[k]) : -1;
                const bool named_later = next >= 0 && next != '\n' && next != '\r' && (next < 0x20 || next >= 0x7F);
                if (!named_later && !(next >= 0 && bare_key_character(char(next))) && next != '"' && next != '\'' && next != ']')
                    return fmt::format("un encabezado de tabla que no empieza por un nombre en la línea {}", line);
            }
            break;
        case '{':
            if (scalar) {
                expect = false;
                break;
            }
            open.push_back('{');
            in_value = false;
            expect = true;
            segments = 1;
            break;
        case ']': case '}':
            // "[}" in a value stops the library on an assertion.
            if (!open.empty() && open.back() != (c == ']' ? '[' : '{'))
                return fmt::format("un «{}» que no cierra ningún «{}» en la línea {}", c, c == ']' ? '[' : '{', line);
            if (!open.empty()) {
                open.pop_back();
                in_value = true;
            }
            expect = false;
            scalar = false;
            segments = 1;
            break;
        case '=':
            if (in_value)
                return fmt::format("un «=» de más en la línea {}", line);
            expect = true;
            in_value = true;
            segments = 1;
            break;
        case ',':
            scalar = false;
            expect = !open.empty();
            in_value = !open.empty() && open.back() == '[';
            segments = 1;
            break;
        case '#':
            while (i + 1 < text.size() && text[i + 1] != '\n')
                ++i;
            break;
        case '"': case '\'':
            // A quote inside a plain value: the library's look-ahead over it
            // has stopped it on an assertion ("1979-05-0\" 1,").
            if (in_value && !expect)
                return fmt::format("un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea {}", line);
            if (expect) {
                i = end_of_string(text, i, line, in_value);
                if (i == std::string_view::npos)
                    return fmt::format("una barra invertida seguida de un carácter que no es ASCII en la línea {}", line);
            }
            expect = false;
            break;
        case '.':
            expect = !in_value;
            if (++segments > MAX_KEY_SEGMENTS)
                return fmt::format("una clave o un encabezado de más de {} partes en la línea {}", MAX_KEY_SEGMENTS, line);
            break;
        case '\r':
            // Only as the first half of a line break.
            if (i + 1 == text.size() || text[i + 1] != '\n')
                return fmt::format("un carácter de control (U+000D) en la línea {}", line);
            break;
        case ' ': case '\t':
            // A plain value holds a blank only between a date and its time;
            // the library's look-ahead across one to anything else has
            // stopped it on an assertion ("1979-02-02 2]", "1979-05-0x 1,").
            if (in_value && scalar) {
                size_t k = i + 1;
                while (k < text.size() && (text[k] == ' ' || text[k] == '\t'))
                    ++k;
                const bool ends = k == text.size() || std::string_view("#,]}\r\n").find(text[k]) != std::string_view::npos;
                if (!ends && follows_date(text, i) && !(c == ' ' && time_follows(text, i)))
                    return fmt::format("una fecha con una hora incompleta en la línea {}", line);
                if (!ends && !follows_date(text, i))
                    return fmt::format("un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea {}", line);
            }
            break;
        case '\0':
            return fmt::format("un carácter nulo en la línea {}", line);
        default:
            expect = false;
            scalar = in_value;
            // Numbers, dates, times and booleans are made of these (the dot
            // and blanks are read above); the library's look-ahead over
            // anything else has stopped it on an assertion ("e=8/7--->-e= 8#").
            if (in_value && static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F
                && !bare_key_character(c) && c != '+' && c != ':')
                return fmt::format("un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea {}", line);
            if (in_value && (c == 'T' || c == 't') && follows_date(text, i) && !time_follows(text, i))
                return fmt::format("una fecha con una hora incompleta en la línea {}", line);
            if (const auto byte = static_cast<unsigned char>(c); byte < 0x20 || byte == 0x7F)
                return fmt::format("un carácter de control (U+{:04X}) en la línea {}", byte, line);
            else if (byte >= 0x80)
                return fmt::format("un carácter que no es ASCII fuera de comillas en la línea {} "
                                   "(una clave con letras acentuadas o ñ se escribe entre comillas)", line);
            break;
        }
    }
    return std::nullopt;
}

// What the library was reading when it stopped, in our words: its own
// reason is English and may quote a line break, which would split the line
// of the log it goes to. Its scopes ("Error while parsing <scope>: ...").
constexpr std::pair<std::string_view, std::string_view> SCOPES[] = {
    { "table header", "un encabezado de tabla" },
    { "key-value pair", "una clave con su valor" },
    { "key", "una clave" },
    { "value", "un valor" },
    { "inline table", "una tabla en línea" },
    { "array", "una lista" },
    { "literal string", "un texto" },
    { "string", "un texto" },
    { "unicode scalar sequence", "un carácter escrito con \\u" },
    { "boolean", "un booleano" },
    { "date-time offset", "una fecha con hora" },
    { "date-time", "una fecha con hora" },
    { "date", "una fecha" },
    { "time", "una hora" },
    { "hexadecimal floating-point", "un número con decimales" },
    { "floating-point", "un número con decimales" },
    { "binary integer", "un entero" },
    { "octal integer", "un entero" },
    { "decimal integer", "un entero" },
    { "hexadecimal integer", "un entero" },
    { "comment", "un comentario" },
};

// The character at a 1-based line and column (in characters) of `text`,
// named for a reader: «x» for a visible ASCII one, the end of the line or of
// the file; empty for anything else.
std::string found_at(std::string_view text, size_t line, size_t column)
{
    size_t i = 0;
    for (size_t l = 1; l < line; ++l) {
        i = text.find('\n', i);
        if (i == std::string_view::npos)
            return {};
        ++i;
    }
    for (size_t c = 1; c < column && i < text.size() && text[i] != '\n'; ++c) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    }
    if (i >= text.size())
        return "el final del archivo";
    if (text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
        return "el final de la línea";
    if (text[i] > 0x20 && text[i] < 0x7F)
        return fmt::format("«{}»", text[i]);
    return {};
}

std::string syntax_error(std::string_view text, const toml::parse_error& err)
{
    const auto& pos = err.source().begin;
    std::string message = fmt::format("TOML no válido en la línea {}, columna {}", pos.line, pos.column);
    const std::string_view description = err.description();
    constexpr std::string_view LEAD = "Error while parsing ";
    if (description.starts_with(LEAD)) {
        const std::string_view scope = description.substr(LEAD.size(), description.find(':') - LEAD.size());
        for (const auto& [english, ours] : SCOPES)
            if (scope == english) {
                message += fmt::format(", en {}", ours);
                break;
            }
    }
    const auto has = [&](std::string_view part) { return description.find(part) != std::string_view::npos; };
    if (has("redefine"))
        message += ": esa clave o tabla ya estaba definida";
    else if (has("end-of-file"))
        message += ": el archivo termina antes de cerrarlo";
    else if (has("control character"))
        message += ": hay un carácter de control";
    else if (has("saw '")) {
        const std::string found = found_at(text, pos.line, pos.column);
        if (!found.empty())
            message += fmt::format(": no esperaba {}", found);
    }
    return message;
}

} // namespace

std::expected<Config, std::string> parse(std::string_view text)
{
    if (text.size() > MAX_FILE_BYTES)
        return std::unexpected(fmt::format("el archivo ocupa más de {} bytes", MAX_FILE_BYTES));
    if (auto refused = refused_outside_strings(text))
        return std::unexpected(*refused);
    Config config;
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error& err) {
        return std::unexpected(syntax_error(text, err));
    }
    Reader reader;
    reader.read(root, config, std::span<const Field<Config>>(CONFIG_FIELDS));
    reader.read_table(root, "after_capture", "una tabla [after_capture]", config.after_capture,
        std::span<const Field<AfterCapture>>(AFTER_CAPTURE_FIELDS));
    reader.read_table(root, "shortcuts", "una tabla [shortcuts]", config.shortcuts, std::span<const Field<Shortcuts>>(SHORTCUT_FIELDS));
    reader.read_table(root, "recording", "una tabla [recording]", config.recording, std::span<const Field<Recording>>(RECORDING_FIELDS));
    if (!reader.error.empty())
        return std::unexpected(reader.error);
    return config;
}

// The names in [shortcuts] are the stored ones, kept so every file written
// so far still reads the same; what each means on this keyboard is said once,
// at the head of the file.
constexpr std::string_view HEADER =
    "# Ajustes de Vistrope. Los cambios se aplican al volver a la ventana de Preferencias.\n"
    "#\n"
    "# En los atajos ([shortcuts]), los nombres de las teclas modificadoras son:\n"
    "#   cmd   = Ctrl\n"
    "#   opt   = Alt\n"
    "#   ctrl  = Super (la tecla del logotipo)\n"
    "#   shift = Mayús\n"
    "# Por ejemplo, \"opt+shift+cmd+4\" es Ctrl+Alt+Mayús+4.\n"
    "\n";

std::string serialize(const Config& config)
{
    std::ostringstream out;
    out << HEADER;
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
    return xdg::config_dir() / "config.toml";
}

Config Config::load()
{
    return load_from(path());
}

std::expected<Saved, std::string> Config::save() const
{
    return save_to(*this, path());
}

fs::path invalid_copy_path(const fs::path& path)
{
    fs::path kept = path;
    kept += ".invalido";
    return kept;
}

Config load_from(const fs::path& path)
{
    if (!exists_any(path)) {
        Config defaults;
        if (auto saved = save_to(defaults, path); !saved)
            util::log(fmt::format("no pude guardar config.toml: {}", saved.error()));
        return defaults;
    }
    auto text = files::read_regular(path, MAX_FILE_BYTES);
    if (!text) {
        if (text.error().kind == files::ReadError::Kind::TooLarge)
            util::log(fmt::format("config.toml inválido, uso valores por defecto: el archivo {}", text.error().message));
        else
            util::log(fmt::format("no pude leer config.toml ({}), uso valores por defecto", text.error().message));
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

namespace {

// A settings file we are about to write over that holds something we could
// not read is the user's work (hand edits before one typo): it is kept
// beside, whole, before anything replaces it. None kept when the file is
// missing or parses.
std::expected<std::optional<fs::path>, std::string> keep_if_invalid(const fs::path& path)
{
    if (!exists_any(path))
        return std::nullopt;
    const fs::path kept = invalid_copy_path(path);
    const auto text = files::read_regular(path, MAX_FILE_BYTES);
    if (text) {
        if (parse(*text))
            return std::nullopt;
        if (auto copied = files::update(kept, *text); !copied)
            return std::unexpected(fmt::format("no pude guardar una copia de {} inválido: {}", path.filename().string(), copied.error()));
    } else if (text.error().kind == files::ReadError::Kind::Missing || text.error().kind == files::ReadError::Kind::NotRegular) {
        // A folder or a device in its place is no text of the user's: the
        // write refuses it below.
        return std::nullopt;
    } else {
        // Too large or unreadable: moved aside as it is, since it cannot be copied.
        std::error_code ec;
        fs::rename(files::resolve_links(path), kept, ec);
        if (ec)
            return std::unexpected(fmt::format("no pude apartar {} inválido: {}", path.filename().string(), util::error_text(ec.value())));
    }
    util::log(fmt::format("{} no era válido: lo guardé como {}", path.filename().string(), kept.filename().string()));
    return kept;
}

} // namespace

std::expected<Saved, std::string> save_to(const Config& config, const fs::path& path)
{
    const std::string text = serialize(config);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return std::unexpected(fmt::format("{}: no pude crear su carpeta ({})", path.string(), util::error_text(ec.value())));
    auto kept = keep_if_invalid(path);
    if (!kept)
        return std::unexpected(kept.error());
    if (auto written = files::replace(path, text); !written)
        return std::unexpected(written.error());
    return Saved { *kept };
}

fs::path expand_save_dir(std::string_view save_dir, const fs::path& home)
{
    // An empty folder would be the working directory, wherever that is.
    if (save_dir.empty())
        return expand_save_dir(Config {}.save_dir, home);
    // The default folder, stored in its portable form, is wherever the
    // user's desktop is ("~/Escritorio" on a Spanish system).
    if (save_dir == "~/Desktop" || save_dir == "~/Desktop/")
        return xdg::desktop_dir(home);
    if (save_dir == "~")
        return home;
    if (save_dir.starts_with("~/"))
        return home / fs::path(save_dir.substr(2));
    // A relative folder is taken from the home folder, as "~/" would be: the
    // launcher's working folder (a desktop file's, a terminal's) is no place
    // the user chose. An absolute one replaces the home folder in the join.
    return home / fs::path(save_dir);
}

fs::path save_dir(const Config& config)
{
    return expand_save_dir(config.save_dir, util::home_dir());
}

} // namespace config
