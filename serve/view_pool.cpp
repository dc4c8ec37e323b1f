#include "serve/view_pool.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tolvek {
namespace {

struct TQueued
{
    TViewPool::TJob Job;
    QPointer<QObject> Context;
    std::function<void(TReply)> Done;
    QElapsedTimer Waited;
};

// Lives on the thread that made the pool; the workers' replies reach it as events.
class TRelay : public QObject
{};

// What one worker keeps between its queries.
struct TWorkerView
{
    std::unique_ptr<TLineView> View;
    QString Identity; // the store's identity when View was opened
    int Epoch = 0;    // the pool's count of lost connections when View was opened
};

} // namespace

struct TViewPool::TShared
{
    TViewSource Source;
    TPoolLimits Limits;
    std::unique_ptr<TRelay> Relay = std::make_unique<TRelay>();

    std::mutex Mutex;
    std::condition_variable Wake;
    bool Stopping = false;
    std::deque<TQueued> Queues[2];
    QString AnnouncedIdentity; // under Mutex
    std::atomic<int> Epoch{0};
    std::vector<std::thread> Threads;

    void Say(const QString& text)
    {
        std::fprintf(stderr, "tolvek: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }

    // Once per replacement, whichever worker sees it first.
    void AnnounceReplaced(const QString& identity)
    {
        std::lock_guard lock(Mutex);
        if (identity == AnnouncedIdentity)
            return;
        AnnouncedIdentity = identity;
        Say(Source.Name + QStringLiteral(" was replaced; reading the new one"));
    }

    // Once per lost connection: the first worker to lose its connection of that epoch
    // says so; the others, whose connections died with it, reconnect silently.
    void AnnounceReconnected(TWorkerView& w)
    {
        int expected = w.Epoch;
        if (Epoch.compare_exchange_strong(expected, w.Epoch + 1))
            Say(Source.Name + QStringLiteral(": the connection was lost; reconnected"));
        w.Epoch = Epoch.load();
    }

    void Open(TWorkerView& w, const QString& identity)
    {
        w.View.reset();
        w.View = Source.Open();
        w.Identity = identity;
    }

    TReply Run(const TJob& job, TWorkerView& w)
    {
        const QString identity = Source.Identity ? Source.Identity() : QString();
        bool fresh = false;
        try {
            if (w.View && identity != w.Identity) {
                w.View.reset();
                AnnounceReplaced(identity);
            }
            if (!w.View) {
                w.Epoch = Epoch.load();
                Open(w, identity);
                fresh = true;
            }
            return job(*w.View);
        } catch (const std::exception& e) {
            if (fresh || !w.View)
                return Unavailable(QString::fromUtf8(e.what()));
            // Only this query failed while the connection still answers: say why.
            try {
                w.View->LatestChange();
                return Unavailable(QString::fromUtf8(e.what()));
            } catch (const std::exception&) {}
        }
        // The connection is gone (the server restarted): one new one, one more try.
        try {
            Open(w, identity);
            AnnounceReconnected(w);
            return job(*w.View);
        } catch (const std::exception& e) {
            return Unavailable(QString::fromUtf8(e.what()));
        }
    }

    // All but the first piece of a large answer to an unnamed temporary file: a client
    // that reads slowly, or not at all, then holds no more than a piece of memory.
    void Spool(TReply& reply) const
    {
        std::shared_ptr<FILE> file(std::tmpfile(), [](FILE* f) {
            if (f)
                std::fclose(f);
        });
        const qint64 rest = reply.Body.size() - Limits.HeldBytes;
        if (!file
            || std::fwrite(reply.Body.constData() + Limits.HeldBytes, 1, size_t(rest), file.get())
                       != size_t(rest)
            || std::fflush(file.get()) != 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
            reply = Unavailable(QStringLiteral("no room for the answer; ask for a shorter period"));
            return;
        }
        reply.Body.truncate(Limits.HeldBytes);
        reply.Body.squeeze();
        reply.Rest = std::move(file);
    }

    void Work(int lane)
    {
        TWorkerView w;
        for (;;) {
            TQueued item;
            {
                std::unique_lock lock(Mutex);
                Wake.wait(lock, [&] { return Stopping || !Queues[lane].empty(); });
                if (Stopping)
                    break;
                item = std::move(Queues[lane].front());
                Queues[lane].pop_front();
            }
            TReply reply = item.Waited.elapsed() > Limits.QueueMs
                                   ? Unavailable(QStringLiteral("busy; try again"))
                                   : Run(item.Job, w);
            if (reply.Body.size() > Limits.HeldBytes)
                Spool(reply);
            QMetaObject::invokeMethod(
                    Relay.get(),
                    [context = std::move(item.Context), done = std::move(item.Done),
                     reply = std::move(reply)]() mutable {
                        if (context)
                            done(std::move(reply));
                    },
                    Qt::QueuedConnection);
        }
        w.View.reset(); // its connection belongs to this thread
    }
};

TViewPool::TViewPool(TViewSource source, TPoolLimits limits)
    : shared_(std::make_shared<TShared>())
{
    shared_->Source = std::move(source);
    shared_->Limits = limits;
    if (shared_->Source.Identity)
        shared_->AnnouncedIdentity = shared_->Source.Identity();
    const int counts[] = {std::max(1, limits.QuickThreads), std::max(1, limits.LongThreads)};
    for (int lane = 0; lane < 2; ++lane)
        for (int i = 0; i < counts[lane]; ++i)
            shared_->Threads.emplace_back([s = shared_.get(), lane] { s->Work(lane); });
}

TViewPool::~TViewPool()
{
    {
        std::lock_guard lock(shared_->Mutex);
        shared_->Stopping = true;
    }
    shared_->Wake.notify_all();
    for (auto& thread : shared_->Threads)
        thread.join();
}

bool TViewPool::Submit(TLane lane, TJob job, QObject* context, std::function<void(TReply)> done)
{
    TQueued item{std::move(job), context, std::move(done), {}};
    item.Waited.start();
    {
        std::lock_guard lock(shared_->Mutex);
        auto& queue = shared_->Queues[lane == TLane::Long ? 1 : 0];
        if (std::ssize(queue) >= shared_->Limits.Queue)
            return false;
        queue.push_back(std::move(item));
    }
    shared_->Wake.notify_all();
    return true;
}

TReply TViewPool::Unavailable(const QString& reason)
{
    return {503, "application/json",
            QJsonDocument(QJsonObject{{QStringLiteral("error"), reason}})
                    .toJson(QJsonDocument::Compact)};
}

} // namespace tolvek
