#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>
#include <sys/resource.h>

#include "settings/form_storage.h"

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

// A window with the station's stored controls, under the station's names.
class TForm1 : public QWidget
{
    Q_OBJECT
public:
    explicit TForm1(const QString& store, const QStringList& props = DefaultProps())
    {
        for (int i = 1; i <= 5; ++i) {
            box[i] = new QCheckBox(this);
            box[i]->setObjectName(QStringLiteral("CheckBox%1").arg(i));
            box[i]->setChecked(i <= 2);
        }
        ip = new QLineEdit(QStringLiteral("192.168.1.178"), this);
        ip->setObjectName(QStringLiteral("LabeledEdit1"));
        name = new QLineEdit(QStringLiteral("Наладов"), this);
        name->setObjectName(QStringLiteral("Name"));
        storage = new TFormStorage(this);
        storage->setUseRegistry(true);
        storage->setIniFileName(store);
        storage->setStoredProps(props);
        storage->setErrorReport([this](const QString& t) { errors << t; });
        storage->OnSavePlacement = [this] { ++saves; };
        storage->Loaded();
    }
    ~TForm1() override { storage->FormDestroy(); }

    static QStringList DefaultProps()
    {
        return {"CheckBox1.Checked", "LabeledEdit1.Text", "CheckBox2.Checked", "CheckBox3.Checked",
                "Name.Text",         "CheckBox4.Checked", "CheckBox5.Checked"};
    }
    QString designState() const
    {
        QString s;
        for (int i = 1; i <= 5; ++i)
            s += box[i]->isChecked() ? '1' : '0';
        return s + '|' + ip->text() + '|' + name->text();
    }

    QCheckBox* box[6] = {};
    QLineEdit* ip;
    QLineEdit* name;
    TFormStorage* storage;
    QStringList errors;
    int saves = 0;
};

// Properties of the other kinds the store converts.
class TKinds : public QObject
{
    Q_OBJECT
public:
    enum Mode { mdOff, mdSlow, mdFast };
    Q_ENUM(Mode)
    enum Part { ptHead = 1, ptBody = 2, ptTail = 4 };
    Q_DECLARE_FLAGS(Parts, Part)
    Q_FLAG(Parts)
    Q_PROPERTY(int Count MEMBER count)
    Q_PROPERTY(Mode Speed MEMBER mode)
    Q_PROPERTY(Parts Pieces READ pieces WRITE setPieces)
    Q_PROPERTY(double Ratio MEMBER ratio)
    Q_PROPERTY(QChar Mark MEMBER mark)
    Q_PROPERTY(QStringList Lines MEMBER lines)
    Q_PROPERTY(QRect Area MEMBER area)

    Parts pieces() const { return parts; }
    void setPieces(Parts p) { parts = p; }

    int count = 5;
    Mode mode = mdSlow;
    Parts parts = ptHead;
    double ratio = 0.5;
    QChar mark = u'x';
    QStringList lines{"one"};
    QRect area{1, 2, 3, 4};
};
Q_DECLARE_OPERATORS_FOR_FLAGS(TKinds::Parts)

namespace {

const char* const kDesign = "11000|192.168.1.178|Наладов";

// Each test has its own store name, so no test sees another's file.
QString StoreName()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return QStringLiteral("store_%1").arg(QLatin1String(info->name()));
}

