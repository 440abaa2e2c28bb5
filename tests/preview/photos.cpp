#include "photos.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include <exiv2/exiv2.hpp>

namespace photos {

namespace {

void put16le(std::string &s, size_t at, uint32_t v) {
    s[at] = (char)(v & 0xff);
    s[at + 1] = (char)((v >> 8) & 0xff);
}

void put32le(std::string &s, size_t at, uint32_t v) {
    put16le(s, at, v & 0xffff);
    put16le(s, at + 2, v >> 16);
}

void append32be(std::string &s, uint32_t v) {
    s += (char)(v >> 24);
    s += (char)((v >> 16) & 0xff);
    s += (char)((v >> 8) & 0xff);
    s += (char)(v & 0xff);
}

uint32_t crc32(const std::string &data) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; k++) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return crc ^ 0xffffffffu;
}

std::string pngChunk(const std::string &type, const std::string &data) {
    std::string chunk;
    append32be(chunk, (uint32_t)data.size());
    chunk += type + data;
    append32be(chunk, crc32(type + data));
    return chunk;
}

// Offset of the first start-of-scan marker, walking the segments after SOI.
size_t scanOffset(const std::string &jpeg) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if ((unsigned char)jpeg[pos] != 0xff) {
            throw std::runtime_error("not a marker in JPEG");
        }
        unsigned char marker = (unsigned char)jpeg[pos + 1];
        if (marker == 0xda) {
            return pos;
        }
        size_t len = ((unsigned char)jpeg[pos + 2] << 8) | (unsigned char)jpeg[pos + 3];
        pos += 2 + len;
    }
    throw std::runtime_error("no scan in JPEG");
}

// Hands input to a tool as a file and returns the bytes it wrote to another; both files lie in
// scratch, named with the prefix and this process's id, and are removed again. argv makes the
// tool's command line from the two names.
std::string throughTool(
    const std::string &scratch, const std::string &prefix, const std::string &inExtension,
    const std::string &input,
    const std::function<std::vector<std::string>(const std::string &, const std::string &)> &argv) {
    std::string in = scratch + "/" + prefix + "in." + std::to_string(getpid()) + inExtension;
    std::string out = scratch + "/" + prefix + "out." + std::to_string(getpid()) + ".jpg";
    writeBytes(in, input);
    std::vector<std::string> command = argv(in, out);
    int status = runTool(command);
    std::string data = readBytes(out);
    unlink(in.c_str());
    unlink(out.c_str());
    if (status != 0 || data.empty()) {
        throw std::runtime_error(command[0] + " failed");
    }
    return data;
}

}  // namespace

std::string ppm(int w, int h, unsigned seed, bool noise) {
    std::string out = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < 3; c++) {
                if (noise) {
                    state = state * 1103515245u + 12345u;
                    out += (char)(state >> 16);
                } else {
                    out += (char)((x * (c + 1) + y * (3 - c) + seed * 37) & 0xff);
                }
            }
        }
    }
    return out;
}

std::string jpeg(const std::string &scratch, int w, int h, unsigned seed, bool noise) {
    return throughTool(scratch, "", ".ppm", ppm(w, h, seed, noise),
                       [](const std::string &in, const std::string &out) {
                           return std::vector<std::string>{
                               "/usr/bin/cjpeg", "-quality", "75", "-sample", "2x2",
                               "-outfile",       out,        in};
                       });
}

std::string padJpeg(const std::string &jpeg, size_t size) {
    if (size < jpeg.size() + 4) {
        throw std::runtime_error("JPEG already too large to pad");
    }
    size_t need = size - jpeg.size();
    std::string padding;
    while (need > 0) {
        size_t chunk = need > 65537 ? 65537 : need;
        if (need - chunk > 0 && need - chunk < 4) {
            chunk -= 4;
        }
        size_t len = chunk - 2;  // the length field counts itself and the data
        padding += (char)0xff;
        padding += (char)0xfe;
        padding += (char)(len >> 8);
        padding += (char)(len & 0xff);
        padding.append(chunk - 4, 'p');
        need -= chunk;
    }
    std::string out = jpeg;
    out.insert(scanOffset(jpeg), padding);
    return out;
}

