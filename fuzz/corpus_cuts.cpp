// Makes the fuzz target's seeds from real temporaries: each file given, cut
// at every top-level box boundary and in the middle of every box, as a kill
// leaves a recording. Usage: corpus_cuts OUTPUT_DIR FILE...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

std::uint64_t big_endian(const std::string& s, std::size_t at, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("uso: corpus_cuts CARPETA ARCHIVO...\n", stderr);
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    std::size_t written = 0;
    for (int a = 2; a < argc; ++a) {
        std::ifstream in(argv[a], std::ios::binary);
        const std::string file { std::istreambuf_iterator<char>(in), {} };
        std::set<std::size_t> cuts { file.size() };
        for (std::size_t at = 0; file.size() - at >= 8;) {
            std::uint64_t size = big_endian(file, at, 4);
            if (size == 1 && file.size() - at >= 16)
                size = big_endian(file, at + 8, 8);
            if (size < 8 || size > file.size() - at)
                break;
            cuts.insert(at);
            cuts.insert(at + size / 2);
            at += size;
            cuts.insert(at);
        }
        const std::string stem = fs::path(argv[a]).stem().string();
        for (const std::size_t cut : cuts) {
            std::ofstream(out / (stem + "-" + std::to_string(cut)), std::ios::binary).write(file.data(), static_cast<std::streamsize>(cut));
            ++written;
        }
    }
    std::printf("%zu semillas en %s\n", written, out.c_str());
    return 0;
}
