#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>

#include "settings/ini_text.h"

namespace {

// Each check reads through a fresh path: QSettings caches what it parsed per file.
QSettings::Status ReadBack(const QByteArray& content, const QString& key, QVariant& value)
{
    static int n = 0;
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f%1.ini").arg(++n));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    f.close();
    QSettings s(path, QSettings::IniFormat);
    value = s.value(key);
    return s.status();
}

} // namespace

TEST(IniText, ValuesAndKeysReadBackUnchangedHereAndThroughQSettings)
{
    const QString values[] = {"",
                              "plain",
                              "10.0.0.1,10.0.0.2",
                              "@Variant(\\0)",
                              "  outer blanks  ",
                              "quote \" and back\\slash",
                              "line\nbreak\rand\ttab",
                              QString("ctl") + QChar(1) + "abc" + QChar(0x7f) + "F",
                              "; not a comment # nor this = or that",
                              "Наладов Пётр"};
    const QString keys[] = {"Name_Text", "with space", "Ключ", "a%b", "dot.key"};
    for (const QString& key : keys)
        for (const QString& value : values) {
            SCOPED_TRACE((key + " = " + value).toStdString());
            TIniText text;
            text.setValue("TForm1", key, value);
            QVariant back;
            ASSERT_EQ(ReadBack(text.content(), "TForm1/" + key, back), QSettings::NoError);
            EXPECT_EQ(back.typeId(), QMetaType::QString);
            EXPECT_EQ(back.toString(), value);
            const TIniValue own = TIniText(text.content()).value("tform1", key.toUpper());
            EXPECT_TRUE(own.found && own.isText);
            EXPECT_EQ(own.text, value);
        }
}

TEST(IniText, EditsTouchOnlyTheirOwnLines)
{
    const QByteArray original = "; kept comment\r\n"
                                "[Other]\n"
                                "list=a, b\n"
                                "rect=@Rect(1 2 3 4)\n"
                                "\n"
                                "[tform1]\n"
                                "NAME_TEXT=old\n"
                                "Keep=1\n"
                                "\n"
                                "[TForm1.Lines]\n"
                                "Count=1\n";
    TIniText text(original);
    text.setValue("TForm1", "Name_Text", "new");
    text.setValue("TForm1", "FormVersion", "0");
    text.removeSection("TFORM1.LINES");
    text.setValue("Fresh", "k", "v");
    EXPECT_EQ(text.content(), "; kept comment\r\n"
                              "[Other]\n"
                              "list=a, b\n"
                              "rect=@Rect(1 2 3 4)\n"
                              "\n"
                              "[tform1]\n"
                              "NAME_TEXT=\"new\"\n"
                              "Keep=1\n"
                              "FormVersion=\"0\"\n"
                              "\n"
                              "[Fresh]\n"
                              "k=\"v\"\n");
    QVariant v;
    EXPECT_EQ(ReadBack(text.content(), "Other/rect", v), QSettings::NoError);
    EXPECT_EQ(v.toRect(), QRect(1, 2, 3, 4));
}

TEST(IniText, ReplaceFileContentIsAllOrNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/store.ini");
    EXPECT_EQ(ReplaceFileContent(path, "first\n"), "");
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                        | QFileDevice::ReadGroup);
    EXPECT_EQ(ReplaceFileContent(path, "second\n"), "");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "second\n");
    EXPECT_EQ(f.permissions()
                      & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther),
              QFileDevice::ReadGroup)
            << "the mode of the old file is kept";
    EXPECT_EQ(QDir(dir.filePath("sub")).entryList(QDir::Files), QStringList({"store.ini"}));
    // Replacing a folder fails and reports it; the folder is untouched and no temporary
    // file stays behind.
    QDir().mkpath(dir.filePath("sub/dir.ini/inner"));
    EXPECT_NE(ReplaceFileContent(dir.filePath("sub/dir.ini"), "x"), "");
    EXPECT_TRUE(QFileInfo(dir.filePath("sub/dir.ini/inner")).isDir());
    EXPECT_EQ(QDir(dir.filePath("sub")).entryList(QDir::Files), QStringList({"store.ini"}));
}