std::string claimDimensions(const std::string &jpeg, uint32_t w, uint32_t h) {
    std::string out = jpeg;
    size_t pos = 2;
    while (pos + 9 <= out.size()) {
        unsigned char marker = (unsigned char)out[pos + 1];
        size_t len = ((unsigned char)out[pos + 2] << 8) | (unsigned char)out[pos + 3];
        if (marker == 0xc0 || marker == 0xc2) {
            out[pos + 5] = (char)(h >> 8);
            out[pos + 6] = (char)(h & 0xff);
            out[pos + 7] = (char)(w >> 8);
            out[pos + 8] = (char)(w & 0xff);
            return out;
        }
        pos += 2 + len;
    }
    throw std::runtime_error("no frame header in JPEG");
}

std::string png(int w, int h, unsigned seed) {
    std::string raw;
    for (int y = 0; y < h; y++) {
        raw += '\0';  // filter: none
        for (int x = 0; x < w; x++) {
            raw += (char)((x + seed) & 0xff);
            raw += (char)((y * 3 + seed) & 0xff);
            raw += (char)((x ^ y) & 0xff);
        }
    }
    std::string z = "\x78\x01";
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos > 65535 ? 65535 : raw.size() - pos;
        bool last = pos + n == raw.size();
        z += (char)(last ? 1 : 0);
        z += (char)(n & 0xff);
        z += (char)(n >> 8);
        z += (char)(~n & 0xff);
        z += (char)((~n >> 8) & 0xff);
        z += raw.substr(pos, n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    append32be(z, (b << 16) | a);

    std::string ihdr;
    append32be(ihdr, (uint32_t)w);
    append32be(ihdr, (uint32_t)h);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + pngChunk("IDAT", z) +
           pngChunk("IEND", "");
}

void setExif(const std::string &path, int orientation, const std::string &thumbnail,
             int makerNoteRotation) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    Exiv2::ExifData &exif = image->exifData();
    if (orientation != 0) {
        exif["Exif.Image.Orientation"] = (uint16_t)orientation;
    }
    if (makerNoteRotation != 0) {
        exif["Exif.Image.Make"] = "Panasonic";
        exif["Exif.Panasonic.Rotation"] = (uint16_t)makerNoteRotation;
    }
    if (!thumbnail.empty()) {
        Exiv2::ExifThumb thumb(exif);
        thumb.setJpegThumbnail((const Exiv2::byte *)thumbnail.data(), (long)thumbnail.size());
    }
    image->writeMetadata();
}

void setXmpThumbnail(const std::string &path, const std::string &jpeg, uint32_t width,
                     uint32_t height) {
    std::vector<char> encoded(4 * ((jpeg.size() + 2) / 3) + 1);
    if (Exiv2::base64encode(jpeg.data(), jpeg.size(), encoded.data(), encoded.size()) != 1) {
        throw std::runtime_error("base64 encoding failed");
    }
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    Exiv2::XmpData &xmp = image->xmpData();
    Exiv2::XmpTextValue array;
    array.setXmpArrayType(Exiv2::XmpValue::xaAlt);
    xmp.add(Exiv2::XmpKey("Xmp.xmp.Thumbnails"), &array);
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:format"] = "JPEG";
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:width"] = std::to_string(width);
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:height"] = std::to_string(height);
    xmp["Xmp.xmp.Thumbnails[1]/xmpGImg:image"] = std::string(encoded.data());
    image->writeMetadata();
}

