// libFuzzer target: the settings file's reader, over any bytes. Built and run
// by scripts/fuzz, with the TOML library compiled into the target so that its
// own assertions and "unreachable" points are checked along with ours.
//
// Besides the sanitizers, the target stops on any broken promise of the
// reader and the writer:
//   - whatever the bytes, parse returns a record or a reason;
//   - a record that parses is written by serialize as a document that parses
//     back to the same record, and writing that again gives the same text.
#include "base/config.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "config_fuzz: %s\n", what);
        std::abort();
    }
}

// Doubles compare as their bits: a NaN read back is the same NaN.
bool same(const config::Config& a, const config::Config& b)
{
    config::Config x = a, y = b;
    if (std::isnan(x.quick_access_seconds) && std::isnan(y.quick_access_seconds))
        x.quick_access_seconds = y.quick_access_seconds = 0;
    return x == y;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = config::parse(text);
    if (!parsed) {
        check(!parsed.error().empty(), "a refusal without a reason");
        return 0;
    }
    const std::string written = config::serialize(*parsed);
    const auto again = config::parse(written);
    check(again.has_value(), "what serialize writes does not parse");
    check(same(*again, *parsed), "what serialize writes reads back as another record");
    check(config::serialize(*again) == written, "writing a record twice gives two texts");
    return 0;
}
