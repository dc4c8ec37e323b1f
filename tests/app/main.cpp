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
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, store.path());
    return RUN_ALL_TESTS();
}
