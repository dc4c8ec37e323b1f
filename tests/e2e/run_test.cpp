// Complete test runs of the station window against the stand-in unit.
#include "unit_harness.h"

#include "app/controls.h"
#include "app/seams.h"
#include "settings/form_storage.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

using namespace e2e;

namespace {

const QString kPassed = QStringLiteral("Тестирование завершено успешно");
const QString kError = QStringLiteral("Тестирование завершено c ошибкой");
const QString kAborted = QStringLiteral("Тестирование прервано");

#define ASSERT_UNIT(unit) ASSERT_TRUE((unit).ok()) << "stand-in unit did not start"

// Calls f once per event-processing pass of the run: each call posts the next, and Qt
// delivers an event posted during a pass only in the following one.
class TEachPass : public QObject
{
public:
    explicit TEachPass(std::function<bool()> f)
        : f_(std::move(f))
    {}
    void start() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (f_())
            start();
        return true;
    }

private:
    std::function<bool()> f_;
};

} // namespace

TEST(TestRun, PassedRunAgainstTheStandIn)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_UNIT(unit);
    TStation st;
    st.run();

    EXPECT_EQ(st.journal(), PassedJournal());
    EXPECT_EQ(st.status(), kPassed);
    EXPECT_EQ(st.form().runResultState(), 1);
    EXPECT_TRUE(st.form().Button1->isEnabled());
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
    EXPECT_TRUE(st.form().BitBtn2->isEnabled());
    EXPECT_EQ(st.form().LabeledEdit2->text(), QStringLiteral("0123456789ABCDEF"));
    EXPECT_TRUE(st.messages.isEmpty()) << st.messages.join('|').toStdString();
    // Every report line, stripped, in the raw output list (the blank after the prompt first).
    const QStringList raw = st.raw();
    ASSERT_GE(raw.size(), 4);
    EXPECT_EQ(raw.first(), QStringLiteral(" "));
    EXPECT_TRUE(raw.contains(QStringLiteral("CFN-LR self-test 1.0")));
    EXPECT_EQ(raw.last(), QStringLiteral("tests completed"));

    ASSERT_TRUE(unit.waitForLog(QStringLiteral("telnet close")));
    // No clock setting asked for: "tolvek" follows the log-in directly, then "exit".
    EXPECT_EQ(unit.commands(), (QStringList{QStringLiteral("tolvek"), QStringLiteral("exit")}));
    const QStringList log = unit.log();
    EXPECT_TRUE(log.contains(QStringLiteral("telnet login root")));
    EXPECT_TRUE(log.contains(QStringLiteral("telnet close")));
    // The unit opened the telnet negotiation; the station agreed to the terminal type only.
    EXPECT_TRUE(log.contains(QStringLiteral("telnet ttype DUMB")));
    EXPECT_TRUE(log.contains(QStringLiteral("telnet negotiation WILL 24")));
    EXPECT_TRUE(log.contains(QStringLiteral("telnet negotiation DONT 1")));
    EXPECT_TRUE(log.contains(QStringLiteral("telnet negotiation DO 3")));
    EXPECT_TRUE(log.contains(QStringLiteral("telnet negotiation WONT 31")));
}

TEST(TestRun, FailedTestsCountedAndUncounted)
{
    struct Case
    {
        const char* scenario;
        bool tamper, vac;
        const char* line;
        int state;
    };
    const Case cases[] = {
            {"fail-test", false, false, "test RTC failed:no answer", 2},
            {"tamper-fail", false, false, "test TAMPER failed:open", 1},
            {"tamper-fail", true, false, "test TAMPER failed:open", 2},
            {"vac-fail", false, false, "test AC voltage failed:low", 1},
            {"vac-fail", false, true, "test AC voltage failed:low", 2},
            // A line naming both follows the TAMPER box.
            {"tamper-and-vac", false, true, "test TAMPER and AC voltage failed:both", 1},
            {"tamper-and-vac", true, false, "test TAMPER and AC voltage failed:both", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " tamper=" + std::to_string(c.tamper)
                     + " vac=" + std::to_string(c.vac));
        TStandIn unit(QString::fromLatin1(c.scenario));
        ASSERT_UNIT(unit);
        TStation st;
        st.form().CheckBox3->setChecked(c.tamper);
        st.form().CheckBox4->setChecked(c.vac);
        st.run();
        EXPECT_TRUE(st.journal().contains(QString::fromLatin1(c.line)))
                << st.journal().join('|').toStdString();
        EXPECT_EQ(st.form().runResultState(), c.state);
        EXPECT_EQ(st.status(), c.state == 1 ? kPassed : kError);
        EXPECT_EQ(st.form().Button1->isEnabled(), c.state == 1);
        EXPECT_TRUE(st.messages.isEmpty());
        EXPECT_TRUE(unit.waitForLog(QStringLiteral("telnet close")));
        EXPECT_TRUE(unit.commands().contains(QStringLiteral("exit")));
    }
}

