// A unit for one test: the stand-in unit (or another server) at 192.168.1.178 in the
// test's own network namespace, and the station window with its boxes recorded.
#pragma once

#include "app/main_window.h"

#include <QDateTime>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace e2e {

inline const char* kUnitAddress = "192.168.1.178";

// A server process started for one test and stopped (SIGTERM, then SIGKILL) with it.
class TPeer
{
public:
    TPeer(const QString& program, const QStringList& args, const QString& readyText);
    ~TPeer();
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;
    bool ok() const { return ok_; }
    QString output();

private:
    QProcess process_;
    bool ok_ = false;
};

// The stand-in unit with the given scenario; every event it saw is in its log.
class TStandIn
{
public:
    explicit TStandIn(const QString& scenario, const QStringList& extra = {},
                      const QString& address = QString::fromLatin1(kUnitAddress));
    bool ok() const { return peer_->ok(); }
    QStringList log() const;
    // The shell commands the unit received, exactly (non-printable bytes as \xNN).
    QStringList commands() const;
    // Waits until a log line equal to text (or starting with it) appears; generous, as the
    // unit may be slow to write what has happened on a loaded machine.
    bool waitForLog(const QString& text, int ms = 20000) const;
    QString logPath() const { return dir_.filePath("unit.log"); }

private:
    QTemporaryDir dir_;
    std::unique_ptr<TPeer> peer_;
};

// The station window for one test, in a working directory of its own, with the clock
// fixed at 8 December 2026 04:46:57 and the message boxes recorded instead of shown.
class TStation
{
public:
    TStation();
    ~TStation();
    TForm1& form() { return *form_; }
    // Presses "Тестировать" and returns when the run is over; the seconds it took.
    double run();
    QStringList journal() const;
    QStringList raw() const;
    QString status() const;
    QStringList messages;   // station message boxes
    QStringList errorBoxes; // general error boxes
    QDateTime now;          // the station clock
    QString dir() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QString oldDir_;
    std::unique_ptr<TForm1> form_;
};

// The unit's serial number in the stand-in's default report and its journal lines.
QStringList PassedJournal(const QString& serial = QStringLiteral("0123456789ABCDEF"));

} // namespace e2e
