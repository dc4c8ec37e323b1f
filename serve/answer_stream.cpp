#include "serve/answer_stream.h"

#include "serve/bounded_tcp_server.h"

#include <QHttpServerResponder>
#include <QTcpSocket>
#include <QTimer>

namespace tolvek {
namespace {

constexpr qint64 kPiece = 64 << 10;    // read from the temporary file at once
constexpr qint64 kLowMark = 64 << 10;  // the send buffer is topped up below this
constexpr int kBusyRetryMs = 200;      // the pool's queue was full: asked again after
constexpr int kSendBuffer = 256 << 10; // the kernel's part, which would grow to 4 MiB per client

} // namespace

void TAnswerStream::Start(QHttpServerResponder& responder, TReply first, TViewPool& pool,
                          TLane lane, TViewPool::TJob job)
{
    responder.writeStatusLine(QHttpServerResponder::StatusCode::Ok);
    responder.writeHeader("Content-Type", first.Mime);
    if (!first.Disposition.isEmpty())
        responder.writeHeader("Content-Disposition", first.Disposition);
    // Chunks, so a complete answer is told from one cut off; one answer per connection.
    responder.writeHeader("Transfer-Encoding", "chunked");
    responder.writeHeader("Connection", "close");
    for (const auto& [name, value] : SecurityHeaders())
        responder.writeHeader(name, value);
    responder.writeBody(QByteArray());
    QTcpSocket* socket = responder.socket();
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
    TBoundedTcpServer::Sending(socket);
    auto* stream = new TAnswerStream(socket, pool, lane, std::move(job));
    stream->Take(std::move(first));
}

TAnswerStream::TAnswerStream(QTcpSocket* socket, TViewPool& pool, TLane lane, TViewPool::TJob job)
    : QObject(socket)
    , socket_(socket)
    , pool_(pool)
    , lane_(lane)
    , job_(std::move(job))
{
    connect(socket, &QTcpSocket::bytesWritten, this, &TAnswerStream::Pump);
}

void TAnswerStream::Take(TReply piece)
{
    Chunk(piece.Body);
    rest_ = std::move(piece.Rest);
    more_ = piece.More;
    Pump();
}

void TAnswerStream::Pump()
{
    while (!done_ && socket_->state() == QAbstractSocket::ConnectedState
           && socket_->bytesToWrite() < kLowMark) {
        if (rest_) {
            QByteArray piece(kPiece, Qt::Uninitialized);
            const size_t n = std::fread(piece.data(), 1, size_t(kPiece), rest_.get());
            if (n > 0) {
                piece.truncate(qsizetype(n));
                Chunk(piece);
                continue;
            }
            if (std::ferror(rest_.get())) {
                Cut();
                return;
            }
            rest_.reset();
        }
        if (more_) {
            if (!asking_)
                Ask();
            return;
        }
        done_ = true;
        socket_->write("0\r\n\r\n");
        socket_->disconnectFromHost();
    }
}

void TAnswerStream::Ask()
{
    asking_ = true;
    const bool queued = pool_.Submit(lane_, job_, this, [this](TReply piece) {
        asking_ = false;
        if (piece.Status != 200) {
            Cut();
            return;
        }
        Take(std::move(piece));
    });
    if (!queued) {
        asking_ = false;
        QTimer::singleShot(kBusyRetryMs, this, &TAnswerStream::Pump);
    }
}

// No closing chunk: the client knows the answer is cut. The pieces already written still go
// out first, so the client sees where it was cut rather than a reset that may drop them.
void TAnswerStream::Cut()
{
    done_ = true;
    socket_->disconnectFromHost();
}

void TAnswerStream::Chunk(const QByteArray& bytes)
{
    if (bytes.isEmpty()) // an empty chunk would end the answer
        return;
    socket_->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
}

} // namespace tolvek
