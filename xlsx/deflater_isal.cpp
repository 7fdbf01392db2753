// The compressor seam implemented with ISA-L's igzip (chosen at configure time).
#include "xlsx/deflater.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <vector>

namespace engine {

namespace {

std::size_t levelBufferSize(int level)
{
    switch (level) {
    case 0:
        return 0;
    case 1:
        return ISAL_DEF_LVL1_DEFAULT;
    case 2:
        return ISAL_DEF_LVL2_DEFAULT;
    default:
        return ISAL_DEF_LVL3_DEFAULT;
    }
}

// isal_zstream counts in 32 bits; larger inputs are fed in pieces of this size.
constexpr std::size_t kMaxFeed = std::size_t(1) << 30;

} // namespace

struct Deflater::State
{
    isal_zstream stream{};
    std::vector<std::uint8_t> levelBuffer;
    std::uint32_t level = 0;
};

Deflater::Deflater(int level) : d(std::make_unique<State>())
{
    const int isalLevel = level == kDefaultLevel ? 2 : std::clamp(level, 0, 3);
    isal_deflate_init(&d->stream);
    d->level = std::uint32_t(isalLevel);
    d->stream.level = d->level;
    d->levelBuffer.resize(levelBufferSize(isalLevel));
    d->stream.level_buf = d->levelBuffer.empty() ? nullptr : d->levelBuffer.data();
    d->stream.level_buf_size = std::uint32_t(d->levelBuffer.size());
}

Deflater::~Deflater() = default;

bool Deflater::compressAt(std::string_view input, std::string& out, std::size_t start, std::size_t& end, bool last,
                          std::string_view dictionary)
{
    isal_zstream& s = d->stream;
    isal_deflate_reset(&s);
    s.level = d->level;
    if (dictionary.size() > kDictionarySize)
        dictionary.remove_prefix(dictionary.size() - kDictionarySize);
    if (!dictionary.empty() &&
        isal_deflate_set_dict(&s, reinterpret_cast<std::uint8_t*>(const_cast<char*>(dictionary.data())),
                              std::uint32_t(dictionary.size())) != COMP_OK)
        return false;
    s.end_of_stream = 0;
    s.flush = last ? NO_FLUSH : SYNC_FLUSH;
    // Deflate output rarely exceeds its input by much: stored blocks add 5 bytes in 64 KiB. The
    // loop below grows the room when it does not suffice.
    if (out.size() < start + input.size() + input.size() / 16 + 1024)
        out.resize(start + input.size() + input.size() / 16 + 1024);
    std::size_t written = 0;
    std::size_t fed = 0;
    for (;;) {
        if (s.avail_in == 0 && fed < input.size()) {
            const std::size_t piece = std::min(kMaxFeed, input.size() - fed);
            s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(input.data() + fed));
            s.avail_in = std::uint32_t(piece);
            fed += piece;
        }
        s.end_of_stream = last && fed == input.size() ? 1 : 0;
        if (out.size() - start - written < 256)
            out.resize(out.size() + out.size() / 2 + 1024);
        const std::size_t room = std::min(out.size() - start - written, kMaxFeed);
        s.next_out = reinterpret_cast<std::uint8_t*>(out.data() + start + written);
        s.avail_out = std::uint32_t(room);
        if (isal_deflate(&s) != COMP_OK) {
            return false;
        }
        written += room - s.avail_out;
        if (s.avail_in != 0 || fed < input.size())
            continue;
        // All input is taken; the piece is complete once the stream has ended (last) or the sync
        // flush has left room in the output, i.e. nothing is held back any more.
        if (last ? s.internal_state.state == ZSTATE_END : s.avail_out != 0)
            break;
    }
    end = start + written;
    return true;
}

const char* Deflater::library()
{
    return "ISA-L";
}

std::uint32_t crc32Update(std::uint32_t crc, std::string_view data)
{
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

} // namespace engine
