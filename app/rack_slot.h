#pragma once
// One slot of the rack window: its child run (`tolvek --run … --interface … --events`), the
// echo that notices a unit being plugged in and pulled out, and what its tile shows.
#include "rack/rack_file.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

class QThread;

// Sends one echo through the slot's port on a thread of its own; the window never waits.
class TSlotProbe : public QObject
{
    Q_OBJECT
public:
    enum { Answered, Silent, CannotSend };
public slots:
    void Probe(const QString& address, const QString& port);
signals:
    // The unit answered, stayed silent, or the station may not send echoes at all.
    void Probed(int outcome);
};

class TSlotRun : public QObject
{
    Q_OBJECT
public:
    // Empty: no verdict shown (grey); Fault: the child died or could not start, a station
    // fault, not the unit's (grey, with the reason).
    enum class TState { Empty, Running, Passed, Failed, Aborted, Untested, Fault };

    TSlotRun(tolvek::TRackSlot slot, const tolvek::TRackFile& rack, QString program,
             QObject* parent = nullptr);
    ~TSlotRun() override;

    const tolvek::TRackSlot& Slot() const { return slot_; }
    TState State() const { return state_; }
    bool Running() const { return state_ == TState::Running; }
    QString Serial() const { return serial_; }
    QString Step() const { return step_; }
    QString Message() const { return message_; }
    QStringList Journal() const { return journal_; }
    qint64 ElapsedSeconds() const { return elapsed_.isValid() ? elapsed_.elapsed() / 1000 : 0; }
    qint64 ChildPid() const;

    // Starts a run unless one is going. A slot whose verdict is shown is started again.
    void Start();
    // The child's "Прервать" (SIGTERM); a child that has not ended 5 s later is killed.
    void Abort();
    // Starting when a unit answers; while off, a shown verdict stays until the next start.
    void SetAutoStart(bool on);
    // A line of the station's own in the slot's journal (a label printed, or why not).
    void Note(const QString& line);
    // Ends the child now, bounded: SIGTERM, then SIGKILL after waitMs.
    void EndChild(int waitMs);

signals:
    void Changed();
    void ProbeWanted(const QString& address, const QString& port);
    // A passed unit's label is wanted (the rack file asks for labels).
    void PassedUnit(const QString& serial);

private:
    void OnProbeTick();
    void OnProbed(int outcome);
    void OnOutput();
    void OnEvent(const QByteArray& line);
    void OnFinished(int exitCode, QProcess::ExitStatus status);
    void Fault(const QString& reason);
    void Clear();

    tolvek::TRackSlot slot_;
    int maxSeconds_;
    bool label_;
    QString program_;
    QProcess* child_ = nullptr;
    QThread* probeThread_ = nullptr;
    TSlotProbe* probe_ = nullptr;
    QTimer probeTimer_, killTimer_, watchdog_;
    QElapsedTimer elapsed_, lastAnswer_;
    bool autoStart_ = true, probing_ = false, abortAsked_ = false, verdictSeen_ = false;
    TState state_ = TState::Empty;
    QString serial_, step_, message_;
    QStringList journal_;
    QByteArray errorTail_; // the child's standard error, its last few KiB
};
