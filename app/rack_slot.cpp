#include "app/rack_slot.h"

#include "net/ping_client.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <csignal>

namespace {

// The verdict line carries the whole record: a unit's report at its bounds gives a few
// megabytes at most. A child that writes more without a line end is not a run any more.
constexpr qint64 kMaxEventLine = qint64(16) * 1024 * 1024;
constexpr qint64 kMaxErrorTail = 4096;
constexpr int kJournalLines = 20000;
// A unit that gives no echo answer this long has been pulled out.
constexpr int kUnpluggedMs = 3000;

QString StepName(const QString& step)
{
    if (step == QLatin1String("echo"))
        return QStringLiteral("Эхо-запрос (ping)");
    if (step == QLatin1String("upload"))
        return QStringLiteral("Передача файла на ЦФН-ЛР");
    if (step == QLatin1String("download"))
        return QStringLiteral("Приём файла с ЦФН-ЛР");
    if (step == QLatin1String("login"))
        return QStringLiteral("Подключение к ЦФН-ЛР");
    if (step == QLatin1String("clock"))
        return QStringLiteral("Установка часов");
    if (step == QLatin1String("report"))
        return QStringLiteral("Самотестирование ЦФН-ЛР");
    return step;
}

} // namespace

void TSlotProbe::Probe(const QString& address, const QString& port)
{
    TPINGSend ping;
    ping.Timeout = 900;
    ping.Interface = port.toStdString();
    const bool answered = ping.Echo(address.toStdString()) && ping.ReplyError() == IE_NoError;
    emit Probed(answered ? Answered : ping.NoEchoSocket() ? CannotSend : Silent);
}

TSlotRun::TSlotRun(tolvek::TRackSlot slot, const tolvek::TRackFile& rack, QString program,
                   QObject* parent)
    : QObject(parent)
    , slot_(std::move(slot))
    , maxSeconds_(rack.MaxSeconds)
    , label_(rack.Label)
    , program_(std::move(program))
    , autoStart_(rack.AutoStart)
{
    probeThread_ = new QThread(this);
    probe_ = new TSlotProbe;
    probe_->moveToThread(probeThread_);
    connect(probeThread_, &QThread::finished, probe_, &QObject::deleteLater);
    connect(this, &TSlotRun::ProbeWanted, probe_, &TSlotProbe::Probe);
    connect(probe_, &TSlotProbe::Probed, this, &TSlotRun::OnProbed);
    probeThread_->start();
    probeTimer_.setInterval(1000);
    connect(&probeTimer_, &QTimer::timeout, this, &TSlotRun::OnProbeTick);
    probeTimer_.start();
    killTimer_.setSingleShot(true);
    connect(&killTimer_, &QTimer::timeout, this, [this] {
        if (child_)
            child_->kill();
    });
    // The child's own --max-time ends a silent unit; this ends a child that hangs past it.
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, [this] {
        if (child_)
            child_->kill();
    });
    lastAnswer_.start();
}

TSlotRun::~TSlotRun()
{
    EndChild(3000);
    probeThread_->quit();
    probeThread_->wait(5000);
}

qint64 TSlotRun::ChildPid() const
{
    return child_ ? child_->processId() : 0;
}

void TSlotRun::SetAutoStart(bool on)
{
    autoStart_ = on;
    lastAnswer_.start();
}

void TSlotRun::OnProbeTick()
{
    if (!autoStart_ || probing_ || Running())
        return;
    probing_ = true;
    emit ProbeWanted(QString::fromStdString(slot_.Options.Address),
                     QString::fromStdString(slot_.Interface));
}

void TSlotRun::OnProbed(int outcome)
{
    probing_ = false;
    // A station that may not send echoes knows nothing of the unit: nothing starts or clears.
    if (!autoStart_ || Running() || outcome == TSlotProbe::CannotSend)
        return;
    if (outcome == TSlotProbe::Answered) {
        lastAnswer_.start();
        // A unit left in its slot keeps its verdict shown and is not tested again.
        if (state_ == TState::Empty)
            Start();
    } else if (state_ != TState::Empty && lastAnswer_.elapsed() >= kUnpluggedMs) {
        Clear();
    }
}

void TSlotRun::Clear()
{
    state_ = TState::Empty;
    serial_.clear();
    step_.clear();
    message_.clear();
    journal_.clear();
    elapsed_.invalidate();
    emit Changed();
}

