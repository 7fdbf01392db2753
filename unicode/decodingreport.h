#pragma once
// What a decoding could not hand out as the bytes had it, and where: the seam between the
// decoder, which knows where in the decoded text it replaced a character or left out a NUL, and
// its readers, which know the lines of that text. The decoder notes each Repair by its offset in
// the text; a reader finds the line of that offset (LineCursor) and gathers the lines in a
// DecodingReport, which words the warnings.

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <string_view>

namespace unicode {

struct Repair
{
    enum Kind : std::uint8_t {
        Replaced,   // bytes that were no character became U+FFFD
        DroppedNul, // a NUL character, which no cell can hold, was left out
    };
    // Byte offset in the decoded UTF-8 text, from its start: where the U+FFFD stands, or where
    // the NUL would have stood.
    std::uint64_t offset = 0;
    Kind kind = Replaced;
};

// Follows a text from a known line onwards and tells the physical line it has reached: CR LF,
// LF and CR each end one line (as the import's splitter counts them). A CR LF cut between two
// pieces still ends one line.
class LineCursor
{
public:
    explicit LineCursor(std::int64_t line = 1) : m_line(line) {}
    // Moves over `text`, the text that follows what the cursor has passed.
    void advance(std::string_view text);
    std::int64_t line() const { return m_line; }

private:
    std::int64_t m_line;
    bool m_afterCr = false;
};

// The warnings of one decoded text: the lines that held replaced characters or left-out NUL
// characters and how many there were, and whether the text was taken for UTF-16 without a
// byte-order mark. Lines are noted in text order; the first few are named, the rest counted.
class DecodingReport
{
public:
    // Lines named in a warning before the rest are only counted.
    static constexpr int ListedLines = 10;

    // The encoding the text was read in, as the warnings name it.
    void setEncoding(const QString& name) { m_encoding = name; }
    QString encoding() const { return m_encoding; }
    void setUtf16WithoutMark(bool withoutMark) { m_utf16WithoutMark = withoutMark; }
    void note(Repair::Kind kind, std::int64_t line);

    // Characters replaced by U+FFFD, and NUL characters left out.
    std::int64_t replaced() const { return m_replaced.count; }
    std::int64_t droppedNul() const { return m_droppedNul.count; }
    bool isEmpty() const { return !m_utf16WithoutMark && replaced() == 0 && droppedNul() == 0; }

    // The warnings, Simplified Chinese, one per kind of thing that happened.
    QStringList messages() const;

private:
    struct Lines
    {
        std::int64_t count = 0; // repairs
        QVector<std::int64_t> listed;
        std::int64_t lastLine = 0;
        std::int64_t unlisted = 0; // further lines
        void note(std::int64_t line);
        QString text() const; // "第 3、17 行", "第 1、2、…、10 行及另外 5 行"
    };

    QString m_encoding;
    bool m_utf16WithoutMark = false;
    Lines m_replaced;
    Lines m_droppedNul;
};

} // namespace unicode
