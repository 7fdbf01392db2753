#include "ui/mainwindow.h"

#include "convert/conversionoptions.h"
#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "convert/textcolumns.h"
#include "platform/screen.h"
#include "platform/terminationsignal.h"
#include "platform/textviewer.h"
#include "settings/settingsfile.h"
#include "settings/startupvalues.h"
#include "ui/systemtray.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QMimeData>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QUrl>

#include <algorithm>

namespace {

// The window's normal height once it is constructed; the form is built 520 pixels high.
constexpr int NormalHeight = 420;

const QString ProductName = QStringLiteral("Quillmorne");

// The title of the window's message boxes.
const QString MessageTitle = ProductName;

QString defaultFolderDialog(QWidget* parent, const QString& caption, const QString& startFolder,
                            QFileDialog::Options options)
{
    return QFileDialog::getExistingDirectory(parent, caption, startFolder, options);
}

void defaultAboutBox(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::about(parent, title, text);
}

// Window-modal and without a loop of its own: the window goes on showing the run's end meanwhile.
void defaultDetailsBox(QWidget* parent, const QString& title, const QString& text, const QString& details)
{
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("failureMessage"));
    box->setDetailedText(details);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// The text with places where a line may break inside long names. Message boxes and tooltips wrap
// at word boundaries only, so a name wider than the box (a folder name may have 255 characters)
// ran past its edge and was cut off. A zero-width space after every few characters of such a name
// lets it wrap like the rest; the text looks the same. Names of up to LongName characters, which
// fit any box, are left whole, so they still move to the next line as one.
QString breakableText(const QString& text)
{
    constexpr int LongName = 24;
    constexpr int Piece = 8;
    const auto breaksAnyway = [](QChar c) { return c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('\\'); };
    QString result;
    result.reserve(text.size() + text.size() / Piece);
    int start = 0;
    while (start < text.size()) {
        int end = start;
        while (end < text.size() && !breaksAnyway(text.at(end)))
            ++end;
        const int length = end - start;
        for (int i = start; i < end; ++i) {
            result += text.at(i);
            const int taken = i - start + 1;
            // Never between the halves of a surrogate pair.
            if (length > LongName && taken % Piece == 0 && i + 1 < end && !text.at(i).isHighSurrogate())
                result += QChar(0x200B);
        }
        if (end < text.size())
            result += text.at(end);
        start = end + 1;
    }
    return result;
}

} // namespace

// Gathers, on the worker's thread, why each file of the run failed; the window reads them once
// the run has delivered its summary.
class MainWindow::FailureCollector : public MergeObserver
{
public:
    void fileFinished(const FileResult& result) override
    {
        if (result.status != FileStatus::Failed)
            return;
        // Each line starts with the source (a long path would otherwise fill two lines of the
        // details).
        QMutexLocker lock(&mutex);
        reasons.append(result.source + QStringLiteral("：") + failureTextBesideSource(result));
    }

    QStringList take()
    {
        QMutexLocker lock(&mutex);
        QStringList taken;
        taken.swap(reasons);
        return taken;
    }

private:
    QMutex mutex;
    QStringList reasons;
};

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), screenWidth(0), screenHeight(0), rememberedHeight(0),
      rememberedWidth(0), mergeThread(nullptr), mergeObject(nullptr), folderDialog(defaultFolderDialog),
      aboutBox(defaultAboutBox), textViewer(showTextFileWatched), detailsBox(defaultDetailsBox),
      failureCollector(new FailureCollector)
{
    registerUiResources();
    ui->setupUi(this);
    keepRowsWhole();

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
    connectChoices();

    ui->pBtn_AutoTransform->hide();

    // A progress text is a path, shown as it is (never as rich text) and elided to the label's
    // width, so a long one cannot widen the window; the whole text is in the tooltip.
    ui->lb_ShowDisposing->setTextFormat(Qt::PlainText);
    ui->lb_ShowDisposing->installEventFilter(this);
    setStatusText(ui->lb_ShowDisposing->text());

    const QString longerTexts = QStringLiteral("超出一个工作表行数的文本会接着写入后续的工作表");
    ui->rBtn_xlsx->setToolTip(longerTexts);
    ui->rBtn_xls->setToolTip(longerTexts);

    setAcceptDrops(true);
    ui->lEdt_SourcePath->installEventFilter(this);
    ui->lEdt_SavePath->installEventFilter(this);

    mergeThread = nullptr;
    mergeObject = nullptr;
}

