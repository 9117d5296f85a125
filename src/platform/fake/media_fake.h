// A scripted media backend for tests: probes, samples at given times whose
// pixels name them, injected reader and conversion failures, recorded calls.
#pragma once

#include "platform/media.h"

#include <mutex>

namespace platform {

class MediaFake final : public Media {
public:
    struct Script {
        std::optional<MediaProbe> probe = MediaProbe { 64, 48, 0, 2.0, false }; // none: no video
        std::vector<double> times;               // sample times in the file, in order
        std::optional<std::size_t> fail_after;   // the reader fails after this many samples
        std::optional<std::size_t> unreadable;   // this sample's pixels cannot be read
        std::size_t picture_width = 0;           // 0: the requested size
        std::size_t picture_height = 0;
        std::size_t stride_padding = 0;          // bytes after each row
        std::optional<QImage> thumbnail;         // none: "sin miniatura"
        ExportOutcome export_outcome { ExportStatus::Completed, std::nullopt };
        // What an export wrote; none: what it was asked for, at 30 frames a second.
        std::optional<Written> written;
    };

    // Samples are filled with this colour word plus their index in the blue
    // byte, and an alpha byte of 0xFF that readers must drop.
    static constexpr std::uint32_t SAMPLE_BASE = 0xFF405000;

    explicit MediaFake(Script script);

    // What the reader was asked for, and how many samples were converted.
    struct Opened {
        double start = 0, length = 0;
        std::uint32_t width = 0, height = 0;
    };
    std::vector<Opened> opened() const;
    std::size_t conversions() const;
    std::vector<std::pair<std::filesystem::path, Mp4Options>> exports() const;
    // Where each export was asked to write, in order.
    std::vector<std::filesystem::path> export_destinations() const;

    std::expected<MediaProbe, std::string> probe(const std::filesystem::path& path) override;
    std::expected<std::unique_ptr<FrameReader>, std::string> open_frames(const std::filesystem::path& path, double start,
        double length, std::uint32_t width, std::uint32_t height) override;
    std::expected<QImage, std::string> thumbnail(const std::filesystem::path& path, double max_side) override;
    ExportOutcome export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination,
        const Mp4Options& options) override;
    std::expected<Written, std::string> measure(const std::filesystem::path& path) override;
    std::expected<std::vector<std::uint8_t>, std::string> write_gif(std::span<const GifFrameView> frames, std::uint32_t width,
        std::uint32_t height) override;

private:
    friend class FrameReaderFake;
    Script m_script;
    mutable std::mutex m_mutex;
    std::vector<Opened> m_opened;
    std::size_t m_conversions = 0;
    std::vector<std::pair<std::filesystem::path, Mp4Options>> m_exports;
    std::vector<std::filesystem::path> m_export_destinations;
};

} // namespace platform
