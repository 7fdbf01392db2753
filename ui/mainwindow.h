#pragma once
// The program's only window and the controller behind its form: it places itself, creates the
// tray icon, applies the stored choices to the controls, writes a choice back to the settings file
// whenever the user changes it, keeps dependent controls consistent and starts conversion jobs on
// a worker thread.

#include "automation/automation.h"
#include "convert/conversionoptions.h"

#include <QFileDialog>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include <functional>

class MergeObject;
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

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The spreadsheet application every job talks to (the entry point's choice of binding).
    void setSpreadsheetBinding(SpreadsheetApplicationFactory binding);
    // Replace the dialogs, so tests can answer them without a modal loop.
    void setFolderDialog(FolderDialog dialog);
    void setAboutBox(AboutBox box);
    void setWorkerSetup(WorkerSetup setup);

    // The size that ShowSoftWindow() restores.
    QSize rememberedSize() const { return QSize(rememberedWidth, rememberedHeight); }
    // The options the last job was started with (each job's worker has its own copy).
    const ConversionOptions& jobOptions() const { return options; }

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

private:
    // Lets the user pick a folder; puts it into `field` and stores it under `key`.
    void pickFolder(class QLineEdit* field, const char* key);
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
    SpreadsheetApplicationFactory spreadsheetBinding;
    // Filled from the controls when a job starts. Choices that only the settings-driven start
    // takes keep, for an automatic job, the values of the last settings-driven start.
    ConversionOptions options;
};
