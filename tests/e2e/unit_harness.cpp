#include "unit_harness.h"

#include "app/controls.h"
#include "app/seams.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QThread>

namespace e2e {

TPeer::TPeer(const QString& program, const QStringList& args, const QString& readyText)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, args);
    if (!process_.waitForStarted(5000))
        return;
    QString seen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && process_.state() == QProcess::Running) {
        process_.waitForReadyRead(100);
        seen += QString::fromLocal8Bit(process_.readAll());
        if (seen.contains(readyText)) {
            ok_ = true;
            return;
        }
    }
    qWarning("peer %s did not start: %s", qPrintable(program), qPrintable(seen));
}

TPeer::~TPeer()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

QString TPeer::output()
{
    return QString::fromLocal8Bit(process_.readAll());
}

TStandIn::TStandIn(const QString& scenario, const QStringList& extra, const QString& address)
{
    const QString script = QStringLiteral(TOLVEK_SOURCE_DIR "/standin/tolvek_unit.py");
    QStringList args{script,   QStringLiteral("--address"), address,  QStringLiteral("--scenario"),
                     scenario, QStringLiteral("--log"),     logPath()};
    args += extra;
    peer_ = std::make_unique<TPeer>(QStringLiteral("python3"), args, QStringLiteral("ready"));
}

QStringList TStandIn::log() const
{
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList TStandIn::commands() const
{
    QStringList out;
    const QString prefix = QStringLiteral("telnet command ");
    for (const QString& l : log())
        if (l.startsWith(prefix))
            out << l.mid(prefix.size());
    return out;
}

bool TStandIn::waitForLog(const QString& text, int ms) const
{
    QElapsedTimer t;
    t.start();
    do {
        for (const QString& l : log())
            if (l.startsWith(text))
                return true;
        QThread::msleep(20);
    } while (t.elapsed() < ms);
    return false;
}

TStation::TStation()
    : now(QDate(2026, 12, 8), QTime(4, 46, 57))
{
    oldDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    StationNowHook = [this] { return now; };
    StationMessageHook = [this](const QString& t) { messages << t; };
    GeneralErrorBoxHook = [this](const QString& t) { errorBoxes << t; };
    form_ = std::make_unique<TForm1>();
    // Every test chooses its own checks; by default only the self-test runs.
    form_->CheckBox1->setChecked(false);
    form_->CheckBox2->setChecked(false);
    form_->CheckBox3->setChecked(false);
    form_->CheckBox4->setChecked(false);
}

TStation::~TStation()
{
    form_.reset();
    StationNowHook = nullptr;
    StationMessageHook = nullptr;
    GeneralErrorBoxHook = nullptr;
    QDir::setCurrent(oldDir_);
}

double TStation::run()
{
    QElapsedTimer t;
    t.start();
    form_->BitBtn1->click();
    return t.nsecsElapsed() / 1e9;
}

QStringList TStation::journal() const
{
    return form_->ListBox2->lines();
}
QStringList TStation::raw() const
{
    return form_->ListBox1->lines();
}
QString TStation::status() const
{
    return form_->Panel1->caption();
}

QStringList PassedJournal(const QString& serial)
{
    return {QStringLiteral("date: 08-12-2026 04:46:57"), QStringLiteral("IP:192.168.1.178"),
            QStringLiteral("serial number: ") + serial,  QStringLiteral("test RAM passed"),
            QStringLiteral("test flash passed"),         QStringLiteral("test RTC passed"),
            QStringLiteral("test eth passed"),           QStringLiteral("test TAMPER passed"),
            QStringLiteral("test AC voltage passed")};
}

} // namespace e2e
