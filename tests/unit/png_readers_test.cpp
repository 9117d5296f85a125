// Every reader of PNG files given a hostile one: a tiny file whose text
// chunk claims 2 GiB. The decoder would allocate the claimed length before
// finding the file short; each reader must refuse it first, and its
// process must not grow by anything like that.
#include "base/png_chunks.h"
#include "base/state.h"
#include "capture/ocr.h"
#include "editor/selfcheck.h"
#include "platform/fake/text_recognizer_fake.h"

#include "test_util.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}

void chunk(Bytes& out, std::string_view type, std::string_view data, std::uint32_t claimed)
{
    put32(out, claimed);
    const std::size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    put32(out, std::uint32_t(crc32(0, out.data() + start, unsigned(out.size() - start))));
}

// A valid 1×1 picture but for its text chunk, which claims 2 GiB: 93 bytes.
Bytes hostile_png()
{
    Bytes png(std::begin(png_chunks::SIGNATURE), std::end(png_chunks::SIGNATURE));
    chunk(png, "IHDR", std::string("\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 13), 13);
    chunk(png, "tEXt", std::string("Comment\0hol", 11), 0x7fff'ffff);
    const std::uint8_t row[5] = { 0, 255, 0, 0, 255 };
    std::vector<std::uint8_t> packed(64);
    uLongf packed_size = packed.size();
    compress(packed.data(), &packed_size, row, sizeof row);
    chunk(png, "IDAT", std::string(reinterpret_cast<const char*>(packed.data()), packed_size), std::uint32_t(packed_size));
    chunk(png, "IEND", "", 0);
    return png;
}

long status_kb(std::string_view field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field))
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// How far the process's resident memory peaks above where it stands while
// `work` runs, in MB. The kernel's high-water mark is reset first.
long peak_growth_mb(const std::function<void()>& work)
{
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = status_kb("VmRSS");
    work();
    return (status_kb("VmHWM") - before) / 1024;
}

constexpr long PEAK_LIMIT_MB = 100;

} // namespace

TEST(PngReaders, AChunkClaimingGigabytesIsRefusedUnder100MBByEveryReader)
{
    ASSERT_GE(status_kb("VmHWM"), 0) << "the kernel reports no peak memory";
    testing_support::TempDir dir;
    const Bytes png = hostile_png();
    ASSERT_EQ(png.size(), 93u);
    const fs::path file = dir.path() / "hostil.png";
    testing_support::write_file(file, std::string(png.begin(), png.end()));

    // vistrope --ocr
    auto fake = std::make_unique<platform::TextRecognizerFake>();
    const platform::TextRecognizerFake* recognizer = fake.get();
    ocr::set_recognizer(std::move(fake));
    int status = 0;
    std::string said;
    EXPECT_LT(peak_growth_mb([&] {
        ::testing::internal::CaptureStderr();
        status = ocr::cli(file.string());
        said = ::testing::internal::GetCapturedStderr();
    }), PEAK_LIMIT_MB);
    EXPECT_EQ(recognizer->calls(), 0);
    ocr::set_recognizer(nullptr);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(said, "no pude leer " + file.string() + " como PNG: el bloque tEXt dice ocupar 2147483647 bytes y al archivo le quedan 48\n");

    // vistrope --editor-render
    std::expected<void, std::string> rendered;
    EXPECT_LT(peak_growth_mb([&] { rendered = editor::debug_render(file.string(), (dir.path() / "salida.png").string()); }),
        PEAK_LIMIT_MB);
    ASSERT_FALSE(rendered);
    EXPECT_NE(rendered.error().find("tEXt"), std::string::npos) << rendered.error();
    EXPECT_FALSE(fs::exists(dir.path() / "salida.png"));

    // The last capture's kept PNG, read back.
    state::PngPicture kept;
    kept.bytes = std::make_shared<const Bytes>(png);
    QImage image;
    EXPECT_LT(peak_growth_mb([&] { image = kept.read(); }), PEAK_LIMIT_MB);
    EXPECT_TRUE(image.isNull());
}
