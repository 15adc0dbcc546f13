// A logout or shutdown that was asked for may still be cancelled, by the user
// or by a program that will not end; then the session goes on, and so does
// greenlark. Whatever was given back for the end is to be taken up again.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

class QAbstractNativeEventFilter;

class SessionEnd : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SessionEnd)

public:
    explicit SessionEnd(QObject *parent = nullptr);
    ~SessionEnd() override;

    // The session manager asked this process to be ready to end.
    void requested();

signals:
    // The session goes on after a request: on Windows the session's end was
    // called off; elsewhere no quit came within a short time, since Qt does not
    // pass the X11 session manager's cancel on, and on X11 it asks the same for
    // a mere save of the session.
    void resumed();

private:
    QTimer m_wait;
    bool m_pending = false;
    std::unique_ptr<QAbstractNativeEventFilter> m_filter;
};
