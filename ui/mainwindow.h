#pragma once
// ui/: the window: its form (mainwindow.ui) and the controller behind it (this header), the tray
// icon (systemtray.h) and Qt's own texts in Chinese (qttranslations.h).
//
// The program's only window and the controller behind its form: it places itself, creates the
// tray icon, applies the stored choices to the controls, writes a choice back to the settings file
// whenever the user changes it, keeps dependent controls consistent and starts conversion jobs on
// a worker thread.

#include "automation/automation.h"
#include "convert/conversionoptions.h"
#include "convert/runsummary.h"

#include <QFileDialog>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class MergeObject;
class QAbstractButton;
class QLineEdit;
class QMimeData;
class QThread;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Asks the user for a folder; returns it, or an empty text when the user cancels.
    using FolderDialog = std::function<QString(QWidget* parent, const QString& caption, const QString& startFolder,
                                               QFileDialog::Options options)>;
    // Shows a message box with a single OK button (QMessageBox::about by default).
    using AboutBox = std::function<void(QWidget* parent, const QString& title, const QString& text)>;
    // Prepares each new conversion worker before its run is triggered (tests give it a spreadsheet
    // double here). Runs after the window's own set-up of the worker.
    using WorkerSetup = std::function<void(MergeObject& worker)>;
    // Shows the failure list to the user; calls `done` from the event loop, while `context` lives,
    // with false when no viewer showed it (showTextFileWatched by default).
    using TextViewer = std::function<void(const QString& path, QObject* context, std::function<void(bool shown)> done)>;
    // Shows a warning with a single OK button and, below a button that unfolds them, `details`.
    using DetailsBox =
        std::function<void(QWidget* parent, const QString& title, const QString& text, const QString& details)>;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The spreadsheet application every job talks to (the entry point's choice of binding).
    void setSpreadsheetBinding(SpreadsheetApplicationFactory binding);
    // Replace the dialogs, so tests can answer them without a modal loop.
    void setFolderDialog(FolderDialog dialog);
    void setAboutBox(AboutBox box);
    void setWorkerSetup(WorkerSetup setup);
    void setTextViewer(TextViewer viewer);
    void setDetailsBox(DetailsBox box);

    // The size that ShowSoftWindow() restores.
    QSize rememberedSize() const { return QSize(rememberedWidth, rememberedHeight); }
    // The options the last job was started with (each job's worker has its own copy).
    const ConversionOptions& jobOptions() const { return options; }
    // The whole status text; the status label shows it elided in the middle to fit its width.
    QString statusText() const { return statusFullText; }

signals:
    void pBtn_Transform_HasClicked();
    void pBtn_AutoTransform_HasClicked();

public slots:
    void ShowSoftWindow();
    void SystemTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void on_ShowDisposingFile(QString filePath);
    void on_pBtn_SourcePath_clicked();
    void on_pBtn_SavePath_clicked();
    void on_pBtn_Transform_clicked();
    void on_Signal_SetButtonEnable();
    // The choices' click slots, connected by name; each stores its choice (see choiceClicked).
    void on_cBox_SaveToQuondamPath_clicked();
    void on_rBtn_Tabs_clicked();
    void on_rBtn_Comma_clicked();
    void on_rBtn_Space_clicked();
    void on_rBtn_Semicolon_clicked();
    void on_rBtn_xlsx_clicked();
    void on_rBtn_xls_clicked();
    void on_cBox_SetTextFormat_clicked();
    void on_cBox_UCS2_clicked();
    void on_cBox_UTF8BOM_clicked();
    void on_pBtn_AutoTransform_clicked();
    void on_pBtn_MustRead_clicked();

protected:
    // Every close is accepted; the program then ends (a running job stops after its current file
    // when the window is destroyed).
    void closeEvent(QCloseEvent* event) override;
    // A folder dropped on the window fills the source folder field.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // The status label's resizes and the folder fields' drops.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class FailureCollector;

    // Raises the least height of the settings rows to what their controls need.
    void keepRowsWhole();

    // Lets the user pick a folder; puts it into `field` and stores it under `key`.
    void pickFolder(QLineEdit* field, const char* key);
    // Puts a folder the user chose (in the dialog or by dropping it) into `field` and stores it.
    void takeFolder(QLineEdit* field, const char* key, const QString& folder);
    // Where the folder dialog opens: the folder in `field`, or its nearest existing parent, or the
    // home folder.
    static QString dialogStartFolder(const QLineEdit* field);
    // The folder among dropped data, or an empty text when it holds none.
    static QString droppedFolder(const QMimeData* data);
    // The folder a drop at `pos` (in the window's coordinates) puts into the source field, or an
    // empty text when it puts in none.
    QString folderDroppedOnWindow(const QMimeData* data, const QPoint& pos) const;
    void setStatusText(const QString& text);
    void showStatusElided();
    // False, after saying why, when the text-column list holds a piece that is no column number.
    bool checkTextColumns();
    // The message boxes of the window, all under the program's name.
    void showMessage(const QString& text);
    // What the user sees of a finished run beyond its summary line: the failure list opens in the
    // text viewer, and a message with the reasons appears when it cannot be shown.
    void runFinished(const RunSummary& summary);
    void showFailures(const RunSummary& summary, const QStringList& reasons);
    // Choices are stored on the toggle as well as on the click, so a choice made without a click
    // (a screen reader's "toggle" action) is kept like a clicked one, and a click after its toggle
    // does not store it twice. The ten choice controls are connected in one place.
    void connectChoices();
    void choiceToggled(QAbstractButton* button, bool checked);
    bool clickAlreadyHandled(QAbstractButton* button);
    void choiceClicked(QAbstractButton* button);
    void applyChoice(QAbstractButton* button);
    void writeSetting(const char* key, const QByteArray& value);
    void applySettings(const QByteArray& text);
    // The options both kinds of job take from the controls; false when a folder check failed.
    bool takeFolderOptions(bool settingsDriven);
    void takeTypeAndDelimiter();
    class QRadioButton* delimiterButton(Delimiter delimiter) const;
    // Stops (after the file in progress, or at once on a termination request that comes while
    // it waits) and destroys the previous job's worker and thread.
    void disposeOfJob();
    // Creates the worker on a new thread, connects it and returns it.
    MergeObject* createJob();

    Ui::MainWindow* ui;
    int screenWidth;
    int screenHeight;
    int rememberedHeight;
    int rememberedWidth;
    QThread* mergeThread;
    MergeObject* mergeObject;
    // Termination requests received when the window was closed (or began its teardown); a later
    // one makes the teardown give up the file in progress. -1 while the window is open.
    int requestsWhenClosing = -1;

    FolderDialog folderDialog;
    AboutBox aboutBox;
    WorkerSetup workerSetup;
    TextViewer textViewer;
    DetailsBox detailsBox;
    SpreadsheetApplicationFactory spreadsheetBinding;
    std::unique_ptr<FailureCollector> failureCollector;
    QString statusFullText;
    QAbstractButton* toggledBeforeClick = nullptr;
    bool applyingChoice = false;
    // Filled from the controls when a job starts. Choices that only the settings-driven start
    // takes keep, for an automatic job, the values of the last settings-driven start.
    ConversionOptions options;
};
