#include "convert/sourcetext.h"
#include "support/workbookreadback.h"
#include "unicode/codepages.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

QByteArray gbk(const QString& text)
{
    return QTextCodec::codecForName("GBK")->fromUnicode(text);
}

QByteArray utf16le(const QString& text, bool bom)
{
    QByteArray bytes;
    if (bom)
        bytes.append("\xFF\xFE", 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

QByteArray utf16be(const QString& text)
{
    QByteArray bytes("\xFE\xFF", 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() >> 8));
        bytes.append(char(c.unicode() & 0xFF));
    }
    return bytes;
}

ConversionOptions choice(const QString& name)
{
    ConversionOptions options;
    options.sourceUcs2 = name == QLatin1String("ucs2");
    options.sourceUtf8Bom = name == QLatin1String("utf8bom");
    return options;
}

// Sets the locale's codec for the length of a test, as a Simplified-Chinese system has it.
class LocaleCodec
{
public:
    explicit LocaleCodec(const char* name) : previous(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(name));
    }
    ~LocaleCodec() { QTextCodec::setCodecForLocale(previous); }

private:
    QTextCodec* previous;
};

} // namespace

class SourceTextTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // The import file of `source`, and its code page; -1 when it could not be written or its
    // warnings differ from those of the whole text's decoding (both must read alike).
    QByteArray importBytes(const QByteArray& source, const ConversionOptions& options, int* codePage)
    {
        const QString sourcePath = dir.filePath(QStringLiteral("source.txt"));
        writeBytes(sourcePath, source);
        const ImportFileResult result = prepareImportFile(sourcePath, dir.filePath("import.txt"), options);
        if (!result.ok)
            qWarning() << result.failure.text();
        const QStringList wholeWarnings = decodeSourceBytes(source, options).report.messages();
        if (result.warnings != wholeWarnings)
            qWarning() << "import file warnings" << result.warnings << "whole text" << wholeWarnings;
        *codePage = result.ok && result.warnings == wholeWarnings ? result.codePage : -1;
        return readBytes(dir.filePath("import.txt"));
    }

