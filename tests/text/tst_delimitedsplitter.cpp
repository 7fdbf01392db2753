#include "text/delimitedsplitter.h"

#include <QtTest>

#include <QRandomGenerator>

#include <algorithm>
#include <iterator>

using engine::DelimitedSplitter;
using engine::ImportOptions;

namespace {

// Hands out a text in pieces of about `chunkSize` bytes, never cutting a UTF-8 sequence (as the
// decoder promises), so every record and quote can be made to cross a piece boundary.
class ChunkedText : public unicode::TextSource
{
public:
    ChunkedText(QByteArray text, int chunkSize) : m_text(std::move(text)), m_chunkSize(chunkSize) {}
    bool nextChunk(std::string_view& chunk) override
    {
        if (m_pos >= m_text.size())
            return false;
        int end = std::min(m_pos + m_chunkSize, int(m_text.size()));
        while (end < m_text.size() && (uchar(m_text[end]) & 0xC0) == 0x80)
            ++end;
        m_piece = m_text.mid(m_pos, end - m_pos); // a copy, so a stale view would show
        chunk = std::string_view(m_piece.constData(), std::size_t(m_piece.size()));
        m_pos = end;
        return true;
    }

private:
    QByteArray m_text;
    QByteArray m_piece;
    int m_chunkSize;
    int m_pos = 0;
};

// "line[field][field] line[field]": records as the splitter gives them.
QString splitText(const QByteArray& text, const ImportOptions& options, int chunkSize)
{
    ChunkedText source(text, chunkSize);
    DelimitedSplitter splitter(&source, options);
    QStringList records;
    while (splitter.next()) {
        QString record = QString::number(splitter.line());
        for (std::string_view field : splitter.fields())
            record += QLatin1Char('[') + QString::fromUtf8(field.data(), int(field.size())) + QLatin1Char(']');
        records << record;
    }
    return records.join(QLatin1Char(' '));
}

} // namespace