TEST(TestRun, UnitSilentToEcho)
{
    TStandIn unit(QStringLiteral("no-echo"));
    ASSERT_UNIT(unit);
    TStation st;
    st.form().CheckBox2->setChecked(true); // no transfer is tried either
    st.run();
    EXPECT_EQ(st.journal(), QStringList{QStringLiteral("date: 08-12-2026 04:46:57")});
    EXPECT_EQ(st.messages, QStringList{QStringLiteral("Блок не отвечает")});
    EXPECT_EQ(st.status(), kError);
    // The operator sees the verdict by the panel's colour.
    const QImage panel = st.form().Panel1->grab().toImage();
    EXPECT_EQ(panel.pixelColor(panel.width() / 2, panel.height() / 2 - 6), QColor(255, 0, 0));
    EXPECT_EQ(st.form().runResultState(), 2);
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
    EXPECT_TRUE(st.form().BitBtn2->isEnabled());
    for (const QString& l : unit.log())
        EXPECT_FALSE(l.startsWith(QStringLiteral("telnet connect"))
                     || l.startsWith(QStringLiteral("ftp connect")))
                << l.toStdString();
}

TEST(TestRun, RefusedTelnetAndMissingPrompts)
{
    struct Case
    {
        const char* scenario;
        bool clock;
        const char* message;
        bool connected;
    };
    const Case cases[] = {
            {"telnet-refused", false, "Не могу подключиться к ЦФН-ЛР", false},
            {"no-login-prompt", false, "Нет приглашения 'login:'", true},
            {"no-shell-prompt", false, "Нет приглашения '$'", true},
            {"no-date-prompt", true, "Нет приглашения после вызова date", true},
            {"no-hwclock-prompt", true, "Нет приглашения после вызова hwclock", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        TStandIn unit(QString::fromLatin1(c.scenario));
        ASSERT_UNIT(unit);
        TStation st;
        st.form().CheckBox1->setChecked(c.clock);
        st.run();
        EXPECT_EQ(st.messages, QStringList{QString::fromUtf8(c.message)});
        EXPECT_EQ(st.status(), kError);
        EXPECT_EQ(st.form().runResultState(), 2);
        EXPECT_TRUE(st.form().BitBtn1->isEnabled());
        QStringList expected{QStringLiteral("date: 08-12-2026 04:46:57")};
        if (c.connected)
            expected << QStringLiteral("IP:192.168.1.178");
        EXPECT_EQ(st.journal(), expected);
        if (c.connected) {
            // The station leaves without "exit" and sends nothing after the failed wait.
            EXPECT_TRUE(unit.waitForLog(QStringLiteral("telnet close without-exit")));
            EXPECT_FALSE(unit.commands().contains(QStringLiteral("tolvek")));
        }
    }
}

TEST(TestRun, AbortDuringTheReport)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_UNIT(unit);
    TStation st;
    // The press arrives in the event processing after the serial line.
    QObject::connect(
            st.form().ListBox1->model(), &QAbstractItemModel::rowsInserted, &st.form(), [&] {
                if (st.raw().last().startsWith(QStringLiteral("SN")))
                    QMetaObject::invokeMethod(st.form().BitBtn3, "click", Qt::QueuedConnection);
            });
    st.run();
    EXPECT_EQ(st.status(), kAborted);
    EXPECT_EQ(st.form().runResultState(), 3);
    EXPECT_TRUE(st.messages.isEmpty());
    // The serial line itself is still evaluated; nothing after it is read.
    EXPECT_EQ(st.journal().last(), QStringLiteral("serial number: 0123456789ABCDEF"));
    EXPECT_TRUE(st.raw().last().startsWith(QStringLiteral("SN")));
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
    EXPECT_TRUE(st.form().BitBtn2->isEnabled());
    EXPECT_FALSE(st.form().Button1->isEnabled());
    ASSERT_TRUE(unit.waitForLog(QStringLiteral("telnet close")));
    EXPECT_EQ(unit.commands(), QStringList{QStringLiteral("tolvek")});
    EXPECT_TRUE(unit.log().contains(QStringLiteral("telnet close without-exit")));
}

