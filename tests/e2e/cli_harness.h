// `tolvek --run` and the other modes started as a script starts them: a program of its own,
// in a working directory of its own, against the stand-in unit.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace e2e {

struct TCliRun
{
    int exitCode = -1;
    bool crashed = false;
    QStringList out; // standard output, one entry per line
    QString err;
    QJsonObject json;      // the record, when --json was given a file or -
    QStringList leftFiles; // what the run left in its working directory besides the record
    double seconds = 0;
};

// Runs tolvek with the arguments in a working directory of its own; "{json}" stands for a
// record file there. during(process) is called once the program has started. Every run gets
// QT_QPA_PLATFORM=xcb and no display, so a window or platform plugin started by mistake
// would end the program. `program` runs in front of tolvek when given (unshare ..., say).
TCliRun RunCli(QStringList args, const std::function<void(QProcess&)>& during = {},
               const QStringList& wrapper = {});

// Waits until the program has printed a line starting with `text` on standard output,
// leaving it there for RunCli to read; false when it ended or `ms` passed first.
bool WaitForOutput(QProcess& p, const QString& text, int ms = 20000);

QStringList Strings(const QJsonValue& v);

// A report of the stand-in's default lines with `extra` before its completion line, in dir.
QString ReportFile(const QTemporaryDir& dir, const QByteArray& extra);

inline const QStringList kSelfTestOnly{QStringLiteral("--no-set-clock"),
                                       QStringLiteral("--no-ethernet")};

} // namespace e2e
