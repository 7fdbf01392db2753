#include "ui/systemtray.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

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

SystemTray::SystemTray(QObject* parent)
    : QSystemTrayIcon(parent), trayMenu(new QMenu()), showAction(new QAction(QStringLiteral("软件设置"), this)),
      quitAction(new QAction(QStringLiteral("退出程序"), this))
{
    registerResources();
    trayMenu->addAction(showAction);
    trayMenu->addAction(quitAction);
    setContextMenu(trayMenu);
    setIcon(QIcon(QStringLiteral(":/images/vqd.ico")));
    setToolTip(QStringLiteral("Quillmorne"));
    show();
    connect(showAction, &QAction::triggered, this, &SystemTray::ShowUi);
    connect(quitAction, &QAction::triggered, this, &SystemTray::UiQuit);
}

SystemTray::~SystemTray()
{
    delete trayMenu;
}

void SystemTray::UiQuit()
{
    QCoreApplication::quit();
}

void SystemTray::ShowUi()
{
    emit showWidget();
}
