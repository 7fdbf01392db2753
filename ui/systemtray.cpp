#include "ui/systemtray.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

void registerUiResources()
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
    registerUiResources();
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