// What the operator sees: each event-processing pass paints the journal as the run left it
// before that pass (cleared at the start, then line by line), read from the painted pixels.
TEST(TestRun, JournalIsPaintedAsTheRunGoes)
{
    TStandIn unit(QStringLiteral("pass"), {QStringLiteral("--delay"), QStringLiteral("0.05")});
    ASSERT_UNIT(unit);
    TStation st;
    TForm1& form = st.form();
    form.FormStorage1->setActive(false);
    form.show();
    for (int i = 0; i < 15; ++i)
        form.JournalAppend(QStringLiteral("test of the last unit passed"));
    QCoreApplication::processEvents();

    QWidget* view = form.ListBox2->viewport();
    const int rowHeight = form.ListBox2->itemHeight();
    // Rows of the journal that hold any ink, as the window's backing store has them.
    auto paintedRows = [&] {
        const QPoint at = view->mapTo(&form, QPoint(0, 0));
        const QImage image =
                form.screen()
                        ->grabWindow(form.winId(), at.x(), at.y(), view->width(), view->height())
                        .toImage();
        int rows = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) < 128) {
                    rows = std::max(rows, y / rowHeight + 1);
                    break;
                }
        return rows;
    };
    ASSERT_EQ(paintedRows(), 15);

    // A pass delivers this callback before it paints: the picture is the previous pass's.
    QList<QPair<int, int>> seen; // lines at the previous pass, rows painted by it
    int linesBefore = -1;
    TEachPass sample([&] {
        if (linesBefore >= 0)
            seen << qMakePair(linesBefore, paintedRows());
        linesBefore = form.ListBox2->count();
        return !form.BitBtn1->isEnabled();
    });
    sample.start();
    st.run();
    QCoreApplication::processEvents();
    seen << qMakePair(linesBefore, paintedRows());

    ASSERT_EQ(st.journal(), PassedJournal());
    QList<int> counts;
    for (const auto& [lines, rows] : seen) {
        EXPECT_EQ(rows, lines) << "journal of " << lines << " lines painted as " << rows;
        if (counts.isEmpty() || counts.last() != lines)
            counts << lines;
    }
    EXPECT_EQ(counts, QList<int>({1, 2, 3, 4, 5, 6, 7, 8, 9})) << "every line is seen as it comes";
}

// A report longer than the view, faster than the journal is laid out while it runs, whose
// last line is journaled just before the connection breaks (no pass in between): the
// final status still paints the journal as it stands, rows and scroll bar.
TEST(TestRun, LongJournalIsPaintedWholeAtTheFinalStatus)
{
    TStandIn unit(QStringLiteral("broken-mid-report"),
                  {QStringLiteral("--repeat"), QStringLiteral("10")});
    ASSERT_UNIT(unit);
    TStation st;
    TForm1& form = st.form();
    form.FormStorage1->setActive(false);
    form.show();
    QCoreApplication::processEvents();
    TListBox* list = form.ListBox2;
    auto painted = [&] {
        const QPoint at = list->mapTo(&form, QPoint(0, 0));
        return form.screen()
                ->grabWindow(form.winId(), at.x(), at.y(), list->width(), list->height())
                .toImage();
    };

    st.run();
    const QImage atStatus = painted();
    ASSERT_EQ(st.status(), kError);
    ASSERT_GT(list->count() * list->itemHeight(), list->viewport()->height());
    list->layoutNow(true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(atStatus == painted()) << "the final status painted a journal laid out earlier";
}

TEST(TestRun, BrokenConnectionEndsTheRunWithAMessage)
{
    TStandIn unit(QStringLiteral("broken-mid-report"));
    ASSERT_UNIT(unit);
    TStation st;
    const double seconds = st.run();
    EXPECT_LT(seconds, 4.0);
    EXPECT_EQ(st.messages, QStringList{QStringLiteral("Потеряна связь с ЦФН-ЛР")});
    EXPECT_EQ(st.status(), kError);
    EXPECT_EQ(st.form().runResultState(), 2);
    // The lines before the break were taken; no stream of empty lines after it.
    EXPECT_TRUE(st.journal().contains(QStringLiteral("serial number: 0123456789ABCDEF")));
    EXPECT_LT(st.raw().size(), 20);
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
}

TEST(TestRun, FloodWithoutLineEndsIsBoundedAndEndsTheRun)
{
    TStandIn unit(QStringLiteral("flood"));
    ASSERT_UNIT(unit);
    TStation st;
    const double seconds = st.run();
    EXPECT_LT(seconds, 10.0);
    ASSERT_EQ(st.messages.size(), 1);
    EXPECT_TRUE(st.messages.first().contains(QStringLiteral("слишком длинную строку")))
            << st.messages.first().toStdString();
    EXPECT_EQ(st.form().runResultState(), 2);
    EXPECT_EQ(st.journal().last(), QStringLiteral("serial number: 0123456789ABCDEF"));
    for (const QString& l : st.raw())
        EXPECT_LT(l.size(), 70000);
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
}

TEST(TestRun, SilenceOverTheTimeOutOnlyAddsAnEmptyLine)
{
    TStandIn unit(QStringLiteral("slow-lines"), {QStringLiteral("--gap"), QStringLiteral("5.6")});
    ASSERT_UNIT(unit);
    TStation st;
    st.run();
    EXPECT_EQ(st.journal(), PassedJournal());
    EXPECT_EQ(st.form().runResultState(), 1);
    // One more empty line than the report has: the 5 s time-out passed once.
    EXPECT_EQ(st.raw().count(QString()), 2);
}

TEST(TestRun, ClockSettingSendsTheStationTime)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_UNIT(unit);
    TStation st;
    st.now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
    st.form().CheckBox1->setChecked(true);
    st.run();
    EXPECT_EQ(st.form().runResultState(), 1);
    EXPECT_EQ(st.journal().first(), QStringLiteral("date: 02-01-2026 03:04:05"));
    ASSERT_TRUE(unit.waitForLog(QStringLiteral("telnet close")));
    EXPECT_EQ(unit.commands(),
              (QStringList{QStringLiteral("date -s 010203042026"), QStringLiteral("hwclock -w"),
                           QStringLiteral("tolvek"), QStringLiteral("exit")}));
    st.now = QDateTime(QDate(2026, 12, 8), QTime(23, 59, 0));
    st.run();
    EXPECT_TRUE(unit.waitForLog(QStringLiteral("telnet command date -s 120823592026")));
}

