// The line view over HTTP: the pages, their script and style, the JSON API and label
// barcodes, all read-only from one TLineView. Only what the program carries is served:
// no path of a request ever reaches the file system.
#pragma once

#include "archive/line_view.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerResponse>

#include <memory>

namespace tolvek {

// The port `tolvek --serve` listens on unless --listen names another.
inline constexpr quint16 kDefaultServePort = 8470;

// Bounds on what one connection may ask of the server.
struct TServeLimits
{
    qint64 RequestBytes = 16 * 1024; // a request's line, headers and body together
    int RequestMs = 10'000;          // from a request's first byte to its answer
    int IdleMs = 60'000;             // a kept-alive connection with no request
    int Connections = 64;            // open at once; more are closed at once
};

class TViewServer : public QAbstractHttpServer
{
public:
    explicit TViewServer(std::unique_ptr<TLineView> view, TServeLimits limits = {},
                         QObject* parent = nullptr);
    ~TViewServer() override;

    // Listens on address:port (0: any free port); the port bound, or 0 with `error` set.
    quint16 Listen(const QHostAddress& address, quint16 port, QString& error);

    // The answer to one request, with the headers every answer carries.
    QHttpServerResponse Answer(const QHttpServerRequest& request);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct TAsset
    {
        QByteArray Mime, Bytes;
    };
    QHttpServerResponse Route(const QStringList& path, const QUrlQuery& query);
    QHttpServerResponse Api(const QStringList& path, const QUrlQuery& query);

    std::unique_ptr<TLineView> view_;
    TServeLimits limits_;
    QHash<QString, TAsset> assets_; // by the name under /static/
};

} // namespace tolvek