void TSlotRun::Start()
{
    if (Running())
        return;
    Clear();
    state_ = TState::Running;
    abortAsked_ = verdictSeen_ = false;
    errorTail_.clear();
    elapsed_.start();
    journal_ << QStringLiteral("гнездо: ") + QString::fromStdString(slot_.Name);
    const tolvek::TRunOptions& o = slot_.Options;
    QStringList args{QStringLiteral("--run"),       QString::fromStdString(o.Address),
                     QStringLiteral("--interface"), QString::fromStdString(slot_.Interface),
                     QStringLiteral("--events"),    QStringLiteral("--max-time"),
                     QString::number(maxSeconds_)};
    if (!o.SetClock)
        args << QStringLiteral("--no-set-clock");
    if (!o.Ethernet)
        args << QStringLiteral("--no-ethernet");
    if (o.Tamper)
        args << QStringLiteral("--tamper");
    if (o.Vac)
        args << QStringLiteral("--vac");
    child_ = new QProcess(this);
    connect(child_, &QProcess::readyReadStandardOutput, this, &TSlotRun::OnOutput);
    connect(child_, &QProcess::readyReadStandardError, this, [this] {
        errorTail_ += child_->readAllStandardError();
        if (errorTail_.size() > kMaxErrorTail)
            errorTail_ = errorTail_.right(kMaxErrorTail);
    });
    connect(child_, &QProcess::finished, this, &TSlotRun::OnFinished);
    connect(child_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            OnFinished(-1, QProcess::CrashExit);
    });
    child_->start(program_, args);
    if (maxSeconds_ > 0)
        watchdog_.start((maxSeconds_ + 60) * 1000);
    emit Changed();
}

void TSlotRun::Abort()
{
    if (!child_ || abortAsked_)
        return;
    abortAsked_ = true;
    child_->terminate();
    killTimer_.start(5000);
}

void TSlotRun::EndChild(int waitMs)
{
    if (!child_)
        return;
    child_->terminate();
    if (!child_->waitForFinished(waitMs)) {
        child_->kill();
        child_->waitForFinished(2000);
    }
}

void TSlotRun::OnOutput()
{
    while (child_ && child_->canReadLine())
        OnEvent(child_->readLine(kMaxEventLine + 1));
    if (child_ && child_->bytesAvailable() > kMaxEventLine)
        child_->kill(); // shown as a station fault when it has ended
}

// The stream's keys as the README documents them; an event or key not known here is skipped.
void TSlotRun::OnEvent(const QByteArray& line)
{
    const QJsonObject e = QJsonDocument::fromJson(line).object();
    const QString kind = e.value(QLatin1String("event")).toString();
    if (kind == QLatin1String("step-started")) {
        step_ = StepName(e.value(QLatin1String("step")).toString());
    } else if (kind == QLatin1String("journal")) {
        if (journal_.size() < kJournalLines)
            journal_ << e.value(QLatin1String("line")).toString();
    } else if (kind == QLatin1String("serial")) {
        serial_ = e.value(QLatin1String("serial")).toString().left(256);
    } else if (kind == QLatin1String("verdict")) {
        verdictSeen_ = true;
        const QString verdict = e.value(QLatin1String("verdict")).toString();
        const QJsonValue message = e.value(QLatin1String("record"))[QLatin1String("message")];
        message_ = message.isString() ? message.toString() : QString();
        // Counted failures have no step message: the tile names the tests that failed.
        if (message_.isEmpty() && verdict == QLatin1String("failed")) {
            QStringList failed;
            for (const QString& l : std::as_const(journal_))
                if (l.startsWith(QLatin1String("test ")) && l.contains(QLatin1String(" failed:")))
                    failed << l;
            message_ = failed.mid(0, 3).join(QLatin1Char('\n'));
        }
        state_ = verdict == QLatin1String("passed")     ? TState::Passed
                 : verdict == QLatin1String("aborted")  ? TState::Aborted
                 : verdict == QLatin1String("untested") ? TState::Untested
                                                        : TState::Failed;
        if (state_ == TState::Passed && label_)
            emit PassedUnit(serial_);
    } else {
        return;
    }
    emit Changed();
}

void TSlotRun::Note(const QString& line)
{
    journal_ << line;
    emit Changed();
}

void TSlotRun::Fault(const QString& reason)
{
    state_ = TState::Fault;
    message_ = QStringLiteral("Сбой станции: ") + reason;
    journal_ << message_;
}

void TSlotRun::OnFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!child_)
        return;
    watchdog_.stop();
    killTimer_.stop();
    OnOutput();
    if (!verdictSeen_) {
        const QString tail =
                QString::fromLocal8Bit(errorTail_).trimmed().section(QLatin1Char('\n'), -1);
        if (child_->error() == QProcess::FailedToStart)
            Fault(QStringLiteral("не удалось запустить ") + program_);
        else if (abortAsked_)
            state_ = TState::Aborted;
        else if (status == QProcess::CrashExit)
            Fault(QStringLiteral("процесс гнезда завершился по сигналу"));
        else
            Fault(QStringLiteral("процесс гнезда завершился с кодом %1%2")
                          .arg(exitCode)
                          .arg(tail.isEmpty() ? QString() : QStringLiteral(": ") + tail.left(300)));
    }
    step_.clear();
    child_->disconnect(this);
    child_->deleteLater();
    child_ = nullptr;
    // The unit just answered the run; it counts as present from now.
    lastAnswer_.start();
    emit Changed();
}
