// The notification-area icon and its menu: the main page's work without the
// window. It holds its menu and actions and shows what the window tells it;
// what the user picks in it goes back to the window as signals.
#pragma once

#include <QObject>
#include <QStringList>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// greenlark's icon, of the window and of the tray.
QIcon greenlarkIcon();

class TrayIcon : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayIcon)

public:
    // What the menu shows, taken from the window's state each time it changes.
    struct State
    {
        QString nodeInUse;      // its name, or what the main page shows without one
        int nodeInUseRow = -1;  // its row in the list; -1: not in the list
        QStringList nodes;      // the first of the list, as many as the menu shows
        bool moreNodes = false; // the list goes on past them
        bool running = false;
        bool pac = false;
    };

    // The menu belongs to the window; the icon leaves the notification area
    // with this object.
    explicit TrayIcon(QWidget *window);

    // Enough to find a node by eye; the node page holds the rest.
    static constexpr int kShownNodes = 20;

    QSystemTrayIcon *icon() const { return m_trayIcon; }
    void show(const State &state);
    void popUp();
    // A short word beside the icon, for what happened while nobody looked.
    void notify(const QString &message);
    // What the desktop's login items hold now, whoever put it there.
    void showStartedAtLogin();

signals:
    void runClicked();
    void nodePicked(int row);
    void moreClicked();
    void modePicked(bool pac);
    void startedAtLoginPicked(bool on);
    void quitClicked();

private:
    QSystemTrayIcon *m_trayIcon = nullptr;
    QMenu *m_trayMenu = nullptr;
    QAction *m_actQuit = nullptr;
    QAction *m_actState = nullptr;
    QAction *m_actRun = nullptr;
    QMenu *m_menuNodes = nullptr;
    QAction *m_actPac = nullptr;
    QAction *m_actGlobal = nullptr;
    QAction *m_actStartAtLogin = nullptr;
};
