#include "convert/sourcetext.h"
#include "support/workbookreadback.h"

#include <QTemporaryDir>
#include <QtTest>

// Broken UTF-16 sources: a surrogate without its partner, an odd last byte. Each bad unit becomes
// one U+FFFD and everything after it is kept, in the whole-text decoding and in the streamed
// import file alike (a lone surrogate used to stop the streamed encoder and cut the import file
// short without an error).
class Utf16FaultsTest : public QObject
{
    Q_OBJECT

    static QByteArray utf16le(const QVector<ushort>& units)
    {
        QByteArray bytes("\xFF\xFE", 2);
        for (ushort u : units) {
            bytes.append(char(u & 0xFF));
            bytes.append(char(u >> 8));
        }
        return bytes;
    }

private slots:
    void badUnitsBecomeReplacementCharacters_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QString r(QChar::ReplacementCharacter);
        QTest::newRow("lone high surrogate mid-text")
            << utf16le({'a', 0xD80A, 'b', '\n', 'c'}) << QString("a" + r + "b\nc");
        QTest::newRow("lone low surrogate") << utf16le({'a', 0xDC00, 'b'}) << QString("a" + r + "b");
        QTest::newRow("high surrogate at the end") << utf16le({'a', 0xD83D}) << QString("a" + r);
        QTest::newRow("high surrogate then odd byte")
            << utf16le({'x', 0xD80A}) + QByteArray(1, '\x1c') << QString("x" + r + r);
        QTest::newRow("two high surrogates then a pair")
            << utf16le({0xD83D, 0xD83D, 0xD83D, 0xDE00, 'z'}) << QString(r + r + QString::fromUtf8("😀") + "z");
        // A pair cut by the streamed reader's 1 MiB pieces stays one character.
        QVector<ushort> straddling((1 << 19) - 2, ushort('a'));
        straddling << 0xD83D << 0xDE00 << 'e' << 0xD800 << 'n' << 'd';
        QTest::newRow("pair across the piece boundary, lone one after")
            << utf16le(straddling) << QString((1 << 19) - 2, QChar('a')) + QString::fromUtf8("😀") + "e" + r + "nd";
    }

    void badUnitsBecomeReplacementCharacters()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        ConversionOptions options;
        QCOMPARE(decodeSourceBytes(bytes, options).text, expected);

        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.filePath("src.txt"), bytes));
        const ImportFileResult result = prepareImportFile(dir.filePath("src.txt"), dir.filePath("import.txt"), options);
        QVERIFY2(result.ok, qPrintable(result.failure.text()));
        QCOMPARE(result.codePage, 65001);
        QCOMPARE(QString::fromUtf8(readBytes(dir.filePath("import.txt"))), expected);
    }
};

QTEST_APPLESS_MAIN(Utf16FaultsTest)
#include "tst_utf16faults.moc"
