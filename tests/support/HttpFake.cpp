#include "support/HttpFake.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr auto kBufferProperty = "httpFakeBuffer";

// One complete request at the front of `buffer`, removed from it; none while
// it is still incomplete.
std::optional<HttpFake::Request> takeRequest(QByteArray& buffer)
{
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return std::nullopt;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    HttpFake::Request request;
    const QList<QByteArray> start = lines.first().trimmed().split(' ');
    request.method = start.value(0);
    request.path = start.value(1);
    qsizetype length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        if (line.left(colon).compare("content-length", Qt::CaseInsensitive) == 0)
            length = line.mid(colon + 1).trimmed().toLongLong();
    }
    const qsizetype bodyStart = headEnd + 4;
    if (buffer.size() < bodyStart + length)
        return std::nullopt;
    request.body = buffer.mid(bodyStart, length);
    buffer.remove(0, bodyStart + length);
    return request;
}

}  // namespace

QByteArray HttpFake::encode(const Answer& answer)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(answer.status) + " Fake\r\n";
    for (const auto& [name, value] : answer.headers)
        out += name + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
    return out + answer.body;
}

QByteArray HttpFake::Request::header(const QByteArray& name) const
{
    for (const auto& [n, v] : headers) {
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

HttpFake::Answer HttpFake::Answer::text(int status, const QByteArray& body)
{
    Answer a;
    a.status = status;
    a.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
    a.body = body;
    return a;
}

HttpFake::Answer HttpFake::Answer::json(int status, const QByteArray& body)
{
    Answer a;
    a.status = status;
    a.headers = {{"Content-Type", "application/json"}};
    a.body = body;
    return a;
}

HttpFake::HttpFake(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpFake::accept);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("HttpFake: cannot listen on 127.0.0.1: %s", qPrintable(m_server.errorString()));
}

HttpFake::~HttpFake() = default;

QUrl HttpFake::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void HttpFake::enqueue(const Answer& answer) { m_queue.push_back(answer); }

void HttpFake::setResponder(Responder responder) { m_responder = std::move(responder); }

void HttpFake::accept()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void HttpFake::read(QTcpSocket* socket)
{
    QByteArray buffer = socket->property(kBufferProperty).toByteArray() + socket->readAll();
    while (std::optional<Request> request = takeRequest(buffer)) {
        m_requests.append(*request);
        emit requestReceived(*request);
        respond(socket, nextAnswer(*request));
    }
    socket->setProperty(kBufferProperty, buffer);
}

HttpFake::Answer HttpFake::nextAnswer(const Request& request)
{
    if (m_responder)
        return m_responder(request);
    if (m_queue.empty())
        return Answer::text(599, "HttpFake: no scripted answer");
    Answer answer = m_queue.front();
    m_queue.pop_front();
    return answer;
}

void HttpFake::respond(QTcpSocket* socket, const Answer& answer)
{
    if (answer.silent)
        return;
    if (!answer.heldAs.isEmpty()) {
        m_held.append({QPointer<QTcpSocket>(socket), answer});
        return;
    }
    send(socket, answer);
}

bool HttpFake::release(const QString& tag)
{
    bool released = false;
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (it->second.heldAs != tag) {
            ++it;
            continue;
        }
        if (it->first)
            send(it->first, it->second);
        it = m_held.erase(it);
        released = true;
    }
    return released;
}

void HttpFake::send(QTcpSocket* socket, const Answer& answer)
{
    QPointer<QTcpSocket> target(socket);
    QTimer::singleShot(answer.delay, this, [target, answer] {
        if (!target)
            return;
        const QByteArray bytes = encode(answer);
        if (answer.dropAfter) {
            target->write(bytes.left(*answer.dropAfter));
            target->disconnectFromHost();
            return;
        }
        target->write(bytes);
    });
}
