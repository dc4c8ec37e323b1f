// The view's listening socket: hands each connection to the HTTP server with bounds on
// its request's size and time, its answer's time and its idle time, and keeps the number of
// connections bounded, in all and per client address, so no viewer can take them all.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

class QTcpSocket;

namespace tolvek {

// Bounds on what connections may ask of the server.
struct TServeLimits
{
    qint64 RequestBytes = 16 * 1024; // a request's line, headers and body together
    int RequestMs = 10'000;          // from a request's first byte to its last
    int AnswerMs = 120'000;          // from a request's last byte to its answer's last
    int IdleMs = 60'000;             // a kept-alive connection with no request
    int SendingMs = 3'600'000;       // a streamed answer in all (its silences: AnswerMs each)
    int Connections = 256;           // open at once; more are closed at once
    int PerAddress = 24;             // open at once from one client address
};

// The headers every answer carries: pages load script, style and pictures from this server
// alone, and no inline script runs.
const QList<std::pair<QByteArray, QByteArray>>& SecurityHeaders();

class TBoundedTcpServer : public QTcpServer
{
public:
    // With `tls`, every connection is TLS with that configuration (certificate and key).
    TBoundedTcpServer(TServeLimits limits, std::optional<QSslConfiguration> tls, QObject* parent);

    // The HTTP server has the socket's whole request: its answer is now being made.
    static void Answering(QTcpSocket* socket);
    // A streamed answer is under way: bounded per silence by AnswerMs, in all by SendingMs.
    static void Sending(QTcpSocket* socket);
    // The socket carries an event stream from now on: no answer deadline, never idle.
    static void Streaming(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr handle) override;

private:
    bool EvictIdle();

    TServeLimits limits_;
    std::optional<QSslConfiguration> tls_;
    int open_ = 0;
    QHash<QString, int> perAddress_;
};

} // namespace tolvek
