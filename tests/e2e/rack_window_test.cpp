// The rack window with four slots, each its own port (veth pairs slot1…slot4 in the test's
// namespace) to a stand-in unit at 192.168.1.178 in a namespace of its own. What each
// scenario checks is what a person sees: the tiles' texts and their colour in a screenshot.
#include "support/slot_network.h"
#include "unit_harness.h"

#include "app/controls.h"
#include "app/rack_slot.h"
#include "app/rack_window.h"
#include "app/seams.h"

#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPrinter>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

using namespace e2e;

namespace {

constexpr int kSlots = 4;

// The rack's four ports and units; a slot's telnet sessions are the unit's closed ones.
class TRackNetwork : public testsupport::TSlotNetwork
{
public:
    TRackNetwork()
        : TSlotNetwork(kSlots)
    {}
    int Sessions(int slot) const { return UnitEvents(slot, QStringLiteral("telnet close")); }
};

tolvek::TRackFile Rack(bool autoStart, bool label)
{
    QString text = QStringLiteral("[Rack]\nAutoStart=%1\nLabel=%2\nMaxTime=120\n")
                           .arg(autoStart ? "True" : "False", label ? "True" : "False");
    for (int s = 1; s <= kSlots; ++s)
        text += QStringLiteral("[Гнездо %1]\nInterface=slot%1\nSetClock=False\nEthernet=%2\n"
                               "Tamper=True\n")
                        .arg(s)
                        .arg(s == 1 ? "True" : "False");
    const auto parsed = tolvek::ParseRackFile(text.toStdString());
    EXPECT_TRUE(parsed.Rack) << parsed.Error;
    return *parsed.Rack;
}

// A tile as a person reads it: the colour of its status panel in a screenshot, the
// caption, the serial number and the message.
QString Seen(TRackWindow& window, int slot)
{
    const QImage shot = window.grab().toImage();
    TSlotTile* tile = window.Tiles[static_cast<size_t>(slot - 1)];
    // Left of the centred caption, clear of the frame.
    const QPoint clear(6, tile->Status->height() / 2);
    const QColor c = shot.pixelColor(tile->Status->mapTo(&window, clear) * shot.devicePixelRatio());
    const char* colour = c == QColor(255, 255, 0)                                         ? "yellow"
                         : c == QColor(0, 128, 0)                                         ? "green"
                         : c == QColor(255, 0, 0)                                         ? "red"
                         : c.red() == c.green() && c.green() == c.blue() && c.red() > 100 ? "grey"
                                                                                          : nullptr;
    QString text = (colour ? QString::fromLatin1(colour) : c.name()) + " | "
                   + tile->Status->caption() + " | "
                   + tile->Serial->text().section(QStringLiteral(": "), 1);
    if (!tile->Message->text().isEmpty())
        text += " | " + tile->Message->text();
    return text;
}

QStringList SeenAll(TRackWindow& window)
{
    QStringList all;
    for (int s = 1; s <= kSlots; ++s)
        all << Seen(window, s);
    return all;
}

// Processes the window's events until `done` holds; false past ms.
bool WaitFor(const std::function<bool()>& done, int ms = 60000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

bool Idle(TRackWindow& w)
{
    return std::ranges::none_of(w.Runs, [](TSlotRun* r) { return r->Running(); });
}

bool InReport(TRackWindow& w, int slot)
{
    return w.Tiles[static_cast<size_t>(slot - 1)]->Step->text().startsWith("Самотестирование");
}

bool Gone(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

QString Passed(int slot)
{
    return "green | Тестирование завершено успешно | " + TRackNetwork::Serial(slot);
}

QString Waiting()
{
    return QStringLiteral("grey | Ожидание | ");
}

void SaveShot(TRackWindow& window, const char* name)
{
    QDir().mkpath(TOLVEK_BINARY_DIR "/test-artefacts/rack");
    window.grab().save(QStringLiteral(TOLVEK_BINARY_DIR "/test-artefacts/rack/%1.png").arg(name));
}

const QStringList kHang{"--gap", "60"};

} // namespace

TEST(RackWindow, Scenarios)
{
    struct Case
    {
        const char* name;
        bool autoStart;
        std::vector<std::pair<const char*, QStringList>> units; // per slot
        std::function<void(TRackWindow&, TRackNetwork&)> act;
        QStringList seen; // the four tiles at the end
    };
    const Case cases[] = {
            {"start-all: each tile its own unit and verdict, labels for the passed",
             false,
             {{"pass", {}}, {"fail-test", {}}, {"tamper-fail", {}}, {"pass", {}}},
             [](TRackWindow& w, TRackNetwork&) {
                 EXPECT_EQ(SeenAll(w), QStringList(kSlots, Waiting()));
                 w.StartAll->click();
                 ASSERT_TRUE(WaitFor([&] { return !Idle(w); }));
                 EXPECT_TRUE(Seen(w, 1).startsWith("yellow | Идет тестирование..."));
                 ASSERT_TRUE(WaitFor([&] { return Idle(w); }));
                 SaveShot(w, "start-all");
                 // A click on a tile opens its journal as the station window shows it.
                 QTest::mouseClick(w.Tiles[0]->Serial, Qt::LeftButton);
                 auto* journal = w.Tiles[0]->findChild<TListBox*>();
                 ASSERT_NE(journal, nullptr);
                 const QStringList lines = journal->lines();
                 EXPECT_EQ(lines.value(0), "гнездо: Гнездо 1");
                 EXPECT_TRUE(lines.contains("serial number: SLOT01SN"));
                 EXPECT_TRUE(lines.contains("test file transfer passed"));
                 EXPECT_EQ(lines.last(), "этикетка напечатана: SLOT01SN");
                 EXPECT_FALSE(w.Runs[1]->Journal().join('|').contains("этикетка"));
             },
             {Passed(1),
              "red | Тестирование завершено c ошибкой | SLOT02SN | test RTC failed:no answer",
              "red | Тестирование завершено c ошибкой | SLOT03SN | test TAMPER failed:open",
              Passed(4)}},
            {"a unit plugged in starts by itself, once, and its tile clears when pulled out",
             true,
             {{"pass", {}}, {"pass", {}}, {"pass", {}}, {"pass", {}}},
             [](TRackWindow& w, TRackNetwork& net) {
                 ASSERT_TRUE(WaitFor([&] { return Seen(w, 1) == Passed(1) && Idle(w); }));
                 EXPECT_EQ(Seen(w, 2), Waiting());
                 net.Plug(2, true);
                 ASSERT_TRUE(WaitFor([&] { return Seen(w, 2) == Passed(2); }));
                 // Left in its slot, a unit answers on and is not tested again.
                 QElapsedTimer t;
                 t.start();
                 WaitFor([&] { return t.elapsed() > 4000; });
                 EXPECT_EQ(net.Sessions(1), 1);
                 EXPECT_EQ(net.Sessions(2), 1);
                 EXPECT_EQ(Seen(w, 2), Passed(2));
                 net.Plug(2, false);
                 ASSERT_TRUE(WaitFor([&] { return Seen(w, 2) == Waiting(); }, 20000));
             },
             {Passed(1), Waiting(), Passed(3), Passed(4)}},
            {"a hanging unit aborted from its tile while the others finish",
             false,
             {{"pass", {}}, {"pass", {}}, {"slow-lines", kHang}, {"pass", {}}},
             [](TRackWindow& w, TRackNetwork&) {
                 w.StartAll->click();
                 ASSERT_TRUE(WaitFor([&] { return InReport(w, 3); }));
                 const qint64 pid = w.Runs[2]->ChildPid();
                 w.Tiles[2]->AbortButton->click();
                 ASSERT_TRUE(WaitFor([&] { return Idle(w); }));
                 // The tile shows the verdict the child sent; the child ends just after it.
                 EXPECT_TRUE(WaitFor([&] { return Gone(pid); }, 15000));
             },
             {Passed(1), Passed(2), "red | Тестирование прервано | SLOT03SN", Passed(4)}},
            {"a child killed shows a station fault on its tile only, and starts again",
             false,
             {{"pass", {}}, {"slow-lines", kHang}, {"pass", {}}, {"pass", {}}},
             [](TRackWindow& w, TRackNetwork&) {
                 w.StartAll->click();
                 ASSERT_TRUE(WaitFor([&] { return InReport(w, 2); }));
                 ::kill(static_cast<pid_t>(w.Runs[1]->ChildPid()), SIGKILL);
                 ASSERT_TRUE(WaitFor([&] { return Idle(w); }));
                 SaveShot(w, "station-fault");
                 EXPECT_EQ(Seen(w, 2), "grey | Сбой станции | SLOT02SN | Сбой станции: процесс "
                                       "гнезда завершился по сигналу");
                 w.Tiles[1]->StartButton->click();
                 EXPECT_TRUE(Seen(w, 2).startsWith("yellow | Идет тестирование..."));
                 ASSERT_TRUE(WaitFor([&] { return InReport(w, 2); }));
                 w.Tiles[1]->AbortButton->click();
                 ASSERT_TRUE(WaitFor([&] { return Idle(w); }));
             },
             {Passed(1), "red | Тестирование прервано | SLOT02SN", Passed(3), Passed(4)}},
    };
    QTemporaryDir dir;
    StationPrinter().setOutputFormat(QPrinter::PdfFormat);
    StationPrinter().setOutputFileName(dir.filePath("label.pdf"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRackNetwork net;
        ASSERT_TRUE(net.ok());
        for (int s = 1; s <= kSlots; ++s) {
            const auto& [scenario, extra] = c.units[static_cast<size_t>(s - 1)];
            ASSERT_TRUE(net.StartUnit(s, QString::fromLatin1(scenario), extra));
        }
        if (c.autoStart)
            net.Plug(2, false);
        TRackWindow window(Rack(c.autoStart, true),
                           QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"));
        window.resize(900, 480);
        window.show();
        c.act(window, net);
        EXPECT_TRUE(WaitFor([&] { return SeenAll(window) == c.seen; }, 10000))
                << SeenAll(window).join('\n').toStdString();
    }
    EXPECT_TRUE(QFile::exists(dir.filePath("label.pdf")));
}

// Closing the window ends every child run at once, whatever its unit is doing.
TEST(RackWindow, ClosingEndsEveryChild)
{
    TRackNetwork net;
    ASSERT_TRUE(net.ok());
    for (int s = 1; s <= kSlots; ++s)
        ASSERT_TRUE(net.StartUnit(s, QStringLiteral("slow-lines"), kHang));
    std::vector<qint64> pids;
    {
        TRackWindow window(Rack(false, false), QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"));
        window.show();
        window.StartAll->click();
        ASSERT_TRUE(WaitFor([&] {
            return InReport(window, 1) && InReport(window, 2) && InReport(window, 3)
                   && InReport(window, 4);
        }));
        for (TSlotRun* run : window.Runs)
            pids.push_back(run->ChildPid());
        window.close();
    }
    for (const qint64 pid : pids)
        EXPECT_TRUE(Gone(pid)) << pid;
}

// A rack file with a mistake is refused before any window: no display is needed to hear it.
// Without a display no window opens, the rack's or the station's.
TEST(RackWindow, BadRackFileRefusedBeforeTheWindow)
{
    QTemporaryDir dir;
    QFile f(dir.filePath("rack.ini"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Гнездо 1]\nInterface=slot1\nTamper=maybe\n");
    f.close();
    QFile good(dir.filePath("good.ini"));
    ASSERT_TRUE(good.open(QIODevice::WriteOnly));
    good.write("[Гнездо 1]\nInterface=slot1\n");
    good.close();
    struct Case
    {
        QStringList args;
        int exit;
        QString error;
    };
    const Case cases[] = {
            {{"--rack", f.fileName()}, 65, "line 3: Tamper= takes True or False, not \"maybe\""},
            {{"--rack", dir.filePath("none.ini")}, 66, "cannot read the rack file"},
            {{"--rack", f.fileName(), "--run"}, 64, "--rack takes one rack file"},
            // A good rack file, or the station window: neither opens without a display.
            {{"--rack", good.fileName()}, 69, "the station window needs a display"},
            {{}, 69, "the station window needs a display"},
    };
    for (const Case& c : cases) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("QT_QPA_PLATFORM", "xcb");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"), c.args);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), c.exit);
        EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains(c.error));
    }
}
