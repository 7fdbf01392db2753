#include "unicode/codepages.h"
#include "unicode/textdecoder.h"
#include "unicode/utf8.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTextCodec>
#include <QtTest>

#include <iterator>

using unicode::TextDecoder;

namespace {

// Decodes all of `bytes`, reading `chunkSize` bytes at a time; the text, or "error: ..." when
// start() refuses. `repairs` lists the decoder's repairs: "R3" a U+FFFD at byte 3 of the text,
// "N5" a NUL left out at byte 5.
QByteArray decodeAll(const QByteArray& bytes, int codePage, std::size_t chunkSize, QByteArray* encoding = nullptr,
                     QString* repairs = nullptr)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    TextDecoder decoder(&buffer, chunkSize);
    if (!decoder.start(codePage))
        return "error: " + decoder.errorString().toUtf8();
    if (encoding)
        *encoding = decoder.encodingName().toLatin1();
    QByteArray text;
    QStringList repaired;
    std::string_view chunk;
    while (decoder.nextChunk(chunk)) {
        if (chunk.empty())
            return "error: empty chunk";
        text.append(chunk.data(), int(chunk.size()));
    }
    unicode::Repair repair;
    while (decoder.takeRepair(UINT64_MAX, &repair))
        repaired << QStringLiteral("%1%2").arg(repair.kind == unicode::Repair::Replaced ? 'R' : 'N').arg(repair.offset);
    if (repairs)
        *repairs = repaired.join(' ');
    if (!decoder.errorString().isEmpty())
        return "error: " + decoder.errorString().toUtf8();
    return text;
}

// A device whose reads fail once `failAt` bytes have been read.
class FailingBuffer : public QBuffer
{
public:
    explicit FailingBuffer(qint64 failAt) : m_failAt(failAt) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (pos() >= m_failAt) {
            setErrorString(QStringLiteral("device failed"));
            return -1;
        }
        return QBuffer::readData(data, std::min(maxSize, m_failAt - pos()));
    }

private:
    qint64 m_failAt;
};

} // namespace

class TextDecoderTest : public QObject
{
    Q_OBJECT
private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("codePage");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("encoding");
        // The repairs as decodeAll() lists them; a null string leaves them unchecked.
        QTest::addColumn<QString>("repairs");
        auto row = [](const char* name, const QByteArray& bytes, int codePage, const QByteArray& expected,
                      const QByteArray& encoding, const QString& repairs = QString()) {
            QTest::newRow(name) << bytes << codePage << expected << encoding << repairs;
        };
        const QByteArray chinese = "中文";
        const QByteArray fffd = "\xEF\xBF\xBD";

