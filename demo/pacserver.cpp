#include "pacserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QByteArray kPacPath("/pac/");
const QByteArray kPacContentType("application/x-ns-proxy-autoconfig");
const QByteArray kTextContentType("text/plain; charset=utf-8");

// A PAC fetch is one short GET; anything longer is not one, and bounding the
// head keeps a misbehaving client from growing our buffers.
constexpr int kMaxRequestHead = 8 * 1024;
// A client that opens a connection and never finishes its request must not
// hold the socket for good.
constexpr int kRequestTimeoutMs = 10 * 1000;

// The proxy port the connection was accepted for, so a rebind in between does
// not change what an open request is answered with.
const char kProxyPortProperty[] = "greenlarkProxyPort";
const char kAnsweredProperty[] = "greenlarkAnswered";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

// The path of an origin-form ("/pac/?t=1") or absolute-form
// ("http://127.0.0.1:1082/pac/?t=1") request target, without query or fragment.
QByteArray pathOf(QByteArray target)
{
    const int schemeEnd = target.indexOf("://");
    if (!target.startsWith('/') && schemeEnd > 0) {
        const int pathStart = target.indexOf('/', schemeEnd + 3);
        target = pathStart < 0 ? QByteArray("/") : target.mid(pathStart);
    }
    const int queryStart = target.indexOf('?');
    if (queryStart >= 0)
        target.truncate(queryStart);
    const int fragmentStart = target.indexOf('#');
    if (fragmentStart >= 0)
        target.truncate(fragmentStart);
    return target;
}

int headEnd(const QByteArray &bytes)
{
    const int crlf = bytes.indexOf("\r\n\r\n");
    if (crlf >= 0)
        return crlf + 4;
    const int lf = bytes.indexOf("\n\n");
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace

PacServer::PacServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &PacServer::acceptConnections);
}

PacServer::~PacServer() = default;

bool PacServer::setProxyPort(qint32 proxyPort)
{
    if (proxyPort < 1 || proxyPort > 0xFFFF - 1) {
        // Port 0 would make the listener pick any port, and 65535 + 1 wraps to
        // it; neither is where the front-end looks for the PAC file.
        stop();
        m_error = QStringLiteral("proxy port %1 leaves no PAC port in 1..65535").arg(proxyPort);
        return false;
    }
    if (isServing() && m_proxyPort == proxyPort)
        return true;

    stop();
    const quint16 pacPort = static_cast<quint16>(proxyPort + 1);
    if (!m_server->listen(QHostAddress::LocalHost, pacPort)) {
        m_error = m_server->errorString();
        return false;
    }
    m_proxyPort = static_cast<quint16>(proxyPort);
    m_error.clear();
    return true;
}

void PacServer::stop()
{
    m_server->close();
    m_proxyPort = 0;
}

bool PacServer::isServing() const
{
    return m_server->isListening();
}

quint16 PacServer::proxyPort() const
{
    return m_proxyPort;
}

quint16 PacServer::pacPort() const
{
    return isServing() ? m_server->serverPort() : 0;
}

QString PacServer::errorString() const
{
    return m_error;
}

QByteArray PacServer::pacScript(quint16 proxyPort)
{
    // Private ranges are matched on dotted-quad addresses only, so a host name
    // such as "10.example.com" still goes through the proxy.
    return QByteArrayLiteral(
               "function FindProxyForURL(url, host) {\n"
               "    var name = host.toLowerCase();\n"
               "    if (isPlainHostName(name) || name === \"localhost\")\n"
               "        return \"DIRECT\";\n"
               "    var ip = /^(\\d+)\\.(\\d+)\\.(\\d+)\\.(\\d+)$/.exec(name);\n"
               "    if (ip) {\n"
               "        var a = +ip[1], b = +ip[2];\n"
               "        if (a === 127 || a === 10 || (a === 172 && b >= 16 && b <= 31)"
               " || (a === 192 && b === 168))\n"
               "            return \"DIRECT\";\n"
               "    }\n"
               "    return \"PROXY 127.0.0.1:") +
           QByteArray::number(proxyPort) + QByteArrayLiteral("\";\n}\n");
}

void PacServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        socket->setProperty(kProxyPortProperty, m_proxyPort);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void PacServer::readRequest(QTcpSocket *socket)
{
    if (socket->property(kAnsweredProperty).toBool()) {
        // The answer is on its way and the connection closes after it; what
        // else the client sends has no meaning, but must not pile up.
        socket->readAll();
        return;
    }
    const QByteArray pending = socket->peek(kMaxRequestHead + 1);
    const int end = headEnd(pending);
    if (end < 0) {
        if (pending.size() > kMaxRequestHead) {
            socket->readAll();
            reply(socket, 431, kTextContentType, "request head too large\n", true);
            emit requestServed(QString(), QString(), 431);
        }
        return;
    }
    respond(socket, socket->read(end));
}

void PacServer::respond(QTcpSocket *socket, const QByteArray &head)
{
    const int lineEnd = head.indexOf('\n');
    const QList<QByteArray> parts = head.left(lineEnd).trimmed().split(' ');
    const bool wellFormed = parts.size() == 3 && parts.at(2).startsWith("HTTP/") &&
                            (parts.at(1).startsWith('/') || parts.at(1).contains("://"));
    if (!wellFormed) {
        reply(socket, 400, kTextContentType, "bad request\n", true);
        emit requestServed(QString(), QString(), 400);
        return;
    }
    const QByteArray &method = parts.at(0);
    const QByteArray &target = parts.at(1);
    const bool isHead = method == "HEAD";
    int status = 200;
    if (method != "GET" && !isHead) {
        status = 405;
        reply(socket, status, kTextContentType, "only GET and HEAD\n", true);
    } else if (pathOf(target) != kPacPath) {
        status = 404;
        reply(socket, status, kTextContentType, "not found\n", !isHead);
    } else {
        const auto proxyPort = static_cast<quint16>(socket->property(kProxyPortProperty).toUInt());
        reply(socket, status, kPacContentType, pacScript(proxyPort), !isHead);
    }
    emit requestServed(QString::fromLatin1(method), QString::fromLatin1(target), status);
}

void PacServer::reply(QTcpSocket *socket, int status, const QByteArray &contentType,
                      const QByteArray &body, bool withBody)
{
    socket->setProperty(kAnsweredProperty, true);
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                          "\r\nContent-Type: " + contentType +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    if (status == 405)
        response += "Allow: GET, HEAD\r\n";
    response += "\r\n";
    if (withBody)
        response += body;
    socket->write(response);
    // Closes once the answer is written; the disconnect then deletes the socket.
    socket->disconnectFromHost();
}
