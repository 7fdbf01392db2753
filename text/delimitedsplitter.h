#pragma once
// Splitting of delimited text into records of fields: the second step of the text import. It
// reads the text as it goes, so memory grows with the longest record, not with the text.

#include "text/importoptions.h"
#include "unicode/textdecoder.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Splits the text of a TextSource into records by the delimiter, qualifier and start-row
// options of ImportOptions:
// - records end at CR LF, LF or CR; an empty line is a record without fields;
// - a field that begins with the qualifier is quoted: delimiters and line breaks inside do not
//   end it (a line break inside is kept as LF), a doubled qualifier stands for one, and text
//   after the closing qualifier up to the next delimiter is kept as written;
// - a qualifier elsewhere is an ordinary character, and so is one that is never closed: that
//   field then runs to the end of its line as written, delimiters included;
// - with consecutiveDelimiters a run of delimiters separates two fields like one delimiter;
// - the first startRow - 1 physical lines are left out before splitting begins, so a quote in
//   a left-out line has no effect on the records.
// A qualifier that is also a delimiter, CR or LF counts as no qualifier; CR or LF as the other
// delimiter is ignored. Whether a quote closes is known only where it closes, so until then the
// text after it is held: a quote that never closes holds the rest of the text once.
class DelimitedSplitter
{
public:
    // `source` must outlive the splitter.
    DelimitedSplitter(unicode::TextSource* source, const ImportOptions& options);

    // Reads the next record; false at the end of the text or on an error (then errorString() is
    // not empty). The fields stay valid until the next call.
    bool next();
    const std::vector<std::string_view>& fields() const { return m_views; }
    // 1-based physical line on which the current record starts.
    std::int64_t line() const { return m_recordLine; }
    // The current record as written, its line end included, and where it begins in the text
    // (a byte offset from the text's start): readers use them to find the line of a position
    // in the record.
    std::string_view recordText() const { return std::string_view(m_buf).substr(m_recordStart, m_pos - m_recordStart); }
    std::uint64_t recordOffset() const { return m_bufOffset + m_recordStart; }
    // The physical line the splitter has reached: after the end, the text's last line.
    std::int64_t currentLine() const { return m_line; }
    // Where the start row begins in the text (a byte offset from its start); beyond any offset
    // while the lines before it are being left out (at the end: the text had no more lines).
    std::uint64_t startRowOffset() const { return m_state == State::SkipLines ? UINT64_MAX : m_startRowOffset; }
    QString errorString() const { return m_error; }

private:
    enum class State { SkipLines, RecordStart, FieldStart, Unquoted, Quoted, AfterQuote, RestOfLine, Delimiters };
    enum class Result { Record, NeedMore, End, Continue };
    enum Class : std::uint8_t { Plain = 0, Delimiter, Cr, Lf, WideDelimiter, QualifierLead };
    struct FieldRef
    {
        bool inStore;
        std::size_t offset;
        std::size_t length;
    };

    // parse() runs the state machine until a record is complete, more text is needed or the text
    // has ended; each state has a step of its own, which returns Continue to go on.
    Result parse();
    bool skipLines();
    Result startRecord();
    Result startField();
    Result readUnquoted();
    Result readQuoted();
    bool findClosingQualifier(std::size_t& p);
    Result readAfterQuote();
    Result readRestOfLine();
    Result skipDelimiters();
    std::size_t scanField(std::size_t pos) const;
    std::size_t delimiterAt(std::size_t pos) const;
    bool qualifierAt(std::size_t pos) const;
    bool endField(std::size_t pos);
    void appendUnquoted(std::size_t begin, std::size_t end);
    void compact();

    unicode::TextSource* m_source;
    bool m_mergeDelimiters;
    std::string m_qualifier;     // UTF-8, empty for none
    std::string m_wideDelimiter; // the other delimiter when it is not ASCII
    Class m_fieldClass[256] = {};
    Class m_quotedClass[256] = {};

    std::string m_buf;                  // text from the current record (or the line being left out) on
    std::uint64_t m_bufOffset = 0;      // offset of m_buf's first byte in the text
    std::uint64_t m_startRowOffset = 0; // where the lines left out end
    std::string m_store;                // the fields of the current record that differ from the text as written
    std::vector<FieldRef> m_fields;
    std::vector<std::string_view> m_views;
    State m_state;
    std::int64_t m_linesToSkip;
    std::size_t m_pos = 0;
    std::size_t m_recordStart = 0;
    std::size_t m_fieldStart = 0;      // unquoted field or the rest of a line
    std::size_t m_storeFieldStart = 0; // quoted field in m_store
    std::size_t m_quoteStart = 0;      // where a quoted field began, to read it again as written
    std::int64_t m_quoteLine = 0;
    std::int64_t m_line = 1;
    std::int64_t m_recordLine = 0;
    bool m_pendingCr = false; // a line ended in CR: an LF right after it belongs to that line end
    bool m_eof = false;
    QString m_error;
};

} // namespace engine
