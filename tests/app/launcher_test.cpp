#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// The desktop launcher must start the program in the operator's data folder, creating it,
// so records never land in "/" or the home folder.
TEST(Launcher, StartsTheStationInThePerUserDataFolder)
{
    QTemporaryDir tmp;
    const QString bin = tmp.filePath("bin");
    QDir().mkpath(bin);
    ASSERT_TRUE(
            QFile::copy(TOLVEK_SOURCE_DIR "/packaging/tolvek-station", bin + "/tolvek-station"));
    QFile fake(bin + "/tolvek");
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\npwd > \"$OUT\"\necho \"$@\" >> \"$OUT\"\n");
    fake.close();
    fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
    QFile(bin + "/tolvek-station")
            .setPermissions(QFile(bin + "/tolvek-station").permissions() | QFileDevice::ExeOwner);

    auto run = [&](const QString& xdgDataHome) {
        QProcessEnvironment env;
        env.insert("PATH", "/usr/bin:/bin");
        env.insert("HOME", tmp.filePath("home"));
        env.insert("OUT", tmp.filePath("out"));
        if (!xdgDataHome.isEmpty())
            env.insert("XDG_DATA_HOME", xdgDataHome);
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory("/");
        p.start(bin + "/tolvek-station", {"arg"});
        EXPECT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        QFile out(tmp.filePath("out"));
        EXPECT_TRUE(out.open(QIODevice::ReadOnly));
        return QString::fromUtf8(out.readAll());
    };
    EXPECT_EQ(run(""), tmp.filePath("home/.local/share/tolvek") + "\narg\n");
    EXPECT_EQ(run(tmp.filePath("data")), tmp.filePath("data/tolvek") + "\narg\n");
}
