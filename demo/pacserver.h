// The PAC file the front-end points the system proxy at: served over HTTP on
// 127.0.0.1 one port above the proxy's listen port, under "/pac/".
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

class PacServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PacServer)

public:
    explicit PacServer(QObject *parent = nullptr);
    ~PacServer() override;

    // Serves the PAC of a proxy at 127.0.0.1:proxyPort on proxyPort + 1,
    // leaving the port it served before. A port whose PAC port would fall
    // outside 1..65535 is refused. False when nothing is served now.
    bool setProxyPort(qint32 proxyPort);
    void stop();

    bool isServing() const;
    quint16 proxyPort() const;
    quint16 pacPort() const;
    QString errorString() const;

    static QByteArray pacScript(quint16 proxyPort);

signals:
    void requestServed(const QString &method, const QString &target, int status);

private:
    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &head);
    void reply(QTcpSocket *socket, int status, const QByteArray &contentType,
               const QByteArray &body, bool withBody);

    QTcpServer *m_server;
    quint16 m_proxyPort = 0;
    QString m_error;
};
