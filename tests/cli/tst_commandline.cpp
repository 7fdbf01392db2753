#include "cli/commandline.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

// The command line of quillmorne-convert: every option's effect on the options, the arguments
// that must be refused with a message, and the help text, manual pages and shell completion that
// must cover every option.
class CommandLineTest : public QObject
{
    Q_OBJECT

    static QString readText(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // What the bash completion offers for the command line `words`, the last one being completed;
    // a value option's "=" (offered to run on into the value) left out.
    static QStringList completions(const QStringList& words)
    {
        const QString script = QStringLiteral(
            "source /usr/share/bash-completion/bash_completion; source \"$1\"; shift; COMP_WORDS=(\"$@\");"
            "COMP_CWORD=$(($# - 1)); COMP_LINE=\"$*\"; COMP_POINT=${#COMP_LINE};"
            "_quillmorne_convert 2>/dev/null; printf '%s\\n' \"${COMPREPLY[@]}\"");
        QStringList arguments{"-c", script, "bash",
                              QStringLiteral(QUILLMORNE_SOURCE_DIR "/resources/bash-completion/quillmorne-convert"),
                              "quillmorne-convert"};
        QProcess bash;
        bash.start(QStringLiteral("bash"), arguments + words);
        bash.waitForFinished(30000);
        QStringList offered = QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        offered.replaceInStrings(QRegularExpression("=$"), QString());
        offered.sort();
        return offered;
    }

private slots:
    void accepted_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("defaults: tab") << QStringList{"in"} << "delimiter" << QVariant("\t");
        QTest::newRow("defaults: beside the sources") << QStringList{"in"} << "saveToSourceFolder" << QVariant(true);
        QTest::newRow("defaults: xlsx") << QStringList{"in"} << "xlsxOutput" << QVariant(true);
        QTest::newRow("save folder") << QStringList{"-o", "/out", "in"} << "saveFolder"
                                     << QVariant(QDir::toNativeSeparators("/out/"));
        QTest::newRow("save folder, long form with =")
            << QStringList{"--save-to=/out", "in"} << "saveToSourceFolder" << QVariant(false);
        QTest::newRow("xls") << QStringList{"--xls", "in"} << "xlsxOutput" << QVariant(false);
        QTest::newRow("semicolon") << QStringList{"-d", "semicolon", "in"} << "delimiter" << QVariant(";");
        QTest::newRow("comma") << QStringList{"--delimiter", "comma", "in"} << "delimiter" << QVariant(",");
        QTest::newRow("space") << QStringList{"--delimiter=space", "in"} << "delimiter" << QVariant(" ");
        QTest::newRow("merge") << QStringList{"--merge-delimiters", "in"} << "consecutiveDelimiters" << QVariant(true);
        QTest::newRow("text columns") << QStringList{"--text-columns", "2,3,4", "in"} << "textColumns"
                                      << QVariant("2,3,4");
        QTest::newRow("text columns with blanks")
            << QStringList{"--text-columns", "2, 3", "in"} << "textColumnsEnabled" << QVariant(true);
        QTest::newRow("utf16") << QStringList{"--encoding", "utf16", "in"} << "sourceUcs2" << QVariant(true);
        QTest::newRow("local") << QStringList{"--encoding", "local", "in"} << "sourceUtf8Bom" << QVariant(true);
        QTest::newRow("cell by cell") << QStringList{"--cell-by-cell", "--text-columns", "1", "in"} << "cellByCellMode"
                                      << QVariant(true);
        QTest::newRow("report to a file")
            << QStringList{"--report", "out.json", "in"} << "reportPath" << QVariant("out.json");
        QTest::newRow("report to standard output") << QStringList{"in", "--report=-"} << "reportPath" << QVariant("-");
        QTest::newRow("no report by default") << QStringList{"in"} << "reportPath" << QVariant(QString());
        QTest::newRow("short options together") << QStringList{"-qo", "/out", "in"} << "quiet" << QVariant(true);
        QTest::newRow("value joined to a short option")
            << QStringList{"-o/out", "in"} << "saveFolder" << QVariant(QDir::toNativeSeparators("/out/"));
        QTest::newRow("option after the folder") << QStringList{"in", "--auto"} << "automatic" << QVariant(true);
        QTest::newRow("jobs: one per core by default") << QStringList{"in"} << "jobs" << QVariant(0);
        QTest::newRow("jobs") << QStringList{"-j", "3", "in"} << "jobs" << QVariant(3);
        QTest::newRow("jobs, long form with =") << QStringList{"--jobs=1", "in"} << "jobs" << QVariant(1);
        QTest::newRow("last of a repeated option wins")
            << QStringList{"-d", "comma", "-d", "space", "in"} << "delimiter" << QVariant(" ");
        QTest::newRow("folder named -") << QStringList{"-"} << "sourceFolder"
                                        << QVariant(QDir::toNativeSeparators(QDir::current().filePath("-/")));
        QTest::newRow("folder after --") << QStringList{"--", "-odd-name"} << "sourceFolder"
                                         << QVariant(QDir::toNativeSeparators(QDir::current().filePath("-odd-name/")));
    }
    void accepted()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        const CommandLine command = parseCommandLine(arguments);
        QCOMPARE(int(command.action), int(CommandLine::Action::Convert));
        const ConversionOptions& o = command.options;
        // A delimiter shows as the character that separates cells.
        const QMap<QString, QVariant> fields{{"delimiter", QString(separatorOf(o.delimiter))},
                                             {"saveToSourceFolder", o.saveToSourceFolder},
                                             {"xlsxOutput", o.xlsxOutput},
                                             {"saveFolder", o.saveFolder},
                                             {"sourceFolder", o.sourceFolder},
                                             {"consecutiveDelimiters", o.consecutiveDelimiters},
                                             {"textColumns", o.textColumns},
                                             {"textColumnsEnabled", o.textColumnsEnabled},
                                             {"sourceUcs2", o.sourceUcs2},
                                             {"sourceUtf8Bom", o.sourceUtf8Bom},
                                             {"cellByCellMode", o.cellByCellMode},
                                             {"reportPath", command.reportPath},
                                             {"quiet", command.quiet},
                                             {"automatic", command.automatic},
                                             {"jobs", command.jobs}};
        QVERIFY(fields.contains(field));
        QCOMPARE(fields.value(field), value);
    }

    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("no folder") << QStringList{} << "源文件夹";
        QTest::newRow("two folders") << QStringList{"a", "b"} << "b";
        QTest::newRow("unknown option") << QStringList{"--frobnicate", "in"} << "--frobnicate";
        QTest::newRow("bad delimiter") << QStringList{"--delimiter", "pipe", "in"} << "pipe";
        QTest::newRow("delimiter without value") << QStringList{"in", "-d"} << "-d";
        QTest::newRow("text columns not numbers") << QStringList{"--text-columns", "x", "in"} << "x";
        QTest::newRow("text column zero") << QStringList{"--text-columns", "0", "in"} << "0";
        QTest::newRow("empty text column piece") << QStringList{"--text-columns", "2,,4", "in"} << "2,,4";
        QTest::newRow("bad encoding") << QStringList{"--encoding", "latin9", "in"} << "latin9";
        QTest::newRow("cell by cell alone") << QStringList{"--cell-by-cell", "in"} << "--text-columns";
        QTest::newRow("flag with a value") << QStringList{"--xls=yes", "in"} << "--xls";
        QTest::newRow("save folder without value") << QStringList{"in", "-o"} << "-o";
        QTest::newRow("empty save folder") << QStringList{"--save-to=", "in"} << "--save-to";
        QTest::newRow("report without value") << QStringList{"in", "--report"} << "--report";
        QTest::newRow("empty report name") << QStringList{"--report=", "in"} << "--report";
        QTest::newRow("unknown letter among short options") << QStringList{"-qz", "in"} << "-z";
        QTest::newRow("value option last among short options") << QStringList{"in", "-qd"} << "-d";
        QTest::newRow("quiet with a value") << QStringList{"--quiet=1", "in"} << "--quiet";
        QTest::newRow("no jobs") << QStringList{"--jobs", "0", "in"} << "0";
        QTest::newRow("jobs not a number") << QStringList{"-j", "many", "in"} << "many";
        QTest::newRow("more jobs than allowed") << QStringList{"--jobs=65", "in"} << "65";
        QTest::newRow("jobs without value") << QStringList{"in", "-j"} << "-j";
        QTest::newRow("three folders") << QStringList{"a", "--xls", "b", "c"} << "b";
    }
    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mentions);
        const CommandLine command = parseCommandLine(arguments);
        QCOMPARE(int(command.action), int(CommandLine::Action::Error));
        QVERIFY2(command.errorMessage.contains(mentions), qPrintable(command.errorMessage));
    }

    // Each option the parser knows is in the help text, in both manual pages and in the shell
    // completion, so none can be added without them.
    void documented_data()
    {
        QTest::addColumn<QString>("option");
        for (const QString& option : commandLineOptionNames())
            QTest::newRow(qPrintable(option)) << option;
    }
    void documented()
    {
        QFETCH(QString, option);
        QVERIFY(commandLineHelp().contains(option + (option.size() == 2 ? ", " : " ")) ||
                commandLineHelp().contains(option + QLatin1Char('\n')));
        // In a manual page an option is bold, its dashes escaped: \fB\-\-save\-to\fR or .B \-\-xls.
        QString troff = option;
        troff.replace(QLatin1Char('-'), QLatin1String("\\-"));
        for (const char* page : {"/man/man1/quillmorne-convert.1", "/man/zh_CN/man1/quillmorne-convert.1"}) {
            const QString text = readText(QStringLiteral(QUILLMORNE_BINARY_DIR) + QLatin1String(page));
            QVERIFY2(!text.isEmpty(), page);
            QVERIFY2(text.contains("\\fB" + troff + "\\fR") || text.contains(".B " + troff + '\n'), page);
        }
        const QString completion =
            readText(QStringLiteral(QUILLMORNE_SOURCE_DIR "/resources/bash-completion/quillmorne-convert"));
        QVERIFY(
            QRegularExpression("[ \n']" + QRegularExpression::escape(option) + "[ =\n']").match(completion).hasMatch());
    }

    // The bash completion: options, their values, and nothing the parser would refuse.
    void completion_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("offered");
        QStringList everyOption = commandLineOptionNames() << "--";
        everyOption.sort();
        QTest::newRow("every option after a dash") << QStringList{"-"} << everyOption;
        QTest::newRow("a long option's start") << QStringList{"--enc"} << QStringList{"--encoding"};
        QTest::newRow("delimiter names") << QStringList{"-d", ""} << QStringList{"comma", "semicolon", "space", "tab"};
        QTest::newRow("delimiter after =") << QStringList{"--delimiter=s"} << QStringList{"semicolon", "space"};
        QTest::newRow("encodings") << QStringList{"--encoding", "u"} << QStringList{"utf16"};
        QTest::newRow("report to standard output") << QStringList{"--report", "-"} << QStringList{"-"};
        QTest::newRow("nothing to offer for text columns") << QStringList{"--text-columns", ""} << QStringList{};
    }
    void completion()
    {
        QFETCH(QStringList, words);
        QFETCH(QStringList, offered);
        if (!QFileInfo::exists("/usr/share/bash-completion/bash_completion"))
            QSKIP("needs bash-completion");
        QCOMPARE(completions(words), offered);
    }

    void helpAndVersion()
    {
        QCOMPARE(int(parseCommandLine({"--help"}).action), int(CommandLine::Action::ShowHelp));
        QCOMPARE(int(parseCommandLine({"in", "-h"}).action), int(CommandLine::Action::ShowHelp));
        QCOMPARE(int(parseCommandLine({"--version"}).action), int(CommandLine::Action::ShowVersion));
        for (const char* option : {"--save-to", "--xls", "--delimiter", "--merge-delimiters", "--text-columns",
                                   "--encoding", "--cell-by-cell", "--auto", "--quiet"})
            QVERIFY2(commandLineHelp().contains(QLatin1String(option)), option);
    }
};

QTEST_APPLESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
