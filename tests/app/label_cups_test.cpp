// The label through a real CUPS queue: our own cupsd with a cups-pdf printer, the
// label printed by the station in a child process that talks to that cupsd only,
// the barcode decoded from the PDF that cups-pdf wrote and every text line read back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPrinter>
#include <QTemporaryDir>

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/controls.h"
#include "app/label_layout.h"
#include "app/main_window.h"
#include "app/seams.h"
#include "barcode/decode_support.h"

namespace {

const char* kPpd = "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd";
const char* kBackend = "/usr/lib/cups/backend/cups-pdf";

bool WriteFile(const QString& path, const QString& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
}

// A cupsd of the test's own: configuration, spool and socket in a temporary folder.
class OwnCupsd
{
public:
    bool Start(QString& why)
    {
        if (!dir_.isValid()) {
            why = "no temporary folder";
            return false;
        }
        const QString d = dir_.path();
        // Filters run as lp: they need to reach the folders.
        ::chmod(d.toLocal8Bit().constData(), 0755);
        for (const char* sub : {"etc", "etc/ppd", "spool", "tmp", "cache", "state", "log"})
            QDir(d).mkpath(QString::fromLatin1(sub));
        ::chmod((d + "/etc").toLocal8Bit().constData(), 0755);
        if (struct passwd* lp = ::getpwnam("lp"))
            if (::chown((d + "/tmp").toLocal8Bit().constData(), 0, lp->pw_gid) != 0) {
                why = "cannot hand the temporary folder to lp";
                return false;
            }
        ::chmod((d + "/tmp").toLocal8Bit().constData(), 01770);
        socket_ = d + "/cups.sock";
        WriteFile(d + "/etc/cups-files.conf",
                  QStringLiteral("ServerRoot %1/etc\nRequestRoot %1/spool\nTempDir "
                                 "%1/tmp\nCacheDir %1/cache\n"
                                 "StateDir %1/state\nErrorLog %1/log/error_log\nAccessLog "
                                 "%1/log/access_log\n"
                                 "PageLog %1/log/page_log\nServerBin /usr/lib/cups\nDataDir "
                                 "/usr/share/cups\n")
                          .arg(d));
        WriteFile(d + "/etc/cupsd.conf",
                  QStringLiteral("Listen %1\nLogLevel info\nBrowsing No\nWebInterface No\n"
                                 "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                 "<Policy default>\n  <Limit All>\n    Order deny,allow\n  "
                                 "</Limit>\n</Policy>\n")
                          .arg(socket_));
        const QByteArray conf = (d + "/etc/cupsd.conf").toLocal8Bit();
        const QByteArray files = (d + "/etc/cups-files.conf").toLocal8Bit();
        const QByteArray log = (d + "/log/cupsd.out").toLocal8Bit();
        pid_ = ::fork();
        if (pid_ == 0) {
            FILE* out = std::freopen(log.constData(), "w", stdout);
            (void)out;
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            ::execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.constData(), "-s",
                    files.constData(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !QFile::exists(socket_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!QFile::exists(socket_)) {
            why = "cupsd did not start: "
                  + QString::fromStdString(
                          bctest::Run("cat " + bctest::Quote(log.toStdString())).out);
            return false;
        }
        return true;
    }
    ~OwnCupsd()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string Env() const { return "CUPS_SERVER=" + bctest::Quote(socket_.toStdString()) + " "; }
    std::string ErrorLog() const
    {
        return bctest::Run("tail -40 "
                           + bctest::Quote((dir_.path() + "/log/error_log").toStdString()))
                .out;
    }

private:
    QTemporaryDir dir_;
    QString socket_;
    pid_t pid_ = -1;
};

// Where cups-pdf puts the jobs of this user: "Out" of its configuration, ${HOME}/PDF by default.
QString CupsPdfOutDir()
{
    QString out = QStringLiteral("${HOME}/PDF");
    QFile conf(QStringLiteral("/etc/cups/cups-pdf.conf"));
    if (conf.open(QIODevice::ReadOnly))
        for (const QByteArray& line : conf.readAll().split('\n'))
            if (line.trimmed().startsWith("Out "))
                out = QString::fromUtf8(line.trimmed().mid(4)).trimmed();
    struct passwd* me = ::getpwuid(::geteuid());
    return out.replace(QStringLiteral("${HOME}"),
                       QString::fromLocal8Bit(me ? me->pw_dir : "/root"));
}

QStringList WaitForOutputs(const QString& dir, const QString& tag, int count)
{
    QStringList found;
    for (int i = 0; i < 600 && found.size() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        found = QDir(dir).entryList({QStringLiteral("*%1*.pdf").arg(tag)}, QDir::Files, QDir::Name);
    }
    for (QString& f : found)
        f = dir + "/" + f;
    return found;
}

TEST(LabelCups, PrintsThroughACupsPdfQueue)
{
    for (const char* tool : {"/usr/sbin/cupsd", "/usr/sbin/lpadmin", kBackend, kPpd})
        if (::access(tool, F_OK) != 0)
            GTEST_SKIP() << tool
                         << " is missing: cups and printer-driver-cups-pdf are installed by "
                            "scripts/install-deps";
    if (::geteuid() != 0)
        GTEST_SKIP() << "the cups-pdf backend runs only under a cupsd started as root";
    if (bctest::Run("command -v pdftoppm pdftotext zbarimg >/dev/null").status != 0)
        GTEST_SKIP() << "poppler-utils and zbar-tools are needed";

    OwnCupsd cupsd;
    QString why;
    if (!cupsd.Start(why))
        GTEST_SKIP() << "cupsd cannot run here: " << why.toStdString();
    auto added = bctest::Run(cupsd.Env() + "lpadmin -p tolvek-label -E -v cups-pdf:/ -P " + kPpd
                             + " 2>&1");
    ASSERT_EQ(added.status, 0) << added.out;

    // A serial of our own, so the outputs are told apart from any other job's.
    const QString serial = QStringLiteral("CUPS%1").arg(::getpid(), 12, 10, QLatin1Char('0'));
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    auto child = bctest::Run(cupsd.Env() + "TOLVEK_CUPS_QUEUE=tolvek-label TOLVEK_CUPS_SERIAL="
                             + serial.toStdString() + " " + bctest::Quote(self)
                             + " --gtest_filter=LabelCupsChild.PrintBothLayouts 2>&1");
    ASSERT_EQ(child.status, 0) << child.out;

    const QStringList outputs = WaitForOutputs(CupsPdfOutDir(), serial, 2);
    ASSERT_EQ(outputs.size(), 2) << "cups-pdf wrote nothing to " << CupsPdfOutDir().toStdString()
                                 << "\n"
                                 << cupsd.ErrorLog();
    const std::string wanted = serial.toStdString() + "-081226";
    // An archived label must be searchable: each line reads back as its text.
    LabelData data{QDateTime(QDate(2026, 12, 8), QTime(12, 0, 0)), QStringLiteral("Наладов"),
                   serial, QStringLiteral("192.168.1.178"), 0};
    const std::string lines = LabelLines(data).join('\n').toStdString() + "\n";
    for (const QString& pdf : outputs) {
        auto text = bctest::Run("pdftotext -layout " + bctest::Quote(pdf.toStdString())
                                + " - | sed -e 's/[ \\f]*$//' -e 's/^ *//' -e '/^$/d'");
        EXPECT_EQ(text.out, lines) << pdf.toStdString();
        const std::string base = (pdf + ".scan").toStdString();
        bctest::Run("pdftoppm -r 600 -gray -singlefile " + bctest::Quote(pdf.toStdString()) + " "
                    + bctest::Quote(base) + " 2>/dev/null");
        EXPECT_EQ(bctest::ZbarDecode({base + ".pgm"}), std::vector<std::string>{wanted})
                << pdf.toStdString();
        QFile::remove(QString::fromStdString(base + ".pgm"));
        QFile::remove(pdf);
    }
}

// Runs only as the child of the test above, with CUPS_SERVER pointing at its cupsd.
TEST(LabelCupsChild, PrintBothLayouts)
{
    const QString queue = qEnvironmentVariable("TOLVEK_CUPS_QUEUE");
    if (queue.isEmpty())
        GTEST_SKIP() << "started by LabelCups.PrintsThroughACupsPdfQueue with a cupsd of its own";
    QStringList messages;
    StationNowHook = [] { return QDateTime(QDate(2026, 12, 8), QTime(12, 0, 0)); };
    StationMessageHook = [&messages](const QString& t) { messages << t; };
    {
        TForm1 form;
        form.setPrintSetupDone(true);
        form.setPrintCopies(1);
        form.LabeledEdit2->setText(qEnvironmentVariable("TOLVEK_CUPS_SERIAL"));
        QPrinter& printer = StationPrinter();
        printer.setOutputFormat(QPrinter::NativeFormat);
        printer.setPrinterName(queue);
        ASSERT_EQ(printer.printerName(), queue);
        ASSERT_TRUE(printer.isValid());
        form.CheckBox5->setChecked(false);
        form.BitBtn2Click();
        form.CheckBox5->setChecked(true);
        form.BitBtn2Click();
    }
    StationNowHook = nullptr;
    StationMessageHook = nullptr;
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

} // namespace
