#include "base/util.h"

#include "base/xdg.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace util {

namespace {

FatalHook g_fatal_hook = nullptr;

// The process's writer, opened on the first line and never destroyed: a
// thread may still log while the process ends. What it holds back is
// written at exit.
LogWriter& process_log()
{
    static LogWriter* writer = [] {
        auto* made = new LogWriter(log_path(), stderr);
        std::atexit([] { process_log().finish(); });
        return made;
    }();
    return *writer;
}

std::filesystem::path rotated_path(const std::filesystem::path& path)
{
    return std::filesystem::path(path.native() + ".1");
}

// Close-on-exec: the children we start (xdg-open, the file manager, curl)
// must not inherit the log.
std::FILE* open_appending(const std::filesystem::path& path)
{
    return std::fopen(path.c_str(), "ae");
}

// Makes room for `adding` more bytes in the log at `path`, whose open file
// is `file` (null: opened here). Another process (a command-line task) may
// share the log and rotate it: its lock is taken on the file first, and a
// file no longer at `path` is left for the one that is, so a rotation never
// moves a file someone else already moved aside. A file that would pass
// `limit` is moved to "<path>.1" and a fresh one opened. Returns the file to
// write, locked until unlock_log(), or null.
std::FILE* lock_log_with_room(std::FILE* file, const std::filesystem::path& path, std::uintmax_t limit,
    std::uintmax_t adding)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!file && !(file = open_appending(path)))
            return nullptr;
        while (::flock(::fileno(file), LOCK_EX) != 0 && errno == EINTR) { }
        struct stat held {}, named {};
        if (::fstat(::fileno(file), &held) != 0) {
            std::fclose(file);
            return nullptr;
        }
        if (::stat(path.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
            std::fclose(file); // closing lets the lock go
            file = nullptr;
            continue;
        }
        const auto size = static_cast<std::uintmax_t>(held.st_size);
        if (size == 0 || size + adding <= limit)
            return file;
        std::error_code ec;
        std::filesystem::rename(path, rotated_path(path), ec);
        if (ec)
            return file; // a log past its limit rather than none
        std::fclose(file);
        file = nullptr;
    }
    return file;
}

void unlock_log(std::FILE* file)
{
    ::flock(::fileno(file), LOCK_UN);
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

std::FILE* open_log_file(const std::filesystem::path& path, std::uintmax_t limit)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec && !fs::is_directory(path.parent_path(), ec))
        return nullptr;
    std::FILE* file = lock_log_with_room(nullptr, path, limit, 0);
    if (file)
        unlock_log(file);
    return file;
}

std::string format_log_line(double unix_seconds, std::string_view message)
{
    // fmt formats floating point independently of the C locale: always '.'.
    return fmt::format("{:.3f} {}", unix_seconds, message);
}

LogWriter::LogWriter(std::filesystem::path path, std::FILE* echo, std::uintmax_t limit)
    : m_path(std::move(path))
    , m_echo(echo)
    , m_limit(limit)
{
    m_file = open_log_file(m_path, m_limit);
}

LogWriter::~LogWriter()
{
    finish();
    if (m_file)
        std::fclose(m_file);
}

bool LogWriter::has_file()
{
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

void LogWriter::write(double unix_seconds, std::string_view message)
{
    // Every line, repeats included, as one call outside the lock: whoever
    // reads our standard error sees each as it happens.
    if (m_echo) {
        const std::string err = fmt::format("[vistrope] {}\n", message);
        std::fwrite(err.data(), 1, err.size(), m_echo);
    }
    std::lock_guard lock(m_mutex);
    if (m_any && message == m_last) {
        ++m_repeats;
        m_last_at = unix_seconds;
        if (unix_seconds - m_reported_at >= REPEAT_REPORT_SECONDS)
            report_repeats();
        return;
    }
    report_repeats();
    m_any = true;
    m_last.assign(message);
    m_reported_at = unix_seconds;
    put(unix_seconds, message);
}

void LogWriter::finish()
{
    std::lock_guard lock(m_mutex);
    report_repeats();
}

void LogWriter::report_repeats()
{
    if (m_repeats == 0)
        return;
    const std::string line = fmt::format("{} (repetida {} {} más)", m_last, m_repeats, m_repeats == 1 ? "vez" : "veces");
    m_repeats = 0;
    m_reported_at = m_last_at;
    put(m_last_at, line);
}

void LogWriter::put(double unix_seconds, std::string_view message)
{
    if (!m_file)
        return;
    const std::string line = format_log_line(unix_seconds, message) + "\n";
    // The file moves aside before the line would take it past the limit;
    // the newest lines are always kept, in the file and the one before. The
    // line is written under the lock, so no other process moves the file
    // between the check and the write.
    m_file = lock_log_with_room(m_file, m_path, m_limit, line.size());
    if (!m_file)
        return;
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
    unlock_log(m_file);
}

void log(std::string_view message)
{
    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    const double seconds = since_epoch.count() < 0 ? 0.0 : duration<double>(since_epoch).count();
    process_log().write(seconds, message);
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