        row("utf-8", "a\tb\n中文😀", 65001, "a\tb\n中文😀", "UTF-8");
        row("utf-8 bom dropped",
            "\xEF\xBB\xBF"
            "a",
            65001, "a", "UTF-8");
        row("utf-8 bom overrides gbk", "\xEF\xBB\xBF" + chinese, 936, chinese, "UTF-8");
        row("only a bom", "\xEF\xBB\xBF", 65001, "", "UTF-8");
        row("second bom kept",
            "\xEF\xBB\xBF\xEF\xBB\xBF"
            "a",
            65001,
            "\xEF\xBB\xBF"
            "a",
            "UTF-8");
        row("utf-16le bom",
            QByteArray("\xFF\xFE"
                       "a\0\x2D\x4E",
                       6),
            65001, "a中", "UTF-16LE");
        row("utf-16be bom", QByteArray("\xFE\xFF\0a\x4E\x2D", 6), 936, "a中", "UTF-16BE");
        row("utf-16le by code page", QByteArray("a\0\n\0", 4), 1200, "a\n", "UTF-16LE");
        row("utf-16be by code page", QByteArray("\0a\0\n", 4), 1201, "a\n", "UTF-16BE");
        row("utf-16 surrogate pair", QByteArray("\x3D\xD8\x00\xDE", 4), 1200, "😀", "UTF-16LE");
        row("utf-16 lone high surrogate",
            QByteArray("\x3D\xD8"
                       "a\0",
                       4),
            1200, fffd + "a", "UTF-16LE", "R0");
        row("utf-16 lone low surrogate",
            QByteArray("\x00\xDE"
                       "a\0",
                       4),
            1200, fffd + "a", "UTF-16LE");
        row("utf-16 odd last byte", QByteArray("a\0b", 3), 1200, "a" + fffd, "UTF-16LE", "R1");
        row("utf-16 high surrogate at end", QByteArray("a\0\x3D\xD8", 4), 1200, "a" + fffd, "UTF-16LE", "R1");
        row("utf-16 high surrogate and odd byte at end", QByteArray("a\0\x3D\xD8x", 5), 1200, "a" + fffd + fffd,
            "UTF-16LE", "R1 R4");
        row("utf-16 NUL left out", QByteArray("a\0\0\0b\0", 6), 1200, "ab", "UTF-16LE", "N1");
        row("utf-32le mark",
            QByteArray("\xFF\xFE\0\0"
                       "a\0\0\0\x00\xF6\x01\x00",
                       12),
            65001, "a😀", "UTF-32LE", "");
        row("utf-32be mark before utf-16", QByteArray("\0\0\xFE\xFF\0\0\0a", 8), 1200, "a", "UTF-32BE", "");
        row("utf-32le by code page", QByteArray("a\0\0\0", 4), 12000, "a", "UTF-32LE");
        row("utf-32 beyond U+10FFFF, surrogate, cut unit",
            QByteArray("\0\0\x11\0\0\xD8\0\0"
                       "ab",
                       10),
            12000, fffd + fffd + fffd, "UTF-32LE", "R0 R3 R6");

        row("invalid byte",
            "a\xFF"
            "b",
            65001, "a" + fffd + "b", "UTF-8", "R1");
        row("truncated at end", "a\xE4\xB8", 65001, "a" + fffd, "UTF-8", "R1");
        row("NUL left out of utf-8", QByteArray("a\0\xFF\0b\0", 6), 65001, "a" + fffd + "b", "UTF-8", "N1 R1 N4 N5");
        row("truncated before ascii",
            "\xE4\xB8"
            "a",
            65001, fffd + "a", "UTF-8");
        row("over-long form", "\xC0\xAF", 65001, fffd + fffd, "UTF-8");
        row("encoded surrogate", "\xED\xA0\x80", 65001, fffd + fffd + fffd, "UTF-8");
        row("beyond U+10FFFF", "\xF4\x90\x80\x80", 65001, fffd + fffd + fffd + fffd, "UTF-8");
        row("lone continuation bytes",
            "\x80\x80"
            "x",
            65001, fffd + fffd + "x", "UTF-8");

        row("gbk", "\xD6\xD0\xCE\xC4", 936, chinese, "GB18030");
        row("gb18030 four bytes", "\x94\x39\xFC\x36", 936, "😀", "GB18030");
        row("gb18030 truncated at end", "a\xD6", 936, "a" + fffd, "GB18030", "R1");
        row("gb18030 bad byte and NUL", QByteArray("a\xFF\xD6\xD0\0", 5), 936, "a" + fffd + "中", "GB18030", "R1 N7");
        row("windows-1252", "caf\xE9 \x80", 1252, "café €", "windows-1252");
        row("windows-1253", "\xC5\xEB\xEB\xDC\xE4\xE1", 1253, "Ελλάδα", "windows-1253");
        row("dos cyrillic 866", "\x8F\xE0\xA8\xA2\xA5\xE2", 866, "Привет", "");
        row("shift_jis 932", "\x93\xFA\x96\x7B", 932, "日本", "");
        row("big5 950", "\xA4\xA4\xA4\xE5", 950, chinese, "");
        row("korean 949", "\xC7\xD1\xB1\xB9", 949, "한국", "");
        row("iso-8859-2", "\xB1", 28592, "ą", "");

