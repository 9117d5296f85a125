// The loader of the media modules and the program's side of their tables.
#include "platform/media_module.h"

#include "base/util.h"
#include "base/util_queue.h"

#include <fmt/format.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

// Defined when the modules' code is linked in (the tests); else null here,
// and the modules are opened.
extern "C" const platform::MediaModule* vistrope_media_module() __attribute__((weak));
extern "C" const platform::MediaModule* vistrope_player_module() __attribute__((weak));
extern "C" const platform::MediaModule* vistrope_text_module() __attribute__((weak));

namespace platform {

namespace {

struct ModuleFile {
    const char* file;
    const char* entry;
    const MediaModule* (*linked)();  // null unless its code is linked in
};

ModuleFile file_of(Module which)
{
    switch (which) {
    case Module::Player:
        return { "vistrope-player.so", "vistrope_player_module", vistrope_player_module };
    case Module::Text:
        return { "vistrope-text.so", "vistrope_text_module", vistrope_text_module };
    case Module::Media:
        break;
    }
    return { "vistrope-media.so", "vistrope_media_module", vistrope_media_module };
}

// Held by leaked holders: nothing here may run in the static destructors,
// and the modules they name stay loaded for the process's life.
using Loaded = std::expected<const MediaModule*, std::string>;

const Loaded* load_once(Module which)
{
    const ModuleFile file = file_of(which);
    if (file.linked)
        return new Loaded(file.linked());
    auto* result = new Loaded(load_media_module(media_module_path(which), which));
    if (result->has_value())
        util::log(fmt::format("módulo de medios cargado ({})", util::escape_controls(media_module_path(which).string())));
    else
        util::log(result->error());
    return result;
}

const Loaded& loaded(Module which)
{
    switch (which) {
    case Module::Player: {
        static const Loaded* player = load_once(Module::Player);
        return *player;
    }
    case Module::Text: {
        static const Loaded* text = load_once(Module::Text);
        return *text;
    }
    case Module::Media:
        break;
    }
    static const Loaded* media = load_once(Module::Media);
    return *media;
}

// What the program gets when the module cannot be loaded: every call fails
// with the loader's text.
class MissingMedia final : public Media {
public:
    explicit MissingMedia(std::string error)
        : m_error(std::move(error))
    {
    }
    std::expected<MediaProbe, std::string> probe(const std::filesystem::path&) override { return std::unexpected(m_error); }
    std::expected<std::unique_ptr<FrameReader>, std::string> open_frames(const std::filesystem::path&, double, double,
        std::uint32_t, std::uint32_t) override
    {
        return std::unexpected(m_error);
    }
    std::expected<QImage, std::string> thumbnail(const std::filesystem::path&, double) override { return std::unexpected(m_error); }
    ExportOutcome export_mp4(const std::filesystem::path&, const std::filesystem::path&, const Mp4Options&) override
    {
        return { ExportStatus::Failed, m_error };
    }
    std::expected<Written, std::string> measure(const std::filesystem::path&) override { return std::unexpected(m_error); }
    std::expected<std::vector<std::uint8_t>, std::string> write_gif(std::span<const GifFrameView>, std::uint32_t,
        std::uint32_t) override
    {
        return std::unexpected(m_error);
    }

private:
    const std::string m_error;
};

class MissingRecognizer final : public TextRecognizer {
public:
    explicit MissingRecognizer(std::string error)
        : m_error(std::move(error))
    {
    }
    std::vector<std::string> supported_languages() override { return {}; }
    std::expected<Recognition, std::string> recognize(const QImage&, const std::vector<std::string>&) override
    {
        return std::unexpected(m_error);
    }
    void prepare(const std::vector<std::string>&) override { }
    void release_idle() override { }

private:
    const std::string m_error;
};

// A view that never loads: what a file that cannot be played leaves.
class MissingPlayerView final : public VideoPlayerView {
public:
    bool has_current_item() const override { return false; }
    double position() const override { return 0; }
    double duration() const override { return 0; }
    bool paused() const override { return true; }
    void play() override { }
    void pause() override { }
    void step_frame(int) override { }
    void seek(double) override { }
    std::optional<double> reverse_end() const override { return std::nullopt; }
    std::optional<double> forward_end() const override { return std::nullopt; }
    void set_end_times(std::optional<double>, std::optional<double>) override { }
    bool can_begin_trimming() const override { return false; }
    void begin_trimming(std::function<void(TrimOutcome)>) override { }
    bool trimming() const override { return false; }
    void end_trimming(TrimOutcome) override { }
};

// Reads exactly out.size() bytes at `offset`.
bool read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Whether [offset, offset + count × each) lies within `size` bytes.
bool fits(std::uint64_t offset, std::uint64_t count, std::uint64_t each, std::uint64_t size)
{
    if (each != 0 && count > size / each)
        return false;
    return offset <= size && count * each <= size - offset;
}

template <typename T>
std::optional<std::vector<T>> read_table(int fd, std::uint64_t offset, std::uint64_t count)
{
    std::vector<T> table(count);
    if (!read_at(fd, offset, std::span(reinterpret_cast<std::uint8_t*>(table.data()), table.size() * sizeof(T))))
        return std::nullopt;
    return table;
}

} // namespace

std::expected<void, std::string> check_module_file(const std::filesystem::path& path)
{
    // Not blocking: a FIFO under the module's name must not hold the loader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::unexpected(util::error_text(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer { fd };
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::unexpected(util::error_text(errno));
    if (!S_ISREG(st.st_mode))
        return std::unexpected(std::string("no es un archivo normal"));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::string cut = "el archivo está cortado";
    ElfW(Ehdr) header {};
    const std::uint64_t head = std::min<std::uint64_t>(size, sizeof header);
    if (!read_at(fd, 0, std::span(reinterpret_cast<std::uint8_t*>(&header), head)))
        return std::unexpected(util::error_text(EIO));
    if (head < SELFMAG || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return std::unexpected(std::string("no es una biblioteca ELF"));
    if (head < sizeof header)
        return std::unexpected(cut);
    const unsigned char own_class = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char own_data = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (header.e_ident[EI_CLASS] != own_class || header.e_ident[EI_DATA] != own_data)
        return std::unexpected(std::string("es de otra arquitectura"));
    // The loader maps every segment from the file: one that runs past its
    // end is read as SIGBUS, not as an error.
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0)
        return std::unexpected(std::string("no tiene segmentos que cargar"));
    if (!fits(header.e_phoff, header.e_phnum, sizeof(ElfW(Phdr)), size))
        return std::unexpected(cut);
    const auto segments = read_table<ElfW(Phdr)>(fd, header.e_phoff, header.e_phnum);
    if (!segments)
        return std::unexpected(cut);
    for (const auto& p : *segments)
        if (p.p_filesz != 0 && !fits(p.p_offset, p.p_filesz, 1, size))
            return std::unexpected(cut);
    // The section headers come last in the file: a copy cut anywhere loses them.
    if (header.e_shoff != 0) {
        if (header.e_shentsize != sizeof(ElfW(Shdr)))
            return std::unexpected(std::string("sus secciones no se pueden leer"));
        std::uint64_t count = header.e_shnum;
        if (count == 0) { // more than 0xff00 sections: the count is in the first one
            ElfW(Shdr) first {};
            if (!fits(header.e_shoff, 1, sizeof first, size)
                || !read_at(fd, header.e_shoff, std::span(reinterpret_cast<std::uint8_t*>(&first), sizeof first)))
                return std::unexpected(cut);
            count = first.sh_size;
        }
        if (!fits(header.e_shoff, count, sizeof(ElfW(Shdr)), size))
            return std::unexpected(cut);
        const auto sections = read_table<ElfW(Shdr)>(fd, header.e_shoff, count);
        if (!sections)
            return std::unexpected(cut);
        for (const auto& sh : *sections)
            if (sh.sh_type != SHT_NOBITS && sh.sh_size != 0 && !fits(sh.sh_offset, sh.sh_size, 1, size))
                return std::unexpected(cut);
    }
    return {};
}

std::filesystem::path media_module_path(Module which)
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::filesystem::path(".") : self.parent_path()) / file_of(which).file;
}