QString StorePath()
{
    TForm1 probe(StoreName());
    probe.storage->setActive(false);
    return probe.storage->storeFileName();
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(FormStorage, FirstStartKeepsDesignAndCloseWritesTheSevenValuesInOrder)
{
    const QString path = StorePath();
    QFile::remove(path);
    {
        TForm1 form(StoreName());
        form.show();
        EXPECT_TRUE(QFile::exists(path)) << "the store is made at the first show";
        EXPECT_EQ(form.designState(), kDesign);
        EXPECT_TRUE(form.storage->restored());
        EXPECT_TRUE(form.errors.isEmpty());
        EXPECT_TRUE(form.close());
        EXPECT_EQ(form.saves, 1);
    }
    EXPECT_EQ(ReadFile(path), "[TForm1]\n"
                              "FormVersion=\"0\"\n"
                              "CheckBox1_Checked=\"True\"\n"
                              "LabeledEdit1_Text=\"192.168.1.178\"\n"
                              "CheckBox2_Checked=\"True\"\n"
                              "CheckBox3_Checked=\"False\"\n"
                              "Name_Text=\"Наладов\"\n"
                              "CheckBox4_Checked=\"False\"\n"
                              "CheckBox5_Checked=\"False\"\n")
            << "closed without a destroy-time save on top";
    QSettings s(path, QSettings::IniFormat);
    EXPECT_EQ(s.value("TForm1/Name_Text").toString(), "Наладов");
}

TEST(FormStorage, RoundTripAcrossTwoStarts)
{
    QFile::remove(StorePath());
    {
        TForm1 first(StoreName());
        first.show();
        first.box[1]->setChecked(false);
        first.box[3]->setChecked(true);
        first.box[5]->setChecked(true);
        first.ip->setText("  10.0.0.7\t ");
        first.name->setText("Петров-Водкин, \"ст.\"");
        first.close();
    }
    TForm1 second(StoreName());
    EXPECT_EQ(second.designState(), kDesign) << "nothing is applied before the window is shown";
    second.show();
    EXPECT_EQ(second.designState(), "01101|10.0.0.7|Петров-Водкин, \"ст.\"");
    EXPECT_TRUE(second.errors.isEmpty());
}

TEST(FormStorage, NamesMatchInAnyLetterCaseAndKeepTheirSpelling)
{
    const QString path = StorePath();
    WriteFile(path, "[tform1]\nformversion=0\ncheckbox1_checked=FALSE\nCHECKBOX3_CHECKED=true\n"
                    "labelededit1_text=10.1.1.1\n");
    TForm1 form(StoreName(), {"checkbox1.CHECKED", "LabeledEdit1.Text", "CheckBox3.Checked"});
    form.show();
    EXPECT_EQ(form.designState(), "01100|10.1.1.1|Наладов");
    form.close();
    QSettings s(path, QSettings::IniFormat);
    EXPECT_EQ(s.childGroups(), QStringList({"tform1"}));
    EXPECT_EQ(s.allKeys().size(), 4) << s.allKeys().join(' ').toStdString();
    EXPECT_EQ(s.value("tform1/checkbox1_checked").toString(), "False");
    EXPECT_EQ(s.value("tform1/CHECKBOX3_CHECKED").toString(), "True");
}

// Hand-edited files: what is restored is what the close then writes over, and the next
// start restores what the operator typed; lines the station does not own stay as they are.
TEST(FormStorage, HandEditedStoreRestoresWhatItSavesAndKeepsForeignLines)
{
    struct Case
    {
        const char* file;
        const char* restored; // surname shown after the first start
        const char* kept;     // bytes still in the file after the close
    };
    const Case cases[] = {
            {"[TForm1]\nName_Text=Первый\n[TForm1]\nName_Text=Второй\n", "Первый",
             "[TForm1]\nName_Text=Второй\n"},
            {"[tform1]\nname_text=Первый\n\n[TForm1]\nName_Text=Второй\n", "Первый",
             "[TForm1]\nName_Text=Второй\n"},
            {"[TForm1]\nName_Text=Первый\nNAME_TEXT=Второй\r\n", "Первый", "NAME_TEXT=Второй\r\n"},
            {"[TForm1]\nName_Text=Петров, А.\n", "Петров, А.", "[TForm1]\n"},
            {"[TForm1]\nFormVersion=\"0\nName_Text=Петров\n", "Петров", "[TForm1]\n"},
            {"[Other]\nx=\xcd\xe0\xeb\r\n[TForm1]\nName_Text=\"Петров\"\n", "Петров",
             "[Other]\nx=\xcd\xe0\xeb\r\n"},
    };
    const QString path = StorePath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        WriteFile(path, c.file);
        {
            TForm1 form(StoreName());
            form.show();
            EXPECT_EQ(form.name->text(), QString::fromUtf8(c.restored));
            form.name->setText("Сидоров");
            form.close();
        }
        EXPECT_TRUE(ReadFile(path).contains(c.kept)) << ReadFile(path).toStdString();
        TForm1 next(StoreName());
        next.show();
        EXPECT_EQ(next.name->text(), "Сидоров");
        EXPECT_TRUE(next.errors.isEmpty());
    }
}