        row("recognise utf-8", "a,中文\n", 0, "a,中文\n", "UTF-8");
        row("recognise gbk", "a,\xD6\xD0\xCE\xC4\n", 0, "a," + chinese + "\n", "GB18030");
        row("recognise gbk after long ascii", QByteArray(5000, 'x') + "\xD6\xD0\xCE\xC4", 0,
            QByteArray(5000, 'x') + chinese, "GB18030");
        row("recognise utf-16 bom",
            QByteArray("\xFF\xFE"
                       "a\0",
                       4),
            0, "a", "UTF-16LE");
        row("recognise truncated utf-8 at end", "a\xE4\xB8", 0, "a涓", "GB18030");
        row("recognise empty", "", 0, "", "UTF-8");
        row("recognise utf-32le mark", QByteArray("\xFF\xFE\0\0\x2D\x4E\0\0", 8), 0, "中", "UTF-32LE", "");
        row("recognise utf-16le without mark", QByteArray("a\0b\0,\0\x2D\x4E\n\0", 10), 0, "ab,中\n", "UTF-16LE", "");
        row("recognise utf-16be without mark", QByteArray("\0a\0b\0\n", 6), 0, "ab\n", "UTF-16BE");
        row("recognise utf-16 with a zero low byte", QByteArray("\x00\x4E", 2) + QByteArray("a\0", 2).repeated(20), 0,
            "一" + QByteArray(20, 'a'), "UTF-16LE");
        // Qt's UTF-16 codecs write a byte-order mark unless told not to.
        auto unmarked = [](const char* codec, const QString& text) {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            return QTextCodec::codecForName(codec)->fromUnicode(text.constData(), text.size(), &state);
        };
        // "一" (U+4E00) has a zero low byte: common in Chinese, still far rarer than tabs and
        // line ends.
        QString classes;
        for (int i = 0; i < 10; ++i)
            classes += QStringLiteral("姓名\t班级\t名次\n张一鸣\t高一(1)班\t第一\n刘一\t高一(2)班\t第十一\n");
        row("recognise utf-16le without mark, many 一", unmarked("UTF-16LE", classes), 0, classes.toUtf8(), "UTF-16LE",
            "");
        row("recognise utf-16be without mark, many 一", unmarked("UTF-16BE", classes), 0, classes.toUtf8(), "UTF-16BE",
            "");
        // Prose: forty Chinese characters to a line, the line end its only zero bytes.
        QString prose;
        for (int i = 0; i < 20; ++i)
            prose += QString(39, QChar(0x6587 + i)) + QChar(0x4E00) + QStringLiteral("\r\n");
        row("recognise utf-16le prose without mark", unmarked("UTF-16LE", prose), 0, prose.toUtf8(), "UTF-16LE", "");
        // Prose in which 一 and the indent U+3000 (zero low bytes) outnumber the line ends, and a
        // small table with 一 in it.
        const QString story = QStringLiteral("那一年冬天，我们一家人搬到了城南的一条小巷里。\n").repeated(20);
        row("recognise utf-16le prose, 一 more often than line ends", unmarked("UTF-16LE", story), 0, story.toUtf8(),
            "UTF-16LE", "");
        row("recognise utf-16be prose, 一 more often than line ends", unmarked("UTF-16BE", story), 0, story.toUtf8(),
            "UTF-16BE", "");
        const QString indented = QStringLiteral("\u3000\u3000今天天气很好，我们去公园散步。\r\n").repeated(20);
        row("recognise utf-16le prose indented with U+3000", unmarked("UTF-16LE", indented), 0, indented.toUtf8(),
            "UTF-16LE", "");
        const QString table = QStringLiteral("部门\t负责人\n第一车间\t王一\n第二车间\t李二\n");
        row("recognise a small utf-16le table with 一", unmarked("UTF-16LE", table), 0, table.toUtf8(), "UTF-16LE", "");
        // A NUL at the same place of every line of an even length: one-sided zeros, but ASCII or
        // GBK around them.
        const QByteArray asciiNul = QByteArray("abc\t1234\0\n", 10).repeated(100);
        row("recognise ascii lines with a NUL at the same place", asciiNul, 0, QByteArray("abc\t1234\n").repeated(100),
            "UTF-8");
        QByteArray gbkNul;
        QString gbkNulText;
        for (int i = 0; i < 100; ++i) {
            const QString line = QStringLiteral("张三\t北京\t%1").arg(i, 4, 10, QLatin1Char('0'));
            gbkNul += QTextCodec::codecForName("GBK")->fromUnicode(line) + QByteArray("\0\n", 2);
            gbkNulText += line + QStringLiteral("\n");
        }
        row("recognise gbk lines with a NUL at the same place", gbkNul, 0, gbkNulText.toUtf8(), "GB18030");
        // Stray NULs in a GBK text fall in either position: no UTF-16 pattern.
        QByteArray strayNuls;
        QString withoutNuls;
        for (int i = 1; i <= 40; ++i) {
            const QString line = QStringLiteral("%1\t张三\t北京\r\n").arg(i);
            strayNuls += QTextCodec::codecForName("GBK")->fromUnicode(line) + QByteArray(1, '\0');
            withoutNuls += line;
        }
        row("recognise gbk with a NUL after each line", strayNuls, 0, withoutNuls.toUtf8(), "GB18030");
        // NULs in a pattern that is no UTF-16: names as `find -print0` lists them, lines that each
        // end in a NUL, fixed GBK records padded with a NUL.
        QByteArray printed;
        QString printedText;
        QByteArray ended;
        QString endedText;
        QByteArray records;
        QString recordsText;
        for (int i = 0; i < 40; ++i) {
            const QString name = QStringLiteral("./报表/第%1季度.txt").arg(i % 10);
            printed += name.toUtf8() + QByteArray(1, '\0');
            printedText += name;
            const QString line = QStringLiteral("%1\t张三\t北京市\n").arg(i % 10);
            ended += line.toUtf8() + QByteArray(1, '\0');
            endedText += line;
            const QString record = QStringLiteral("编号%1\t姓名李四\t城市上海").arg(i % 10);
            QByteArray gbk = QTextCodec::codecForName("GBK")->fromUnicode(record);
            gbk.append(QByteArray(63 - gbk.size(), ' '));
            records += gbk + QByteArray(1, '\0');
            recordsText += record + QString(63 - QTextCodec::codecForName("GBK")->fromUnicode(record).size(), ' ');
        }
        row("recognise NUL-separated utf-8 names", printed, 0, printedText.toUtf8(), "UTF-8");
        row("recognise utf-8 lines each ending in a NUL", ended, 0, endedText.toUtf8(), "UTF-8");
        row("recognise gbk records padded to 64 bytes with a NUL", records, 0, recordsText.toUtf8(), "GB18030");
        row("recognise utf-32le without mark: not utf-16", QByteArray("a\0\0\0b\0\0\0\n\0\0\0", 12), 0, "ab\n",
            "UTF-8");
        row("recognise two stray NULs in utf-8", QByteArray("first line\0 of the text\nsecond line\0 of it\n", 43), 0,
            "first line of the text\nsecond line of it\n", "UTF-8", "N10 N34");
        // A few damaged sequences leave a UTF-8 text UTF-8 (at most one per twenty valid
        // multi-byte ones); more make it GBK.
        const QByteArray twenty = QString(20, QChar(0x4E2D)).toUtf8();
        row("recognise one bad byte among twenty utf-8 characters", twenty + "\xFF", 0, twenty + fffd, "UTF-8", "R60");
        const QByteArray nineteen = QString(19, QChar(0x4E2D)).toUtf8() + "\xFF";
        row("recognise one bad byte among nineteen utf-8 characters", nineteen, 0,
            QTextCodec::codecForName("GB18030")->toUnicode(nineteen).toUtf8(), "GB18030");
        QString sixty;
        for (int i = 1; i <= 60; ++i)
            sixty += QStringLiteral("%1\t张三\t北京市朝阳区建国路%1号\r\n").arg(i);
        QByteArray damaged = sixty.toUtf8();
        const int at = damaged.indexOf("30\t");
        damaged.insert(at, '\x80');
        row("recognise 60 lines of utf-8 with one bad byte", damaged, 0, sixty.toUtf8().insert(at, fffd), "UTF-8",
            QStringLiteral("R%1").arg(at));
        const QByteArray gbk60 = QTextCodec::codecForName("GBK")->fromUnicode(sixty);
        row("recognise 60 lines of gbk", gbk60, 0, sixty.toUtf8(), "GB18030", "");