std::expected<const MediaModule*, std::string> load_media_module(const std::filesystem::path& path, Module which)
{
    const auto failed = [&](std::string_view why) {
        return std::unexpected(fmt::format("no pude cargar el módulo de medios ({}): {}", util::escape_controls(path.string()), why));
    };
    // A file the loader would crash on (cut short, not a library) fails as
    // a missing one does. A bare name is the loader's to look for.
    if (path.has_parent_path())
        if (auto checked = check_module_file(path); !checked)
            return failed(checked.error());
    // A missing library fails here, and so does a symbol of the module's own
    // that the program lacks (the module is linked to bind all of its own at
    // once), never a crash in the middle of a recording. The libraries it
    // brings bind theirs lazily, as a program linked with them does: binding
    // all of the two hundred at once made every first use (a `--gif`, a
    // first recording) wait for it. Never closed: its threads, its
    // libraries' state and the objects it made live until the process ends.
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        return failed(error ? error : "dlopen falló");
    }
    // Each module's entry has a name of its own: one module under another's
    // name is refused here.
    auto* entry = reinterpret_cast<const MediaModule* (*)()>(dlsym(handle, file_of(which).entry));
    if (!entry)
        return failed("no es un módulo de Vistrope");
    const MediaModule* table = entry();
    if (!table || table->size != sizeof(MediaModule) || !table->version || std::strcmp(table->version, VISTROPE_VERSION) != 0)
        return failed(fmt::format("es de otra versión ({}; el programa es la {})",
            table && table->version ? table->version : "?", VISTROPE_VERSION));
    return table;
}

