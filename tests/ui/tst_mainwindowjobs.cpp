// Starting conversion jobs from the window: the folder checks, the options copied from the
// controls, the failure list of an earlier run, disposing of the previous job, a whole job with the
// embedded engine whose choices a new window restores, and stopping a run when the window goes away
// or a termination signal comes.

#include "convert/conversionoptions.h"
#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "platform/binding.h"
#include "platform/terminationsignal.h"
#include "settings/startupvalues.h"
#include "support/fakespreadsheet.h"
#include "support/workbookreadback.h"
#include "ui/mainwindow.h"
#include "ui/qttranslations.h"
#include "wrappedwidth.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QRadioButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class MainWindowJobsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir settingsFolder;
    std::unique_ptr<QTemporaryDir> source;
    std::unique_ptr<QTemporaryDir> save;
    QStringList boxes; // "title|text" of every message shown
    QList<QPointer<MergeObject>> workers;
    QStringList shownFiles;
    QStringList viewed; // failure lists handed to the window's text viewer

    std::unique_ptr<MainWindow> newWindow(const FakeSpreadsheetBehaviour& behaviour = {})
    {
        auto window = std::make_unique<MainWindow>();
        window->setAboutBox(
            [this](QWidget*, const QString& title, const QString& text) { boxes << title + QLatin1Char('|') + text; });
        window->setTextViewer([this](const QString& path, QObject*, std::function<void(bool)> done) {
            viewed << path;
            done(true);
        });
        window->setWorkerSetup([this, behaviour](MergeObject& worker) {
            worker.setApplicationFactory(fakeSpreadsheetFactory(behaviour));
            worker.setShowFileAction([this](const QString& path) { shownFiles << path; });
            workers << QPointer<MergeObject>(&worker);
        });
        window->show();
        return window;
    }

    static QAbstractButton* button(const QWidget& window, const char* name)
    {
        return window.findChild<QAbstractButton*>(QLatin1String(name));
    }

    static QLineEdit* field(const QWidget& window, const char* name)
    {
        return window.findChild<QLineEdit*>(QLatin1String(name));
    }

    static QString status(const QWidget& window)
    {
        return window.findChild<QLabel*>(QStringLiteral("lb_ShowDisposing"))->text();
    }

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QString folderText(const QTemporaryDir& folder)
    {
        return QDir::toNativeSeparators(folder.path()) + QDir::separator();
    }

    // Waits until the start button is enabled again, i.e. the run has ended.
    static bool runEnded(const QWidget& window)
    {
        return QTest::qWaitFor([&window] { return button(window, "pBtn_Transform")->isEnabled(); }, 10000);
    }

