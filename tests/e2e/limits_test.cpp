// Limits on the measurements against the stand-in unit with its FTP paced like a slow port:
// `tolvek --run --limits` and the window's [Limits] section.
#include "unit_harness.h"

#include "app/controls.h"
#include "settings/form_storage.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace e2e;

namespace {

// The stand-in's FTP moves this many MiB/s both ways; a loaded machine only makes it slower.
const QString kRate = QStringLiteral("2");

struct TLimitedRun
{
    int exitCode = -1;
    QString out, err;
    QJsonObject json;
};

TLimitedRun RunWithLimits(const QByteArray& limits, QStringList args)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("limits.ini"));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(limits);
    file.close();
    if (!limits.isNull())
        args << "--limits" << file.fileName();
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
            QStringList{"--run", kUnitAddress, "--no-set-clock", "--json", dir.filePath("r.json")}
                    + args);
    TLimitedRun r;
    if (!p.waitForStarted(5000) || !p.waitForFinished(90000))
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    QFile record(dir.filePath("r.json"));
    if (record.open(QIODevice::ReadOnly))
        r.json = QJsonDocument::fromJson(record.readAll()).object();
    return r;
}

} // namespace

TEST(RunLimits, SlowPortAgainstItsLimits)
{
    struct Case
    {
        const char* name;
        QByteArray limits; // null: no --limits
        QStringList args;
        int exit;
        const char* line;    // a journal line starting so, or "" for none about limits
        const char* results; // "measurement=result ..." as the record keeps them
    };
    const Case cases[] = {
            {"below the low limit",
             "[Limits]\nupload_mib_s = 4..\ndownload_mib_s = 0.01..\n",
             {},
             1,
             "Скорость передачи файла на ЦФН-ЛР ",
             "upload_mib_s=failed download_mib_s=passed"},
            {"inside the marginal band",
             "[Limits]\nupload_mib_s = 0.01..\nupload_mib_s.marginal = 4..\n",
             {},
             0,
             "Скорость передачи файла на ЦФН-ЛР ",
             "upload_mib_s=marginal"},
            {"no limits", QByteArray(), {}, 0, "", ""},
            {"transfer off",
             "upload_mib_s = 4..\ndownload_mib_s = 4..\n",
             {"--no-ethernet"},
             0,
             "",
             ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStandIn unit(QStringLiteral("pass"), {"--ftp-rate", kRate});
        ASSERT_TRUE(unit.ok());
        const auto r = RunWithLimits(c.limits, c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
        EXPECT_EQ(r.json["verdict"].toString(), c.exit == 0 ? "passed" : "failed");
        EXPECT_EQ(r.json["failures"].toInt(), c.exit);
        EXPECT_TRUE(r.json["message"].isNull());
        QStringList limitLines;
        for (const auto& line : r.json["journal"].toArray())
            if (line.toString().contains("_mib_s)"))
                limitLines << line.toString();
        if (*c.line) {
            ASSERT_EQ(limitLines.size(), 1) << r.out.toStdString();
            EXPECT_TRUE(limitLines[0].startsWith(QString::fromUtf8(c.line)));
            EXPECT_TRUE(limitLines[0].endsWith(c.exit ? " ниже предела 4 МиБ/с (upload_mib_s)"
                                                      : " в пограничной полосе: ниже 4 МиБ/с "
                                                        "(upload_mib_s)"))
                    << limitLines[0].toStdString();
            // Shown as it is written, like the other failures.
            EXPECT_TRUE(r.out.contains(limitLines[0]));
        } else {
            EXPECT_TRUE(limitLines.isEmpty()) << limitLines.join('|').toStdString();
        }
        QStringList results;
        for (const auto& j : r.json["limits"].toArray())
            results << j.toObject()["measurement"].toString() + "="
                               + j.toObject()["result"].toString();
        EXPECT_EQ(results.join(' '), c.results);
        if (*c.results) {
            const auto first = r.json["limits"].toArray()[0].toObject();
            EXPECT_LE(first["value"].toDouble(), kRate.toDouble() * 1.05);
            EXPECT_EQ(first["value"].toDouble(),
                      r.json["measurements"].toObject()["upload_mib_s"].toDouble());
        } else {
            EXPECT_FALSE(r.json.contains("limits"));
        }
    }
}

TEST(RunLimits, BadFileIsRefusedBeforeTheUnitIsContacted)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    const auto bad = RunWithLimits("[Limits]\necho_ms = ..50\nupload_mbit = 8..\n", {});
    EXPECT_EQ(bad.exitCode, 64);
    EXPECT_TRUE(bad.err.contains("limits.ini, line 3: unknown measurement \"upload_mbit\""))
            << bad.err.toStdString();
    const auto missing = RunWithLimits(QByteArray(), {"--limits", "/nonexistent/limits.ini"});
    EXPECT_EQ(missing.exitCode, 64);
    EXPECT_TRUE(missing.err.contains("cannot read the limits file /nonexistent/limits.ini"));
    EXPECT_TRUE(bad.json.isEmpty() && missing.json.isEmpty());
    EXPECT_TRUE(unit.commands().isEmpty());
    EXPECT_FALSE(unit.log().join('\n').contains("connect"));
}

TEST(RunLimits, WindowReadsItsSettingsSectionAtEachPress)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    TStation station;
    station.form().LabeledEdit1->setText(kUnitAddress);
    const QString settings = station.form().FormStorage1->storeFileName();
    const auto write = [&](const QByteArray& text) {
        QFile f(settings);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };

    write("[TForm1]\nName_Text=x\n[Limits]\necho_ms = 50\n");
    station.run();
    EXPECT_EQ(station.status(), "Ошибка в пределах измерений");
    EXPECT_EQ(station.journal(), QStringList{"tolvek_e2e_tests.ini [Limits], line 4: not a range "
                                             "LOW..HIGH (either end may be empty, LOW not above "
                                             "HIGH): \"50\""});
    EXPECT_FALSE(unit.log().join('\n').contains("connect"));

    // Fixed: the next press runs and judges; the report step cannot take under 0 ms.
    write("[TForm1]\nName_Text=x\n[Limits]\nstep_ms.report = ..-1\necho_ms = ..60000\n");
    station.run();
    EXPECT_EQ(station.status(), "Тестирование завершено c ошибкой");
    EXPECT_TRUE(station.journal().last().startsWith("Длительность шага report "))
            << station.journal().join('|').toStdString();
    EXPECT_TRUE(station.journal().last().endsWith(" выше предела -1 мс (step_ms.report)"));
    ASSERT_EQ(station.form().lastRun().Judgements.size(), 2u);
    EXPECT_EQ(station.form().lastRun().Failures, 1);
    EXPECT_EQ(station.form().lastRun().Verdict, tolvek::TRunVerdict::Failed);
}