class DelimitedSplitterTest : public QObject
{
    Q_OBJECT
private slots:
    void split_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("delimiters"); // t s c p (space) and any other character
        QTest::addColumn<QString>("qualifier");
        QTest::addColumn<bool>("merge");
        QTest::addColumn<int>("startRow");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* name, const char* text, const char* delimiters, const char* expected,
                      const char* qualifier = "\"", bool merge = false, int startRow = 1) {
            QTest::newRow(name) << QByteArray(text) << QString::fromUtf8(delimiters) << QString::fromUtf8(qualifier)
                                << merge << startRow << QString::fromUtf8(expected);
        };

        row("tab", "a\tb\nc\td\n", "t", "1[a][b] 2[c][d]");
        row("crlf", "a,b\r\nc\r\n", "c", "1[a][b] 2[c]");
        row("cr", "a\rb\r", "c", "1[a] 2[b]");
        row("empty lines of every ending", "a\n\nb\r\n\r\nc\r\rd", "c", "1[a] 2 3[b] 4 5[c] 6 7[d]");
        row("no final line break", "a,b", "c", "1[a][b]");
        row("trailing delimiter", "a,", "c", "1[a][]");
        row("empty text", "", "c", "");
        row("one empty line", "\n", "c", "1");
        row("several delimiters", "a;b,c\td e", "sctp", "1[a][b][c][d][e]");
        row("delimiter not chosen", "a;b", "c", "1[a;b]");
        row("other delimiter", "a|b|", "|", "1[a][b][]");
        row("wide other delimiter", "甲；乙；丙\n丁", "；", "1[甲][乙][丙] 2[丁]");

        row("quoted delimiter", "\"a,b\",c", "c", "1[a,b][c]");
        row("doubled qualifier", "\"say \"\"hi\"\"\",x", "c", "1[say \"hi\"][x]");
        row("quoted line break", "\"a\nb\",c\nd", "c", "1[a\nb][c] 3[d]");
        row("quoted crlf becomes lf", "\"a\r\nb\"\r\nd", "c", "1[a\nb] 3[d]");
        row("quoted cr becomes lf", "\"a\rb\"", "c", "1[a\nb]");
        row("quoted empty lines", "\"a\n\nb\"\nc", "c", "1[a\n\nb] 4[c]");
        row("empty quoted field", "\"\",a", "c", "1[][a]");
        row("only doubled qualifiers", "\"\"\"\"", "c", "1[\"]");
        row("text after closing qualifier", "\"ab\"cd,e", "c", "1[abcd][e]");
        row("qualifier after closing is ordinary", "\"a\"b\"c,d", "c", "1[ab\"c][d]");
        row("qualifier inside unquoted field", "ab\"c,d\"", "c", "1[ab\"c][d\"]");
        row("blank before qualifier", " \"a,b\"", "c", "1[ \"a][b\"]");
        row("single-quote qualifier", "'a,b',c", "c", "1[a,b][c]", "'");
        row("double quote ordinary under single", "\"a,b\"", "c", "1[\"a][b\"]", "'");
        row("no qualifier", "\"a,b\"", "c", "1[\"a][b\"]", "");
        row("qualifier that is a delimiter", "\"a\"b", "\"", "1[][a][b]");

        row("unclosed quote", "a,\"b,c\nd,e\n", "c", "1[a][\"b,c] 2[d][e]");
        row("unclosed quote on last line", "a\n\"b", "c", "1[a] 2[\"b]");
        row("unclosed after doubled", "\"x\"\"\nz", "c", "1[\"x\"\"] 2[z]");
        row("unclosed then quoted", "\"a\n\"\"b", "c", "1[\"a] 2[b]");
        row("unclosed quote keeps cr lf", "\"a,b\r\nc", "c", "1[\"a,b] 2[c]");

        row("merge run", "a,,b", "c", "1[a][b]", "\"", true);
        row("no merge", "a,,b", "c", "1[a][][b]");
        row("merge run at start", ",,a", "c", "1[][a]", "\"", true);
        row("merge run at end", "a,,\nb", "c", "1[a][] 2[b]", "\"", true);
        row("merge mixed delimiters", "a,;b", "sc", "1[a][b]", "\"", true);
        row("merge spaces", "a b   c", "p", "1[a][b][c]", "\"", true);
        row("merge keeps quoted empty", "a,\"\",b", "c", "1[a][][b]", "\"", true);

        row("start row", "h1\nh2\na\nb", "c", "3[a] 4[b]", "\"", false, 3);
        row("start row crlf", "h\r\na\r\n", "c", "2[a]", "\"", false, 2);
        row("start row cr", "h\rа\r", "c", "2[а]", "\"", false, 2);
        row("start row counts physical lines", "\"x\ny\nz", "c", "2[y] 3[z]", "\"", false, 2);
        row("start row beyond the text", "a\n", "c", "", "\"", false, 5);
        row("start row zero", "a", "c", "1[a]", "\"", false, 0);
        row("empty line after start row", "h\n\na", "c", "2 3[a]", "\"", false, 2);
    }

    void split()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, delimiters);
        QFETCH(QString, qualifier);
        QFETCH(bool, merge);
        QFETCH(int, startRow);
        QFETCH(QString, expected);

        ImportOptions options;
        options.tab = delimiters.contains('t');
        options.semicolon = delimiters.contains('s');
        options.comma = delimiters.contains('c');
        options.space = delimiters.contains('p');
        for (QChar c : delimiters) {
            if (!QStringLiteral("tscp").contains(c))
                options.other = c.unicode();
        }
        options.qualifier = qualifier.isEmpty() ? 0 : qualifier.at(0).unicode();
        options.consecutiveDelimiters = merge;
        options.startRow = startRow;

        // Every chunk size, so each line break, doubled qualifier and CR LF pair is cut apart
        // somewhere.
        for (int chunkSize : {1, 2, 3, 5, 8, 1 << 16})
            QCOMPARE(splitText(text, options, chunkSize) + QStringLiteral(" /%1").arg(chunkSize),
                     expected + QStringLiteral(" /%1").arg(chunkSize));
    }

    // Whatever the text, where the chunks happen to end never changes the records: random texts
    // made of the characters that matter, split whole and in small pieces.
    void chunkBoundariesNeverMatter()
    {
        const char* alphabet[] = {"a", "b", ",", ";", "\"", "\"", "\r", "\n", " ", "中", "；"};
        QRandomGenerator random(20240105);
        for (int round = 0; round < 3000; ++round) {
            QByteArray text;
            const int length = random.bounded(0, 24);
            for (int i = 0; i < length; ++i)
                text += alphabet[random.bounded(int(std::size(alphabet)))];
            ImportOptions options;
            options.comma = true;
            options.semicolon = random.bounded(2);
            options.space = random.bounded(2);
            options.other = random.bounded(2) ? U'；' : 0;
            options.consecutiveDelimiters = random.bounded(2);
            options.qualifier = random.bounded(3) ? U'"' : 0;
            options.startRow = random.bounded(1, 4);
            const QString whole = splitText(text, options, 1 << 16);
            for (int chunkSize : {1, 2, 3, 4}) {
                if (splitText(text, options, chunkSize) != whole)
                    QFAIL(qPrintable(
                        QStringLiteral("text %1, chunk size %2")
                            .arg(QString::fromLatin1(text.toPercentEncoding()), QString::number(chunkSize))));
            }
        }
    }

    // A quoted field much longer than a chunk, and records that follow it, come out whole.
    void longQuotedField()
    {
        const QByteArray body(100000, 'x');
        const QByteArray text = "\"" + body + "\n" + body + "\",2\n3,4\n";
        ImportOptions options;
        options.comma = true;
        ChunkedText source(text, 4096);
        DelimitedSplitter splitter(&source, options);
        QVERIFY(splitter.next());
        QCOMPARE(splitter.fields().size(), std::size_t(2));
        QCOMPARE(splitter.fields()[0].size(), std::size_t(2 * body.size() + 1));
        QVERIFY(splitter.next());
        QCOMPARE(splitter.line(), 3);
        QCOMPARE(QByteArray(splitter.fields()[0].data(), 1), QByteArray("3"));
        QVERIFY(!splitter.next());
    }

    // A failing source ends the split with its message; the cut record is not handed out.
    void sourceError()
    {
        struct Failing : unicode::TextSource
        {
            bool first = true;
            bool nextChunk(std::string_view& chunk) override
            {
                if (!first)
                    return false;
                first = false;
                chunk = "a,b\nc,d";
                return true;
            }
            QString errorString() const override { return first ? QString() : QStringLiteral("disk gone"); }
        } source;
        ImportOptions options;
        options.comma = true;
        DelimitedSplitter splitter(&source, options);
        QVERIFY(splitter.next());
        QVERIFY(!splitter.next());
        QCOMPARE(splitter.errorString(), QStringLiteral("disk gone"));
    }
};

QTEST_APPLESS_MAIN(DelimitedSplitterTest)
#include "tst_delimitedsplitter.moc"