TEST(FormStorage, BrokenValuesLeaveTheirControlsAsDesigned)
{
    WriteFile(StorePath(), "[TForm1]\n"
                           "CheckBox1_Checked=yes\n"
                           "CheckBox2_Checked=\n"
                           "CheckBox3_Checked= True \n"
                           "Name_Text=\xcd\xe0\xeb\xe0\xe4\xee\xe2\n" // Windows-1251, not UTF-8
                           "CheckBox4_Checked=@Variant(\\0\\0\\0\\x1\\x1)\n"
                           "CheckBox5_Checked=tRUE\n");
    TForm1 form(StoreName());
    form.show();
    EXPECT_EQ(form.designState(), "11101|192.168.1.178|Наладов");
    EXPECT_TRUE(form.errors.isEmpty()) << "a bad value is passed over silently";
    EXPECT_TRUE(form.storage->restored());
}

TEST(FormStorage, VersionOfWrongTypeStopsTheRestoreAndTheSave)
{
    const QString path = StorePath();
    const QByteArray content = "[TForm1]\nFormVersion=\xcd\xe0\nName_Text=Петров\n"; // not UTF-8
    WriteFile(path, content);
    {
        TForm1 form(StoreName());
        form.show();
        EXPECT_EQ(form.designState(), kDesign);
        ASSERT_EQ(form.errors, QStringList({"Invalid data type for 'FormVersion'"}));
        EXPECT_FALSE(form.storage->restored());
        form.name->setText("Сидоров");
        form.close();
        EXPECT_EQ(form.saves, 0);
    }
    EXPECT_EQ(ReadFile(path), content) << "settings never loaded are never written over";
}

TEST(FormStorage, StoredVersionBelowTheComponentsIsNotApplied)
{
    const QString path = StorePath();
    WriteFile(path, "[TForm1]\nFormVersion=1\nName_Text=Петров\n");
    {
        TForm1 form(StoreName());
        form.storage->setVersion(2);
        form.show();
        EXPECT_EQ(form.name->text(), "Наладов");
        EXPECT_TRUE(form.storage->restored());
        form.close();
    }
    QSettings s(path, QSettings::IniFormat);
    EXPECT_EQ(s.value("TForm1/FormVersion").toString(), "2");
    EXPECT_EQ(s.value("TForm1/Name_Text").toString(), "Наладов");

    WriteFile(path, "[TForm1]\nFormVersion=not a number\nName_Text=Петров\n");
    TForm1 zero(StoreName());
    zero.show();
    EXPECT_EQ(zero.name->text(), "Петров") << "a version that is no number counts as 0";
}

TEST(FormStorage, DamagedStoreIsSetAsideAndReplaced)
{
    const QString path = StorePath();
    const QByteArray damaged = "[TForm1\nName_Text=Петров\n";
    WriteFile(path, damaged);
    {
        TForm1 form(StoreName());
        form.show();
        EXPECT_EQ(form.designState(), kDesign);
        ASSERT_EQ(form.errors.size(), 1);
        EXPECT_TRUE(form.errors.at(0).contains("damaged"));
        form.close();
        EXPECT_EQ(form.errors.size(), 1);
    }
    EXPECT_EQ(ReadFile(path + ".damaged"), damaged);
    TForm1 next(StoreName());
    next.show();
    EXPECT_TRUE(next.errors.isEmpty());
    QSettings s(path, QSettings::IniFormat);
    EXPECT_EQ(s.status(), QSettings::NoError);
    EXPECT_EQ(s.value("TForm1/Name_Text").toString(), "Наладов");
}

TEST(FormStorage, EmptyOrUnreadableStore)
{
    const QString path = StorePath();
    WriteFile(path, "");
    {
        TForm1 form(StoreName());
        form.show();
        EXPECT_EQ(form.designState(), kDesign);
        EXPECT_TRUE(form.errors.isEmpty());
        form.close();
        EXPECT_EQ(QSettings(path, QSettings::IniFormat).value("TForm1/FormVersion").toString(),
                  "0");
    }
    // A folder where the file should be: reported, design values kept, nothing written.
    QFile::remove(path);
    QDir().mkpath(path);
    {
        TForm1 form(StoreName());
        form.show();
        EXPECT_EQ(form.designState(), kDesign);
        EXPECT_EQ(form.errors.size(), 1);
        form.close();
        EXPECT_EQ(form.saves, 0);
    }
    QDir(path).removeRecursively();
}

