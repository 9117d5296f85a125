// libFuzzer target: the fragment scanner and the recovery of a temporary a
// killed run left, over any bytes. Built and run by scripts/fuzz.
//
// Each input is scanned in memory and, written as a temporary in a folder of
// this process's own, claimed and recovered with stand-ins for the media
// work: the remux copies the file (or fails, by the input's length) and a
// file "plays" when the scanner finds fragments in it. Besides the
// sanitizers, the target stops on any broken promise of the two modules:
//   - the whole part is never longer than the file, and scanning just that
//     part finds the same thing;
//   - the temporary is never changed: what is not published is set aside
//     byte for byte, or kept as it was;
//   - what is published is exactly the whole part (or its remux), and nothing
//     else is left in the capture folder.
#include "record/fragments.h"
#include "record/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

// The harness links the modules under test and the file reader they use, not
// the program's log: recovery's log lines go nowhere here.
namespace util {
void log(std::string_view) { }
std::string error_text(int code)
{
    return std::strerror(code);
}
std::string escape_controls(std::string_view text)
{
    return std::string(text);
}
} // namespace util

namespace {

fs::path WORK;
const std::string STEM = "Vistrope 2026-01-05 a las 09.03.07";

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "recovery_fuzz: %s\n", what);
        std::abort();
    }
}

recorder::FragmentScan scan_bytes(const std::uint8_t* data, std::size_t size)
{
    return recorder::scan_fragments(size, [data, size](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at > size || out.size() > size - at)
            return false;
        std::memcpy(out.data(), data + at, out.size());
        return true;
    });
}

std::string read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

void write(const fs::path& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool same(const recorder::FragmentScan& a, const recorder::FragmentScan& b)
{
    return a.whole == b.whole && a.fragments == b.fragments && a.header == b.header && a.regular == b.regular;
}

recorder::RecoveryTools tools(bool remux_works)
{
    recorder::RecoveryTools t;
    t.state_dir = WORK / "estado";
    t.create = [](const fs::path& name) -> std::expected<recorder::HeldFile, std::string> {
        static unsigned n = 0;
        const fs::path made = name.parent_path() / ("." + name.filename().string() + "." + std::to_string(++n));
        const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return std::unexpected(std::string("no pude crear"));
        ::close(fd);
        return recorder::hold_file(made);
    };
    t.remux = [remux_works](const fs::path& source, const fs::path& destination) -> std::expected<void, std::string> {
        if (!remux_works)
            return std::unexpected(std::string("no se puede convertir"));
        write(destination, read(source));
        return {};
    };
    t.plays = [](const fs::path& file) -> std::expected<void, std::string> {
        const std::string bytes = read(file);
        const auto scan = scan_bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (!scan.playable())
            return std::unexpected(std::string("no se reproduce"));
        return {};
    };
    t.publish = [](const fs::path& dir, const std::string& stem, const fs::path& file) -> std::expected<fs::path, std::string> {
        const fs::path to = dir / (stem + ".mp4");
        check(!fs::exists(to), "publicar reemplazaría un archivo");
        fs::rename(file, to);
        return to;
    };
    return t;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory where there is a tmpfs: recovery syncs what it copies.
    std::error_code ec;
    std::string pattern = fs::is_directory("/dev/shm", ec) ? "/dev/shm/vistrope-fuzz-XXXXXX" : "/tmp/vistrope-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr, "sin carpeta de trabajo");
    WORK = pattern;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(WORK, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto scan = scan_bytes(data, size);
    check(scan.whole <= size, "la parte entera pasa del final");
    check(same(scan_bytes(data, static_cast<std::size_t>(scan.whole)), scan), "la parte entera no se lee igual sola");

    const fs::path folder = WORK / "capturas";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::remove_all(WORK / "estado", ec);
    fs::create_directories(folder);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const fs::path temporary = folder / ("." + STEM + ".mp4.abc123");
    write(temporary, bytes);

    auto claimed = recorder::claim_abandoned(temporary);
    check(claimed.has_value(), "un archivo propio y libre no se pudo tomar");
    const bool remux_works = size % 2 == 0;
    const recorder::Recovered r = recorder::recover_claimed(*claimed, STEM, tools(remux_works));
    switch (r.kind) {
    case recorder::Recovered::Kind::Published: {
        check(scan.playable(), "se publicó lo que no tiene fragmentos");
        check(!fs::exists(temporary), "el temporal quedó tras publicarse");
        check(read(r.path) == bytes.substr(0, static_cast<std::size_t>(scan.whole)), "lo publicado no es la parte entera");
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder))
            ++entries;
        check(entries == 1, "quedaron archivos a medias en la carpeta");
        break;
    }
    case recorder::Recovered::Kind::SetAside:
        check(!fs::exists(temporary), "el temporal apartado sigue en su sitio");
        check(read(r.path) == bytes, "lo apartado no es el temporal tal cual");
        break;
    case recorder::Recovered::Kind::Kept:
        check(read(temporary) == bytes, "el temporal cambió");
        break;
    }
    return 0;
}
