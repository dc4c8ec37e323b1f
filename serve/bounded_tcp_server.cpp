#include "serve/bounded_tcp_server.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QVariant>

namespace tolvek {
namespace {

constexpr char kProperty[] = "tolvek-connection";

// One connection's state, a child of its socket.
class TConnection : public QObject
{
public:
    enum class TState {
        Request,   // reading a request
        Answering, // the request is read, its answer not yet written
        Idle,      // kept alive between requests
        Streaming, // an event stream
        Sending,   // a streamed answer
        Refused,   // answered 413/431, closing
    };

    TConnection(QTcpSocket* socket, const TServeLimits& limits)
        : QObject(socket)
        , socket_(socket)
        , limits_(limits)
        , deadline_(new QTimer(this))
    {
        socket->setProperty(kProperty, QVariant::fromValue(static_cast<QObject*>(this)));
        deadline_->setSingleShot(true);
        connect(deadline_, &QTimer::timeout, socket, [socket] { socket->abort(); });
        deadline_->start(limits_.RequestMs);
        // Connected before the HTTP server's own reader, so it sees each piece first.
        connect(socket, &QTcpSocket::readyRead, this, &TConnection::OnRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &TConnection::OnWritten);
    }

    static TConnection* Of(QTcpSocket* socket)
    {
        return static_cast<TConnection*>(socket->property(kProperty).value<QObject*>());
    }

    TState State() const { return state_; }
    qint64 IdleFor() const { return idle_.isValid() ? idle_.elapsed() : -1; }

    void Answering()
    {
        if (state_ != TState::Request)
            return;
        state_ = TState::Answering;
        deadline_->start(limits_.AnswerMs);
    }

    void Sending()
    {
        state_ = TState::Sending;
        deadline_->start(limits_.AnswerMs);
        auto* total = new QTimer(this);
        total->setSingleShot(true);
        connect(total, &QTimer::timeout, socket_, [s = socket_] { s->abort(); });
        total->start(limits_.SendingMs);
    }

    void Streaming()
    {
        state_ = TState::Streaming;
        deadline_->stop();
    }

private:
    void OnRead()
    {
        if (state_ == TState::Refused) {
            socket_->readAll();
            return;
        }
        if (state_ == TState::Idle) {
            state_ = TState::Request;
            requestBytes_ = 0;
            headersEnd_ = -1;
            tail_.clear();
            deadline_->start(limits_.RequestMs);
        }
        const QByteArray piece = socket_->peek(socket_->bytesAvailable());
        if (headersEnd_ < 0) {
            const QByteArray seen = tail_ + piece;
            if (const auto at = seen.indexOf("\r\n\r\n"); at >= 0)
                headersEnd_ = requestBytes_ - tail_.size() + at + 4;
            tail_ = seen.right(3);
        }
        requestBytes_ += piece.size();
        if (requestBytes_ > limits_.RequestBytes)
            Refuse();
    }

    void OnWritten()
    {
        if (state_ == TState::Sending) {
            deadline_->start(limits_.AnswerMs); // the client is still taking it
            return;
        }
        if (state_ != TState::Answering || socket_->bytesToWrite() > 0)
            return;
        state_ = TState::Idle;
        idle_.start();
        deadline_->start(limits_.IdleMs);
    }

    // Too large: said in an answer of its own, as the HTTP server never sees the request.
    void Refuse()
    {
        // The line and headers fit, only the body is too large: 413; else 431.
        const bool headers = headersEnd_ >= 0 && headersEnd_ <= limits_.RequestBytes;
        state_ = TState::Refused;
        socket_->readAll();
        QByteArray answer = headers ? "HTTP/1.1 413 Payload Too Large\r\n"
                                    : "HTTP/1.1 431 Request Header Fields Too Large\r\n";
        const QByteArray body = R"({"error":"the request is too large"})";
        answer += "Content-Type: application/json\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n";
        for (const auto& [name, value] : SecurityHeaders())
            answer += name + ": " + value + "\r\n";
        socket_->write(answer + "\r\n" + body);
        socket_->disconnectFromHost();
        deadline_->start(1000); // then abort, whether the client took it or not
    }

    QTcpSocket* socket_;
    const TServeLimits& limits_;
    QTimer* deadline_;
    TState state_ = TState::Request;
    qint64 requestBytes_ = 0;
    qint64 headersEnd_ = -1; // where the request's blank line ends, once seen
    QByteArray tail_;        // the last bytes seen, for a blank line split between two pieces
    QElapsedTimer idle_;
};

} // namespace

const QList<std::pair<QByteArray, QByteArray>>& SecurityHeaders()
{
    static const QList<std::pair<QByteArray, QByteArray>> headers = {
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
             "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"},
            {"Cross-Origin-Resource-Policy", "same-origin"},
            {"Cache-Control", "no-store"},
    };
    return headers;
}

TBoundedTcpServer::TBoundedTcpServer(TServeLimits limits, std::optional<QSslConfiguration> tls,
                                     QObject* parent)
    : QTcpServer(parent)
    , limits_(limits)
    , tls_(std::move(tls))
{}

void TBoundedTcpServer::Answering(QTcpSocket* socket)
{
    if (auto* c = TConnection::Of(socket))
        c->Answering();
}

void TBoundedTcpServer::Sending(QTcpSocket* socket)
{
    if (auto* c = TConnection::Of(socket))
        c->Sending();
}

void TBoundedTcpServer::Streaming(QTcpSocket* socket)
{
    if (auto* c = TConnection::Of(socket))
        c->Streaming();
}

// The longest idle kept-alive connection makes room for a new one.
bool TBoundedTcpServer::EvictIdle()
{
    QTcpSocket* oldest = nullptr;
    qint64 longest = -1;
    for (auto* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        const auto* c = TConnection::Of(socket);
        if (c && c->State() == TConnection::TState::Idle && c->IdleFor() > longest) {
            longest = c->IdleFor();
            oldest = socket;
        }
    }
    if (!oldest)
        return false;
    oldest->abort();
    return true;
}

void TBoundedTcpServer::incomingConnection(qintptr handle)
{
    QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        socket->deleteLater();
        return;
    }
    const QString address = socket->peerAddress().toString();
    if (perAddress_.value(address) >= limits_.PerAddress
        || (open_ >= limits_.Connections && !EvictIdle())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++open_;
    ++perAddress_[address];
    connect(socket, &QObject::destroyed, this, [this, address] {
        --open_;
        if (--perAddress_[address] <= 0)
            perAddress_.remove(address);
    });
    new TConnection(socket, limits_);
    if (tls_) {
        auto* tls = static_cast<QSslSocket*>(socket);
        tls->setSslConfiguration(*tls_);
        connect(tls, &QSslSocket::sslErrors, tls, [tls] { tls->abort(); });
        tls->startServerEncryption();
    }
    addPendingConnection(socket);
}

} // namespace tolvek