void MainWindow::keepRowsWhole()
{
    // The settings area and these rows carry a fixed least height, which a container takes as its minimum instead of
    // what its layout needs; with the margins around their controls it is less than that, and the
    // controls were cut at the bottom. The fixed heights stay as floors.
    for (QWidget* row :
         std::initializer_list<QWidget*>{ui->groupBox_2, ui->widget_3, ui->widget_8, ui->widget_9, ui->widget_7})
        row->setMinimumHeight(std::max(row->minimumHeight(), row->minimumSizeHint().height()));
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

void MainWindow::setTextViewer(TextViewer viewer)
{
    textViewer = viewer ? std::move(viewer) : TextViewer(showTextFileWatched);
}

void MainWindow::setDetailsBox(DetailsBox box)
{
    detailsBox = box ? std::move(box) : DetailsBox(defaultDetailsBox);
}

void MainWindow::showMessage(const QString& text)
{
    aboutBox(this, MessageTitle, text);
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
    setStatusText(filePath);
}

void MainWindow::setStatusText(const QString& text)
{
    QLabel* label = ui->lb_ShowDisposing;
    const QString tip = breakableText(text);
    // A tooltip on screen keeps the text it was shown with; the status line's follows the line, so
    // it never names a file long done while the line shows the next one.
    const bool tipShown = QToolTip::isVisible() && QToolTip::text() == label->toolTip();
    statusFullText = text;
    label->setToolTip(tip);
    showStatusElided();
    if (tipShown) {
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(QCursor::pos(), tip, label);
    }
}

void MainWindow::showStatusElided()
{
    QLabel* label = ui->lb_ShowDisposing;
    label->setText(label->fontMetrics().elidedText(statusFullText, Qt::ElideMiddle, label->contentsRect().width()));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->lb_ShowDisposing && event->type() == QEvent::Resize) {
        showStatusElided();
        return false;
    }
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (field && (field == ui->lEdt_SourcePath || field == ui->lEdt_SavePath)) {
        // A dropped folder replaces the field's text instead of being inserted into it as a URL.
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (!droppedFolder(drag->mimeData()).isEmpty()) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QString folder = droppedFolder(drop->mimeData());
            if (!folder.isEmpty()) {
                takeFolder(field, field == ui->lEdt_SourcePath ? SettingsKey::SourcePath : SettingsKey::SavePath,
                           folder);
                drop->acceptProposedAction();
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QString MainWindow::droppedFolder(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return QString();
    for (const QUrl& url : data->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && QFileInfo(path).isDir())
            return QDir::cleanPath(path);
    }
    return QString();
}

QString MainWindow::folderDroppedOnWindow(const QMimeData* data, const QPoint& pos) const
{
    // A disabled field (the save folder's, while results go beside their sources) takes no drop,
    // so Qt hands it to the window; it must not fill the source field the user did not aim at.
    const QWidget* at = childAt(pos);
    if (at && !at->isEnabled() && (at == ui->lEdt_SavePath || at == ui->lEdt_SourcePath))
        return QString();
    return droppedFolder(data);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!folderDroppedOnWindow(event->mimeData(), event->pos()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (!folderDroppedOnWindow(event->mimeData(), event->pos()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    const QString folder = folderDroppedOnWindow(event->mimeData(), event->pos());
    if (folder.isEmpty())
        return;
    takeFolder(ui->lEdt_SourcePath, SettingsKey::SourcePath, folder);
    event->acceptProposedAction();
}

QString MainWindow::dialogStartFolder(const QLineEdit* field)
{
    // Only a complete path counts: a relative one would name a folder below the working folder.
    const QString text = field->text().trimmed();
    if (!text.isEmpty() && QDir::isAbsolutePath(QDir::fromNativeSeparators(text))) {
        QFileInfo folder(QDir::cleanPath(QDir::fromNativeSeparators(text)));
        while (!folder.isDir()) {
            const QString parent = folder.absolutePath();
            if (parent == folder.absoluteFilePath())
                break;
            folder = QFileInfo(parent);
        }
        if (folder.isDir())
            return QDir::toNativeSeparators(folder.absoluteFilePath());
    }
    return QDir::toNativeSeparators(QDir::homePath());
}

void MainWindow::pickFolder(QLineEdit* field, const char* key)
{
    const QString folder = folderDialog(this, QStringLiteral("选择文件夹"), dialogStartFolder(field),
                                        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return;
    takeFolder(field, key, folder);
}

void MainWindow::takeFolder(QLineEdit* field, const char* key, const QString& folder)
{
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
        showMessage(QStringLiteral("提取文件夹不存在!"));
        return false;
    }
    if (!isFolder(options.saveFolder) && !options.saveToSourceFolder) {
        showMessage(QStringLiteral("保存文件夹不存在!"));
        return false;
    }
    return true;
}

bool MainWindow::checkTextColumns()
{
    if (!ui->cBox_SetTextFormat->isChecked() || ui->lEdt_SetTextFormat->text().trimmed().isEmpty())
        return true;
    const TextColumnList list = parseTextColumnList(ui->lEdt_SetTextFormat->text());
    if (!list.invalid)
        return true;
    const QString piece = list.firstInvalidPiece.trimmed();
    const QString what = piece.isEmpty() ? QStringLiteral("文本格式列中有一项是空的")
                                         : QStringLiteral("文本格式列中的“%1”不是列号").arg(breakableText(piece));
    showMessage(what + QStringLiteral("。请填写从 1 开始的列号，多列以逗号分隔，例如：2,3,4"));
    return false;
}

void MainWindow::takeTypeAndDelimiter()
{
    options.xlsxOutput = ui->rBtn_xlsx->isChecked();
    // With no delimiter button checked the option keeps its value.
    for (Delimiter delimiter : delimiters()) {
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
    // As many files at once as the machine has cores (where the binding allows more than one).
    mergeObject->setParallelJobs(QThread::idealThreadCount());
    // The window shows the failure list itself once the run has ended (runFinished), where it can
    // tell the user when no viewer shows it.
    failureCollector->take();
    mergeObject->setObserver(failureCollector.get());
    if (workerSetup)
        workerSetup(*mergeObject);
    connect(mergeObject, &MergeObject::ShowDisposingFile, this, &MainWindow::on_ShowDisposingFile);
    connect(mergeObject, &MergeObject::RunFinished, this, &MainWindow::runFinished);
    connect(mergeObject, &MergeObject::Signal_SetButtonEnable, this, &MainWindow::on_Signal_SetButtonEnable);
    return mergeObject;
}

void MainWindow::runFinished(const RunSummary& summary)
{
    const QStringList reasons = failureCollector->take();
    if (summary.failed == 0)
        return;
    if (summary.failureListPath.isEmpty()) {
        showFailures(summary, reasons);
        return;
    }
    // The list's path is the source folder's text joined with the list's name; a folder picked in
    // the dialog ends in a separator, so the joint is doubled. The user sees it cleaned.
    RunSummary shownSummary = summary;
    shownSummary.failureListPath =
        QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(summary.failureListPath)));
    textViewer(shownSummary.failureListPath, this, [this, shownSummary, reasons](bool shown) {
        if (!shown)
            showFailures(shownSummary, reasons);
    });
}

void MainWindow::showFailures(const RunSummary& summary, const QStringList& reasons)
{
    QString text = QStringLiteral("有 %1 个文件未能转换。").arg(summary.failed);
    if (summary.failureListPath.isEmpty()) {
        text += QStringLiteral("\n未能写入失败列表。");
    } else {
        text += QStringLiteral("\n这些文件已列在：\n%1\n未能用文本查看器打开该列表，请用任一文本编辑器查看。")
                    .arg(breakableText(summary.failureListPath));
    }
    text += QStringLiteral("\n点击“显示详情”可看到每个文件未能转换的原因。");
    // The path above may carry invisible break points; the details, which wrap anywhere and can
    // be copied from, hold it as it is.
    QString details = reasons.join(QLatin1Char('\n'));
    if (!summary.failureListPath.isEmpty())
        details.prepend(QStringLiteral("失败列表：%1\n\n").arg(summary.failureListPath));
    detailsBox(this, MessageTitle, text, details);
}

void MainWindow::on_pBtn_Transform_clicked()
{
    if (!takeFolderOptions(true))
        return;
    if (!checkTextColumns())
        return;
    options.failureListPath = options.sourceFolder + QLatin1Char('/') + failureListFileName();
    removeOldFailureList(options);

    setStatusText(QString());
    ui->pBtn_AutoTransform->setEnabled(false);
    ui->pBtn_Transform->setEnabled(false);

    takeTypeAndDelimiter();
    options.textColumnsEnabled = ui->cBox_SetTextFormat->isChecked();
    // A field of blanks lists no column, as an empty one does.
    options.textColumns = options.textColumnsEnabled && !ui->lEdt_SetTextFormat->text().trimmed().isEmpty()
                              ? ui->lEdt_SetTextFormat->text()
                              : QString();
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

void MainWindow::connectChoices()
{
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{
             ui->cBox_SaveToQuondamPath, ui->rBtn_Tabs, ui->rBtn_Semicolon, ui->rBtn_Comma, ui->rBtn_Space,
             ui->rBtn_xlsx, ui->rBtn_xls, ui->cBox_SetTextFormat, ui->cBox_UCS2, ui->cBox_UTF8BOM}) {
        connect(button, &QAbstractButton::toggled, this,
                [this, button](bool checked) { choiceToggled(button, checked); });
    }
}

// A click on a radio button that is already on toggles nothing, yet stores the choice; a click
// that toggled has stored it already.
void MainWindow::choiceClicked(QAbstractButton* button)
{
    if (!clickAlreadyHandled(button))
        applyChoice(button);
}

void MainWindow::on_cBox_SaveToQuondamPath_clicked()
{
    choiceClicked(ui->cBox_SaveToQuondamPath);
}

void MainWindow::on_rBtn_Tabs_clicked()
{
    choiceClicked(ui->rBtn_Tabs);
}

void MainWindow::on_rBtn_Comma_clicked()
{
    choiceClicked(ui->rBtn_Comma);
}

void MainWindow::on_rBtn_Space_clicked()
{
    choiceClicked(ui->rBtn_Space);
}

void MainWindow::on_rBtn_Semicolon_clicked()
{
    choiceClicked(ui->rBtn_Semicolon);
}

void MainWindow::on_rBtn_xlsx_clicked()
{
    choiceClicked(ui->rBtn_xlsx);
}

void MainWindow::on_rBtn_xls_clicked()
{
    choiceClicked(ui->rBtn_xls);
}

void MainWindow::on_cBox_SetTextFormat_clicked()
{
    choiceClicked(ui->cBox_SetTextFormat);
}

void MainWindow::on_cBox_UCS2_clicked()
{
    choiceClicked(ui->cBox_UCS2);
}

void MainWindow::on_cBox_UTF8BOM_clicked()
{
    choiceClicked(ui->cBox_UTF8BOM);
}

void MainWindow::choiceToggled(QAbstractButton* button, bool checked)
{
    // A radio button that goes off is the other half of a choice made on another one; a box that
    // the window itself changes (the encoding boxes uncheck each other) is no choice of the user.
    if ((!checked && qobject_cast<QRadioButton*>(button)) || applyingChoice)
        return;
    applyChoice(button);
    // A click emits its toggle first: the click that follows at once is this same choice. Without
    // a click (a screen reader's action), the mark goes at the next turn of the event loop.
    toggledBeforeClick = button;
    QTimer::singleShot(0, this, [this] { toggledBeforeClick = nullptr; });
}

bool MainWindow::clickAlreadyHandled(QAbstractButton* button)
{
    if (toggledBeforeClick != button)
        return false;
    toggledBeforeClick = nullptr;
    return true;
}

void MainWindow::applyChoice(QAbstractButton* button)
{
    applyingChoice = true;
    if (button == ui->cBox_SaveToQuondamPath) {
        const bool intoSourceFolder = ui->cBox_SaveToQuondamPath->isChecked();
        writeSetting(SettingsKey::SaveToQuondamPath, intoSourceFolder ? "y" : "n");
        ui->pBtn_SavePath->setEnabled(!intoSourceFolder);
        ui->lEdt_SavePath->setEnabled(!intoSourceFolder);
    } else if (button == ui->rBtn_xlsx || button == ui->rBtn_xls) {
        writeSetting(SettingsKey::XlsxMode, button == ui->rBtn_xlsx ? "y" : "n");
    } else if (button == ui->cBox_SetTextFormat) {
        ui->lEdt_SetTextFormat->setEnabled(ui->cBox_SetTextFormat->isChecked());
    } else if (button == ui->cBox_UCS2) {
        ui->cBox_UTF8BOM->setChecked(false);
    } else if (button == ui->cBox_UTF8BOM) {
        ui->cBox_UCS2->setChecked(false);
    } else {
        for (Delimiter delimiter : delimiters()) {
            if (button == delimiterButton(delimiter))
                writeSetting(SettingsKey::DelimiterChoice, settingsValueOf(delimiter));
        }
    }
    applyingChoice = false;
}

void MainWindow::on_pBtn_AutoTransform_clicked()
{
    // The encoding, column and failure-list options keep the values of the last settings-driven
    // start, and an old failure list stays in place.
    if (!takeFolderOptions(false))
        return;
    setStatusText(QString());
    ui->pBtn_AutoTransform->setEnabled(false);
    ui->pBtn_Transform->setEnabled(false);

    takeTypeAndDelimiter();

    MergeObject* worker = createJob();
    connect(this, &MainWindow::pBtn_AutoTransform_HasClicked, worker, &MergeObject::AutoTransform);
    worker->setOptions(options);
    emit pBtn_AutoTransform_HasClicked();
}

// The notes the user should read before the first run, one per entry.
static QStringList usageNotes()
{
#ifdef Q_OS_WIN
    return {
        QStringLiteral(
            "本软件无需安装，解压后运行即可，但请勿解压到需要管理员权限的系统文件夹，否则无法保存设置，无法正常升级。"),
        QStringLiteral("如有需管理员权限的设置，请使用“以管理员身份运行“(鼠标指向软件exe文件点击右键即可选择)"
                       "，否则无法保存设置。"),
        QStringLiteral("软件请在微软Windows7或以上系统运行，不支持xp系统。"),
        QStringLiteral("软件需要对电脑文件进行修改操作，如果360等软件询问是否允许，请选择总是运行，并勾选不再询问。"),
    };
#else
    const QString userSettings =
        QDir::toNativeSeparators(QDir(defaultUserConfigFolder()).filePath(QString::fromLatin1(SettingsFileName)));
    const QString inUse = QDir::toNativeSeparators(QFileInfo(startupValues().settingsFileName()).absoluteFilePath());
    return {
        QStringLiteral("本软件在 Linux 上用自带的表格引擎写出 xlsx 和 xls 文件，无需安装微软 Office、WPS "
                       "或其他办公软件。"),
        QStringLiteral(
            "设置保存在哪里：安装版（例如用软件包或 cmake --install 安装的）保存在当前用户的配置文件夹中，即 "
            "%1；解压即用版在程序旁边有 Quillmorne.vqd 文件时，保存在该文件中（请解压到当前用户可写的文件夹，"
            "否则无法保存设置）。本次运行使用的设置文件是 %2。")
            .arg(breakableText(userSettings).toHtmlEscaped(), breakableText(inUse).toHtmlEscaped()),
        QStringLiteral(
            "转换结束后，未能转换的文件列在源文件夹中的“%1”里，每行一个文件路径，并用桌面默认的文本查看器打开"
            "（源文件夹不可写时，该列表保存在系统的临时文件夹中）。没有可用的查看器时，程序会弹出提示，"
            "点击“显示详情”即可看到每个文件未能转换的原因。")
            .arg(failureListFileName()),
        QStringLiteral("源文件不会被修改；已有的同名工作簿只会被完整写好的新工作簿替换。"),
    };
#endif
}

void MainWindow::on_pBtn_MustRead_clicked()
{
    const QStringList notes = usageNotes();
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
