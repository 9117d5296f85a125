// Decoding helpers for the GIF encoder's tests: giflib (the reference
// decoder), the ffmpeg tool, and the two file checkers (gifsicle, identify).
#pragma once

#include "codec/gif.h"
#include "test_util.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace gif_test {

struct DecodedImage {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<uint8_t> indices;
    int delay = 0;
    int transparent = -1;
    bool local_table = false;
};

struct Decoded {
    bool ok = false;
    std::string error;
    int width = 0, height = 0;
    std::vector<DecodedImage> images;
    // The picture on screen after each image (0x00RRGGBB), starting black.
    std::vector<std::vector<uint32_t>> screens;
};

inline Decoded decode_with_giflib(const std::vector<uint8_t>& bytes)
{
    struct Reader {
        const std::vector<uint8_t>* bytes;
        size_t at;
    } reader { &bytes, 0 };
    auto read = [](GifFileType* gif, GifByteType* out, int n) -> int {
        auto* r = static_cast<Reader*>(gif->UserData);
        const size_t take = std::min<size_t>(static_cast<size_t>(n), r->bytes->size() - r->at);
        std::memcpy(out, r->bytes->data() + r->at, take);
        r->at += take;
        return static_cast<int>(take);
    };
    Decoded d;
    int err = 0;
    GifFileType* gif = DGifOpen(&reader, read, &err);
    if (!gif) {
        d.error = GifErrorString(err);
        return d;
    }
    if (DGifSlurp(gif) != GIF_OK) {
        d.error = GifErrorString(gif->Error);
        DGifCloseFile(gif, &err);
        return d;
    }
    d.width = gif->SWidth;
    d.height = gif->SHeight;
    std::vector<uint32_t> screen(static_cast<size_t>(d.width) * d.height, 0);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& s = gif->SavedImages[i];
        DecodedImage im;
        im.left = s.ImageDesc.Left;
        im.top = s.ImageDesc.Top;
        im.width = s.ImageDesc.Width;
        im.height = s.ImageDesc.Height;
        im.local_table = s.ImageDesc.ColorMap != nullptr;
        im.indices.assign(s.RasterBits, s.RasterBits + static_cast<size_t>(im.width) * im.height);
        GraphicsControlBlock gcb;
        if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
            im.delay = gcb.DelayTime;
            im.transparent = gcb.TransparentColor;
        }
        const ColorMapObject* map = s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap : gif->SColorMap;
        for (int y = 0; y < im.height; ++y)
            for (int x = 0; x < im.width; ++x) {
                const int idx = im.indices[static_cast<size_t>(y) * im.width + x];
                if (idx == im.transparent || !map || idx >= map->ColorCount)
                    continue;
                const GifColorType c = map->Colors[idx];
                const size_t at = static_cast<size_t>(im.top + y) * d.width + im.left + x;
                if (at < screen.size())
                    screen[at] = static_cast<uint32_t>(c.Red) << 16 | static_cast<uint32_t>(c.Green) << 8 | c.Blue;
            }
        d.screens.push_back(screen);
        d.images.push_back(std::move(im));
    }
    DGifCloseFile(gif, &err);
    d.ok = true;
    return d;
}

// Runs a shell command; returns its exit status and what it wrote to stderr.
inline std::pair<int, std::string> run_command(const std::string& command)
{
    testing_support::TempDir dir;
    const auto err = dir.path() / "stderr";
    const int status = std::system((command + " 2>'" + err.string() + "'").c_str());
    std::string text;
    if (std::filesystem::exists(err))
        text = testing_support::read_file(err);
    return { status, text };
}

// Writes the bytes to a file and has gifsicle and ImageMagick read it: both
// must accept it without a word on stderr.
inline void expect_tools_accept(const std::vector<uint8_t>& bytes, const std::string& what)
{
    testing_support::TempDir dir;
    const auto path = dir.path() / "check.gif";
    testing_support::write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    const auto [gs, gs_err] = run_command("gifsicle --info '" + path.string() + "' >/dev/null");
    EXPECT_EQ(gs, 0) << what << ": gifsicle: " << gs_err;
    EXPECT_EQ(gs_err, "") << what;
    const auto [im, im_err] = run_command("identify '" + path.string() + "' >/dev/null");
    EXPECT_EQ(im, 0) << what << ": identify: " << im_err;
    EXPECT_EQ(im_err, "") << what;
}

// Decodes with the ffmpeg tool, one output picture per GIF image (no frame
// rate conversion), as 0x00RRGGBB words.
inline std::vector<std::vector<uint32_t>> decode_with_ffmpeg(const std::vector<uint8_t>& bytes, int width, int height)
{
    testing_support::TempDir dir;
    const auto in = dir.path() / "in.gif";
    const auto out = dir.path() / "out.rgb";
    testing_support::write_file(in, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    const auto [status, err] = run_command("ffmpeg -nostdin -v error -i '" + in.string() + "' -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -y '" + out.string() + "'");
    EXPECT_EQ(status, 0) << err;
    std::vector<std::vector<uint32_t>> frames;
    if (status != 0 || !std::filesystem::exists(out))
        return frames;
    const std::string raw = testing_support::read_file(out);
    const size_t frame_bytes = static_cast<size_t>(width) * height * 3;
    for (size_t at = 0; at + frame_bytes <= raw.size(); at += frame_bytes) {
        std::vector<uint32_t> f(static_cast<size_t>(width) * height);
        for (size_t i = 0; i < f.size(); ++i) {
            const auto* p = reinterpret_cast<const uint8_t*>(raw.data() + at + i * 3);
            f[i] = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
        }
        frames.push_back(std::move(f));
    }
    return frames;
}

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> list)
{
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<uint8_t>(b));
    return v;
}

} // namespace gif_test
