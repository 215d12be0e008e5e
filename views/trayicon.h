#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QMenu;
class QWidget;

// The tool's entry in the desktop's system tray: its logo; in its menu Show/Hide
// of the window and Quit (the clean end SIGTERM gives); in its tooltip how many
// devices are paired and streamed, and what the network intake does.
//
// The icon goes into the tray wherever the platform can have one; when the
// desktop's tray appears only later, Qt adds it then. Offscreen it stays out.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // window: what Show/Hide shows and hides; iconFile: the logo.
    TrayIcon(QWidget* window, const QString& iconFile, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Paired: devices paired; streamed: of them, those a host frame goes to.
    void setDevices(int paired, int streamed);
    // One line below the device counts, said as it is; empty leaves it out.
    void setIntakeState(const QString& text);
    QString toolTip() const;

    QMenu* menu() const { return m_menu; }
    QAction* showHideAction() const { return m_showHide; }
    QAction* quitAction() const { return m_quit; }
    // Whether the icon was put in the tray (never on the offscreen platform).
    bool inTray() const { return m_icon != nullptr && m_icon->isVisible(); }

signals:
    // Show/Hide (or a click on the icon) while the window is hidden or minimised.
    void showWindowRequested();

public slots:
    // Hides a window that is shown, else asks for it to be shown.
    void toggleWindow();

private slots:
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void updateMenu();

private:
    void updateToolTip();

    QWidget* m_window;
    QMenu* m_menu;
    QAction* m_showHide;
    QAction* m_quit;
    QSystemTrayIcon* m_icon = nullptr;
    int m_paired = 0;
    int m_streamed = 0;
    QString m_intake;
};
