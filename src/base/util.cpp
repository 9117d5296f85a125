#include "base/util.h"

#include "base/xdg.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace util {

namespace {

constexpr std::uintmax_t LOG_LIMIT = 2'000'000;

FatalHook g_fatal_hook = nullptr;

struct LogFile {
    std::once_flag opened;
    std::FILE* file = nullptr;
    std::mutex mutex;
};

LogFile& log_file()
{
    static LogFile instance;
    return instance;
}

} // namespace

std::filesystem::path home_dir()
{
    const char* home = std::getenv("HOME");
    return home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

std::filesystem::path log_path()
{
    return xdg::state_dir() / "vistrope.log";
}

std::FILE* open_log_file(const std::filesystem::path& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec && !fs::is_directory(path.parent_path(), ec))
        return nullptr;
    const auto size = fs::file_size(path, ec);
    if (!ec && size > LOG_LIMIT)
        fs::remove(path, ec);
    // Close-on-exec: the children we start (xdg-open, the file manager,
    // curl) must not inherit the log.
    return std::fopen(path.c_str(), "ae");
}

std::string format_log_line(double unix_seconds, std::string_view message)
{
    // fmt formats floating point independently of the C locale: always '.'.
    return fmt::format("{:.3f} {}", unix_seconds, message);
}

void log(std::string_view message)
{
    // Standard error is written outside the lock, as one call per line.
    const std::string err = fmt::format("[vistrope] {}\n", message);
    std::fwrite(err.data(), 1, err.size(), stderr);

    LogFile& lf = log_file();
    std::call_once(lf.opened, [&lf] { lf.file = open_log_file(log_path()); });
    if (!lf.file)
        return;

    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    const double seconds = since_epoch.count() < 0 ? 0.0 : duration<double>(since_epoch).count();
    const std::string line = format_log_line(seconds, message) + "\n";

    std::lock_guard lock(lf.mutex);
    std::fwrite(line.data(), 1, line.size(), lf.file);
    std::fflush(lf.file);
}

void set_fatal_hook(FatalHook hook)
{
    g_fatal_hook = hook;
}

void fatal(std::string_view message)
{
    if (g_fatal_hook)
        g_fatal_hook(message);
    const std::string err = fmt::format("[vistrope] {}\n", message);
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::abort();
}

std::string_view trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

size_t utf8_sequence(std::string_view s)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (s.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

std::string escape_controls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        size_t length = utf8_sequence(text);
        // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
        const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0;
        if (length == 0 || c1 || c < 0x20 || c == 0x7F || c == '\\') {
            length = length == 0 ? 1 : length;
            for (size_t i = 0; i < length; ++i)
                out += fmt::format("\\x{:02X}", static_cast<unsigned char>(text[i]));
        } else
            out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return out;
}

std::string lower_ascii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::uint64_t whole_seconds(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0)
        return 0;
    // Beyond what a length can be (about 584 billion years) it stays put.
    if (seconds >= 1.8e19)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(std::round(seconds));
}

std::string error_text(int code)
{
    switch (code) {
    case ENOENT:
        return "no existe";
    case EACCES:
    case EPERM:
        return "permiso denegado";
    case ENOTDIR:
        return "una parte de la ruta no es una carpeta";
    case EISDIR:
        return "es una carpeta";
    case ENOSPC:
        return "no queda espacio en el disco";
    case EDQUOT:
        return "se agotó la cuota de disco";
    case EROFS:
        return "el disco es de solo lectura";
    case ENAMETOOLONG:
        return "el nombre es demasiado largo";
    case ELOOP:
        return "los enlaces simbólicos forman un ciclo";
    case EEXIST:
        return "ya existe";
    case EIO:
        return "error de entrada o salida";
    case EMFILE:
    case ENFILE:
        return "demasiados archivos abiertos";
    case EBUSY:
    case ETXTBSY:
        return "está en uso";
    case EXDEV:
        return "está en otro disco";
    case ENOMEM:
        return "no queda memoria";
    case EFBIG:
        return "el archivo es demasiado grande";
    case ENOTEMPTY:
        return "la carpeta no está vacía";
    default:
        return std::strerror(code);
    }
}

unsigned parallelism()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 4 : n;
}

bool is_main_thread()
{
    return gettid() == getpid();
}

void require_main_thread(std::string_view message)
{
    if (!is_main_thread())
        fatal(message);
}

Stopwatch::Stopwatch(std::string_view label)
    : Stopwatch(label, std::chrono::steady_clock::now())
{
}

Stopwatch::Stopwatch(std::string_view label, std::chrono::steady_clock::time_point start)
    : m_label(label)
    , m_start(start)
{
}

double Stopwatch::elapsed_ms() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
}

std::string Stopwatch::lap_text(std::string_view step, double elapsed_ms) const
{
    return fmt::format("{}: {} en {:.1f} ms", m_label, step, elapsed_ms);
}

void Stopwatch::lap(std::string_view step) const
{
    log(lap_text(step, elapsed_ms()));
}

} // namespace util