std::string rawStandIn(const std::vector<RawPreview> &previews, int orientation, size_t rawBytes) {
    struct Entry {
        uint16_t tag;
        uint16_t type;  // 3 SHORT, 4 LONG
        uint32_t count;
        uint32_t value;
    };
    if (previews.size() > 4) {
        throw std::runtime_error("at most four previews");
    }

    // Sizes first: header, IFD0, the sub-IFD offset array, the sub-IFDs, then the data.
    size_t ifd0Entries = 11 + (orientation ? 1 : 0) + (previews.empty() ? 0 : 1);
    size_t pos = 8 + 2 + 12 * ifd0Entries + 4;
    size_t subArray = pos;
    if (previews.size() > 1) {
        pos += 4 * previews.size();
    }
    std::vector<size_t> subIfd;
    for (const RawPreview &p : previews) {
        subIfd.push_back(pos);
        pos += 2 + 12 * (p.jpeg.empty() ? 10 : 4) + 4;
    }
    size_t rawData = pos;
    pos += rawBytes + (rawBytes & 1);
    std::vector<size_t> blob;
    std::vector<size_t> blobSize;
    for (const RawPreview &p : previews) {
        size_t n = p.jpeg.empty() ? (size_t)p.tiffWidth * p.tiffHeight : p.jpeg.size();
        blob.push_back(pos);
        blobSize.push_back(n);
        pos += n + (n & 1);
    }
    std::string out(pos, '\0');
    out[0] = 'I';
    out[1] = 'I';
    put16le(out, 2, 42);
    put32le(out, 4, 8);

    auto writeIfd = [&out](size_t at, std::vector<Entry> entries) {
        put16le(out, at, (uint32_t)entries.size());
        at += 2;
        for (const Entry &e : entries) {
            put16le(out, at, e.tag);
            put16le(out, at + 2, e.type);
            put32le(out, at + 4, e.count);
            if (e.type == 3 && e.count == 1) {
                put16le(out, at + 8, e.value);
            } else {
                put32le(out, at + 8, e.value);
            }
            at += 12;
        }
        put32le(out, at, 0);
    };

    std::vector<Entry> ifd0 = {
        {0x00fe, 4, 1, 0},                          // NewSubfileType: full image
        {0x0100, 4, 1, 64},                         // ImageWidth
        {0x0101, 4, 1, (uint32_t)(rawBytes / 64)},  // ImageLength
        {0x0102, 3, 1, 8},                          // BitsPerSample
        {0x0103, 3, 1, 1},                          // Compression: none
        {0x0106, 3, 1, 1},                          // PhotometricInterpretation: grey
        {0x0111, 4, 1, (uint32_t)rawData},          // StripOffsets
    };
    if (orientation) {
        ifd0.push_back({0x0112, 3, 1, (uint32_t)orientation});
    }
    ifd0.push_back({0x0115, 3, 1, 1});                          // SamplesPerPixel
    ifd0.push_back({0x0116, 4, 1, (uint32_t)(rawBytes / 64)});  // RowsPerStrip
    ifd0.push_back({0x0117, 4, 1, (uint32_t)rawBytes});         // StripByteCounts
    ifd0.push_back({0x011c, 3, 1, 1});                          // PlanarConfiguration
    if (!previews.empty()) {
        uint32_t value = previews.size() > 1 ? (uint32_t)subArray : (uint32_t)subIfd[0];
        ifd0.push_back({0x014a, 4, (uint32_t)previews.size(), value});  // SubIFDs
    }
    writeIfd(8, ifd0);
    if (previews.size() > 1) {
        for (size_t i = 0; i < previews.size(); i++) {
            put32le(out, subArray + 4 * i, (uint32_t)subIfd[i]);
        }
    }

    for (size_t i = 0; i < rawBytes; i++) {
        out[rawData + i] = (char)((i * 7) & 0x7f);
    }
    for (size_t i = 0; i < previews.size(); i++) {
        const RawPreview &p = previews[i];
        if (!p.jpeg.empty()) {
            writeIfd(subIfd[i], {
                                    {0x00fe, 4, 1, 1},                      // reduced image
                                    {0x0103, 3, 1, 6},                      // old-style JPEG
                                    {0x0201, 4, 1, (uint32_t)blob[i]},      // JPEG offset
                                    {0x0202, 4, 1, (uint32_t)blobSize[i]},  // JPEG length
                                });
            out.replace(blob[i], p.jpeg.size(), p.jpeg);
        } else {
            writeIfd(subIfd[i], {
                                    {0x00fe, 4, 1, 1},
                                    {0x0100, 4, 1, p.tiffWidth},
                                    {0x0101, 4, 1, p.tiffHeight},
                                    {0x0102, 3, 1, 8},
                                    {0x0103, 3, 1, 1},
                                    {0x0106, 3, 1, 1},
                                    {0x0111, 4, 1, (uint32_t)blob[i]},
                                    {0x0115, 3, 1, 1},
                                    {0x0116, 4, 1, p.tiffHeight},
                                    {0x0117, 4, 1, (uint32_t)blobSize[i]},
                                });
            for (size_t k = 0; k < blobSize[i]; k++) {
                out[blob[i] + k] = (char)(k & 0xff);
            }
        }
    }
    return out;
}

