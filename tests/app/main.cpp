// Window tests run offscreen with the per-user settings store in a temporary folder.
#include <gtest/gtest.h>

#include "app/seams.h"
#include <QSettings>
#include <QTemporaryDir>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TStationApplication app(argc, argv);
    QTemporaryDir store;
    // The run archive of the person running the tests stays out of it.
    qputenv("XDG_DATA_HOME", store.filePath("data").toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, store.path());
    return RUN_ALL_TESTS();
}