std::expected<const MediaModule*, std::string> media_module(Module which)
{
    return loaded(which);
}

void preload_media_module()
{
    // The player's module (libmpv and the libraries it brings, 17 MiB of the
    // resident's memory at rest) waits for the first video opened, which
    // takes some 45 ms longer for it.
    util::in_utility([] {
        for (const Module which : { Module::Media, Module::Text })
            (void)loaded(which);
    });
}

// --- The program's side of the table --------------------------------------------------

std::unique_ptr<Media> create_ffmpeg_media()
{
    const auto& m = loaded(Module::Media);
    if (!m)
        return std::make_unique<MissingMedia>(m.error());
    return (*m)->media();
}

std::expected<std::unique_ptr<CaptureStream>, std::string> create_capture_stream(
    ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener)
{
    const auto& m = loaded(Module::Media);
    if (!m)
        return std::unexpected(m.error());
    return (*m)->capture_stream(std::move(filter), std::move(configuration), std::move(listener));
}

std::vector<VideoCodec> available_video_codecs()
{
    const auto& m = loaded(Module::Media);
    return m ? (*m)->video_codecs() : std::vector<VideoCodec> {};
}

std::unique_ptr<VideoPlayerView> create_mpv_player_view(const std::filesystem::path& path, PlayerOptions options)
{
    const auto& m = loaded(Module::Player);
    if (!m)
        return std::make_unique<MissingPlayerView>();
    return (*m)->player_view(path, options);
}

std::unique_ptr<TextRecognizer> create_tesseract_recognizer(TesseractOptions options)
{
    const auto& m = loaded(Module::Text);
    if (!m)
        return std::make_unique<MissingRecognizer>(m.error());
    return (*m)->recognizer(std::move(options));
}

} // namespace platform