namespace {

void append16be(std::string &s, uint32_t v) {
    s += (char)((v >> 8) & 0xff);
    s += (char)(v & 0xff);
}

std::string box(const std::string &type, const std::string &payload) {
    std::string out;
    append32be(out, (uint32_t)(8 + payload.size()));
    return out + type + payload;
}

// Little-endian TIFF with one IFD of SHORT or LONG values of count 1.
std::string smallTiff(const std::vector<std::pair<uint16_t, uint32_t>> &longs,
                      const std::vector<std::pair<uint16_t, uint16_t>> &shorts) {
    size_t n = longs.size() + shorts.size();
    std::string out(8 + 2 + 12 * n + 4, '\0');
    out[0] = 'I';
    out[1] = 'I';
    put16le(out, 2, 42);
    put32le(out, 4, 8);
    put16le(out, 8, (uint32_t)n);
    size_t at = 10;
    // Entries in ascending tag order, as TIFF wants them.
    std::vector<std::pair<uint16_t, std::pair<uint16_t, uint32_t>>> all;
    for (auto &e : shorts) {
        all.push_back({e.first, {3, e.second}});
    }
    for (auto &e : longs) {
        all.push_back({e.first, {4, e.second}});
    }
    std::sort(all.begin(), all.end());
    for (auto &e : all) {
        put16le(out, at, e.first);
        put16le(out, at + 2, e.second.first);
        put32le(out, at + 4, 1);
        if (e.second.first == 3) {
            put16le(out, at + 8, e.second.second);
        } else {
            put32le(out, at + 8, e.second.second);
        }
        at += 12;
    }
    return out;
}

const char kCanonMetadataUuid[] =
    "\x85\xC0\xB6\x87\x82\x0F\x11\xE0\x81\x11\xF4\xCE\x46\x2B\x6A\x48";
const char kCanonPreviewUuid[] = "\xEA\xF4\x2B\x5E\x1C\x98\x4B\x88\xB9\xFB\xB7\xDC\x40\x6E\x4D\x16";

// A PRVW box: version, flags, two unknown bytes, the sides, two more, the size, the JPEG.
std::string prvw(int version, const std::string &jpeg, uint16_t w, uint16_t h) {
    std::string p;
    append32be(p, (uint32_t)version << 24);
    append16be(p, 0);
    append16be(p, w);
    append16be(p, h);
    append16be(p, 0);
    append32be(p, (uint32_t)jpeg.size());
    return box("PRVW", p + jpeg);
}

}  // namespace

std::string cr3(const Cr3 &shape) {
    std::string ftyp = box("ftyp", std::string("crx \0\0\0\1crx isom", 16));

    std::vector<std::pair<uint16_t, uint16_t>> ifd0;
    if (shape.orientation) {
        ifd0.push_back({0x0112, (uint16_t)shape.orientation});
    }
    std::string cmt1 =
        box("CMT1", smallTiff({{0x0100, shape.width}, {0x0101, shape.height}}, ifd0));
    std::string cmt2 = box("CMT2", smallTiff({{0xa002, shape.width}, {0xa003, shape.height}}, {}));
    // THMB: version, flags, the sides, the size, four unknown bytes, the JPEG.
    std::string t;
    append32be(t, 0);
    append16be(t, shape.thumbWidth);
    append16be(t, shape.thumbHeight);
    append32be(t, (uint32_t)shape.thumbnail.size());
    append32be(t, 0);
    std::string thmb = box("THMB", t + shape.thumbnail);
    std::string moov =
        box("moov", box("uuid", std::string(kCanonMetadataUuid, 16) + cmt1 + cmt2 + thmb));

    std::string previews = prvw(0, shape.preview, shape.previewWidth, shape.previewHeight);
    if (!shape.hdrPreview.empty()) {
        previews += prvw(1, shape.hdrPreview, shape.previewWidth * 2, shape.previewHeight * 2);
    }
    std::string canp =
        box("uuid", std::string(kCanonPreviewUuid, 16) + std::string(8, '\0') + previews);
    std::string mdat = box("mdat", std::string(512, '\x5a'));
    return ftyp + moov + canp + mdat;
}