private slots:
    // Warnings name the lines (CR LF, LF and CR each end one) and count characters.
    void decoding_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("warnings");
        const QString chinese = QStringLiteral("姓名\t身份证\r\n张三\t110101199003071234\r\n");
        const QString r(QChar::ReplacementCharacter);
        auto replaced = [](const QString& lines, int count, const QString& encoding) {
            return QStringLiteral("第 %1 行：%2 个字符无法按 %3 解码，已替换为 U+FFFD (\uFFFD)")
                .arg(lines)
                .arg(count)
                .arg(encoding);
        };
        auto nul = [](const QString& lines, int count) {
            return QStringLiteral("第 %1 行：%2 个空字符 (NUL) 无法存入单元格，已略去").arg(lines).arg(count);
        };
        QTest::newRow("empty file") << QByteArray() << "none"
                                    << "" << QStringList();
        QTest::newRow("ascii") << QByteArray("a\tb\r\n1\t2") << "none"
                               << "a\tb\r\n1\t2" << QStringList();
        QTest::newRow("ascii under the local choice") << QByteArray("a\tb") << "utf8bom"
                                                      << "a\tb" << QStringList();
        QTest::newRow("utf-8 without mark") << chinese.toUtf8() << "none" << chinese << QStringList();
        QTest::newRow("utf-8 mark dropped")
            << QByteArray("\xEF\xBB\xBF") + chinese.toUtf8() << "none" << chinese << QStringList();
        QTest::newRow("gbk recognised") << gbk(chinese) << "none" << chinese << QStringList();
        QTest::newRow("invalid bytes without enough valid ones make the whole file GBK")
            << QByteArray("caf\xC3\xA9 \xB0\xA1") << "none"
            << QTextCodec::codecForName("GB18030")->toUnicode("caf\xC3\xA9 \xB0\xA1") << QStringList();
        QTest::newRow("utf-16le with mark, chosen") << utf16le(chinese, true) << "ucs2" << chinese << QStringList();
        QTest::newRow("utf-16le without mark, chosen") << utf16le(chinese, false) << "ucs2" << chinese << QStringList();
        QTest::newRow("utf-16be with mark, chosen") << utf16be(chinese) << "ucs2" << chinese << QStringList();
        QTest::newRow("utf-16le mark without a choice") << utf16le(chinese, true) << "none" << chinese << QStringList();
        QTest::newRow("utf-16be mark without a choice") << utf16be(chinese) << "none" << chinese << QStringList();
        QTest::newRow("utf-8 mark overrides the UCS-2 choice")
            << QByteArray("\xEF\xBB\xBF") + chinese.toUtf8() << "ucs2" << chinese << QStringList();
        QTest::newRow("utf-32le mark") << QByteArray("\xFF\xFE\0\0a\0\0\0\x2D\x4E\0\0\x00\xF6\x01\0", 16) << "none"
                                       << QStringLiteral("a中😀") << QStringList();
        // Without a mark or a choice, plain ASCII UTF-16 is recognised by its zero bytes instead
        // of ending after its first character or losing every other byte.
        QTest::newRow("utf-16le ascii without mark or choice")
            << utf16le(QStringLiteral("ab,c\r\n"), false) << "none"
            << "ab,c\r\n"
            << QStringList{"文本没有字节顺序标记，按其零字节的位置当作 UTF-16LE 读取"};
        QTest::newRow("utf-16le chinese without mark or choice")
            << utf16le(chinese, false) << "none" << chinese
            << QStringList{"文本没有字节顺序标记，按其零字节的位置当作 UTF-16LE 读取"};
        QTest::newRow("NUL inside utf-8 keeps what follows") << QByteArray("a\0b\tc", 5) << "none"
                                                             << "ab\tc" << QStringList{nul("1", 1)};
        QTest::newRow("odd size under UTF-16 marks the lone byte")
            << QByteArray("a\0b", 3) << "ucs2" << QString("a" + r) << QStringList{replaced("1", 1, "UTF-16LE")};
        QTest::newRow("non-BMP character in utf-8")
            << QByteArray("x\xF0\x9F\x98\x80y") << "none" << QStringLiteral("x😀y") << QStringList();
        QTest::newRow("overlong form is not utf-8")
            << QByteArray("\xC0\xAF") << "none" << QTextCodec::codecForName("GB18030")->toUnicode("\xC0\xAF")
            << QStringList();
        // One damaged byte no longer turns a UTF-8 text into GBK.
        QString sixty;
        for (int i = 1; i <= 60; ++i)
            sixty += QStringLiteral("第%1行\t张三\t北京市朝阳区\r\n").arg(i);
        QByteArray damaged = sixty.toUtf8();
        damaged.insert(damaged.indexOf(QStringLiteral("第30行").toUtf8()), '\xFF');
        QString repaired = sixty;
        repaired.insert(repaired.indexOf(QStringLiteral("第30行")), r);
        QTest::newRow("one bad byte in 60 lines of utf-8")
            << damaged << "none" << repaired << QStringList{replaced("30", 1, "UTF-8")};
        const QByteArray twenty = QString(20, QChar(0x4E2D)).toUtf8();
        QTest::newRow("CR LF, CR and LF each end one line")
            << twenty + "\r\nx\ry\n\xFF"
            << "none" << QString(20, QChar(0x4E2D)) + "\r\nx\ry\n" + r << QStringList{replaced("4", 1, "UTF-8")};
        QByteArray twelve;
        QString twelveText;
        for (int i = 0; i < 12; ++i) {
            twelve += twenty + "\xE4\xB8\n";
            twelveText += QString(20, QChar(0x4E2D)) + r + "\n";
        }
        QTest::newRow("lines named up to ten, the rest counted")
            << twelve + QByteArray(1, '\0') << "none" << twelveText
            << QStringList{replaced("1、2、3、4、5、6、7、8、9、10 行及另外 2", 12, "UTF-8"), nul("13", 1)};
        QTest::newRow("bytes the local code page lacks")
            << QByteArray("\xB0\xA1\n\xB0\xA1") << "utf8bom" << QString(r + r + "\n" + r + r)
            << QStringList{replaced("1、2", 4, "UTF-8")};
    }
    void decoding()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, choice);
        QFETCH(QString, text);
        QFETCH(QStringList, warnings);
        const ConversionOptions options = ::choice(choice);
        const DecodedSource decoded = decodeSourceBytes(source, options);
        QCOMPARE(decoded.text, text);
        QCOMPARE(decoded.report.messages(), warnings);
        // Under a UTF-8 locale the import file holds exactly the text's UTF-8 bytes, no mark.
        int codePage = 0;
        QCOMPARE(importBytes(source, options, &codePage), text.toUtf8());
        QCOMPARE(codePage, 65001);
    }

    void gbkLocaleWritesGbkImportFiles()
    {
        LocaleCodec locale("GBK");
        QCOMPARE(unicode::localCodePage(), 936);
        const QByteArray source = gbk(QStringLiteral("编号,姓名\r\n007,李四\r\n"));
        int codePage = 0;
        // A GBK source reaches the import file byte for byte.
        QCOMPARE(importBytes(source, choice("none"), &codePage), source);
        QCOMPARE(codePage, 936);
        // A UTF-8 source with a mark is written in GBK.
        QCOMPARE(importBytes(QByteArray("\xEF\xBB\xBF") + QStringLiteral("李四").toUtf8(), choice("none"), &codePage),
                 gbk(QStringLiteral("李四")));
        QCOMPARE(codePage, 936);
        // A character GBK cannot hold: the whole file goes out in UTF-8 and says so.
        const QString mixed = QStringLiteral("李四 😀 ąę");
        QCOMPARE(importBytes(mixed.toUtf8(), choice("none"), &codePage), mixed.toUtf8());
        QCOMPARE(codePage, 65001);
        // Under the local choice, bytes valid in GBK pass through unchanged.
        QCOMPARE(importBytes(source, choice("utf8bom"), &codePage), source);
        QCOMPARE(codePage, 936);
    }

    void multibyteSequencesAcrossReadChunks_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QStringList>("warnings");
        const int chunk = 1 << 20;
        QTest::newRow("utf-8 sequence split")
            << QByteArray(chunk - 1, 'a') + QStringLiteral("中文").toUtf8() << "none" << QStringList();
        QTest::newRow("gbk pair split") << QByteArray(chunk - 1, 'a') + gbk(QStringLiteral("中文")) << "none"
                                        << QStringList();
        QString units(chunk / 2 - 2, QLatin1Char('a'));
        units += QStringLiteral("😀b");
        QTest::newRow("utf-16 surrogate pair split") << utf16le(units, true) << "ucs2" << QStringList();
        // The pieces are read 1 MiB at a time: the CR LF between them ends one line.
        QTest::newRow("CR LF split, then a damaged byte")
            << QByteArray(chunk - 1, 'a') + "\r\n" + QString(20, QChar(0x4E2D)).toUtf8() + "\xFF\n"
            << "none" << QStringList{"第 2 行：1 个字符无法按 UTF-8 解码，已替换为 U+FFFD (\uFFFD)"};
    }
    void multibyteSequencesAcrossReadChunks()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, choice);
        QFETCH(QStringList, warnings);
        int codePage = 0;
        const QByteArray bytes = importBytes(source, ::choice(choice), &codePage);
        QCOMPARE(codePage, 65001);
        const DecodedSource decoded = decodeSourceBytes(source, ::choice(choice));
        QCOMPARE(bytes, decoded.text.toUtf8());
        QCOMPARE(decoded.report.messages(), warnings);
        // A replacement character only where one is reported.
        QCOMPARE(bytes.count("\xEF\xBF\xBD"), int(decoded.report.replaced()));
    }

    void fifoIsRefusedWithoutBlocking()
    {
        const QString fifo = dir.filePath(QStringLiteral("pipe.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        ImportFileResult result = prepareImportFile(fifo, dir.filePath(QStringLiteral("import.txt")), choice("none"));
        QVERIFY(!result.ok);
        QVERIFY(result.sourceUnreadable);
        QCOMPARE(result.failure.reason, Reason::NotARegularFile);
    }

    void readOnlySourceIsRead()
    {
        const QString path = dir.filePath(QStringLiteral("readonly.txt"));
        QVERIFY(writeBytes(path, "1\t2\r\n"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        DecodedSource source;
        const Failure failure = readSourceText(path, choice("none"), &source);
        QVERIFY2(!failure.isFailure(), qPrintable(failure.text()));
        QCOMPARE(source.text, QStringLiteral("1\t2\r\n"));
        QCOMPARE(QFileInfo(path).permissions() & QFileDevice::WriteOwner, QFileDevice::Permissions());
    }

    void missingSourceFails()
    {
        DecodedSource source;
        QCOMPARE(readSourceText(dir.filePath(QStringLiteral("gone.txt")), choice("none"), &source).reason,
                 Reason::Vanished);
    }

    void importFileCarriesTheSourceTime()
    {
        const QString path = dir.filePath(QStringLiteral("dated.txt"));
        QVERIFY(writeBytes(path, "x"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QDateTime when = QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6), Qt::UTC);
        QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(prepareImportFile(path, dir.filePath(QStringLiteral("dated-import.txt")), choice("none")).ok);
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("dated-import.txt"))).lastModified().toUTC(), when);
    }
};

QTEST_GUILESS_MAIN(SourceTextTest)
#include "tst_sourcetext.moc"