private slots:
    void init()
    {
        StartupValues values;
        values.settingsFilePath = QFile::encodeName(settingsFolder.filePath(QStringLiteral("Quillmorne.vqd")));
        QFile::remove(settingsFolder.filePath(QStringLiteral("Quillmorne.vqd")));
        setStartupValues(values);
        source = std::make_unique<QTemporaryDir>();
        save = std::make_unique<QTemporaryDir>();
        boxes.clear();
        workers.clear();
        shownFiles.clear();
        viewed.clear();
        FakeSpreadsheetApplication::reset();
    }

    // Before a job starts: the folders exist, and the text-column list (as Chinese input methods
    // type it, with "，" or "、") holds only column numbers. A refusal names what is wrong.
    void folderChecks_data()
    {
        QTest::addColumn<bool>("sourceGiven");
        QTest::addColumn<bool>("saveGiven");
        QTest::addColumn<bool>("besideSources");
        QTest::addColumn<QString>("textColumns"); // null: the text-column box stays unchecked
        QTest::addColumn<QString>("message");     // empty: the job starts
        QTest::addColumn<QString>("fieldInfo");   // the import's column formats, when it starts

        const QString noColumns;
        const QString asTyped = QStringLiteral("。请填写从 1 开始的列号，多列以逗号分隔，例如：2,3,4");
        QTest::newRow("empty source field") << false << true << false << noColumns << "Quillmorne|提取文件夹不存在!"
                                            << "";
        QTest::newRow("empty save field") << true << false << false << noColumns << "Quillmorne|保存文件夹不存在!"
                                          << "";
        QTest::newRow("empty save field, saving beside sources") << true << false << true << noColumns << ""
                                                                 << "1:1 2:1";
        QTest::newRow("both folders") << true << true << false << noColumns << ""
                                      << "1:1 2:1";
        QTest::newRow("columns with full-width comma") << true << true << false << "1，3"
                                                       << ""
                                                       << "1:2 3:2";
        QTest::newRow("columns with enumeration comma") << true << true << false << "2、 4,5"
                                                        << ""
                                                        << "2:2 4:2 5:2";
        QTest::newRow("blank column field lists none") << true << true << false << "  "
                                                       << ""
                                                       << "1:1 2:1";
        QTest::newRow("letter among columns") << true << true << false << "2,b,4"
                                              << "Quillmorne|文本格式列中的“b”不是列号" + asTyped << "";
        const QString longPiece(300, QLatin1Char('x'));
        QTest::newRow("long piece that is no number")
            << true << true << false << "2," + longPiece
            << "Quillmorne|文本格式列中的“" + longPiece + "”不是列号" + asTyped << "";
        QTest::newRow("column zero") << true << true << false << "0，2"
                                     << "Quillmorne|文本格式列中的“0”不是列号" + asTyped << "";
        QTest::newRow("ASCII semicolon is no separator") << true << true << false << "1;3"
                                                         << "Quillmorne|文本格式列中的“1;3”不是列号" + asTyped << "";
        QTest::newRow("trailing comma") << true << true << false << "2,3，"
                                        << "Quillmorne|文本格式列中有一项是空的" + asTyped << "";
        QTest::newRow("folder checked before columns") << false << true << false << "x"
                                                       << "Quillmorne|提取文件夹不存在!"
                                                       << "";
    }

    void folderChecks()
    {
        QFETCH(bool, sourceGiven);
        QFETCH(bool, saveGiven);
        QFETCH(bool, besideSources);
        QFETCH(QString, textColumns);
        QFETCH(QString, message);
        QFETCH(QString, fieldInfo);
        writeFile(source->filePath("a.txt"), "1\t2\n");
        auto window = newWindow();
        field(*window, "lEdt_SourcePath")->setText(sourceGiven ? folderText(*source) : QString());
        field(*window, "lEdt_SavePath")->setText(saveGiven ? folderText(*save) : QString());
        if (besideSources)
            button(*window, "cBox_SaveToQuondamPath")->setChecked(true);
        if (!textColumns.isNull()) {
            QTest::mouseClick(button(*window, "cBox_SetTextFormat"), Qt::LeftButton);
            field(*window, "lEdt_SetTextFormat")->setText(textColumns);
        }
        const QString before = status(*window);

        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        if (!message.isEmpty()) {
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(shownText(boxes.first()), message);
            // A message box wraps at word boundaries; a long piece wraps too instead of running
            // past its edge.
            QVERIFY(widestWrappedLine(boxes.first(), QApplication::font(), 400) <= 400);
            QVERIFY(button(*window, "pBtn_Transform")->isEnabled());
            QVERIFY(button(*window, "pBtn_AutoTransform")->isEnabled());
            QCOMPARE(status(*window), before);
            QVERIFY(workers.isEmpty());
            return;
        }
        QVERIFY(boxes.isEmpty());
        QVERIFY(!button(*window, "pBtn_Transform")->isEnabled());
        QVERIFY(runEnded(*window));
        QCOMPARE(status(*window), summaryText(1));
        const QString workbook = besideSources ? source->filePath("a.xlsx") : save->filePath("a.xlsx");
        QVERIFY(QFileInfo::exists(workbook));
        QCOMPARE(FakeSpreadsheetApplication::imports().size(), 1);
        QStringList formats;
        for (const auto& format : FakeSpreadsheetApplication::imports().first().fieldInfo)
            formats << QStringLiteral("%1:%2").arg(format.first).arg(format.second);
        QCOMPARE(formats.join(QLatin1Char(' ')), fieldInfo);
    }

    // At the end of a run with failures the failure list opens in the text viewer. When no viewer
    // shows it, a message says how many files failed and where the list is, with each file's
    // reason in its details; the list itself keeps one path per line.
    void failuresShown_data()
    {
        QTest::addColumn<QStringList>("refused"); // sources whose import gives no workbook
        QTest::addColumn<bool>("viewerShows");
        QTest::addColumn<int>("failed");
        QTest::addColumn<QString>("below");     // the sources' folder below the temporary one
        QTest::addColumn<QStringList>("pipes"); // sources that are named pipes, no regular files

        const QStringList none;
        QTest::newRow("all converted: nothing opens") << none << false << 0 << "" << none;
        QTest::newRow("viewer shows the list") << QStringList{"b.txt"} << true << 1 << "" << none;
        QTest::newRow("no viewer: message with reasons") << QStringList{"b.txt", "c.txt"} << false << 2 << "" << none;
        QTest::newRow("no viewer: the list below a folder name of 240 characters")
            << QStringList{"c.txt"} << false << 1 << QStringLiteral("门店/") + QString(240, QLatin1Char('n')) << none;
        QTest::newRow("no viewer: a reason about the source names it once")
            << none << false << 1 << "" << QStringList{"c.txt"};
    }

    void failuresShown()
    {
        QFETCH(QStringList, refused);
        QFETCH(bool, viewerShows);
        QFETCH(int, failed);
        QFETCH(QString, below);
        QFETCH(QStringList, pipes);
        QVERIFY(installQtTranslations());
        const QDir folder(below.isEmpty() ? source->path() : source->filePath(below));
        QVERIFY(folder.mkpath(QStringLiteral(".")));
        for (const QString& name : QStringList{"a.txt", "b.txt", "c.txt"}) {
            if (pipes.contains(name))
                QCOMPARE(::mkfifo(QFile::encodeName(folder.filePath(name)).constData(), 0600), 0);
            else
                writeFile(folder.filePath(name), "1\t2\n");
        }
        FakeSpreadsheetBehaviour behaviour;
        behaviour.refuseImportOf = refused;
        auto window = newWindow(behaviour);
        window->setTextViewer([&](const QString& path, QObject* context, std::function<void(bool)> done) {
            viewed << path;
            QVERIFY(context == window.get());
            // As the real viewer does: the verdict comes later, from the event loop.
            QTimer::singleShot(10, context, [done, viewerShows] { done(viewerShows); });
        });
        field(*window, "lEdt_SourcePath")->setText(QDir::toNativeSeparators(folder.path()) + QDir::separator());
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QVERIFY(runEnded(*window));
        QCOMPARE(status(*window), summaryText(3 - failed));

        const QString list = QDir::toNativeSeparators(folder.filePath(failureListFileName()));
        QCOMPARE(viewed, failed ? QStringList{list} : QStringList{});
        QTest::qWait(50);
        auto* box = window->findChild<QMessageBox*>(QStringLiteral("failureMessage"));
        if (failed == 0 || viewerShows) {
            QVERIFY(!box);
            return;
        }
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QCOMPARE(box->windowTitle(), QStringLiteral("Quillmorne"));
        QVERIFY(box->text().contains(QStringLiteral("有 %1 个文件未能转换").arg(failed)));
        QVERIFY(shownText(box->text()).contains(list));
        // Every line of the text fits the box, the list's path too.
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label);
        const int width = label->contentsRect().width();
        QVERIFY2(widestWrappedLine(label->text(), label->font(), width) <= width, qPrintable(QString::number(width)));
        QStringList reasons;
        QStringList listed;
        for (const QString& name : refused + pipes) {
            const QString path = QDir::toNativeSeparators(folder.filePath(name));
            const Reason reason = pipes.contains(name) ? Reason::NotARegularFile : Reason::ImportFailed;
            reasons << path + QStringLiteral("：") + reasonText(reason);
            listed << path;
        }
        // The details hold the list's path whole, to be copied, then the reasons.
        QCOMPARE(box->detailedText(), QStringLiteral("失败列表：%1\n\n").arg(QDir::toNativeSeparators(list)) +
                                          reasons.join(QLatin1Char('\n')));
        // Qt's own button texts are Chinese as well.
        QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        box->close();

        QFile file(list);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(file.readAll()), listed.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    }

    void optionsTakenFromControls()
    {
        auto window = newWindow();
        field(*window, "lEdt_SourcePath")->setText(folderText(*source));
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        button(*window, "rBtn_xls")->setChecked(true);
        button(*window, "rBtn_Space")->setChecked(true);
        button(*window, "cBox_ConsecutiveDelimiter")->setChecked(true);
        button(*window, "cBox_OtherLanguage")->setChecked(true);
        // Columns typed while the box was checked are not used once it is unchecked.
        QTest::mouseClick(button(*window, "cBox_SetTextFormat"), Qt::LeftButton);
        field(*window, "lEdt_SetTextFormat")->setText(QStringLiteral("2,3"));
        QTest::mouseClick(button(*window, "cBox_SetTextFormat"), Qt::LeftButton);
        QTest::mouseClick(button(*window, "cBox_UCS2"), Qt::LeftButton);
        QTest::mouseClick(button(*window, "cBox_UCS2"), Qt::LeftButton);

        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QVERIFY(runEnded(*window));
        // The worker of the job has its own copy of the options.
        QVERIFY(!workers.isEmpty() && workers.last());
        const ConversionOptions& options = workers.last()->options();
        QCOMPARE(options.sourceFolder, folderText(*source));
        QCOMPARE(options.saveFolder, folderText(*save));
        QVERIFY(!options.saveToSourceFolder);
        QVERIFY(!options.xlsxOutput);
        QCOMPARE(options.delimiter, Delimiter::Space);
        QVERIFY(options.consecutiveDelimiters);
        QVERIFY(options.cellByCellMode);
        QVERIFY(!options.textColumnsEnabled);
        QCOMPARE(options.textColumns, QString());
        QVERIFY(!options.sourceUcs2);
        QVERIFY(!options.sourceUtf8Bom);
        QCOMPARE(options.failureListPath, folderText(*source) + QStringLiteral("/无法转换的文件目录.txt"));
    }

    void oldFailureList_data()
    {
        QTest::addColumn<bool>("automatic");
        QTest::newRow("settings-driven start removes it") << false;
        QTest::newRow("automatic start leaves it") << true;
    }

    void oldFailureList()
    {
        QFETCH(bool, automatic);
        const QString list = source->filePath(failureListFileName());
        writeFile(list, "old\r\n");
        auto window = newWindow();
        field(*window, "lEdt_SourcePath")->setText(folderText(*source));
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        if (automatic)
            QMetaObject::invokeMethod(window.get(), "on_pBtn_AutoTransform_clicked");
        else
            QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QVERIFY(runEnded(*window));
        QCOMPARE(QFileInfo::exists(list), automatic);
        QVERIFY(shownFiles.isEmpty());
    }

    void secondJobDisposesOfFirst()
    {
        writeFile(source->filePath("a.txt"), "1\n");
        auto window = newWindow();
        field(*window, "lEdt_SourcePath")->setText(folderText(*source));
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QVERIFY(runEnded(*window));
        QCOMPARE(workers.size(), 1);
        QVERIFY(workers.at(0)); // the finished worker waits for the next start

        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QCOMPARE(workers.size(), 2);
        QVERIFY(!workers.at(0));
        QVERIFY(runEnded(*window));
        QCOMPARE(status(*window), summaryText(1));
        // Each run was triggered once: the first worker's connection went with it.
        QCOMPARE(FakeSpreadsheetApplication::log().count(QStringLiteral("Quit")), 2);
    }

    // The whole job as a user does it, with the embedded engine: pick both folders in the dialog,
    // choose comma and .xls, convert, read the workbooks back; a new window restores the choices.
    void commaToXlsAndChoicesRestored()
    {
        writeFile(settingsFolder.filePath(QStringLiteral("Quillmorne.vqd")), "");
        writeFile(source->filePath("orders.txt"), "name,qty,price\r\nwidget,3,1.5\r\ngadget,12,0.25\r\n");
        QVERIFY(QDir(source->path()).mkdir(QStringLiteral("east")));
        writeFile(source->filePath("east/stock.txt"), "item,count\nbolt,40\n");

        auto window = std::make_unique<MainWindow>();
        window->setSpreadsheetBinding(platformSpreadsheetBinding());
        window->setAboutBox(
            [this](QWidget*, const QString& title, const QString& text) { boxes << title + QLatin1Char('|') + text; });
        window->setWorkerSetup([this](MergeObject& worker) {
            worker.setShowFileAction([this](const QString& path) { shownFiles << path; });
        });
        QStringList answers{source->path(), save->path()};
        QStringList captions;
        window->setFolderDialog([&](QWidget*, const QString& caption, const QString&, QFileDialog::Options) {
            captions << caption;
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
        window->show();

        QTest::mouseClick(button(*window, "pBtn_SourcePath"), Qt::LeftButton);
        QTest::mouseClick(button(*window, "pBtn_SavePath"), Qt::LeftButton);
        QCOMPARE(captions, QStringList({QStringLiteral("选择文件夹"), QStringLiteral("选择文件夹")}));
        QCOMPARE(field(*window, "lEdt_SourcePath")->text(), folderText(*source));
        QCOMPARE(field(*window, "lEdt_SavePath")->text(), folderText(*save));
        QTest::mouseClick(button(*window, "rBtn_Comma"), Qt::LeftButton);
        QTest::mouseClick(button(*window, "rBtn_xls"), Qt::LeftButton);

        QSignalSpy started(window.get(), &MainWindow::pBtn_Transform_HasClicked);
        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        QCOMPARE(started.count(), 1);
        QVERIFY(!button(*window, "pBtn_Transform")->isEnabled());
        QVERIFY(runEnded(*window));

        auto* label = window->findChild<QLabel*>(QStringLiteral("lb_ShowDisposing"));
        QVERIFY(label->text().startsWith(summaryText(2)));
        label->ensurePolished();
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(button(*window, "pBtn_Transform")->isEnabled());
        QVERIFY(boxes.isEmpty());
        QVERIFY(shownFiles.isEmpty());

        const ReadWorkbook orders = readWorkbookBack(save->filePath("orders.xls"));
        QVERIFY2(orders.ok, qPrintable(orders.error));
        QCOMPARE(orders.reader, QStringLiteral("xlrd"));
        const ReadSheet& sheet = orders.sheets.at(0);
        QCOMPARE(sheet.maxRow, 3);
        QCOMPARE(sheet.maxColumn, 3);
        QCOMPARE(sheet.at(1, 3).value.toString(), QStringLiteral("price"));
        QCOMPARE(sheet.at(2, 1).value.toString(), QStringLiteral("widget"));
        QCOMPARE(sheet.at(3, 2).type, QStringLiteral("n"));
        QCOMPARE(sheet.at(3, 2).value.toDouble(), 12.0);
        QCOMPARE(sheet.at(2, 3).value.toDouble(), 1.5);
        const ReadWorkbook stock = readWorkbookBack(save->filePath("east/stock.xls"));
        QVERIFY2(stock.ok, qPrintable(stock.error));
        QCOMPARE(stock.sheets.at(0).at(2, 2).value.toDouble(), 40.0);
        QVERIFY(!QFileInfo::exists(save->filePath("orders.xlsx")));

        window.reset();
        MainWindow restored;
        QCOMPARE(field(restored, "lEdt_SourcePath")->text(), folderText(*source));
        QCOMPARE(field(restored, "lEdt_SavePath")->text(), folderText(*save));
        QVERIFY(restored.findChild<QRadioButton*>(QStringLiteral("rBtn_Comma"))->isChecked());
        QVERIFY(restored.findChild<QRadioButton*>(QStringLiteral("rBtn_xls"))->isChecked());
        QVERIFY(!restored.findChild<QRadioButton*>(QStringLiteral("rBtn_xlsx"))->isChecked());
    }

    // As the program ends: the window is closed while the embedded engine works through many
    // files, the event loop returns 0 and destroying the window waits for the file in progress.
    // What was saved stays and reads back; nothing half-written or temporary is left.
    void closingDuringLongRunEndsCleanly()
    {
        const int fileCount = 200;
        QByteArray rows;
        for (int row = 0; row < 2000; ++row)
            rows += QByteArray::number(row) + "\tsome text\t" + QByteArray::number(row * 0.5) + "\r\n";
        for (int i = 0; i < fileCount; ++i)
            writeFile(source->filePath(QStringLiteral("f%1.txt").arg(i, 3, 10, QLatin1Char('0'))), rows);

        auto* window = new MainWindow();
        window->setSpreadsheetBinding(platformSpreadsheetBinding());
        window->setWorkerSetup([this](MergeObject& worker) {
            worker.setShowFileAction([this](const QString& path) { shownFiles << path; });
            workers << QPointer<MergeObject>(&worker);
        });
        window->show();
        field(*window, "lEdt_SourcePath")->setText(folderText(*source));
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);

        // Close once the first workbook is there, from inside the event loop as a user would.
        QTimer poll;
        connect(&poll, &QTimer::timeout, window, [&] {
            if (!QDir(save->path()).entryList({QStringLiteral("*.xlsx")}).isEmpty()) {
                poll.stop();
                window->close();
            }
        });
        poll.start(5);
        QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        delete window;
        QVERIFY(!workers.at(0));

        const QStringList left = QDir(save->path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(!left.isEmpty());
        QVERIFY2(left.size() < fileCount / 2, "the run went on after the window was closed");
        for (const QString& name : left) {
            QVERIFY2(name.endsWith(QStringLiteral(".xlsx")), qPrintable(name));
            const ReadWorkbook book = readWorkbookBack(save->filePath(name), true);
            QVERIFY2(book.ok, qPrintable(name + QLatin1Char(' ') + book.error));
            QCOMPARE(book.sheets.at(0).maxRow, 2000);
        }
        QVERIFY(shownFiles.isEmpty());
    }

    // Closing the window, or a termination request (which ends the program the same way), stops
    // the run after the file in progress; saved workbooks stay. A request that comes while the
    // window waits for that file gives it up instead: it is listed, leaves nothing, and the window
    // goes away at once (the held save would otherwise last a minute).
    void closingStopsRunAfterCurrentFile_data()
    {
        QTest::addColumn<int>("firstRequest");  // 0: the user closes the window
        QTest::addColumn<int>("secondRequest"); // 0: none; else sent while the window waits
        QTest::addColumn<QStringList>("holdSaveOf");
        QTest::addColumn<QStringList>("workbooks");
        QTest::addColumn<QStringList>("listed");

        const QStringList first{"a.xlsx"};
        QTest::newRow("window closed") << 0 << 0 << QStringList() << first << QStringList();
        QTest::newRow("SIGTERM from a newly started copy") << SIGTERM << 0 << QStringList() << first << QStringList();
        QTest::newRow("SIGHUP at logout") << SIGHUP << 0 << QStringList() << first << QStringList();
        QTest::newRow("SIGINT") << SIGINT << 0 << QStringList() << first << QStringList();
        QTest::newRow("SIGTERM twice: the file in progress is given up")
            << SIGTERM << SIGTERM << QStringList{"b.xlsx"} << first << QStringList{"b.txt"};
        QTest::newRow("SIGINT, then SIGHUP: the file in progress is given up")
            << SIGINT << SIGHUP << QStringList{"b.xlsx"} << first << QStringList{"b.txt"};
        QTest::newRow("window closed, then SIGTERM: the file in progress is given up")
            << 0 << SIGTERM << QStringList{"b.xlsx"} << first << QStringList{"b.txt"};
    }

    void closingStopsRunAfterCurrentFile()
    {
        QFETCH(int, firstRequest);
        QFETCH(int, secondRequest);
        QFETCH(QStringList, holdSaveOf);
        QFETCH(QStringList, workbooks);
        QFETCH(QStringList, listed);
        for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"})
            writeFile(source->filePath(name), "1\n");
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signalNumber, SIG_DFL); // as a program started from a desktop has them
        QObject signalOwner;
        QVERIFY(quitOnTerminationSignals(&signalOwner));

        // Holds the worker after the first file, so a stop lands before the second; the test
        // acts once `files` sources have started.
        struct SlowObserver : MergeObserver
        {
            QSemaphore started;
            QSemaphore finished;
            void fileStarted(const QString&) override { started.release(); }
            void fileFinished(const FileResult&) override
            {
                finished.release();
                QThread::msleep(300);
            }
        } observer;

        FakeSpreadsheetBehaviour behaviour;
        behaviour.holdSaveOf = holdSaveOf;
        auto window = newWindow();
        window->setWorkerSetup([this, &observer, behaviour](MergeObject& worker) {
            worker.setApplicationFactory(fakeSpreadsheetFactory(behaviour));
            worker.setObserver(&observer);
            worker.setShowFileAction([this](const QString& path) { shownFiles << path; });
            workers << QPointer<MergeObject>(&worker);
        });
        field(*window, "lEdt_SourcePath")->setText(folderText(*source));
        field(*window, "lEdt_SavePath")->setText(folderText(*save));
        QTest::mouseClick(button(*window, "pBtn_Transform"), Qt::LeftButton);
        if (holdSaveOf.isEmpty())
            QVERIFY(observer.finished.tryAcquire(1, 10000));
        else
            QVERIFY(observer.started.tryAcquire(2, 10000)); // the held file is in progress

        if (firstRequest == 0) {
            window->close();
        } else {
            QTimer::singleShot(0, [firstRequest] { ::raise(firstRequest); });
            QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
            QCOMPARE(QApplication::exec(), 0);
        }
        std::thread second;
        if (secondRequest != 0) {
            second = std::thread([secondRequest] {
                QThread::msleep(200);
                ::kill(::getpid(), secondRequest);
            });
        }
        window.reset();
        if (second.joinable())
            second.join();

        QVERIFY(!workers.at(0));
        QCOMPARE(QDir(save->path()).entryList(QDir::Files | QDir::Hidden), workbooks);
        QStringList lines;
        for (const QString& name : listed)
            lines << QDir::toNativeSeparators(source->filePath(name)) + "\r\n";
        QCOMPARE(QString::fromUtf8(readBytes(source->filePath(failureListFileName()))), lines.join(QString()));
        QCOMPARE(FakeSpreadsheetApplication::log().count(QStringLiteral("Quit")), 1);
    }
};

QTEST_MAIN(MainWindowJobsTest)
#include "tst_mainwindowjobs.moc"
