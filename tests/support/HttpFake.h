#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

class QTcpSocket;

// An HTTP/1.1 server on 127.0.0.1 (a free port) inside the test process, on
// the main thread's event loop. It records every request as it arrived and
// answers from a script. Request bodies are read by Content-Length (what Qt
// sends); connections are kept open for further requests.
class HttpFake : public QObject
{
    Q_OBJECT
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    struct Request
    {
        QByteArray method;
        QByteArray path;   // the request target: path and query
        Headers headers;   // as sent, in order
        QByteArray body;

        // The first header of that name (any letter case); empty when absent.
        QByteArray header(const QByteArray& name) const;
    };

    struct Answer
    {
        int status = 200;
        Headers headers;   // Content-Length is added
        QByteArray body;
        std::chrono::milliseconds delay{0};
        // Never answer; the connection stays open.
        bool silent = false;
        // Kept until release() names it (after the delay): answers then come
        // in the order the test chooses, however the machine schedules.
        QString heldAs;
        // Close the connection after this many bytes of the answer (0: before
        // any), as a dropped connection.
        std::optional<qsizetype> dropAfter;

        static Answer text(int status, const QByteArray& body);
        static Answer json(int status, const QByteArray& body);
    };

    using Responder = std::function<Answer(const Request&)>;

    explicit HttpFake(QObject* parent = nullptr);
    ~HttpFake() override;

    // "http://127.0.0.1:<port>", no trailing slash.
    QUrl url() const;

    // Answers in the order given, one per request. With the queue empty, a
    // request gets status 599 with "HttpFake: no scripted answer".
    void enqueue(const Answer& answer);
    // Answers every request from now on, in place of the queue.
    void setResponder(Responder responder);

    const QList<Request>& requests() const { return m_requests; }

    // Sends the answers held as `tag` that have been asked for; false if none.
    bool release(const QString& tag);

    // The bytes sent for `answer` (status line, headers, body).
    static QByteArray encode(const Answer& answer);

signals:
    void requestReceived(const HttpFake::Request& request);

private:
    void accept();
    void read(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const Answer& answer);
    void send(QTcpSocket* socket, const Answer& answer);
    Answer nextAnswer(const Request& request);

    QTcpServer m_server;
    QList<Request> m_requests;
    std::deque<Answer> m_queue;
    Responder m_responder;
    QList<std::pair<QPointer<QTcpSocket>, Answer>> m_held;
};
