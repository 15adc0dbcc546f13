#include "platform/sessionend.h"

#include "platform/win32.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

namespace {

// Long enough for a logout's own end to follow its request, which comes once
// every program has answered; a quit that comes later still gives back first.
constexpr int kSessionGoesOnMs = 5000;

#ifdef Q_OS_WIN

// WM_ENDSESSION with FALSE: the end that WM_QUERYENDSESSION announced was
// called off. It comes once for each top-level window.
class EndSessionFilter final : public QAbstractNativeEventFilter
{
public:
    explicit EndSessionFilter(SessionEnd *sessionEnd, bool *pending)
        : m_sessionEnd(sessionEnd), m_pending(pending)
    {
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *) override
    {
        const MSG *msg = static_cast<const MSG *>(message);
        if (eventType == "windows_generic_MSG" && msg->message == WM_ENDSESSION &&
            msg->wParam == FALSE && *m_pending) {
            *m_pending = false;
            // Out of the window procedure before anything is written.
            QMetaObject::invokeMethod(m_sessionEnd, &SessionEnd::resumed, Qt::QueuedConnection);
        }
        return false;
    }

private:
    SessionEnd *m_sessionEnd;
    bool *m_pending;
};

#endif // Q_OS_WIN

} // namespace

SessionEnd::SessionEnd(QObject *parent) : QObject(parent)
{
    m_wait.setSingleShot(true);
    m_wait.setInterval(kSessionGoesOnMs);
    connect(&m_wait, &QTimer::timeout, this, [this] {
        m_pending = false;
        emit resumed();
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        m_pending = false;
        m_wait.stop();
    });
#ifdef Q_OS_WIN
    m_filter = std::make_unique<EndSessionFilter>(this, &m_pending);
    qApp->installNativeEventFilter(m_filter.get());
#endif
}

SessionEnd::~SessionEnd()
{
    if (m_filter && qApp)
        qApp->removeNativeEventFilter(m_filter.get());
}

void SessionEnd::requested()
{
    m_pending = true;
#ifndef Q_OS_WIN
    m_wait.start();
#endif
}