TEST(TestRun, EscapeSequencesInTheReport)
{
    {
        TStandIn unit(QStringLiteral("escapes"));
        ASSERT_UNIT(unit);
        TStation st;
        st.run();
        EXPECT_EQ(st.journal(), PassedJournal());
        EXPECT_EQ(st.form().runResultState(), 1);
        for (const QString& l : st.raw())
            EXPECT_FALSE(l.contains(QChar(0x1B))) << l.toStdString();
    }
    {
        // The failed line starts with an erase sequence ending in "K": cut off at the next
        // "m" it would lose its "<FAILED>" and the unit would pass.
        TStandIn unit(QStringLiteral("escapes,fail-test"));
        ASSERT_UNIT(unit);
        TStation st;
        st.run();
        EXPECT_TRUE(st.journal().contains(QStringLiteral("test RTC failed:no answer")));
        EXPECT_EQ(st.form().runResultState(), 2);
    }
}

TEST(TestRun, StrangeLineFailsTheRun)
{
    TStandIn unit(QStringLiteral("strange-line"));
    ASSERT_UNIT(unit);
    TStation st;
    st.run();
    EXPECT_EQ(st.messages, QStringList{QStringLiteral("Странный ответ ЦФН-ЛР")});
    EXPECT_EQ(st.form().runResultState(), 2);
    EXPECT_EQ(st.journal().last(), QStringLiteral("serial number: 0123456789ABCDEF"));
    EXPECT_TRUE(unit.waitForLog(QStringLiteral("telnet close without-exit")));
}

TEST(TestRun, ButtonsComeBackOnlyAfterTheFinalStatus)
{
    // At every event-processing point inside the run "Тестировать" and "Распечатать" stay
    // disabled, and a final caption is never shown with the previous run's result state:
    // a click queued during a frozen wait can neither nest a run nor print a stale verdict.
    for (const char* how : {"pass", "fail-test", "abort-at-end", "no-login-prompt"}) {
        SCOPED_TRACE(how);
        const bool abortAtEnd = QString::fromLatin1(how) == QStringLiteral("abort-at-end");
        TStandIn unit(abortAtEnd ? QStringLiteral("pass") : QString::fromLatin1(how));
        ASSERT_UNIT(unit);
        TStation st;
        bool inRun = false;
        int passes = 0;
        TEachPass probe([&] {
            if (!inRun)
                return false;
            ++passes;
            EXPECT_FALSE(st.form().BitBtn1->isEnabled())
                    << "pass " << passes << " " << st.status().toStdString();
            EXPECT_FALSE(st.form().BitBtn2->isEnabled()) << "pass " << passes;
            const int state = st.form().runResultState();
            if (st.status() == kPassed) {
                EXPECT_EQ(state, 1);
            } else if (st.status() == kAborted) {
                EXPECT_EQ(state, 3);
            } else if (st.status() == kError) {
                EXPECT_EQ(state, 2);
            }
            if (abortAtEnd && st.raw().size()
                && st.raw().last() == QStringLiteral("tests completed"))
                st.form().BitBtn3->click();
            return true;
        });
        QObject::connect(st.form().ListBox1->model(), &QAbstractItemModel::rowsInserted, &probe,
                         [&] {
                             if (st.raw().size() == 1)
                                 probe.start();
                         });
        if (QString::fromLatin1(how) == QStringLiteral("no-login-prompt"))
            probe.start(); // this run fails before any report line
        inRun = true;
        st.run();
        inRun = false;
        EXPECT_GT(passes, 1);
        EXPECT_EQ(st.form().runResultState(), abortAtEnd ? 3
                                              : QString::fromLatin1(how) == QStringLiteral("pass")
                                                      ? 1
                                                      : 2);
        QCoreApplication::processEvents();
    }
}

