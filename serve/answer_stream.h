// A large answer sent as the client takes it: HTTP chunks of a piece at a time, the next
// piece read (from the answer's temporary file) or made (by the answer's job on the pool)
// only when the connection's send buffer has room. So a client that reads slowly, or stops
// reading, holds about one piece of the server's memory and no worker; the connection's
// own bounds then close it. A piece that fails ends the connection without the closing
// chunk, so the client sees a cut answer, never a short one taken for whole.
#pragma once

#include "serve/view_pool.h"

#include <QObject>

class QHttpServerResponder;
class QTcpSocket;

namespace tolvek {

class TAnswerStream : public QObject
{
public:
    // Sends the status line, headers and `first` on the responder's connection, then the
    // rest; `job` on `pool`'s `lane` makes the pieces after it while they say More. The
    // stream is a child of the connection; `pool` outlives the connection.
    static void Start(QHttpServerResponder& responder, TReply first, TViewPool& pool, TLane lane,
                      TViewPool::TJob job);

private:
    TAnswerStream(QTcpSocket* socket, TViewPool& pool, TLane lane, TViewPool::TJob job);
    void Take(TReply piece);
    void Pump();
    void Ask();
    void Chunk(const QByteArray& bytes);
    void Cut();

    QTcpSocket* socket_;
    TViewPool& pool_;
    TLane lane_;
    TViewPool::TJob job_;
    std::shared_ptr<FILE> rest_;
    bool more_ = false, asking_ = false, done_ = false;
};

} // namespace tolvek
