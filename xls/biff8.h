#pragma once
// Building blocks of the BIFF8 (.xls) record stream: a growable little-endian byte buffer, the
// RK number encoding and BIFF8's string forms (texts become UTF-16 through the unicode module;
// the shared string table is in sharedstrings.h). The workbook writer (xlswriter.cpp) assembles
// records from these.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace engine::biff8 {

// Record identifiers used by the writer.
enum RecordId : std::uint16_t {
    kEof = 0x000A,
    kPrecision = 0x000E,
    kDateMode = 0x0022,
    kFont = 0x0031,
    kWindow1 = 0x003D,
    kContinue = 0x003C,
    kCodePage = 0x0042,
    kDefColWidth = 0x0055,
    kWriteAccess = 0x005C,
    kColInfo = 0x007D,
    kBoundSheet8 = 0x0085,
    kCountry = 0x008C,
    kMms = 0x00C1,
    kDbCell = 0x00D7,
    kBookBool = 0x00DA,
    kXf = 0x00E0,
    kInterfaceHdr = 0x00E1,
    kInterfaceEnd = 0x00E2,
    kSst = 0x00FC,
    kLabelSst = 0x00FD,
    kExtSst = 0x00FF,
    kDsf = 0x0161,
    kDimensions = 0x0200,
    kNumber = 0x0203,
    kBoolErr = 0x0205,
    kRow = 0x0208,
    kIndex = 0x020B,
    kWindow2 = 0x023E,
    kRk = 0x027E,
    kStyle = 0x0293,
    kFormat = 0x041E,
    kBof = 0x0809,
};

// Largest record payload; longer data continues in CONTINUE records.
constexpr std::size_t kMaxRecordData = 8224;

inline void putU16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void putU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
void putF64(std::uint8_t* p, double v);

// A growable byte buffer with direct little-endian appends; no allocation per field.
class ByteBuffer
{
public:
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const std::uint8_t* data() const { return m_data.get(); }
    std::uint8_t* data() { return m_data.get(); }
    void clear() { m_size = 0; }
    // Releases the memory as well.
    void reset()
    {
        m_data.reset();
        m_size = m_capacity = 0;
    }

    // Makes room for n more bytes and returns where they go; the caller fills all n.
    std::uint8_t* grow(std::size_t n)
    {
        if (m_size + n > m_capacity)
            reserve(m_size + n);
        std::uint8_t* p = m_data.get() + m_size;
        m_size += n;
        return p;
    }
    void append(const void* bytes, std::size_t n)
    {
        if (n)
            std::memcpy(grow(n), bytes, n);
    }
    void appendU8(std::uint8_t v) { *grow(1) = v; }
    void appendU16(std::uint16_t v) { putU16(grow(2), v); }
    void appendU32(std::uint32_t v) { putU32(grow(4), v); }
    void appendF64(double v) { putF64(grow(8), v); }
    void appendZeros(std::size_t n) { std::memset(grow(n), 0, n); }
    // Starts a record of known payload length and returns where the payload goes.
    std::uint8_t* record(std::uint16_t id, std::uint16_t length)
    {
        std::uint8_t* p = grow(4 + std::size_t(length));
        putU16(p, id);
        putU16(p + 2, length);
        return p + 4;
    }
    void reserve(std::size_t capacity);

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// Encodes `value` as an RK number when the RK form reads back as exactly the same double.
bool encodeRk(double value, std::uint32_t* rk);

// The value an RK number stands for, as a reader decodes it (used to check encodeRk).
double decodeRk(std::uint32_t rk);

// True when every unit is below 256, so the units can be stored as 8-bit characters.
bool fitsEightBit(const char16_t* units, std::size_t count);
// Appends `count` units, as 8-bit characters when `eightBit`, else as UTF-16LE.
void appendUnits(ByteBuffer& out, const char16_t* units, std::size_t count, bool eightBit);

// Appends a string as the short form used by sheet names (8-bit length) or the long form used by
// FORMAT and WRITEACCESS (16-bit length): length, option byte, then 8-bit characters when every
// unit is below 256, else UTF-16LE. Returns the number of bytes appended.
std::size_t appendUnicodeString(ByteBuffer& out, const std::u16string_view& text, bool shortLength);
std::size_t unicodeStringSize(const std::u16string_view& text, bool shortLength);

} // namespace engine::biff8