TEST(TestRun, SaveButtonIsDisabledWhenARunStarts)
{
    TStation st;
    {
        TStandIn unit(QStringLiteral("pass"));
        ASSERT_UNIT(unit);
        st.run();
        EXPECT_TRUE(st.form().Button1->isEnabled());
    }
    bool enabledDuringRun = true;
    QObject::connect(st.form().ListBox1->model(), &QAbstractItemModel::rowsInserted, &st.form(),
                     [&] { enabledDuringRun = st.form().Button1->isEnabled(); });
    TStandIn unit(QStringLiteral("fail-test"));
    ASSERT_UNIT(unit);
    st.run();
    EXPECT_FALSE(enabledDuringRun);
    EXPECT_EQ(st.form().runResultState(), 2);
    // The failed unit cannot be recorded with the passed unit's button.
    EXPECT_FALSE(st.form().Button1->isEnabled());
}

TEST(TestRun, ErrorsRaisedInsideTheRunTakeTheFailurePath)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_UNIT(unit);
    TStation st;
    int calls = 0;
    StationNowHook = [&]() -> QDateTime {
        if (++calls == 2)
            throw std::runtime_error("clock failure");
        return st.now;
    };
    st.form().CheckBox1->setChecked(true);
    st.run();
    EXPECT_EQ(st.messages, QStringList{QStringLiteral("clock failure")});
    EXPECT_TRUE(st.errorBoxes.isEmpty());
    EXPECT_EQ(st.form().runResultState(), 2);
    EXPECT_TRUE(st.form().BitBtn1->isEnabled());
    EXPECT_TRUE(st.form().BitBtn2->isEnabled());
    ASSERT_TRUE(unit.waitForLog(QStringLiteral("telnet close without-exit")));
    EXPECT_TRUE(unit.commands().isEmpty());
}

TEST(TestRun, PassedRunAgainstBusyboxTelnetd)
{
    QTemporaryDir dir;
    const QString log = dir.filePath("unit.log");
    qputenv("UNIT_LOG", log.toLocal8Bit());
    TPeer telnetd(QStringLiteral("busybox"),
                  {QStringLiteral("telnetd"), QStringLiteral("-F"), QStringLiteral("-b"),
                   QString::fromLatin1(kUnitAddress), QStringLiteral("-l"),
                   QStringLiteral(TOLVEK_SOURCE_DIR "/standin/busybox_unit.sh")},
                  QString());
    ASSERT_TRUE(telnetd.ok());
    TStation st;
    st.form().CheckBox1->setChecked(true);
    // The listener may need a moment after the process started.
    for (int i = 0; i < 20 && st.form().runResultState() != 1; ++i) {
        st.run();
        if (st.form().runResultState() != 1)
            QThread::msleep(100);
    }
    EXPECT_EQ(st.form().runResultState(), 1) << st.messages.join('|').toStdString();
    EXPECT_EQ(st.journal(),
              (QStringList{QStringLiteral("date: 08-12-2026 04:46:57"),
                           QStringLiteral("IP:192.168.1.178"),
                           QStringLiteral("serial number: BB0123456789"),
                           QStringLiteral("test RAM passed"), QStringLiteral("test flash passed"),
                           QStringLiteral("test RTC passed"), QStringLiteral("test eth passed")}));
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString got = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(got.contains(QStringLiteral(
            "login root\ncommand date -s 120804462026\ncommand hwclock -w\ncommand tolvek\n")))
            << got.toStdString();
}
