// The line view over HTTP(S): the pages, their script and style, the JSON API, the change
// feed and label barcodes, all read-only from the store a TViewSource opens. Only what the
// program carries is served: no path of a request ever reaches the file system. Queries run
// on a TViewPool; this thread only accepts, routes and writes.
//
// The change feed: GET /api/changes with "Accept: text/event-stream" (as EventSource sends)
// is an event stream on one connection. Its first event comes at once, then one whenever a
// run is added; each event's data is the store's opaque change text. While the store does not
// answer the feed sends "event: failure" with the reason as data, once, and the change text
// again when it answers. Without that Accept header, /api/changes answers {"change": text}.
#pragma once

#include "serve/bounded_tcp_server.h"
#include "serve/view_access.h"
#include "serve/view_pool.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerResponse>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>

class QTcpSocket;

namespace tolvek {

// The port `tolvek --serve` listens on unless --listen names another.
inline constexpr quint16 kDefaultServePort = 8470;

struct TFeedLimits
{
    int ChangeMs = 1000;       // how often the store's change counter is read for the feed
    int HeartbeatMs = 20'000;  // a comment line on every stream, so dead ones are found
    int QueriesPerAddress = 8; // answers being made at once for one client address
};

class TViewServer : public QAbstractHttpServer
{
public:
    explicit TViewServer(TViewSource source, TServeLimits limits = {}, TPoolLimits pool = {},
                         TFeedLimits feed = {}, QObject* parent = nullptr);
    ~TViewServer() override;

    // Before Listen: serve HTTPS only, and (or) admit only the logins of `access`.
    void SetTls(QSslConfiguration tls) { tls_ = std::move(tls); }
    void SetAccess(TViewAccess access) { access_ = std::move(access); }

    // Listens on address:port (0: any free port); the port bound, or 0 with `error` set.
    quint16 Listen(const QHostAddress& address, quint16 port, QString& error);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct TAsset
    {
        QByteArray Mime, Bytes;
    };
    // What a request asks for: an answer at once, or a query for the pool.
    struct TPlan
    {
        TPlan(QHttpServerResponse now) // NOLINT(google-explicit-constructor): a plain answer
            : Now(std::move(now))
        {}
        TPlan(TLane lane, TViewPool::TJob job)
            : Lane(lane)
            , Job(std::move(job))
        {}
        std::optional<QHttpServerResponse> Now;
        TLane Lane = TLane::Quick;
        TViewPool::TJob Job;
    };
    TPlan Route(const QStringList& path, const QUrlQuery& query);
    TPlan Api(const QStringList& path, const QUrlQuery& query);
    void Subscribe(QHttpServerResponder& responder, QTcpSocket* socket);
    void PollChanges();
    void Broadcast(const QByteArray& event);

    TServeLimits limits_;
    TFeedLimits feed_;
    TViewPool pool_;
    std::optional<QSslConfiguration> tls_;
    std::optional<TViewAccess> access_;
    QHash<QString, TAsset> assets_; // by the name under /static/
    QHash<QString, int> queries_;   // answers being made, by client address
    QList<QPointer<QTcpSocket>> streams_;
    QTimer changeTimer_, heartbeat_;
    bool polling_ = false, failing_ = false;
    std::optional<QByteArray> change_; // the last change text the feed sent
};

} // namespace tolvek
