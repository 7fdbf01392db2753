#include "convert/sourcetext.h"
#include "support/workbookreadback.h"

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

    // Both ways to an import file: whole text in memory, and streamed. They must agree.
    QByteArray importBytes(const QByteArray& source, const ConversionOptions& options, int* codePage,
                           qint64* droppedNul = nullptr)
    {
        const QString sourcePath = dir.filePath(QStringLiteral("source.txt"));
        writeBytes(sourcePath, source);
        const ImportFileResult streamed = prepareImportFile(sourcePath, dir.filePath("streamed.txt"), options);
        if (!streamed.ok)
            qWarning() << streamed.errorString;
        qint64 nul = 0;
        const QString text = decodeSourceBytes(source, options, &nul);
        const ImportFileResult whole = writeImportFile(dir.filePath("whole.txt"), text);
        const QByteArray bytes = readBytes(dir.filePath("streamed.txt"));
        if (bytes != readBytes(dir.filePath("whole.txt")) || streamed.codePage != whole.codePage ||
            streamed.droppedNul != nul)
            qWarning() << "streamed and whole import files differ";
        *codePage = streamed.ok && bytes == readBytes(dir.filePath("whole.txt")) &&
                            streamed.codePage == whole.codePage && streamed.droppedNul == nul
                        ? streamed.codePage
                        : -1;
        if (droppedNul)
            *droppedNul = nul;
        return bytes;
    }

private slots:
    void decoding_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("droppedNul");
        const QString chinese = QStringLiteral("姓名\t身份证\r\n张三\t110101199003071234\r\n");
        QTest::newRow("empty file") << QByteArray() << "none"
                                    << "" << qint64(0);
        QTest::newRow("ascii") << QByteArray("a\tb\r\n1\t2") << "none"
                               << "a\tb\r\n1\t2" << qint64(0);
        QTest::newRow("ascii under the local choice") << QByteArray("a\tb") << "utf8bom"
                                                      << "a\tb" << qint64(0);
        QTest::newRow("utf-8 without mark") << chinese.toUtf8() << "none" << chinese << qint64(0);
        QTest::newRow("utf-8 mark dropped")
            << QByteArray("\xEF\xBB\xBF") + chinese.toUtf8() << "none" << chinese << qint64(0);
        QTest::newRow("gbk recognised") << gbk(chinese) << "none" << chinese << qint64(0);
        QTest::newRow("one invalid byte makes the whole file GBK")
            << QByteArray("caf\xC3\xA9 \xB0\xA1") << "none"
            << QTextCodec::codecForName("GB18030")->toUnicode("caf\xC3\xA9 \xB0\xA1") << qint64(0);
        QTest::newRow("utf-16le with mark, chosen") << utf16le(chinese, true) << "ucs2" << chinese << qint64(0);
        QTest::newRow("utf-16le without mark, chosen") << utf16le(chinese, false) << "ucs2" << chinese << qint64(0);
        QTest::newRow("utf-16be with mark, chosen") << utf16be(chinese) << "ucs2" << chinese << qint64(0);
        QTest::newRow("utf-16le mark without a choice") << utf16le(chinese, true) << "none" << chinese << qint64(0);
        QTest::newRow("utf-16be mark without a choice") << utf16be(chinese) << "none" << chinese << qint64(0);
        // Without a mark or a choice, the NUL halves of plain ASCII UTF-16 are dropped rather
        // than ending the text after its first character.
        QTest::newRow("utf-16le ascii without mark or choice") << utf16le(QStringLiteral("ab,c"), false) << "none"
                                                               << "ab,c" << qint64(4);
        QTest::newRow("NUL inside utf-8 keeps what follows") << QByteArray("a\0b\tc", 5) << "none"
                                                             << "ab\tc" << qint64(1);
        QTest::newRow("odd size under UTF-16 marks the lone byte")
            << QByteArray("a\0b", 3) << "ucs2" << QStringLiteral("a\uFFFD") << qint64(0);
        QTest::newRow("non-BMP character in utf-8")
            << QByteArray("x\xF0\x9F\x98\x80y") << "none" << QStringLiteral("x😀y") << qint64(0);
        QTest::newRow("overlong form is not utf-8")
            << QByteArray("\xC0\xAF") << "none" << QTextCodec::codecForName("GB18030")->toUnicode("\xC0\xAF")
            << qint64(0);
    }
    void decoding()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, choice);
        QFETCH(QString, text);
        QFETCH(qint64, droppedNul);
        const ConversionOptions options = ::choice(choice);
        qint64 nul = -1;
        QCOMPARE(decodeSourceBytes(source, options, &nul), text);
        QCOMPARE(nul, droppedNul);
        // Under a UTF-8 locale the import file holds exactly the text's UTF-8 bytes, no mark.
        int codePage = 0;
        QCOMPARE(importBytes(source, options, &codePage), text.toUtf8());
        QCOMPARE(codePage, 65001);
    }

    void gbkLocaleWritesGbkImportFiles()
    {
        LocaleCodec locale("GBK");
        QCOMPARE(localCodePage(), 936);
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
        const int chunk = 1 << 20;
        QTest::newRow("utf-8 sequence split") << QByteArray(chunk - 1, 'a') + QStringLiteral("中文").toUtf8() << "none";
        QTest::newRow("gbk pair split") << QByteArray(chunk - 1, 'a') + gbk(QStringLiteral("中文")) << "none";
        QString units(chunk / 2 - 2, QLatin1Char('a'));
        units += QStringLiteral("😀b");
        QTest::newRow("utf-16 surrogate pair split") << utf16le(units, true) << "ucs2";
    }
    void multibyteSequencesAcrossReadChunks()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, choice);
        int codePage = 0;
        const QByteArray bytes = importBytes(source, ::choice(choice), &codePage);
        QCOMPARE(codePage, 65001);
        QCOMPARE(bytes, decodeSourceBytes(source, ::choice(choice)).toUtf8());
        QVERIFY(!bytes.contains("\xEF\xBF\xBD")); // no replacement character anywhere
    }

    void fifoIsRefusedWithoutBlocking()
    {
        const QString fifo = dir.filePath(QStringLiteral("pipe.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile file;
        QString error;
        QVERIFY(!openSourceFile(fifo, file, &error));
        QVERIFY(!error.isEmpty());
        ImportFileResult result = prepareImportFile(fifo, dir.filePath(QStringLiteral("import.txt")), choice("none"));
        QVERIFY(!result.ok);
        QVERIFY(result.sourceUnreadable);
    }

    void readOnlySourceIsRead()
    {
        const QString path = dir.filePath(QStringLiteral("readonly.txt"));
        QVERIFY(writeBytes(path, "1\t2\r\n"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        QString text;
        QString error;
        QVERIFY2(readSourceText(path, choice("none"), &text, &error), qPrintable(error));
        QCOMPARE(text, QStringLiteral("1\t2\r\n"));
        QCOMPARE(QFileInfo(path).permissions() & QFileDevice::WriteOwner, QFileDevice::Permissions());
    }

    void missingSourceFails()
    {
        QString text;
        QString error;
        QVERIFY(!readSourceText(dir.filePath(QStringLiteral("gone.txt")), choice("none"), &text, &error));
        QVERIFY(!error.isEmpty());
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
