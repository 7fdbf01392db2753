// The form alone, as the Designer file builds it, before the window applies any stored choice.

// Included through a macro: the form header is generated into the GUI library's build folder, and
// a plain include would make this test's own form compiler look for the form beside the test.
#define QUILLMORNE_FORM_HEADER "quillmorne_ui_autogen/include/ui_mainwindow.h"
#include QUILLMORNE_FORM_HEADER

#include <QtTest>

class FormTest : public QObject
{
    Q_OBJECT

    QMainWindow window;
    Ui::MainWindow form;

    template <typename T>
    T* control(const char* name)
    {
        return window.findChild<T*>(QLatin1String(name));
    }

private slots:
    void initTestCase() { form.setupUi(&window); }

    void windowAsBuilt()
    {
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.size(), QSize(940, 520));
        QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(window.centralWidget(), form.centralWidget);
        QCOMPARE(form.tabWidget->count(), 1);
        QCOMPARE(form.tabWidget->currentIndex(), 0);
        QCOMPARE(form.tabWidget->tabText(0), QStringLiteral("软件设置"));
        QCOMPARE(form.groupBox_2->title(), QStringLiteral("参数设置"));
    }

    // Leading blanks are easily lost when a form is edited; the rich-text label must stay rich text.
    void texts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("label") << "label"
                               << "<html><head/><body><p>分列字符：</p></body></html>";
        QTest::newRow("rBtn_Space keeps its leading blank") << "rBtn_Space"
                                                            << " 空格";
        QTest::newRow("pBtn_SavePath keeps its leading blank") << "pBtn_SavePath"
                                                               << " 转换后保存该文件夹到：";
        QTest::newRow("cBox_SetTextFormat")
            << "cBox_SetTextFormat"
            << "将指定列设置为文本格式(使长数字正确显示),设置多列以英文逗号分隔,例如：2,3,4";
        QTest::newRow("pBtn_Transform") << "pBtn_Transform"
                                        << "按设置转换";
    }

    void texts()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QWidget* widget = window.findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(widget->property("text").toString(), text);
    }

    void captionsAreSingleLines()
    {
        QVERIFY(!form.label_2->text().isEmpty());
        QVERIFY(!form.lb_ShowDisposing->text().isEmpty());
        QVERIFY(!form.lb_ShowDisposing->text().contains(QLatin1Char('\n')));
        QVERIFY(!form.lb_ShowDisposing->wordWrap());
    }

    void nothingCheckedAndFieldsReady()
    {
        for (QAbstractButton* button : window.findChildren<QAbstractButton*>())
            QVERIFY2(!button->isChecked(), qPrintable(button->objectName()));
        QVERIFY(!form.lEdt_SetTextFormat->isEnabled());
        QVERIFY(form.pBtn_Transform->isEnabled());
        QVERIFY(form.pBtn_AutoTransform->isEnabled());
        QVERIFY(!form.lEdt_SourcePath->isReadOnly());
        QVERIFY(!form.lEdt_SavePath->isReadOnly());
    }

    void rowsHoldTheirControls_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("split character row")
            << "horizontalLayout_7"
            << QStringList{"label", "widget_6", "cBox_ConsecutiveDelimiter", "<spacer>", "pBtn_MustRead"};
        QTest::newRow("delimiter group") << "horizontalLayout_6"
                                         << QStringList{"rBtn_Tabs", "rBtn_Semicolon", "rBtn_Comma", "rBtn_Space"};
        QTest::newRow("text format row") << "horizontalLayout_8"
                                         << QStringList{"cBox_SetTextFormat", "lEdt_SetTextFormat",
                                                        "cBox_OtherLanguage", "<spacer>"};
        QTest::newRow("source row") << "horizontalLayout_3"
                                    << QStringList{"pBtn_SourcePath", "lEdt_SourcePath", "cBox_SaveToQuondamPath"};
        QTest::newRow("save row") << "horizontalLayout_5"
                                  << QStringList{"pBtn_SavePath", "lEdt_SavePath", "widget_7", "pBtn_AutoTransform",
                                                 "pBtn_Transform"};
        QTest::newRow("encoding row") << "horizontalLayout_9"
                                      << QStringList{"label_2", "cBox_UCS2", "cBox_UTF8BOM", "<spacer>"};
        QTest::newRow("settings area") << "verticalLayout_7"
                                       << QStringList{"widget_3", "widget_8", "horizontalLayout_3",
                                                      "horizontalLayout_5", "widget_9"};
        QTest::newRow("tab page") << "verticalLayout_3" << QStringList{"groupBox_2", "lb_ShowDisposing"};
    }

    void rowsHoldTheirControls()
    {
        QFETCH(QString, layout);
        QFETCH(QStringList, items);
        auto* box = window.findChild<QBoxLayout*>(layout);
        QVERIFY(box);
        QStringList found;
        for (int i = 0; i < box->count(); ++i) {
            QLayoutItem* item = box->itemAt(i);
            if (item->widget())
                found << item->widget()->objectName();
            else if (item->layout())
                found << item->layout()->objectName();
            else
                found << QStringLiteral("<spacer>");
        }
        QCOMPARE(found, items);
    }

    // Each radio group is exclusive within itself and independent of the other.
    void radioGroupsAreExclusive()
    {
        QTest::mouseClick(form.rBtn_Comma, Qt::LeftButton);
        QTest::mouseClick(form.rBtn_xls, Qt::LeftButton);
        QTest::mouseClick(form.rBtn_Space, Qt::LeftButton);
        QVERIFY(form.rBtn_Space->isChecked());
        QVERIFY(!form.rBtn_Comma->isChecked());
        QVERIFY(form.rBtn_xls->isChecked());
        QTest::mouseClick(form.rBtn_xlsx, Qt::LeftButton);
        QVERIFY(!form.rBtn_xls->isChecked());
        QVERIFY(form.rBtn_Space->isChecked());
    }

    void statusLineNeverTallerThan25_data()
    {
        QTest::addColumn<int>("windowHeight");
        QTest::newRow("built height") << 520;
        QTest::newRow("normal height") << 420;
        QTest::newRow("tall window") << 1100;
    }

    void statusLineNeverTallerThan25()
    {
        QFETCH(int, windowHeight);
        window.resize(940, windowHeight);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(form.lb_ShowDisposing->height() <= 25);
        QVERIFY(form.lb_ShowDisposing->height() > 0);
        QCOMPARE(form.lb_ShowDisposing->styleSheet(), QStringLiteral("color: rgb(255, 0, 0);"));
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
