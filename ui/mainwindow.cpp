#include "ui/mainwindow.h"

#include "convert/conversionoptions.h"
#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "platform/screen.h"
#include "platform/terminationsignal.h"
#include "platform/textviewer.h"
#include "settings/settingsfile.h"
#include "settings/startupvalues.h"
#include "ui/systemtray.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QThread>

#include <algorithm>

namespace {

// The window's normal height once it is constructed; the form is built 520 pixels high.
constexpr int NormalHeight = 420;

const QString ProductName = QStringLiteral("Quillmorne");

QString defaultFolderDialog(QWidget* parent, const QString& caption, const QString& startFolder,
                            QFileDialog::Options options)
{
    return QFileDialog::getExistingDirectory(parent, caption, startFolder, options);
}

void defaultAboutBox(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::about(parent, title, text);
}

} // namespace

// The icon lives in the GUI library's resources; a static library's resources are registered only
// when something refers to them.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered)
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), screenWidth(0), screenHeight(0), rememberedHeight(0),
      rememberedWidth(0), mergeThread(nullptr), mergeObject(nullptr), folderDialog(defaultFolderDialog),
      aboutBox(defaultAboutBox)
{
    registerResources();
    ui->setupUi(this);

    const QSize screen = primaryScreenSize();
    screenWidth = screen.width();
    screenHeight = screen.height();
    rememberedHeight = height();
    rememberedWidth = width();
    // Centred horizontally, a third of the free height above and two thirds below. On a screen
    // smaller than the window the corner stays on the screen, so the title bar remains reachable.
    move(std::max(0, (screenWidth - rememberedWidth) / 2), std::max(0, (screenHeight - rememberedHeight) / 3));

    setWindowTitle(ProductName + QStringLiteral(QUILLMORNE_VERSION_TEXT));
    setWindowIcon(QIcon(QStringLiteral(":/images/vqd.ico")));

    auto* tray = new SystemTray(this);
    connect(tray, &SystemTray::showWidget, this, &MainWindow::ShowSoftWindow);
    connect(tray, &QSystemTrayIcon::activated, this, &MainWindow::SystemTrayActivated);

    QByteArray settingsText;
    LoadSettingsText(startupValues().settingsFileName(), &settingsText);

    rememberedHeight = NormalHeight;
    resize(rememberedWidth, rememberedHeight);

    applySettings(settingsText);

    ui->pBtn_AutoTransform->hide();

    mergeThread = nullptr;
    mergeObject = nullptr;
}

MainWindow::~MainWindow()
{
    // A job still running stops after the file in progress; what it saved stays. Waiting here
    // lets the process end cleanly instead of tearing the worker down in the middle of a save.
    // After "退出程序" the window is still on screen; it goes away at once rather than sitting
    // unresponsive while the file finishes.
    if (requestsWhenClosing < 0)
        requestsWhenClosing = TerminationSignals::requestCount();
    hide();
    disposeOfJob();
    delete ui;
}

void MainWindow::setSpreadsheetBinding(SpreadsheetApplicationFactory binding)
{
    spreadsheetBinding = std::move(binding);
}

void MainWindow::setWorkerSetup(WorkerSetup setup)
{
    workerSetup = std::move(setup);
}

void MainWindow::setFolderDialog(FolderDialog dialog)
{
    folderDialog = dialog ? std::move(dialog) : FolderDialog(defaultFolderDialog);
}

void MainWindow::setAboutBox(AboutBox box)
{
    aboutBox = box ? std::move(box) : AboutBox(defaultAboutBox);
}

// Sets the controls' states without emitting their click signals, so nothing is written back.
void MainWindow::applySettings(const QByteArray& text)
{
    const QByteArray sourcePath = GetSettingValue(text, SettingsKey::SourcePath);
    if (!sourcePath.isEmpty())
        ui->lEdt_SourcePath->setText(QString::fromLocal8Bit(sourcePath));

    const QByteArray savePath = GetSettingValue(text, SettingsKey::SavePath);
    if (!savePath.isEmpty())
        ui->lEdt_SavePath->setText(QString::fromLocal8Bit(savePath));

    // A stored "y" leaves the controls as a click on the box would: the save folder is not used.
    if (GetSettingValue(text, SettingsKey::SaveToQuondamPath).startsWith('y')) {
        ui->cBox_SaveToQuondamPath->setChecked(true);
        ui->pBtn_SavePath->setEnabled(false);
        ui->lEdt_SavePath->setEnabled(false);
    }

    if (GetSettingValue(text, SettingsKey::XlsxMode).startsWith('n'))
        ui->rBtn_xls->setChecked(true);
    else
        ui->rBtn_xlsx->setChecked(true);

    delimiterButton(delimiterFromSettingsValue(GetSettingValue(text, SettingsKey::DelimiterChoice)))->setChecked(true);
}

void MainWindow::writeSetting(const char* key, const QByteArray& value)
{
    // A failed write is not reported: the control keeps its state for this run only.
    SetSettingValue(startupValues().settingsFileName(), key, value);
}