        row("unknown code page", "a", 12345, "error: Unknown code page 12345: no decoder for it", "");
        row("negative code page", "a", -1, "error: Unknown code page -1: no decoder for it", "");
    }

    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, codePage);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, encoding);
        QFETCH(QString, repairs);
        for (std::size_t chunkSize : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(4), std::size_t(7),
                                      TextDecoder::DefaultChunkSize}) {
            QByteArray name;
            QString repaired;
            QCOMPARE(decodeAll(bytes, codePage, chunkSize, &name, &repaired), expected);
            if (!encoding.isEmpty())
                QCOMPARE(name, encoding);
            if (!repairs.isNull())
                QCOMPARE(repaired, repairs);
        }
    }

    // Code page 2 follows the system's 8-bit code page, here set to GBK as on a Simplified
    // Chinese system.
    void systemCodePage()
    {
        QTextCodec* previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
        const QByteArray text = decodeAll("\xD6\xD0\xCE\xC4", 2, 3);
        QTextCodec::setCodecForLocale(previous);
        QCOMPARE(text, QByteArray("中文"));
        QCOMPARE(decodeAll("中文", 2, 3), QByteArray("中文")); // the test runs under a UTF-8 locale
    }

    // The C library's codeset names, as nl_langinfo gives them, and the codec each makes the
    // system's code page; UTF-8, ASCII (the "C" locale) and unknown names leave Qt's choice.
    void localeCodeset_data()
    {
        QTest::addColumn<QByteArray>("codeset");
        QTest::addColumn<int>("codePage");
        QTest::newRow("GBK") << QByteArray("GBK") << 936;
        QTest::newRow("GB18030") << QByteArray("GB18030") << 936;
        QTest::newRow("BIG5") << QByteArray("BIG5") << 950;
        QTest::newRow("UTF-8: Qt's choice") << QByteArray("UTF-8") << -1;
        QTest::newRow("C locale") << QByteArray("ANSI_X3.4-1968") << -1;
        QTest::newRow("unknown") << QByteArray("NO-SUCH-CODESET") << -1;
        QTest::newRow("empty") << QByteArray() << -1;
    }
    void localeCodeset()
    {
        QFETCH(QByteArray, codeset);
        QFETCH(int, codePage);
        const QTextCodec* codec = unicode::codecForCodeset(codeset.isNull() ? nullptr : codeset.constData());
        QCOMPARE(codec ? unicode::codePageOfCodec(codec) : -1, codePage);
    }

    void readError()
    {
        FailingBuffer device(10);
        device.setData(QByteArray(100, 'a'));
        device.open(QIODevice::ReadOnly);
        TextDecoder decoder(&device, 4);
        QVERIFY(decoder.start(65001));
        std::string_view chunk;
        int pieces = 0;
        while (decoder.nextChunk(chunk))
            ++pieces;
        QVERIFY(pieces >= 2);
        QVERIFY(decoder.errorString().contains(QStringLiteral("device failed")));
        QVERIFY(decoder.readFailed());

        // Recognition reads the whole device first: a failing read stops it there.
        FailingBuffer recognised(10);
        recognised.setData(QByteArray(100, 'a'));
        recognised.open(QIODevice::ReadOnly);
        TextDecoder recogniser(&recognised, 4);
        QVERIFY(!recogniser.start(0));
        QVERIFY(recogniser.readFailed());
        QVERIFY(recogniser.errorString().contains(QStringLiteral("device failed")));
        QVERIFY(!recogniser.stopped());

        // A stop now, asked for from another thread, ends recognition, which reads a whole large
        // text before anything is decoded, at its next piece.
        QBuffer large;
        large.setData(QByteArray(100, 'a'));
        large.open(QIODevice::ReadOnly);
        TextDecoder stoppable(&large, 4);
        std::atomic<bool> stop{true};
        stoppable.setStopFlag(&stop);
        QVERIFY(!stoppable.start(0));
        QVERIFY(stoppable.stopped());
        QVERIFY(!stoppable.readFailed());
    }

    // Random bytes: the text is valid UTF-8 and the same whatever the chunk size, so a character
    // or an invalid sequence cut by a chunk end is treated as if it were whole.
    void randomBytesChunkInvariant()
    {
        const char* pieces[] = {"a",    "\n",   "\xC3", "\xA9", "\xE4", "\xB8", "\xAD",        "\xF0",
                                "\x9F", "\x98", "\x80", "\xFF", "\xED", "\xA0", "\xEF\xBB\xBF"};
        QRandomGenerator random(7);
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes;
            const int length = random.bounded(0, 16);
            for (int i = 0; i < length; ++i)
                bytes += pieces[random.bounded(int(std::size(pieces)))];
            const QByteArray whole = decodeAll(bytes, 65001, 4096);
            QCOMPARE(unicode::utf8::validPrefix(whole.constData(), std::size_t(whole.size())),
                     std::size_t(whole.size()));
            for (std::size_t chunkSize : {1, 2, 3, 5})
                QCOMPARE(decodeAll(bytes, 65001, chunkSize), whole);
        }
    }

    // Checking, counting, cutting and converting agree on what a text holds: each damaged
    // sequence is one U+FFFD, so the .xls string table and the saver's limits count alike.
    void utf8Text_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("valid");
        QTest::addColumn<int>("characters");
        QTest::addColumn<int>("units");
        QTest::addColumn<QByteArray>("fourUnits"); // the prefix within four UTF-16 units
        QTest::addColumn<QString>("utf16");
        const QString r(QChar::ReplacementCharacter);
        QTest::newRow("ascii longer than a word")
            << QByteArray("abcdefghijklmnop") << 16 << 16 << 16 << QByteArray("abcd") << "abcdefghijklmnop";
        QTest::newRow("invalid after eight ascii")
            << QByteArray("abcdefgh\xFFz") << 8 << 10 << 10 << QByteArray("abcd") << QString("abcdefgh" + r + "z");
        QTest::newRow("four-byte character") << QByteArray("ab😀") << 6 << 3 << 4 << QByteArray("ab😀") << "ab😀";
        QTest::newRow("four-byte character not cut in half")
            << QByteArray("abc😀d") << 8 << 5 << 6 << QByteArray("abc") << "abc😀d";
        QTest::newRow("cut four-byte character")
            << QByteArray("ab\xF0\x9F\x98") << 2 << 3 << 3 << QByteArray("ab\xF0\x9F\x98") << QString("ab" + r);
        QTest::newRow("highest code point") << QByteArray("\xF4\x8F\xBF\xBF") << 4 << 1 << 2
                                            << QByteArray("\xF4\x8F\xBF\xBF") << QString::fromUcs4(U"\U0010FFFF");
        QTest::newRow("damaged sequences count once each") << QByteArray("\xE4\xB8\xC0\xAF"
                                                                         "xyz")
                                                           << 0 << 6 << 6
                                                           << QByteArray("\xE4\xB8\xC0\xAF"
                                                                         "x")
                                                           << QString(r + r + r + "xyz");
    }

    void utf8Text()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, valid);
        QFETCH(int, characters);
        QFETCH(int, units);
        QFETCH(QByteArray, fourUnits);
        QFETCH(QString, utf16);
        const std::string_view text(bytes.constData(), std::size_t(bytes.size()));
        QCOMPARE(int(unicode::utf8::validPrefix(text.data(), text.size())), valid);
        QCOMPARE(int(unicode::utf8::characterCount(text)), characters);
        QCOMPARE(int(unicode::utf8::utf16Length(text)), units);
        const std::string_view left = unicode::utf8::leftUtf16Units(text, 4);
        QCOMPARE(QByteArray(left.data(), int(left.size())), fourUnits);
        std::vector<char16_t> converted;
        unicode::utf8::appendUtf16(text, converted);
        QCOMPARE(QString::fromUtf16(converted.data(), int(converted.size())), utf16);
        std::string repaired;
        unicode::utf8::appendRepaired(repaired, text.data(), text.size());
        QCOMPARE(QString::fromStdString(repaired), utf16);
    }
};

QTEST_APPLESS_MAIN(TextDecoderTest)
#include "tst_textdecoder.moc"
