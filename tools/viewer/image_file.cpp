#include "viewer/image_file.h"

extern "C" {
#include <libavutil/adler32.h>
#include <libavutil/crc.h>
}

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <string>
#include <string_view>

namespace kestrio::viewer {

namespace {

void appendBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendChunk(std::vector<std::uint8_t>& out, std::string_view type, const std::vector<std::uint8_t>& data)
{
    appendBigEndian32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeStart = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    // The chunk CRC covers type and data: the IEEE CRC-32 with inverted start and end.
    const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE_LE);
    const std::uint32_t crc = av_crc(table, 0xFFFFFFFFu, out.data() + typeStart, out.size() - typeStart) ^ 0xFFFFFFFFu;
    appendBigEndian32(out, crc);
}

// A zlib stream of uncompressed deflate blocks: a saved frame needs to be correct, not small,
// and this keeps the viewer off another library.
std::vector<std::uint8_t> storedZlib(const std::vector<std::uint8_t>& raw)
{
    constexpr std::size_t maxBlock = 65535;
    std::vector<std::uint8_t> out{0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t size = std::min(maxBlock, raw.size() - offset);
        const bool last = offset + size == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(size));
        out.push_back(static_cast<std::uint8_t>(size >> 8));
        out.push_back(static_cast<std::uint8_t>(~size));
        out.push_back(static_cast<std::uint8_t>(~size >> 8));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                   raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
        offset += size;
    } while (offset < raw.size());
    appendBigEndian32(out, static_cast<std::uint32_t>(av_adler32_update(1, raw.data(), raw.size())));
    return out;
}

std::string lowerExtension(const std::filesystem::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

}  // namespace

std::vector<std::uint8_t> encodePng(const RgbImage& image)
{
    if (image.empty())
        return {};
    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

    std::vector<std::uint8_t> header;
    appendBigEndian32(header, static_cast<std::uint32_t>(image.width));
    appendBigEndian32(header, static_cast<std::uint32_t>(image.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // depth 8, truecolour, deflate, no filter, no interlace
    appendChunk(out, "IHDR", header);

    std::vector<std::uint8_t> scanlines;
    scanlines.reserve((image.rowBytes() + 1) * static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        scanlines.push_back(0);  // filter type: none
        const std::uint8_t* row = image.pixel(0, y);
        scanlines.insert(scanlines.end(), row, row + image.rowBytes());
    }
    appendChunk(out, "IDAT", storedZlib(scanlines));
    appendChunk(out, "IEND", {});
    return out;
}

std::vector<std::uint8_t> encodePpm(const RgbImage& image)
{
    if (image.empty())
        return {};
    const std::string header = "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    std::vector<std::uint8_t> out(header.begin(), header.end());
    out.insert(out.end(), image.pixels.begin(), image.pixels.end());
    return out;
}

std::vector<std::uint8_t> encodeJpeg(const RgbImage& image, int quality)
{
    if (image.empty())
        return {};
    tjhandle handle = tjInitCompress();
    if (!handle)
        return {};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    std::vector<std::uint8_t> out;
    if (tjCompress2(handle, image.pixels.data(), image.width, static_cast<int>(image.rowBytes()), image.height, TJPF_RGB,
                    &jpeg, &size, TJSAMP_444, quality, TJFLAG_ACCURATEDCT)
        == 0)
        out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

bool saveImage(const RgbImage& image, const std::filesystem::path& path)
{
    const std::string extension = lowerExtension(path);
    std::vector<std::uint8_t> bytes;
    if (extension == ".png")
        bytes = encodePng(image);
    else if (extension == ".ppm")
        bytes = encodePpm(image);
    else if (extension == ".jpg" || extension == ".jpeg")
        bytes = encodeJpeg(image);
    if (bytes.empty())
        return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

}  // namespace kestrio::viewer