std::string heif(const std::string &thumbnail, int orientation) {
    // The Exif item: a 4-byte offset to the TIFF header, then a little-endian TIFF whose
    // IFD0 (orientation) links to IFD1 (the thumbnail).
    std::string tiff(8 + 2 + 12 + 4 + 2 + 36 + 4, '\0');
    tiff[0] = 'I';
    tiff[1] = 'I';
    put16le(tiff, 2, 42);
    put32le(tiff, 4, 8);
    put16le(tiff, 8, 1);
    put16le(tiff, 10, 0x0112);
    put16le(tiff, 12, 3);
    put32le(tiff, 14, 1);
    put16le(tiff, 18, (uint32_t)(orientation ? orientation : 1));
    size_t ifd1 = 8 + 2 + 12 + 4;
    put32le(tiff, 22, (uint32_t)ifd1);
    put16le(tiff, ifd1, 3);
    uint32_t entries[3][3] = {{0x0103, 3, 6},
                              {0x0201, 4, (uint32_t)tiff.size()},
                              {0x0202, 4, (uint32_t)thumbnail.size()}};
    for (int i = 0; i < 3; i++) {
        size_t at = ifd1 + 2 + 12 * i;
        put16le(tiff, at, entries[i][0]);
        put16le(tiff, at + 2, entries[i][1]);
        put32le(tiff, at + 4, 1);
        put32le(tiff, at + 8, entries[i][2]);
    }
    std::string exif(4, '\0');
    exif += tiff + thumbnail;

    std::string ftyp = box("ftyp", std::string("heic\0\0\0\0mif1heic", 16));
    std::string infe;
    append32be(infe, 2u << 24);  // version 2
    append16be(infe, 1);         // item 1
    append16be(infe, 0);
    infe += std::string("Exif\0", 5);
    std::string iinf;
    append32be(iinf, 0);
    append16be(iinf, 1);
    iinf = box("iinf", iinf + box("infe", infe));
    // iloc version 1: one item, 4-byte offsets and lengths, the offset filled in below.
    std::string iloc;
    append32be(iloc, 1u << 24);
    iloc += (char)0x44;
    iloc += (char)0x00;
    append16be(iloc, 1);
    append16be(iloc, 1);  // item 1
    append16be(iloc, 0);  // construction method
    append16be(iloc, 0);  // data reference
    append16be(iloc, 1);  // one extent
    size_t offsetAt = iloc.size();
    append32be(iloc, 0);
    append32be(iloc, (uint32_t)exif.size());
    std::string meta;
    append32be(meta, 0);
    std::string metaBox =
        box("meta", meta + box("hdlr", std::string(24, '\0')) + iinf + box("iloc", iloc));
    std::string head = ftyp + metaBox;
    // The Exif item lies in the mdat, right after its 8-byte header.
    uint32_t exifAt = (uint32_t)(head.size() + 8);
    size_t ilocAt = head.find("iloc") + 4 + offsetAt;
    head[ilocAt] = (char)(exifAt >> 24);
    head[ilocAt + 1] = (char)((exifAt >> 16) & 0xff);
    head[ilocAt + 2] = (char)((exifAt >> 8) & 0xff);
    head[ilocAt + 3] = (char)(exifAt & 0xff);
    return head + box("mdat", exif + std::string(256, '\0'));
}

void enableBmff() {
    Exiv2::enableBMFF(true);
}

std::pair<uint32_t, uint32_t> pixelSize(const std::string &path) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    return {image->pixelWidth(), image->pixelHeight()};
}

std::string mimeType(const std::string &path) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    return image->mimeType();
}

std::string rotated(const std::string &scratch, const std::string &jpeg, int angle) {
    return throughTool(scratch, "rot-", ".jpg", jpeg,
                       [angle](const std::string &in, const std::string &out) {
                           return std::vector<std::string>{
                               "/usr/bin/jpegtran", "-trim", "-rotate", std::to_string(angle),
                               "-outfile",          out,     in};
                       });
}

void writeBytes(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), (std::streamsize)data.size());
    if (!f.good()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int runTool(const std::vector<std::string> &argv, const std::string &outPath) {
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    int outFd = -1;
    if (!outPath.empty()) {
        outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFd < 0) {
            return -1;
        }
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) {
            dup2(outFd, STDOUT_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (outFd >= 0) {
        close(outFd);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace photos
