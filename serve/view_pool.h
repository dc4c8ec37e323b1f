// The line view's queries, run off the thread that accepts requests: a few worker threads,
// each with its own connection to the store (a Qt SQL connection belongs to the thread that
// made it), in two lanes so that a period of a year never holds up a day's figures.
#pragma once

#include "archive/line_view.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>

#include <functional>
#include <memory>

namespace tolvek {

// Where the workers get their views. Open throws std::runtime_error with a reason.
struct TViewSource
{
    std::function<std::unique_ptr<TLineView>()> Open;
    // Optional: a text that changes when the store is replaced under the view (the archive
    // file renamed over): each worker then opens the new one before its next query.
    std::function<QString()> Identity;
    QString Name; // in messages: "the archive PATH" or "user@host:port/db"
};

// One answer, or one piece of a streamed one, made on a worker so the accepting thread
// only writes it. A large answer is not held in memory: its first piece is in Body and the
// rest in Rest, an unnamed temporary file the accepting thread sends as the client reads.
struct TReply
{
    int Status = 200;
    QByteArray Mime, Body;
    QByteArray Disposition{};     // Content-Disposition of a download, or empty
    bool More = false;            // the job, run again, makes the next piece
    std::shared_ptr<FILE> Rest{}; // the rest of the body, read from its start
};

enum class TLane {
    Quick, // a day or a month, one unit, one run, the change counter
    Long,  // longer periods
};

struct TPoolLimits
{
    int QuickThreads = 2;
    int LongThreads = 1;         // a year's answer is the memory one query may take
    int Queue = 64;              // waiting per lane; more are refused at once
    int QueueMs = 30'000;        // a job that waited longer is answered 503 unrun
    qint64 HeldBytes = 64 << 10; // larger answers are sent from a temporary file
};

class TViewPool
{
public:
    TViewPool(TViewSource source, TPoolLimits limits = {});
    ~TViewPool(); // waits for the running queries; the waiting ones are dropped
    TViewPool(const TViewPool&) = delete;
    TViewPool& operator=(const TViewPool&) = delete;

    using TJob = std::function<TReply(TLineView&)>;
    // Runs `job` on a worker of `lane`; `done` runs on `context`'s thread with the reply
    // unless `context` is gone by then. False at once when the lane's queue is full.
    bool Submit(TLane lane, TJob job, QObject* context, std::function<void(TReply)> done);

    // A 503 answer with the reason as JSON {"error": reason}.
    static TReply Unavailable(const QString& reason);

private:
    struct TShared;
    std::shared_ptr<TShared> shared_;
};

} // namespace tolvek
