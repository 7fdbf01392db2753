#pragma once
// The notification-area icon: it keeps the program reachable while it runs. A click restores the
// main window (through the window's own slots) and the context menu offers to show the window or to
// quit. The main window creates it as its child, so it lives exactly as long as the window.

#include <QSystemTrayIcon>

class QAction;
class QMenu;

// Registers the window's resources (the icons), once however often it is called: the resources
// live in this static library, and a static library's resources are registered only when
// something refers to them. The window and the tray icon call it before they take an icon.
void registerUiResources();

class SystemTray : public QSystemTrayIcon
{
    Q_OBJECT
public:
    // Builds the icon with its menu and shows it at once.
    explicit SystemTray(QObject* parent = nullptr);
    ~SystemTray() override;

signals:
    // Asks the main window to show itself.
    void showWidget();

public slots:
    // Ends the application's event loop.
    void UiQuit();
    // Emits showWidget().
    void ShowUi();

private:
    QMenu* trayMenu;     // owned here: a menu has no parent widget to own it
    QAction* showAction; // "软件设置"
    QAction* quitAction; // "退出程序"
};
