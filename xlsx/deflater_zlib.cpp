// The compressor seam implemented with zlib, where ISA-L is missing or not wanted.
#include "xlsx/deflater.h"

#include <zlib.h>

#include <algorithm>

namespace engine {

namespace {

// z_stream counts in 32 bits; larger inputs are fed in pieces of this size.
constexpr std::size_t kMaxFeed = std::size_t(1) << 30;

} // namespace

// A raw deflate stream made once and reset for each piece: making one allocates and clears about
// half a megabyte, which for a workbook of small parts costs more than compressing them.
struct Deflater::State
{
    z_stream stream{};
    bool ready = false;
    ~State()
    {
        if (ready)
            deflateEnd(&stream);
    }
};

Deflater::Deflater(int level) : d(std::make_unique<State>())
{
    const int zlibLevel = level == kDefaultLevel ? 1 : std::clamp(level, 0, 9);
    d->ready = deflateInit2(&d->stream, zlibLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

Deflater::~Deflater() = default;

bool Deflater::compressAt(std::string_view input, std::string& out, std::size_t start, std::size_t& end, bool last,
                          std::string_view dictionary)
{
    z_stream& s = d->stream;
    if (!d->ready || deflateReset(&s) != Z_OK)
        return false;
    if (dictionary.size() > kDictionarySize)
        dictionary.remove_prefix(dictionary.size() - kDictionarySize);
    if (!dictionary.empty() &&
        deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()), uInt(dictionary.size())) != Z_OK)
        return false;
    // Room for the whole piece and the flush marker, so one call normally does it.
    if (out.size() < start + deflateBound(&s, uLong(std::min(input.size(), kMaxFeed))) + 16)
        out.resize(start + deflateBound(&s, uLong(std::min(input.size(), kMaxFeed))) + 16);
    std::size_t written = 0;
    std::size_t fed = 0;
    for (;;) {
        if (s.avail_in == 0 && fed < input.size()) {
            const std::size_t piece = std::min(kMaxFeed, input.size() - fed);
            s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + fed));
            s.avail_in = uInt(piece);
            fed += piece;
        }
        if (out.size() - start - written < 256)
            out.resize(out.size() + out.size() / 2 + 1024);
        const std::size_t room = std::min(out.size() - start - written, kMaxFeed);
        s.next_out = reinterpret_cast<Bytef*>(out.data() + start + written);
        s.avail_out = uInt(room);
        const bool allFed = fed == input.size();
        const int status = deflate(&s, allFed ? (last ? Z_FINISH : Z_SYNC_FLUSH) : Z_NO_FLUSH);
        written += room - s.avail_out;
        if (status == Z_STREAM_ERROR) {
            return false;
        }
        if (!allFed || s.avail_in != 0)
            continue;
        if (last ? status == Z_STREAM_END : s.avail_out != 0)
            break;
    }
    end = start + written;
    return true;
}

const char* Deflater::library()
{
    return "zlib";
}

std::uint32_t crc32Update(std::uint32_t crc, std::string_view data)
{
    return std::uint32_t(crc32_z(crc, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

} // namespace engine
