#include "views/trayicon.h"

#include "service/checkedconnect.h"

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QWidget>

namespace
{

bool windowShown(const QWidget* window)
{
    return window->isVisible() && !window->isMinimized();
}

// Platforms without any desktop, where no tray can ever appear.
bool platformHasTray()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

TrayIcon::TrayIcon(QWidget* window, const QString& iconFile, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_menu(new QMenu)
{
    m_showHide = m_menu->addAction(QStringLiteral("Show"));
    checkedConnect(m_showHide, SIGNAL(triggered()), this, SLOT(toggleWindow()));
    m_menu->addSeparator();
    m_quit = m_menu->addAction(QStringLiteral("Quit"));
    checkedConnect(m_quit, SIGNAL(triggered()), QCoreApplication::instance(), SLOT(quit()));
    checkedConnect(m_menu, SIGNAL(aboutToShow()), this, SLOT(updateMenu()));
    updateMenu();

    if (!platformHasTray())
        return;
    m_icon = new QSystemTrayIcon(QIcon(iconFile), this);
    m_icon->setContextMenu(m_menu);
    checkedConnect(m_icon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
        SLOT(iconActivated(QSystemTrayIcon::ActivationReason)));
    updateToolTip();
    m_icon->show();
}

TrayIcon::~TrayIcon()
{
    // The menu has no parent widget (the tray shows it on its own): it goes here.
    delete m_icon;
    delete m_menu;
}

void TrayIcon::setDevices(int paired, int streamed)
{
    m_paired = paired;
    m_streamed = streamed;
    updateToolTip();
}

void TrayIcon::setIntakeState(const QString& text)
{
    m_intake = text;
    updateToolTip();
}

QString TrayIcon::toolTip() const
{
    const QString devices = m_paired == 1 ? QStringLiteral("device") : QStringLiteral("devices");
    QString text = QStringLiteral("Prismara Nanoleaf Tool\n%1 %2 paired, %3 streamed")
                       .arg(m_paired)
                       .arg(devices)
                       .arg(m_streamed);
    if (!m_intake.isEmpty())
        text += '\n' + m_intake;
    return text;
}

void TrayIcon::updateToolTip()
{
    if (m_icon != nullptr)
        m_icon->setToolTip(toolTip());
}

void TrayIcon::toggleWindow()
{
    if (windowShown(m_window))
        m_window->hide();
    else
        emit showWindowRequested();
}

void TrayIcon::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        toggleWindow();
}

void TrayIcon::updateMenu()
{
    m_showHide->setText(windowShown(m_window) ? QStringLiteral("Hide") : QStringLiteral("Show"));
}
