// The window's behaviour: stored choices applied at construction, each persisted choice written
// when the user changes it, the dependent controls, the dialogs and the tray icon.

#include "settings/startupvalues.h"
#include "ui/mainwindow.h"
#include "ui/systemtray.h"
#include "wrappedwidth.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <memory>

class MainWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QString settingsPath;

    // Points the settings file at a fresh file with `content`; a null content means no file.
    void useSettings(const QByteArray& content)
    {
        settingsPath = folder.filePath(QStringLiteral("Quillmorne.vqd"));
        QFile::remove(settingsPath);
        if (!content.isNull()) {
            QFile file(settingsPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        StartupValues values;
        values.settingsFilePath = QFile::encodeName(settingsPath);
        setStartupValues(values);
    }

    QByteArray settings() const
    {
        QFile file(settingsPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    template <typename T>
    static T* control(const QWidget& window, const QString& name)
    {
        T* found = window.findChild<T*>(name);
        if (!found)
            qFatal("no control %s", qPrintable(name));
        return found;
    }

    static QAbstractButton* button(const QWidget& window, const QString& name)
    {
        return control<QAbstractButton>(window, name);
    }

    static QLineEdit* field(const QWidget& window, const QString& name) { return control<QLineEdit>(window, name); }

private slots:
    void construction()
    {
        useSettings(QByteArray());
        MainWindow window;
        QCOMPARE(window.size(), QSize(940, 420));
        QCOMPARE(window.rememberedSize(), QSize(940, 420));
        QCOMPARE(window.windowTitle(), QStringLiteral("Quillmorne4.0"));
        QVERIFY(!window.windowIcon().isNull());
        QVERIFY(button(window, "pBtn_AutoTransform")->isHidden());
        QVERIFY(!button(window, "pBtn_Transform")->isHidden());
        // Everything fits into the normal size: the layout asks for no more, so nothing is cut.
        window.show();

        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Its height (the width follows the desktop's font size) holds every row: no row and no
        // control is given less than it needs.
        QCOMPARE(window.height(), 420);
        for (QWidget* widget : window.findChildren<QWidget*>()) {
            if (widget->isVisible() && !widget->objectName().startsWith(QLatin1String("qt_")))
                QVERIFY2(widget->height() >= widget->minimumSizeHint().height(), qPrintable(widget->objectName()));
        }
        for (const char* name : {"rBtn_xlsx", "rBtn_xls"})
            QVERIFY(button(window, name)->toolTip().contains(QStringLiteral("后续的工作表")));
    }

    void storedChoicesApplied_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("sourcePath");
        QTest::addColumn<QString>("savePath");
        QTest::addColumn<bool>("intoSourceFolder");
        QTest::addColumn<QString>("checkedType");
        QTest::addColumn<QString>("checkedDelimiter");

        QTest::newRow("no file") << QByteArray() << ""
                                 << "" << false << "rBtn_xlsx"
                                 << "rBtn_Tabs";
        QTest::newRow("empty file") << QByteArray("") << ""
                                    << "" << false << "rBtn_xlsx"
                                    << "rBtn_Tabs";
        QTest::newRow("everything stored")
            << QByteArray("SourcePath=/in/\r\nSavePath=/out/\r\nSaveToQuondamPath=y\r\nxlsxMode=n\r\n"
                          "vbaOpenFunFomatArg=3\r\n")
            << "/in/"
            << "/out/" << true << "rBtn_xls"
            << "rBtn_Comma";
        QTest::newRow("only first byte counts")
            << QByteArray("SaveToQuondamPath=yes\r\nxlsxMode=no\r\nvbaOpenFunFomatArg=42\r\n") << ""
            << "" << true << "rBtn_xls"
            << "rBtn_Space";
        QTest::newRow("unknown values fall back")
            << QByteArray("SaveToQuondamPath=Y\r\nxlsxMode=N\r\nvbaOpenFunFomatArg=9\r\n") << ""
            << "" << false << "rBtn_xlsx"
            << "rBtn_Tabs";
        QTest::newRow("semicolon, LF line ends") << QByteArray("vbaOpenFunFomatArg=2\nSourcePath=/a b/\n") << "/a b/"
                                                 << "" << false << "rBtn_xlsx"
                                                 << "rBtn_Semicolon";
        QTest::newRow("UTF-8 path") << QByteArray("SourcePath=/数据/\r\n") << "/数据/"
                                    << "" << false << "rBtn_xlsx"
                                    << "rBtn_Tabs";
    }

    void storedChoicesApplied()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, sourcePath);
        QFETCH(QString, savePath);
        QFETCH(bool, intoSourceFolder);
        QFETCH(QString, checkedType);
        QFETCH(QString, checkedDelimiter);

        useSettings(content);
        const QByteArray before = settings();
        MainWindow window;
        QCOMPARE(field(window, "lEdt_SourcePath")->text(), sourcePath);
        QCOMPARE(field(window, "lEdt_SavePath")->text(), savePath);
        QCOMPARE(button(window, "cBox_SaveToQuondamPath")->isChecked(), intoSourceFolder);
        // The save folder is unused while results go beside their sources.
        QCOMPARE(button(window, "pBtn_SavePath")->isEnabled(), !intoSourceFolder);
        QCOMPARE(field(window, "lEdt_SavePath")->isEnabled(), !intoSourceFolder);
        QVERIFY(button(window, checkedType)->isChecked());
        QVERIFY(button(window, checkedDelimiter)->isChecked());
        // Choices that are not stored start unset.
        for (const char* name :
             {"cBox_ConsecutiveDelimiter", "cBox_SetTextFormat", "cBox_OtherLanguage", "cBox_UCS2", "cBox_UTF8BOM"})
            QVERIFY(!button(window, name)->isChecked());
        QVERIFY(!field(window, "lEdt_SetTextFormat")->isEnabled());
        // Applying choices never writes (nor creates) the file.
        QCOMPARE(settings(), before);
    }

    // A choice is written once it is made, by a click or through the accessibility interface (a
    // screen reader's "toggle" or "press" action), which checks a button without clicking it.
    void clickWritesChoice_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("how"); // "click", or the name of an accessible action
        QTest::addColumn<QByteArray>("after");

        const QString click = QStringLiteral("click");
        const QString toggle = QAccessibleActionInterface::toggleAction();
        const QString press = QAccessibleActionInterface::pressAction();
        QTest::newRow("tab") << QByteArray("vbaOpenFunFomatArg=3\r\n") << "rBtn_Tabs" << click
                             << QByteArray("vbaOpenFunFomatArg=1\r\n");
        QTest::newRow("semicolon") << QByteArray() << "rBtn_Semicolon" << click
                                   << QByteArray("vbaOpenFunFomatArg=2\r\n");
        QTest::newRow("comma") << QByteArray() << "rBtn_Comma" << click << QByteArray("vbaOpenFunFomatArg=3\r\n");
        QTest::newRow("space") << QByteArray() << "rBtn_Space" << click << QByteArray("vbaOpenFunFomatArg=4\r\n");
        QTest::newRow("already checked tab written again")
            << QByteArray("") << "rBtn_Tabs" << click << QByteArray("vbaOpenFunFomatArg=1\r\n");
        QTest::newRow("xls") << QByteArray("SourcePath=/in/\r\n") << "rBtn_xls" << click
                             << QByteArray("SourcePath=/in/\r\nxlsxMode=n\r\n");
        QTest::newRow("xlsx") << QByteArray("xlsxMode=n\r\n") << "rBtn_xlsx" << click << QByteArray("xlsxMode=y\r\n");
        QTest::newRow("save beside sources")
            << QByteArray() << "cBox_SaveToQuondamPath" << click << QByteArray("SaveToQuondamPath=y\r\n");
        QTest::newRow("unpersisted choice writes nothing")
            << QByteArray("xlsxMode=y\r\n") << "cBox_ConsecutiveDelimiter" << click << QByteArray("xlsxMode=y\r\n");
        QTest::newRow("comma toggled by a screen reader")
            << QByteArray() << "rBtn_Comma" << toggle << QByteArray("vbaOpenFunFomatArg=3\r\n");
        QTest::newRow("space toggled by a screen reader") << QByteArray("vbaOpenFunFomatArg=1\r\n") << "rBtn_Space"
                                                          << toggle << QByteArray("vbaOpenFunFomatArg=4\r\n");
        QTest::newRow("xls toggled by a screen reader")
            << QByteArray("xlsxMode=y\r\n") << "rBtn_xls" << toggle << QByteArray("xlsxMode=n\r\n");
        QTest::newRow("save beside sources toggled by a screen reader")
            << QByteArray() << "cBox_SaveToQuondamPath" << toggle << QByteArray("SaveToQuondamPath=y\r\n");
        QTest::newRow("semicolon pressed by a screen reader")
            << QByteArray() << "rBtn_Semicolon" << press << QByteArray("vbaOpenFunFomatArg=2\r\n");
    }

    void clickWritesChoice()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, name);
        QFETCH(QString, how);
        QFETCH(QByteArray, after);
        useSettings(before.isNull() ? QByteArray("") : before);
        MainWindow window;
        window.show();
        QAbstractButton* target = button(window, name);
        if (how == QLatin1String("click")) {
            QTest::mouseClick(target, Qt::LeftButton);
        } else {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(target);
            QVERIFY(accessible && accessible->actionInterface());
            accessible->actionInterface()->doAction(how);
        }
        QTRY_COMPARE(settings(), after);
        QVERIFY(target->isChecked());
        // A stored choice has its click slot, connected by the control's name.
        if (after != before)
            QVERIFY(window.metaObject()->indexOfSlot(qPrintable(QStringLiteral("on_%1_clicked()").arg(name))) >= 0);
        // The controls that depend on the choice follow it as after a click.
        if (name == QLatin1String("cBox_SaveToQuondamPath"))
            QVERIFY(!field(window, "lEdt_SavePath")->isEnabled());
    }

    void writesWithoutSettingsFileCreateNothing()
    {
        useSettings(QByteArray());
        MainWindow window;
        window.show();
        QTest::mouseClick(button(window, "rBtn_xls"), Qt::LeftButton);
        QVERIFY(button(window, "rBtn_xls")->isChecked());
        QVERIFY(!QFile::exists(settingsPath));
    }

    void restoredSaveBesideSourcesTogglesControls()
    {
        useSettings("SaveToQuondamPath=y\r\n");
        MainWindow window;
        window.show();
        QAbstractButton* box = button(window, "cBox_SaveToQuondamPath");
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QVERIFY(button(window, "pBtn_SavePath")->isEnabled());
        QVERIFY(field(window, "lEdt_SavePath")->isEnabled());
        QCOMPARE(settings(), QByteArray("SaveToQuondamPath=n\r\n"));
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!button(window, "pBtn_SavePath")->isEnabled());
        QVERIFY(!field(window, "lEdt_SavePath")->isEnabled());
        QCOMPARE(settings(), QByteArray("SaveToQuondamPath=y\r\n"));
    }

    // A folder is chosen in the dialog or dropped onto a folder field or the window; either way
    // it fills the field and is stored.
    void pickFolder_data()
    {
        QTest::addColumn<QString>("buttonName"); // the button that opens the dialog, or where a drop lands
        QTest::addColumn<QString>("fieldName");
        QTest::addColumn<QString>("fieldText");
        QTest::addColumn<QString>("answer"); // the dialog's answer, or the dropped path
        QTest::addColumn<QString>("start");  // where the dialog opens
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QByteArray>("stored");

        const QString sep = QDir::separator();
        const QString home = QDir::toNativeSeparators(QDir::homePath());
        const QString picked = QDir::toNativeSeparators(QStringLiteral("/data/数据")) + sep;
        QTest::newRow("source folder") << "pBtn_SourcePath"
                                       << "lEdt_SourcePath"
                                       << "typed"
                                       << "/data/数据" << home << picked
                                       << "SourcePath=" + picked.toLocal8Bit() + "\r\n";
        QTest::newRow("save folder") << "pBtn_SavePath"
                                     << "lEdt_SavePath"
                                     << "typed"
                                     << "/data/数据" << home << picked << "SavePath=" + picked.toLocal8Bit() + "\r\n";
        QTest::newRow("trailing separator doubled")
            << "pBtn_SavePath"
            << "lEdt_SavePath"
            << "typed"
            << "/data/" << home << QDir::toNativeSeparators("/data//")
            << "SavePath=" + QDir::toNativeSeparators("/data//").toLocal8Bit() + "\r\n";
        QTest::newRow("cancel changes nothing") << "pBtn_SourcePath"
                                                << "lEdt_SourcePath"
                                                << "typed"
                                                << "" << home << "typed" << QByteArray("");

        const QString existing = QDir::toNativeSeparators(folder.path());
        QTest::newRow("dialog opens at the folder in the field")
            << "pBtn_SourcePath"
            << "lEdt_SourcePath" << existing + sep << "" << existing << existing + sep << QByteArray("");
        QTest::newRow("dialog opens at the nearest folder that exists")
            << "pBtn_SavePath"
            << "lEdt_SavePath" << existing + sep + QStringLiteral("gone") + sep + QStringLiteral("deeper") << ""
            << existing << existing + sep + QStringLiteral("gone") + sep + QStringLiteral("deeper") << QByteArray("");

        const QString dropped = QDir::toNativeSeparators(folder.filePath(QStringLiteral("拖入")));
        QTest::newRow("folder dropped on the source field")
            << "drop"
            << "lEdt_SourcePath"
            << "typed" << dropped << "" << dropped + sep << "SourcePath=" + (dropped + sep).toLocal8Bit() + "\r\n";
        QTest::newRow("folder dropped on the save field")
            << "drop"
            << "lEdt_SavePath"
            << "typed" << dropped << "" << dropped + sep << "SavePath=" + (dropped + sep).toLocal8Bit() + "\r\n";
        QTest::newRow("folder dropped on the window fills the source field")
            << "drop"
            << "MainWindow"
            << "typed" << dropped << "" << dropped + sep << "SourcePath=" + (dropped + sep).toLocal8Bit() + "\r\n";
        // Qt hands a drop on a disabled control to the window.
        QTest::newRow("folder dropped on the disabled save field changes nothing")
            << "drop, saving beside sources"
            << "lEdt_SavePath"
            << "typed" << dropped << ""
            << "typed" << QByteArray("SaveToQuondamPath=y\r\n");
        QTest::newRow("dropped file is no folder") << "drop"
                                                   << "lEdt_SourcePath"
                                                   << "typed" << QDir::toNativeSeparators(settingsPath) << ""
                                                   << "typed" << QByteArray("");
    }

    void pickFolder()
    {
        QFETCH(QString, buttonName);
        QFETCH(QString, fieldName);
        QFETCH(QString, fieldText);
        QFETCH(QString, answer);
        QFETCH(QString, start);
        QFETCH(QString, shown);
        QFETCH(QByteArray, stored);

        QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("拖入"))));
        useSettings("");
        MainWindow window;
        window.show();
        QLineEdit* target =
            fieldName == QLatin1String("MainWindow") ? field(window, "lEdt_SourcePath") : field(window, fieldName);
        target->setText(fieldText);
        QStringList asked;
        window.setFolderDialog(
            [&](QWidget* parent, const QString& caption, const QString& startFolder, QFileDialog::Options options) {
                asked << caption << startFolder;
                if (parent != &window || options != (QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks))
                    asked << QStringLiteral("wrong parent or options");
                return answer;
            });
        if (buttonName.startsWith(QLatin1String("drop"))) {
            const bool besideSources = buttonName == QLatin1String("drop, saving beside sources");
            if (besideSources)
                button(window, "cBox_SaveToQuondamPath")->setChecked(true);
            QWidget* dropTarget =
                fieldName == QLatin1String("MainWindow") || besideSources ? static_cast<QWidget*>(&window) : target;
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(answer)});
            const QPoint at =
                besideSources ? target->mapTo(&window, target->rect().center()) : dropTarget->rect().center();
            QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(dropTarget, &enter);
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(dropTarget, &drop);
            QCOMPARE(drop.isAccepted(), shown != fieldText);
            QVERIFY(asked.isEmpty());
        } else {
            QTest::mouseClick(button(window, buttonName), Qt::LeftButton);
            QCOMPARE(asked, (QStringList{QStringLiteral("选择文件夹"), start}));
        }
        QCOMPARE(target->text(), shown);
        QCOMPARE(settings(), stored);
    }

    void encodingBoxesExcludeEachOther()
    {
        useSettings("");
        MainWindow window;
        window.show();
        QAbstractButton* ucs2 = button(window, "cBox_UCS2");
        QAbstractButton* utf8 = button(window, "cBox_UTF8BOM");
        QTest::mouseClick(utf8, Qt::LeftButton);
        QTest::mouseClick(ucs2, Qt::LeftButton);
        QVERIFY(ucs2->isChecked());
        QVERIFY(!utf8->isChecked());
        QTest::mouseClick(ucs2, Qt::LeftButton);
        QVERIFY(!ucs2->isChecked());
        QVERIFY(!utf8->isChecked());
        QTest::mouseClick(utf8, Qt::LeftButton);
        QTest::mouseClick(utf8, Qt::LeftButton);
        QVERIFY(!ucs2->isChecked());
        QVERIFY(!utf8->isChecked());
        QCOMPARE(settings(), QByteArray(""));
    }

    void textFormatBoxEnablesColumnField()
    {
        useSettings("");
        MainWindow window;
        window.show();
        QAbstractButton* box = button(window, "cBox_SetTextFormat");
        QLineEdit* columns = field(window, "lEdt_SetTextFormat");
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(columns->isEnabled());
        columns->setText(QStringLiteral("2,3"));
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!columns->isEnabled());
        QCOMPARE(columns->text(), QStringLiteral("2,3"));
    }

    // A progress text is shown whole when it fits and elided in the middle when it does not, with
    // the whole text in the tooltip, which wraps inside long names too (a tooltip wider than the
    // screen is cut at its edge); the window keeps its size, and a wider window shows more.
    void progressTextAndButtons_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("elided");
        const QString deep = QStringLiteral("/home/user/数据/2024年/");
        QTest::newRow("short path, blanks kept") << "  /a/b.txt " << false;
        QTest::newRow("markup shown as written") << "/a/<b>x</b>.txt" << false;
        QTest::newRow("path of 400 characters")
            << QStringLiteral("/data/") + QString(380, QLatin1Char('x')) + ".txt" << true;
        QTest::newRow("deep Chinese path") << deep.repeated(20) + QStringLiteral("销售明细.txt") << true;
        QTest::newRow("folder name of 255 characters")
            << QStringLiteral("/srv/导出/") + QString(255, QLatin1Char('n')) + QStringLiteral("/门店.txt") << true;
        QTest::newRow("long name outside the BMP")
            << QStringLiteral("/数据/x") + QStringLiteral("\U00020000").repeated(20) + ".txt" << false;
    }

    void progressTextAndButtons()
    {
        QFETCH(QString, text);
        QFETCH(bool, elided);
        useSettings("");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* status = window.findChild<QLabel*>(QStringLiteral("lb_ShowDisposing"));
        const QSize normal = window.size();
        const QSize least = window.minimumSizeHint();
        // The tooltip of the file before is on screen: it changes with the line.
        window.on_ShowDisposingFile(QStringLiteral("/before.txt"));
        QToolTip::showText(status->mapToGlobal(status->rect().center()), status->toolTip(), status);
        QVERIFY(QToolTip::isVisible());
        window.on_ShowDisposingFile(text);
        QCoreApplication::processEvents();
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), status->toolTip());
        QToolTip::hideText();
        QCOMPARE(window.size(), normal);
        QCOMPARE(window.minimumSizeHint(), least);
        QCOMPARE(window.statusText(), text);
        const QString tip = status->toolTip();
        QCOMPARE(shownText(tip), text);
        QVERIFY(surrogatesWhole(tip));
        QVERIFY(widestWrappedLine(tip, QToolTip::font(), 400) <= 400);
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QVERIFY(status->fontMetrics().horizontalAdvance(status->text()) <= status->contentsRect().width());
        if (!elided) {
            QCOMPARE(status->text(), text);
        } else {
            QVERIFY(status->text().contains(QChar(0x2026)));
            QVERIFY(status->text().startsWith(text.left(4)));
            QVERIFY(status->text().endsWith(text.right(4)));
            const int shown = status->text().size();
            window.resize(normal.width() + 300, normal.height());
            QTRY_VERIFY(status->text().size() > shown);
            QCOMPARE(window.size(), QSize(normal.width() + 300, normal.height()));
        }

        button(window, "pBtn_Transform")->setEnabled(false);
        button(window, "pBtn_AutoTransform")->setEnabled(false);
        window.on_Signal_SetButtonEnable();
        QVERIFY(button(window, "pBtn_Transform")->isEnabled());
        QVERIFY(button(window, "pBtn_AutoTransform")->isEnabled());
        QVERIFY(button(window, "pBtn_AutoTransform")->isHidden());
    }

    void usageNotes()
    {
        useSettings("");
        MainWindow window;
        window.show();
        QWidget* parent = &window;
        QString title;
        QString text;
        window.setAboutBox([&](QWidget* boxParent, const QString& boxTitle, const QString& boxText) {
            parent = boxParent;
            title = boxTitle;
            text = boxText;
        });
        QTest::mouseClick(button(window, "pBtn_MustRead"), Qt::LeftButton);
        QCOMPARE(parent, nullptr);
        QCOMPARE(title, QStringLiteral("注意"));
        QVERIFY(text.startsWith(QStringLiteral("<p style=\"font-size:16px;line-height:20px;\">1. ")));
        QVERIFY(text.endsWith(QStringLiteral("</p>")));
        QCOMPARE(text.count(QStringLiteral("<br><br>")), 3);
        for (int note = 2; note <= 4; ++note)
            QVERIFY(text.contains(QStringLiteral("<br><br>%1. ").arg(note)));
#ifdef Q_OS_WIN
        QVERIFY(text.contains(QStringLiteral("1. 本软件无需安装")));
        QVERIFY(text.contains(QStringLiteral("并勾选不再询问。</p>")));
        QVERIFY(text.contains(QStringLiteral("<br><br>2. 如有需管理员权限的设置")));
        QVERIFY(
            text.contains(QStringLiteral("<br><br>3. 软件请在微软Windows7或以上系统运行，不支持xp系统。<br><br>4. ")));
#else
        // The notes speak of this system: no office suite, where the settings are (the file in use
        // named), and the failure list.
        QVERIFY(text.contains(QStringLiteral("Linux")));
        QVERIFY(!text.contains(QStringLiteral("Windows")));
        QVERIFY(!text.contains(QStringLiteral("管理员身份运行")));
        QVERIFY(text.contains(QStringLiteral("无需安装微软 Office")));
        QVERIFY(text.contains(QDir::toNativeSeparators(settingsPath).toHtmlEscaped()));
        QVERIFY(text.contains(QDir(defaultUserConfigFolder()).filePath(QStringLiteral("Quillmorne.vqd"))));
        QVERIFY(text.contains(QStringLiteral("无法转换的文件目录.txt")));
#endif
    }

    void trayIcon()
    {
        useSettings("");
        MainWindow window;
        auto* tray = window.findChild<SystemTray*>();
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), QStringLiteral("Quillmorne"));
        QVERIFY(!tray->icon().isNull());
        // The icon carries an image for each size the desktop asks for, each with transparent corners.
        const QList<QSize> sizes = tray->icon().availableSizes();
        for (int side : {16, 32, 48, 256}) {
            QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QString::number(side)));
            const QImage image = tray->icon().pixmap(side, side).toImage();
            QCOMPARE(image.size(), QSize(side, side));
            QCOMPARE(qAlpha(image.pixel(side - 1, 0)), 0);
        }
        QVERIFY(tray->contextMenu());
        QStringList entries;
        for (QAction* action : tray->contextMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, (QStringList{QStringLiteral("软件设置"), QStringLiteral("退出程序")}));
    }

    void trayRestoresWindow_data()
    {
        QTest::addColumn<int>("reason");
        QTest::addColumn<bool>("minimised");
        QTest::addColumn<bool>("restores");
        QTest::newRow("click on minimised window") << int(QSystemTrayIcon::Trigger) << true << true;
        QTest::newRow("double-click on minimised window") << int(QSystemTrayIcon::DoubleClick) << true << true;
        QTest::newRow("click on resized window") << int(QSystemTrayIcon::Trigger) << false << true;
        QTest::newRow("middle click ignored") << int(QSystemTrayIcon::MiddleClick) << true << false;
        QTest::newRow("context ignored") << int(QSystemTrayIcon::Context) << false << false;
        QTest::newRow("unknown ignored") << int(QSystemTrayIcon::Unknown) << false << false;
        QTest::newRow("menu entry") << -1 << false << true;
    }

    void trayRestoresWindow()
    {
        QFETCH(int, reason);
        QFETCH(bool, minimised);
        QFETCH(bool, restores);
        useSettings("");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The form's fonts decide the least size the layout allows; the window never goes below it.
        const QSize normal = QSize(940, 420).expandedTo(window.minimumSize());
        const QSize dragged = QSize(1200, 700);
        window.resize(dragged);
        QCOMPARE(window.size(), dragged);
        if (minimised)
            window.showMinimized();
        auto* tray = window.findChild<SystemTray*>();
        if (reason < 0)
            tray->contextMenu()->actions().at(0)->trigger();
        else
            emit tray->activated(QSystemTrayIcon::ActivationReason(reason));
        QCOMPARE(window.isMinimized(), minimised && !restores);
        QCOMPARE(window.size(), restores ? normal : dragged);
        QVERIFY(window.isVisible());
    }

    // Quitting from the tray and closing the window both end the event loop with status 0.
    void programEnds_data()
    {
        QTest::addColumn<bool>("fromTray");
        QTest::newRow("close window") << false;
        QTest::newRow("tray quit entry") << true;
    }

    void programEnds()
    {
        QFETCH(bool, fromTray);
        useSettings("");
        auto window = std::make_unique<MainWindow>();
        window->show();
        window->showMinimized();
        QTimer::singleShot(0, window.get(), [&] {
            if (fromTray)
                window->findChild<SystemTray*>()->contextMenu()->actions().at(1)->trigger();
            else
                window->close();
        });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(99); }); // a hang ends the loop as a failure
        QCOMPARE(QApplication::exec(), 0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
