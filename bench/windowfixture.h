// One main window for the benchmarks, driven by its own timers as in the
// running program, with a plain socket as the service at the far end.
#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QTcpSocket>
#include <functional>
#include <memory>

class CMainWindow;

// A friend of the window: what the benchmarks wait for lives inside it.
class NodeListBenchmark
{
public:
    NodeListBenchmark();
    ~NodeListBenchmark();

    quint16 port() const;
    bool isConnected() const;
    int queuedMessages() const;
    QString cellText(int row, int column) const;
    // The node table's size and row height, for a plain table shaped alike.
    QSize tableSize() const;
    int rowHeight() const;

    // The window shows the link as up, or down with the blank node table.
    bool showsService(bool connected) const;
    // Each waits until the window shows the change.
    void connectService();
    void disconnectService();
    // Writes through to the kernel at once, so what the benchmark times next
    // is the window's work, not the service's.
    void sendFromService(const QByteArray &bytes);
    void showNodePage();

private:
    std::unique_ptr<CMainWindow> m_window;
    QTcpSocket m_service;
};

// The one window of the process, made on first use.
NodeListBenchmark &benchWindow();

// The main of a window benchmark: offscreen unless a platform is chosen, a
// scratch store for the proxy options, no process ever ended at exit, and the
// window gone before the application.
int runWindowBenchmarks(int argc, char **argv);

// Runs the event loop, sleeping while nothing happens, until `done` holds.
void runUntil(const std::function<bool()> &done);
void runEventsFor(int ms);

// Resident memory of this process, from /proc/self/status.
double residentMiB();
