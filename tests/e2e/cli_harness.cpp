#include "cli_harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace e2e {

TCliRun RunCli(QStringList args, const std::function<void(QProcess&)>& during,
               const QStringList& wrapper)
{
    QTemporaryDir dir;
    const QString record = dir.filePath("record.json");
    args.replaceInStrings(QStringLiteral("{json}"), record);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // A run killed at once leaves its own temporary folder; it goes with the test's.
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());
    QElapsedTimer t;
    t.start();
    const QString tolvek = QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek");
    if (wrapper.isEmpty())
        p.start(tolvek, args);
    else
        p.start(wrapper.first(), wrapper.mid(1) + QStringList{tolvek} + args);
    TCliRun r;
    if (!p.waitForStarted(5000))
        return r;
    if (during)
        during(p);
    if (p.state() != QProcess::NotRunning) {
        EXPECT_TRUE(p.waitForFinished(60000));
    }
    r.seconds = t.nsecsElapsed() / 1e9;
    r.crashed = p.exitStatus() == QProcess::CrashExit;
    r.exitCode = p.exitCode();
    const QByteArray out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    QFile f(record);
    const bool toStdout = args.contains(QStringLiteral("-"));
    if (toStdout || f.open(QIODevice::ReadOnly)) {
        QJsonParseError error;
        r.json = QJsonDocument::fromJson(toStdout ? out : f.readAll(), &error).object();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    }
    if (!toStdout)
        r.out = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.leftFiles = QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    r.leftFiles.removeAll(QStringLiteral("record.json"));
    return r;
}

bool WaitForOutput(QProcess& p, const QString& text, int ms)
{
    const QByteArray wanted = text.toUtf8();
    QElapsedTimer t;
    t.start();
    for (;;) {
        // Peeked, not read: RunCli reads the whole output when the program has ended.
        const QByteArray seen = p.peek(p.bytesAvailable());
        if (seen.startsWith(wanted) || seen.contains("\n" + wanted))
            return true;
        const qint64 left = ms - t.elapsed();
        if (left <= 0 || p.state() == QProcess::NotRunning)
            return false;
        p.waitForReadyRead(static_cast<int>(std::min<qint64>(left, 200)));
    }
}

QStringList Strings(const QJsonValue& v)
{
    QStringList out;
    for (const QJsonValue& item : v.toArray())
        out << item.toString();
    return out;
}

QString ReportFile(const QTemporaryDir& dir, const QByteArray& extra)
{
    QByteArray report = "CFN-LR self-test 1.0\n\nSN 0123\x1b]0;owned\x07"
                        "456\n";
    for (const char* t : {"RAM", "flash", "RTC", "eth", "TAMPER", "AC voltage"})
        report += QByteArray("test ") + t + " <PASSED>\n";
    QFile file(dir.filePath("report"));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(report + extra + "tests completed");
    return file.fileName();
}

} // namespace e2e
