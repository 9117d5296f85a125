// The update check's two costs: the installer's SHA-256 in process (OpenSSL)
// against sha256sum run on the same file, and the feed read with its
// duplicate-member check against a plain nlohmann::json::parse of the text.
#include "bench_common.h"
#include "platform/digest.h"
#include "platform/process.h"
#include "settings/updater.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    const size_t mib = quick ? 8 : 256;
    char tmpl[] = "/tmp/vistrope-bench-update-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::filesystem::path file = std::filesystem::path(tmpl) / "Vistrope-9.9.9.deb";
    {
        std::mt19937_64 random(31);
        std::vector<std::uint64_t> block(1 << 17); // 1 MiB
        std::ofstream out(file, std::ios::binary);
        for (size_t i = 0; i < mib; ++i) {
            for (auto& w : block)
                w = random();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
    }

    const int runs = quick ? 1 : 5;
    std::string ours_digest, theirs_digest;
    const auto ours = bench::time_runs(runs, [&] { ours_digest = platform::sha256_file(file).value_or(""); });
    const auto theirs = bench::time_runs(runs, [&] {
        auto r = platform::run_process("sha256sum", { "--", file.string() }, std::chrono::minutes(5));
        theirs_digest = r && r->succeeded() ? r->standard_output.substr(0, 64) : std::string("sha256sum falló");
    });
    const bool same = ours_digest == theirs_digest;
    std::printf("SHA-256 of %zu MiB: in process %.1f ms (%.0f MB/s), sha256sum %.1f ms; ratio ours/sha256sum %.2f (target <= 0.40); same digest: %s\n",
        mib, ours.median_ms, mib * 1.048576 / (ours.median_ms / 1000.0), theirs.median_ms,
        ours.median_ms / theirs.median_ms, same ? "sí" : "NO");

    // A feed with long notes, as a release with a changelog would have.
    std::string notes;
    for (int i = 0; i < (quick ? 20 : 400); ++i)
        notes += fmt::format("- Arreglo {}: la captura de ventana respeta la sombra \\u00e1\\n", i);
    const std::string feed = fmt::format(
        R"({{"version":"0.2.0","url":"./Vistrope-0.2.0.deb","sha256":"{}","notes":"{}","extra":{{"channel":"stable","mirrors":["a","b","c"]}}}})",
        ours_digest, notes);
    const int parses = quick ? 50 : 2000;
    bool parsed = true;
    const auto checked = bench::time_runs(5, [&] {
        for (int i = 0; i < parses; ++i)
            parsed = updater::parse_feed(feed).has_value() && parsed;
    });
    const auto plain = bench::time_runs(5, [&] {
        for (int i = 0; i < parses; ++i)
            parsed = !nlohmann::json::parse(feed).is_null() && parsed;
    });
    std::printf("feed of %zu bytes, %d reads: with duplicate check %.2f ms, plain nlohmann parse %.2f ms; ratio %.2f (target <= 2.0); read ok: %s\n",
        feed.size(), parses, checked.median_ms, plain.median_ms, checked.median_ms / plain.median_ms, parsed ? "sí" : "NO");

    std::filesystem::remove_all(tmpl);
    return same && parsed ? 0 : 1;
}