void MainWindow::ShowSoftWindow()
{
    showNormal();
    resize(rememberedWidth, rememberedHeight);
    raise();
    activateWindow();
}

void MainWindow::SystemTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        ShowSoftWindow();
}

void MainWindow::on_ShowDisposingFile(QString filePath)
{
    ui->lb_ShowDisposing->setText(filePath);
}

void MainWindow::pickFolder(QLineEdit* field, const char* key)
{
    const QString folder = folderDialog(this, QStringLiteral("选择文件夹"), QStringLiteral("."),
                                        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return;
    const QString path = QDir::toNativeSeparators(folder + QDir::separator());
    field->setText(path);
    writeSetting(key, path.toLocal8Bit());
}

void MainWindow::on_pBtn_SourcePath_clicked()
{
    pickFolder(ui->lEdt_SourcePath, SettingsKey::SourcePath);
}

void MainWindow::on_pBtn_SavePath_clicked()
{
    pickFolder(ui->lEdt_SavePath, SettingsKey::SavePath);
}

QRadioButton* MainWindow::delimiterButton(Delimiter delimiter) const
{
    switch (delimiter) {
    case Delimiter::Semicolon:
        return ui->rBtn_Semicolon;
    case Delimiter::Comma:
        return ui->rBtn_Comma;
    case Delimiter::Space:
        return ui->rBtn_Space;
    case Delimiter::Tab:
        break;
    }
    return ui->rBtn_Tabs;
}

bool MainWindow::takeFolderOptions(bool settingsDriven)
{
    options.sourceFolder = QDir::toNativeSeparators(ui->lEdt_SourcePath->text());
    options.saveFolder = QDir::toNativeSeparators(ui->lEdt_SavePath->text());
    options.saveToSourceFolder = ui->cBox_SaveToQuondamPath->isChecked();
    if (settingsDriven) {
        options.sourceUcs2 = ui->cBox_UCS2->isChecked() && !ui->cBox_UTF8BOM->isChecked();
        options.sourceUtf8Bom = ui->cBox_UTF8BOM->isChecked();
    }

    // An empty text would name the working folder, so it never counts as an existing folder.
    const auto isFolder = [](const QString& path) { return !path.isEmpty() && QFileInfo(path).isDir(); };
    if (!isFolder(options.sourceFolder)) {
        aboutBox(this, QStringLiteral("Message:"), QStringLiteral("提取文件夹不存在!"));
        return false;
    }
    if (!isFolder(options.saveFolder) && !options.saveToSourceFolder) {
        aboutBox(this, QStringLiteral("Message:"), QStringLiteral("保存文件夹不存在!"));
        return false;
    }
    return true;
}

void MainWindow::takeTypeAndDelimiter()
{
    options.xlsxOutput = ui->rBtn_xlsx->isChecked();
    // With no delimiter button checked the option keeps its value.
    for (Delimiter delimiter : {Delimiter::Tab, Delimiter::Semicolon, Delimiter::Comma, Delimiter::Space}) {
        if (delimiterButton(delimiter)->isChecked()) {
            options.delimiter = delimiter;
            break;
        }
    }
}

void MainWindow::disposeOfJob()
{
    if (mergeObject)
        mergeObject->requestStop();
    if (mergeThread) {
        mergeThread->quit();
        // The run ends after the file in progress, however long that takes. A termination
        // request that comes while the window waits for it (the second one, when the first
        // closed the window) gives that file up instead, so the process ends promptly and leaves
        // no temporary file; no event loop runs here, so the window looks for it itself.
        const int requestsBefore = requestsWhenClosing >= 0 ? requestsWhenClosing : TerminationSignals::requestCount();
        while (!mergeThread->wait(50)) {
            const bool stopNow = TerminationSignals::stage() == TerminationStage::StopNow ||
                                 TerminationSignals::requestCount() > requestsBefore;
            if (stopNow && mergeObject && !mergeObject->abortRequested())
                mergeObject->requestAbort();
        }
    }
    delete mergeObject;
    mergeObject = nullptr;
    delete mergeThread;
    mergeThread = nullptr;
}

MergeObject* MainWindow::createJob()
{
    disposeOfJob();
    mergeThread = new QThread();
    mergeThread->start(QThread::InheritPriority);
    mergeObject = new MergeObject();
    mergeObject->moveToThread(mergeThread);
    mergeObject->setApplicationFactory(spreadsheetBinding);
    mergeObject->setShowFileAction([](const QString& path) { showTextFile(path); });
    if (workerSetup)
        workerSetup(*mergeObject);
    connect(mergeObject, &MergeObject::ShowDisposingFile, this, &MainWindow::on_ShowDisposingFile);
    connect(mergeObject, &MergeObject::Signal_SetButtonEnable, this, &MainWindow::on_Signal_SetButtonEnable);
    return mergeObject;
}

void MainWindow::on_pBtn_Transform_clicked()
{
    if (!takeFolderOptions(true))
        return;
    options.failureListPath = options.sourceFolder + QLatin1Char('/') + failureListFileName();
    removeOldFailureList(options);

    ui->lb_ShowDisposing->setText(QString());
    ui->pBtn_AutoTransform->setEnabled(false);
    ui->pBtn_Transform->setEnabled(false);

    takeTypeAndDelimiter();
    options.textColumnsEnabled = ui->cBox_SetTextFormat->isChecked();
    options.textColumns = options.textColumnsEnabled ? ui->lEdt_SetTextFormat->text() : QString();
    options.consecutiveDelimiters = ui->cBox_ConsecutiveDelimiter->isChecked();
    options.cellByCellMode = ui->cBox_OtherLanguage->isChecked();

    MergeObject* worker = createJob();
    connect(this, &MainWindow::pBtn_Transform_HasClicked, worker, &MergeObject::Transform);
    worker->setOptions(options);
    emit pBtn_Transform_HasClicked();
}

void MainWindow::on_Signal_SetButtonEnable()
{
    ui->pBtn_Transform->setEnabled(true);
    ui->pBtn_AutoTransform->setEnabled(true);
}

void MainWindow::on_cBox_SaveToQuondamPath_clicked()
{
    const bool intoSourceFolder = ui->cBox_SaveToQuondamPath->isChecked();
    writeSetting(SettingsKey::SaveToQuondamPath, intoSourceFolder ? "y" : "n");
    ui->pBtn_SavePath->setEnabled(!intoSourceFolder);
    ui->lEdt_SavePath->setEnabled(!intoSourceFolder);
}

void MainWindow::on_rBtn_Tabs_clicked()
{
    writeSetting(SettingsKey::DelimiterChoice, settingsValueOf(Delimiter::Tab));
}

void MainWindow::on_rBtn_Comma_clicked()
{
    writeSetting(SettingsKey::DelimiterChoice, settingsValueOf(Delimiter::Comma));
}

void MainWindow::on_rBtn_Space_clicked()
{
    writeSetting(SettingsKey::DelimiterChoice, settingsValueOf(Delimiter::Space));
}

void MainWindow::on_rBtn_Semicolon_clicked()
{
    writeSetting(SettingsKey::DelimiterChoice, settingsValueOf(Delimiter::Semicolon));
}

void MainWindow::on_rBtn_xlsx_clicked()
{
    writeSetting(SettingsKey::XlsxMode, "y");
}

void MainWindow::on_rBtn_xls_clicked()
{
    writeSetting(SettingsKey::XlsxMode, "n");
}

void MainWindow::on_cBox_SetTextFormat_clicked()
{
    ui->lEdt_SetTextFormat->setEnabled(ui->cBox_SetTextFormat->isChecked());
}

void MainWindow::on_cBox_UCS2_clicked()
{
    ui->cBox_UTF8BOM->setChecked(false);
}

void MainWindow::on_cBox_UTF8BOM_clicked()
{
    ui->cBox_UCS2->setChecked(false);
}

void MainWindow::on_pBtn_AutoTransform_clicked()
{
    // The encoding, column and failure-list options keep the values of the last settings-driven
    // start, and an old failure list stays in place.
    if (!takeFolderOptions(false))
        return;
    ui->lb_ShowDisposing->setText(QString());
    ui->pBtn_AutoTransform->setEnabled(false);
    ui->pBtn_Transform->setEnabled(false);

    takeTypeAndDelimiter();

    MergeObject* worker = createJob();
    connect(this, &MainWindow::pBtn_AutoTransform_HasClicked, worker, &MergeObject::AutoTransform);
    worker->setOptions(options);
    emit pBtn_AutoTransform_HasClicked();
}

void MainWindow::on_pBtn_MustRead_clicked()
{
    const QStringList notes = {
        QStringLiteral(
            "本软件无需安装，解压后运行即可，但请勿解压到需要管理员权限的系统文件夹，否则无法保存设置，无法正常升级。"),
        QStringLiteral("如有需管理员权限的设置，请使用“以管理员身份运行“(鼠标指向软件exe文件点击右键即可选择)"
                       "，否则无法保存设置。"),
        QStringLiteral("软件请在微软Windows7或以上系统运行，不支持xp系统。"),
        QStringLiteral("软件需要对电脑文件进行修改操作，如果360等软件询问是否允许，请选择总是运行，并勾选不再询问。"),
    };
    QStringList numbered;
    for (int i = 0; i < notes.size(); ++i)
        numbered.append(QString::number(i + 1) + QStringLiteral(". ") + notes.at(i));
    const QString text = QStringLiteral("<p style=\"font-size:16px;line-height:20px;\">") +
                         numbered.join(QStringLiteral("<br><br>")) + QStringLiteral("</p>");
    // Without a parent: the notes are a window of their own, not placed over the main window.
    aboutBox(nullptr, QStringLiteral("注意"), text);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // From here on a termination request means "stop now": the close already asked for the run
    // to stop after its current file.
    if (requestsWhenClosing < 0)
        requestsWhenClosing = TerminationSignals::requestCount();
    event->accept();
}
