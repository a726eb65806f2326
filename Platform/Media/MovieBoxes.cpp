#include "Platform/Media/MovieBoxes.h"

#include <cstring>
#include <fstream>

namespace media::detail {

namespace {

// A movie box larger than this is not a movie we made or can sensibly read.
constexpr uint64_t MaxMovieBoxSize = 256ull << 20;

struct Reader {
    const uint8_t* p;
    size_t n;
    size_t at = 0;

    bool has(size_t k) const { return at <= n && n - at >= k; }
    uint64_t be(size_t k)
    {
        uint64_t v = 0;
        for (size_t i = 0; i < k; ++i)
            v = (v << 8) | p[at + i];
        at += k;
        return v;
    }
};

struct Box {
    char type[5] = {};
    const uint8_t* body = nullptr;
    size_t size = 0;
};

// Splits a container's bytes into its child boxes; stops at the first malformed one.
std::vector<Box> children(const uint8_t* data, size_t size)
{
    std::vector<Box> boxes;
    Reader r{data, size};
    while (r.has(8)) {
        const size_t start = r.at;
        uint64_t length = r.be(4);
        Box box;
        std::memcpy(box.type, r.p + r.at, 4);
        r.at += 4;
        size_t header = 8;
        if (length == 1) {
            if (!r.has(8))
                break;
            length = r.be(8);
            header = 16;
        } else if (length == 0) {
            length = size - start;
        }
        if (length < header || length > size - start)
            break;
        box.body = data + start + header;
        box.size = static_cast<size_t>(length - header);
        boxes.push_back(box);
        r.at = start + static_cast<size_t>(length);
    }
    return boxes;
}

bool is(const Box& b, const char* type) { return std::memcmp(b.type, type, 4) == 0; }

void readTrack(const Box& trak, MovieBoxes& movie)
{
    TrackBoxes track;
    bool haveID = false;
    for (const Box& child : children(trak.body, trak.size)) {
        Reader r{child.body, child.size};
        if (is(child, "tkhd") && r.has(4)) {
            const uint64_t version = r.be(1);
            r.at += 3;
            const size_t skip = version == 1 ? 16 : 8;
            if (r.has(skip + 4)) {
                r.at += skip;
                track.trackID = static_cast<int32_t>(r.be(4));
                haveID = true;
            }
        } else if (is(child, "mdia")) {
            for (const Box& m : children(child.body, child.size)) {
                if (!is(m, "mdhd"))
                    continue;
                Reader h{m.body, m.size};
                if (!h.has(4))
                    continue;
                const uint64_t version = h.be(1);
                h.at += 3;
                const size_t skip = version == 1 ? 16 : 8;
                const size_t durationBytes = version == 1 ? 8 : 4;
                if (h.has(skip + 4 + durationBytes)) {
                    h.at += skip;
                    track.mediaTimescale = static_cast<uint32_t>(h.be(4));
                    track.mediaDuration = static_cast<int64_t>(h.be(durationBytes) & 0x7fffffffffffffffull);
                }
            }
        } else if (is(child, "edts")) {
            for (const Box& e : children(child.body, child.size)) {
                if (!is(e, "elst"))
                    continue;
                Reader l{e.body, e.size};
                if (!l.has(8))
                    continue;
                const uint64_t version = l.be(1);
                l.at += 3;
                const uint64_t count = l.be(4);
                const size_t entrySize = version == 1 ? 20 : 12;
                track.hasEditList = true;
                for (uint64_t i = 0; i < count && l.has(entrySize); ++i) {
                    EditEntry entry;
                    if (version == 1) {
                        entry.segmentDuration = static_cast<int64_t>(l.be(8) & 0x7fffffffffffffffull);
                        entry.mediaTime = static_cast<int64_t>(l.be(8));
                    } else {
                        entry.segmentDuration = static_cast<int64_t>(l.be(4));
                        entry.mediaTime = static_cast<int32_t>(static_cast<uint32_t>(l.be(4)));
                    }
                    const auto whole = static_cast<int16_t>(static_cast<uint16_t>(l.be(2)));
                    const auto fraction = static_cast<uint16_t>(l.be(2));
                    entry.rate = whole + fraction / 65536.0;
                    track.edits.push_back(entry);
                }
            }
        }
    }
    if (haveID)
        movie.tracks.push_back(std::move(track));
}

} // namespace

std::optional<MovieBoxes> readMovieBoxes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    in.seekg(0, std::ios::end);
    const auto fileSize = static_cast<uint64_t>(in.tellg());
    uint64_t offset = 0;
    while (offset + 8 <= fileSize) {
        in.seekg(static_cast<std::streamoff>(offset));
        uint8_t header[16];
        if (!in.read(reinterpret_cast<char*>(header), 8))
            return std::nullopt;
        Reader r{header, 8};
        uint64_t length = r.be(4);
        uint64_t headerSize = 8;
        if (length == 1) {
            if (!in.read(reinterpret_cast<char*>(header + 8), 8))
                return std::nullopt;
            Reader big{header + 8, 8};
            length = big.be(8);
            headerSize = 16;
        } else if (length == 0) {
            length = fileSize - offset;
        }
        if (length < headerSize || length > fileSize - offset)
            return std::nullopt;
        if (std::memcmp(header + 4, "moov", 4) == 0) {
            const uint64_t bodySize = length - headerSize;
            if (bodySize > MaxMovieBoxSize)
                return std::nullopt;
            std::vector<uint8_t> body(static_cast<size_t>(bodySize));
            in.seekg(static_cast<std::streamoff>(offset + headerSize));
            if (!in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(body.size())))
                return std::nullopt;
            MovieBoxes movie;
            for (const Box& box : children(body.data(), body.size())) {
                if (is(box, "mvhd")) {
                    Reader h{box.body, box.size};
                    if (!h.has(4))
                        continue;
                    const uint64_t version = h.be(1);
                    h.at += 3;
                    const size_t skip = version == 1 ? 16 : 8;
                    if (h.has(skip + 4)) {
                        h.at += skip;
                        movie.movieTimescale = static_cast<uint32_t>(h.be(4));
                    }
                } else if (is(box, "trak")) {
                    readTrack(box, movie);
                }
            }
            return movie;
        }
        offset += length;
    }
    return std::nullopt;
}

} // namespace media::detail