TEST(FormStorage, FailedSaveKeepsThePreviousStore)
{
    const QString path = StorePath();
    QFile::remove(path);
    {
        TForm1 form(StoreName());
        form.show();
        form.close();
    }
    const QByteArray good = ReadFile(path);
    ASSERT_FALSE(good.isEmpty());

    // The file-size limit makes every write past 4 KiB fail halfway.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    {
        TForm1 form(StoreName());
        form.show();
        form.name->setText(QString(20000, QChar(u'ж')));
        rlimit small = old;
        small.rlim_cur = 4096;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        form.close();
        ASSERT_EQ(form.errors.size(), 1);
        EXPECT_TRUE(form.errors.at(0).startsWith("Failed to set data for"))
                << form.errors.at(0).toStdString();
        EXPECT_FALSE(form.storage->saved());
        form.storage->FormDestroy();
        EXPECT_EQ(form.errors.size(), 2) << "destruction tries the save once more";
        setrlimit(RLIMIT_FSIZE, &old);
        form.storage->setActive(false);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(ReadFile(path), good);
    const QStringList left =
            QFileInfo(path).dir().entryList({QFileInfo(path).fileName() + ".*"}, QDir::Files);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();

    // A store whose folder cannot exist.
    WriteFile(QFileInfo(path).absolutePath() + "/plainfile", "x");
    TForm1 form(StoreName() + "/../plainfile/sub");
    form.show();
    form.close();
    ASSERT_EQ(form.errors.size(), 2)
            << "the store cannot be made at the show nor written at the close";
    EXPECT_TRUE(form.errors.at(0).startsWith("Failed to set data for"));
    EXPECT_TRUE(form.errors.at(1).startsWith("Failed to set data for"));
}

TEST(FormStorage, StoredPropsResolveByNameAndFollowTheControls)
{
    QFile::remove(StorePath());
    TForm1 form(StoreName(), {" checkbox1 . Checked ", "Missing.Checked", ".Text", "Name.", "nodot",
                              "Name.NoSuchProperty", "CheckBox2.checked", "LabeledEdit1.Text"});
    EXPECT_EQ(form.storage->StoredProps(), QStringList({"CheckBox1.Checked", "Name.NoSuchProperty",
                                                        "CheckBox2.checked", "LabeledEdit1.Text"}));
    delete form.box[2];
    form.ip->setObjectName("IpEdit");
    form.show();
    form.close();
    EXPECT_EQ(form.storage->StoredProps(),
              QStringList({"CheckBox1.Checked", "Name.NoSuchProperty", "IpEdit.Text"}));
    QSettings s(StorePath(), QSettings::IniFormat);
    EXPECT_EQ(s.childKeys().size(), 0);
    s.beginGroup("TForm1");
    EXPECT_EQ(s.childKeys(), QStringList({"CheckBox1_Checked", "FormVersion", "IpEdit_Text"}));
}

TEST(FormStorage, SavesOnlyAfterARestoreAndOnceAtTheEnd)
{
    const QString path = StorePath();
    QFile::remove(path);
    {
        TForm1 form(StoreName());
        form.storage->SavePlacement();
        EXPECT_FALSE(QFile::exists(path)) << "nothing is written before a restore";
        form.show();
        form.hide();
        form.show();
        EXPECT_EQ(form.saves, 0);
        // Destroyed without a close: the destroy hook saves.
    }
    EXPECT_TRUE(QFile::exists(path));
    {
        TForm1 form(StoreName());
        form.show();
        form.close();
        EXPECT_EQ(form.saves, 1);
        form.show();
        form.storage->FormDestroy();
        EXPECT_EQ(form.saves, 1) << "only the first show restores, so nothing new is left to save";
    }
    {
        TForm1 form(StoreName());
        form.show();
        form.close();
        form.storage->FormDestroy();
        EXPECT_EQ(form.saves, 1) << "a save since the last restore is not repeated";
    }
    // A window that refuses to close stores nothing.
    struct Stubborn : TForm1
    {
        using TForm1::TForm1;
        void closeEvent(QCloseEvent* e) override { e->ignore(); }
    } stubborn(StoreName());
    stubborn.show();
    EXPECT_FALSE(stubborn.close());
    EXPECT_EQ(stubborn.saves, 0);
    stubborn.storage->setActive(false);
}

