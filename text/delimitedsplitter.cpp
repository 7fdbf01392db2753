#include "text/delimitedsplitter.h"

#include "unicode/utf8.h"

#include <algorithm>

namespace engine {

using unicode::isScalarValue;

DelimitedSplitter::DelimitedSplitter(unicode::TextSource* source, const ImportOptions& options)
    : m_source(source), m_mergeDelimiters(options.consecutiveDelimiters)
{
    m_fieldClass[std::uint8_t('\r')] = Cr;
    m_fieldClass[std::uint8_t('\n')] = Lf;
    m_quotedClass[std::uint8_t('\r')] = Cr;
    m_quotedClass[std::uint8_t('\n')] = Lf;

    auto addDelimiter = [this](char32_t c) {
        if (c == 0 || c == U'\r' || c == U'\n' || !isScalarValue(c))
            return;
        if (c < 0x80) {
            m_fieldClass[c] = Delimiter;
            return;
        }
        m_wideDelimiter.clear();
        unicode::utf8::appendCodePoint(m_wideDelimiter, c);
        m_fieldClass[std::uint8_t(m_wideDelimiter[0])] = WideDelimiter;
    };
    if (options.tab)
        addDelimiter(U'\t');
    if (options.semicolon)
        addDelimiter(U';');
    if (options.comma)
        addDelimiter(U',');
    if (options.space)
        addDelimiter(U' ');
    addDelimiter(options.other);

    const char32_t q = options.qualifier;
    if (q != 0 && q != U'\r' && q != U'\n' && isScalarValue(q)) {
        std::string encoded;
        unicode::utf8::appendCodePoint(encoded, q);
        const bool isDelimiter = q < 0x80 ? m_fieldClass[q] == Delimiter : encoded == m_wideDelimiter;
        if (!isDelimiter) {
            m_qualifier = encoded;
            m_quotedClass[std::uint8_t(encoded[0])] = QualifierLead;
        }
    }

    m_linesToSkip = std::max(0, options.startRow - 1);
    m_state = m_linesToSkip > 0 ? State::SkipLines : State::RecordStart;
}

bool DelimitedSplitter::next()
{
    if (!m_error.isEmpty())
        return false;
    for (;;) {
        const Result result = parse();
        if (result == Result::Record) {
            m_views.clear();
            for (const FieldRef& f : m_fields)
                m_views.emplace_back((f.inStore ? m_store.data() : m_buf.data()) + f.offset, f.length);
            return true;
        }
        if (result == Result::End)
            return false;
        compact();
        std::string_view chunk;
        if (m_source->nextChunk(chunk)) {
            m_buf.append(chunk.data(), chunk.size());
        } else {
            m_error = m_source->errorString();
            if (!m_error.isEmpty())
                return false;
            m_eof = true;
        }
    }
}

// Drops the text before the current record, so the buffer holds at most one record plus the
// chunk that was read last.
void DelimitedSplitter::compact()
{
    const bool inRecord = m_state != State::SkipLines && m_state != State::RecordStart;
    const std::size_t shift = inRecord ? m_recordStart : m_pos;
    if (shift == 0)
        return;
    m_buf.erase(0, shift);
    m_bufOffset += shift;
    auto move = [shift](std::size_t& offset) { offset = offset >= shift ? offset - shift : 0; };
    move(m_pos);
    move(m_recordStart);
    move(m_fieldStart);
    move(m_quoteStart);
    for (FieldRef& f : m_fields) {
        if (!f.inStore)
            move(f.offset);
    }
}

inline std::size_t DelimitedSplitter::delimiterAt(std::size_t pos) const
{
    const Class c = m_fieldClass[std::uint8_t(m_buf[pos])];
    if (c == Delimiter)
        return 1;
    if (c == WideDelimiter && m_buf.compare(pos, m_wideDelimiter.size(), m_wideDelimiter) == 0)
        return m_wideDelimiter.size();
    return 0;
}

inline bool DelimitedSplitter::qualifierAt(std::size_t pos) const
{
    // Checked at every field start: the first byte settles it for all but a wide qualifier.
    if (m_qualifier.empty() || m_buf[pos] != m_qualifier[0])
        return false;
    return m_qualifier.size() == 1 || m_buf.compare(pos, m_qualifier.size(), m_qualifier) == 0;
}

// Position of the first delimiter or line break at or after `pos`, or the end of the buffer.
inline std::size_t DelimitedSplitter::scanField(std::size_t pos) const
{
    const auto* b = reinterpret_cast<const std::uint8_t*>(m_buf.data());
    const std::size_t end = m_buf.size();
    while (pos < end) {
        const Class c = m_fieldClass[b[pos]];
        if (c == Plain || (c == WideDelimiter && delimiterAt(pos) == 0)) {
            ++pos;
            continue;
        }
        return pos;
    }
    return end;
}

// A field ended at `pos` (a delimiter, a line break or the end of the text). True when that also
// ends the record.
bool DelimitedSplitter::endField(std::size_t pos)
{
    const std::size_t end = m_buf.size();
    if (pos == end) {
        m_pos = end;
        m_state = State::RecordStart;
        return true;
    }
    const char c = m_buf[pos];
    if (c == '\r' || c == '\n') {
        m_pos = pos + 1;
        if (c == '\r') {
            if (m_pos < end && m_buf[m_pos] == '\n')
                ++m_pos;
            else
                m_pendingCr = true;
        }
        ++m_line;
        m_state = State::RecordStart;
        return true;
    }
    m_pos = pos + delimiterAt(pos);
    m_state = m_mergeDelimiters ? State::Delimiters : State::FieldStart;
    return false;
}

// Appends the inside of a closed quoted field, [begin, end) of the buffer, to the store: a
// doubled qualifier becomes one, and each line break (CR LF, LF or CR) becomes LF.
void DelimitedSplitter::appendUnquoted(std::size_t begin, std::size_t end)
{
    const char* b = m_buf.data();
    std::size_t p = begin;
    while (p < end) {
        std::size_t q = p;
        while (q < end && m_quotedClass[std::uint8_t(b[q])] == Plain)
            ++q;
        m_store.append(b + p, q - p);
        p = q;
        if (p == end)
            break;
        const Class c = m_quotedClass[std::uint8_t(b[p])];
        if (c == Cr || c == Lf) {
            m_store += '\n';
            p += (c == Cr && p + 1 < end && b[p + 1] == '\n') ? 2 : 1;
        } else if (qualifierAt(p)) {
            m_store += m_qualifier;
            p += 2 * m_qualifier.size(); // inside a closed field every qualifier is doubled
        } else {
            m_store += b[p];
            ++p;
        }
    }
}

// Leaves out the lines before the start row. False when the buffer ran out first.
bool DelimitedSplitter::skipLines()
{
    const std::size_t end = m_buf.size();
    while (m_linesToSkip > 0) {
        if (m_pendingCr) {
            if (m_pos == end)
                return false;
            if (m_buf[m_pos] == '\n')
                ++m_pos;
            m_pendingCr = false;
        }
        std::size_t p = m_pos;
        while (p < end && m_buf[p] != '\r' && m_buf[p] != '\n')
            ++p;
        m_pos = p;
        if (p == end)
            return false;
        m_pos = p + 1;
        if (m_buf[p] == '\r') {
            if (m_pos < end && m_buf[m_pos] == '\n')
                ++m_pos;
            else
                m_pendingCr = true;
        }
        ++m_line;
        --m_linesToSkip;
    }
    return true;
}

DelimitedSplitter::Result DelimitedSplitter::parse()
{
    for (;;) {
        Result result = Result::Continue;
        switch (m_state) {
        case State::SkipLines:
            if (!skipLines())
                return m_eof ? Result::End : Result::NeedMore;
            m_startRowOffset = m_bufOffset + m_pos;
            m_state = State::RecordStart;
            break;
        case State::RecordStart:
            result = startRecord();
            break;
        case State::FieldStart:
            result = startField();
            break;
        case State::Unquoted:
            result = readUnquoted();
            break;
        case State::Quoted:
            result = readQuoted();
            break;
        case State::AfterQuote:
            result = readAfterQuote();
            break;
        case State::RestOfLine:
            result = readRestOfLine();
            break;
        case State::Delimiters:
            result = skipDelimiters();
            break;
        }
        if (result != Result::Continue)
            return result;
    }
}

// A new record: an LF that completes the last one's CR is passed, and an empty line is a record
// without fields.
DelimitedSplitter::Result DelimitedSplitter::startRecord()
{
    const std::size_t end = m_buf.size();
    if (m_pendingCr && m_pos < end) {
        if (m_buf[m_pos] == '\n')
            ++m_pos;
        m_pendingCr = false;
    }
    if (m_pos == end)
        return m_eof ? Result::End : Result::NeedMore;
    m_recordStart = m_pos;
    m_recordLine = m_line;
    m_fields.clear();
    m_store.clear();
    if (m_buf[m_pos] == '\r' || m_buf[m_pos] == '\n') {
        endField(m_pos);
        return Result::Record;
    }
    m_state = State::FieldStart;
    return Result::Continue;
}

DelimitedSplitter::Result DelimitedSplitter::startField()
{
    const std::size_t end = m_buf.size();
    if (m_pos == end && !m_eof)
        return Result::NeedMore;
    if (m_pos < end && qualifierAt(m_pos)) {
        m_quoteStart = m_pos;
        m_quoteLine = m_line;
        m_pos += m_qualifier.size();
        m_state = State::Quoted;
    } else {
        m_fieldStart = m_pos;
        m_state = State::Unquoted;
    }
    return Result::Continue;
}

DelimitedSplitter::Result DelimitedSplitter::readUnquoted()
{
    const std::size_t p = scanField(m_pos);
    if (p == m_buf.size() && !m_eof) {
        m_pos = p;
        return Result::NeedMore;
    }
    m_fields.push_back({false, m_fieldStart, p - m_fieldStart});
    return endField(p) ? Result::Record : Result::Continue;
}

DelimitedSplitter::Result DelimitedSplitter::readQuoted()
{
    std::size_t p = m_pos;
    const bool closed = findClosingQualifier(p);
    m_pos = p;
    if (closed) {
        m_state = State::AfterQuote;
        return Result::Continue;
    }
    if (!m_eof)
        return Result::NeedMore;
    // The quote is never closed: the field is read again, as written, to the end of the line it
    // began on.
    m_line = m_quoteLine;
    m_fieldStart = m_quoteStart;
    m_pos = m_quoteStart;
    m_state = State::RestOfLine;
    return Result::Continue;
}

// Looks for the qualifier that closes the quoted field, from `p` on, counting the lines it
// passes. Only looks: the field is unescaped (into the store) once it is known to close, so a
// quote that never closes costs no second copy of the text. True when it closed (`p` is then
// after it); false when the text ran out first, or a CR or qualifier at its end needs the next
// chunk to be read.
bool DelimitedSplitter::findClosingQualifier(std::size_t& p)
{
    const char* b = m_buf.data();
    const std::size_t end = m_buf.size();
    for (;;) {
        while (p < end && m_quotedClass[std::uint8_t(b[p])] == Plain)
            ++p;
        if (p == end)
            return false;
        const Class c = m_quotedClass[std::uint8_t(b[p])];
        if (c == Cr) {
            if (p + 1 == end && !m_eof)
                return false; // an LF may follow in the next chunk
            ++m_line;
            p += (p + 1 < end && b[p + 1] == '\n') ? 2 : 1;
        } else if (c == Lf) {
            ++m_line;
            ++p;
        } else if (!qualifierAt(p)) {
            ++p;
        } else {
            const std::size_t after = p + m_qualifier.size();
            if (after == end && !m_eof)
                return false; // doubled or closing: the next chunk tells
            if (after < end && qualifierAt(after)) {
                p = after + m_qualifier.size();
                continue;
            }
            m_storeFieldStart = m_store.size();
            appendUnquoted(m_quoteStart + m_qualifier.size(), p);
            p = after;
            return true;
        }
    }
}

// Text after a closing qualifier, up to the next delimiter, is kept as written.
DelimitedSplitter::Result DelimitedSplitter::readAfterQuote()
{
    const std::size_t p = scanField(m_pos);
    m_store.append(m_buf.data() + m_pos, p - m_pos);
    m_pos = p;
    if (p == m_buf.size() && !m_eof)
        return Result::NeedMore;
    m_fields.push_back({true, m_storeFieldStart, m_store.size() - m_storeFieldStart});
    return endField(p) ? Result::Record : Result::Continue;
}

DelimitedSplitter::Result DelimitedSplitter::readRestOfLine()
{
    const std::size_t end = m_buf.size();
    std::size_t p = m_pos;
    while (p < end && m_buf[p] != '\r' && m_buf[p] != '\n')
        ++p;
    m_fields.push_back({false, m_fieldStart, p - m_fieldStart});
    endField(p);
    return Result::Record;
}

DelimitedSplitter::Result DelimitedSplitter::skipDelimiters()
{
    const std::size_t end = m_buf.size();
    while (m_pos < end) {
        const std::size_t length = delimiterAt(m_pos);
        if (length == 0)
            break;
        m_pos += length;
    }
    if (m_pos == end && !m_eof)
        return Result::NeedMore;
    m_state = State::FieldStart;
    return Result::Continue;
}

} // namespace engine
