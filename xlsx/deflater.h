#pragma once
// The compressor behind the ZIP writer: raw deflate and the ZIP CRC-32. The build picks the
// library at configure time (QUILLMORNE_DEFLATE): ISA-L's igzip where it is installed, several
// times faster than zlib at level 1 and a little smaller, else zlib. Both write standard
// deflate streams; their bytes differ, each is deterministic.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace engine {

class Deflater
{
public:
    // kDefaultLevel is the library's level for sheets: ISA-L's level 2, as fast as its level 1 on
    // sheet XML and 1.5% smaller; zlib's level 1. ISA-L has levels 0 to 3 and takes higher ones as
    // 3; zlib 0 to 9.
    static constexpr int kDefaultLevel = -1;
    explicit Deflater(int level = kDefaultLevel);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Compresses `input` as one piece of a raw deflate stream and appends it to `out`. Each call
    // starts afresh, without the history of earlier calls, so pieces can be compressed on
    // different threads. A piece that is not `last` ends byte-aligned with an empty stored block
    // (a sync flush), so pieces written one after the other make one stream; the `last` one ends
    // it with the final block. `dictionary` is what came before the piece (its last 32 KiB count):
    // the piece may refer back into it, as in one continuous stream, which keeps pieces almost as
    // small as one stream would be. False when the library fails.
    bool compress(std::string_view input, std::string& out, bool last, std::string_view dictionary = {});
    // As compress(), but writes from the start of `out` and never shrinks it: a buffer used again
    // and again keeps its size, so its bytes are not cleared each time. `size` receives the
    // length written.
    bool compressReusing(std::string_view input, std::string& out, std::size_t& size, bool last,
                         std::string_view dictionary = {});

    // The most of a dictionary deflate can refer back to.
    static constexpr std::size_t kDictionarySize = 32768;

    // "ISA-L" or "zlib": the library this build compresses with.
    static const char* library();

private:
    // Writes the piece at `start`, growing `out` where needed; `end` receives where it ends.
    bool compressAt(std::string_view input, std::string& out, std::size_t start, std::size_t& end, bool last,
                    std::string_view dictionary);

    struct State;
    std::unique_ptr<State> d;
};

// The CRC-32 of ZIP and gzip over `data`, continuing from `crc` (0 to start).
std::uint32_t crc32Update(std::uint32_t crc, std::string_view data);

// The CRC-32 of two pieces one after the other, from the CRCs of each and the second's length.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

} // namespace engine