TEST(FormStorage, AWriteWhileTheStoreIsOpenForReadingKeepsTheRestOfTheFile)
{
    const QString path = StorePath();
    WriteFile(path, "[Other]\nkept=@Rect(1 2 3 4)\n[TForm1]\nName_Text=Петров\n");
    TForm1 form(StoreName());
    form.storage->OnRestorePlacement = [&] {
        form.storage->WriteString("TForm1", "Restored", "1");
    };
    form.show();
    form.storage->setActive(false);
    EXPECT_EQ(form.name->text(), "Петров");
    QSettings s(path, QSettings::IniFormat);
    EXPECT_EQ(s.value("Other/kept").toRect(), QRect(1, 2, 3, 4));
    EXPECT_EQ(s.value("TForm1/Name_Text").toString(), "Петров");
    EXPECT_EQ(s.value("TForm1/Restored").toString(), "1");
}

TEST(FormStorage, OtherPropertyKindsRoundTripAndBadTextKeepsValues)
{
    const QString path = StorePath();
    QFile::remove(path);
    const QStringList props{"Kinds1.Count", "Kinds1.Speed", "Kinds1.Pieces", "Kinds1.Ratio",
                            "Kinds1.Mark",  "Kinds1.Lines", "Kinds1.Area"};
    {
        TForm1 form(StoreName(), {});
        auto* k = new TKinds;
        k->setParent(&form);
        k->setObjectName("Kinds1");
        form.storage->setStoredProps(props);
        form.storage->Loaded();
        form.show();
        k->count = -42;
        k->mode = TKinds::mdFast;
        k->parts = TKinds::ptHead | TKinds::ptTail;
        k->ratio = 1.0 / 3.0;
        k->mark = u'ж'; // only its low byte is kept
        k->lines = QStringList{"a,b", "", "в"};
        form.close();
    }
    {
        QSettings s(path, QSettings::IniFormat);
        s.beginGroup("TForm1");
        EXPECT_EQ(s.value("Kinds1_Count").toString(), "-42");
        EXPECT_EQ(s.value("Kinds1_Speed").toString(), "mdFast");
        EXPECT_EQ(s.value("Kinds1_Pieces").toString(), "[ptHead,ptTail]");
        EXPECT_EQ(s.value("Kinds1_Ratio").toString(), "0.333333333333333");
        EXPECT_FALSE(s.contains("Kinds1_Area")) << "kinds without a text form are not stored";
        s.endGroup();
        EXPECT_EQ(s.value("TForm1.Kinds1_Lines/Count").toString(), "3");
        EXPECT_EQ(s.value("TForm1.Kinds1_Lines/Item2").toString(), "в");
    }
    auto restore = [&](TKinds*& k) {
        auto* form = new TForm1(StoreName(), {});
        k = new TKinds;
        k->setParent(form);
        k->setObjectName("Kinds1");
        form->storage->setStoredProps(props);
        form->storage->Loaded();
        form->show();
        form->storage->setActive(false);
        return std::unique_ptr<TForm1>(form);
    };
    TKinds* k = nullptr;
    {
        auto form = restore(k);
        EXPECT_EQ(k->count, -42);
        EXPECT_EQ(k->mode, TKinds::mdFast);
        EXPECT_EQ(k->parts, TKinds::ptHead | TKinds::ptTail);
        EXPECT_EQ(k->ratio, 0.333333333333333) << "15 significant digits";
        EXPECT_EQ(k->mark, QChar(0x36)); // low byte of U+0436
        EXPECT_EQ(k->lines, QStringList({"a,b", "", "в"}));
    }
    WriteFile(path, "[TForm1]\nKinds1_Count=12abc\nKinds1_Speed=MDOFF\nKinds1_Pieces=\"[ptBody, "
                    "nope ptTail]\"\n"
                    "Kinds1_Ratio=1,5\n");
    {
        auto form = restore(k);
        EXPECT_EQ(k->count, 5) << "a count that is no number keeps the design value";
        EXPECT_EQ(k->mode, TKinds::mdOff);
        EXPECT_EQ(k->parts, TKinds::ptBody | TKinds::ptTail);
        EXPECT_EQ(k->ratio, 0.5);
        EXPECT_EQ(k->lines, QStringList({"one"})) << "no stored list leaves the list";
    }
    WriteFile(path, "[TForm1]\nKinds1_Speed=mdNone\nKinds1_Ratio=2.5\n");
    {
        auto form = restore(k);
        EXPECT_EQ(k->mode, TKinds::mdSlow);
        EXPECT_EQ(k->ratio, 2.5);
    }
}

#include "form_storage_test.moc"
