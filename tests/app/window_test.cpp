#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QSettings>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPrinter>
#include <QPushButton>

#include "app/controls.h"
#include "app/main_window.h"
#include "app/seams.h"
#include "settings/form_storage.h"

namespace {

struct Hooks
{
    QStringList messages;
    QStringList errors;
    Hooks()
    {
        StationMessageHook = [this](const QString& t) { messages << t; };
        GeneralErrorBoxHook = [this](const QString& t) { errors << t; };
    }
    ~Hooks()
    {
        StationMessageHook = nullptr;
        GeneralErrorBoxHook = nullptr;
        StationPrintDialogHook = nullptr;
    }
};

// Settings store of this window, fresh for each test.
void FreshStore(TForm1& form)
{
    QFile::remove(form.FormStorage1->storeFileName());
}

} // namespace

TEST(Window, ControlsCarryTheirDesignValues)
{
    TForm1 form;
    EXPECT_EQ(form.objectName(), "Form1");
    EXPECT_EQ(form.windowTitle(), "Тестирование ЦФН-ЛР");
    EXPECT_EQ(form.size(), QSize(384, 508));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form.font().pixelSize(), 11);

    struct Row
    {
        QWidget* w;
        const char* name;
        QRect geometry;
        QString caption;
        QString hint;
        bool tooltip;
    };
    const Row rows[] = {
            {form.LabeledEdit1, "LabeledEdit1", {8, 20, 217, 21}, "192.168.1.178", "", false},
            {form.ListBox1, "ListBox1", {428, 136, 253, 273}, "", "", false},
            {form.ListBox2, "ListBox2", {8, 220, 369, 253}, "", "", false},
            {form.LabeledEdit2,
             "LabeledEdit2",
             {8, 164, 217, 21},
             "",
             "Серийный номер тестируемого блока",
             true},
            {form.CheckBox1,
             "CheckBox1",
             {8, 48, 173, 17},
             "Синхронизировать время",
             "Записать в тестируемый блок текущее время",
             true},
            {form.Panel1, "Panel1", {8, 480, 369, 25}, "Ожидание", "Текущая операция", true},
            {form.BitBtn1,
             "BitBtn1",
             {240, 20, 137, 25},
             "Тестировать",
             "Начать тестирование",
             true},
            {form.BitBtn2,
             "BitBtn2",
             {240, 160, 97, 25},
             "Распечатать",
             "Печать результатов теста",
             true},
            {form.Label1, "Label1", {8, 192, 43, 13}, "Журнал:", "", false},
            {form.CheckBox2,
             "CheckBox2",
             {8, 72, 177, 17},
             "Расширенный тест Ethernet",
             "Расширенный тест приема и передачи по Ethernet",
             true},
            {form.BitBtn3,
             "BitBtn3",
             {240, 48, 137, 25},
             "Прервать",
             "Прервать выполнение теста",
             true},
            {form.CheckBox3,
             "CheckBox3",
             {8, 96, 181, 17},
             "Тестировать TAMPER",
             "Учитывать результат теста тампера",
             false},
            {form.Button1,
             "Button1",
             {240, 128, 137, 25},
             "Сохранить результат",
             "Сохранить результат в файл",
             true},
            {form.Name, "Name", {240, 80, 137, 21}, "Наладов", "Фамилия наладчика", true},
            {form.BitBtn4, "BitBtn4", {340, 160, 35, 25}, "", "Настройка печати", true},
            {form.CheckBox4, "CheckBox4", {8, 120, 185, 17}, "Тестировать Vac", "", false},
            {form.CheckBox5, "CheckBox5", {240, 192, 125, 17}, "Узкая этикетка", "", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.w->objectName(), r.name);
        EXPECT_EQ(r.w->geometry(), r.geometry);
        QString caption;
        if (auto* b = qobject_cast<QAbstractButton*>(r.w))
            caption = b->text();
        else if (auto* e = qobject_cast<QLineEdit*>(r.w))
            caption = e->text();
        else if (auto* l = qobject_cast<QLabel*>(r.w))
            caption = l->text();
        EXPECT_EQ(caption, r.caption);
        EXPECT_EQ(r.w->property("hint").toString(), r.hint);
        EXPECT_EQ(r.w->toolTip(), r.tooltip ? r.hint : QString());
    }
    EXPECT_EQ(form.LabeledEdit1->EditLabel->text(), "IP адрес:");
    EXPECT_EQ(form.LabeledEdit1->EditLabel->geometry(), QRect(8, 4, 46, 13));
    EXPECT_EQ(form.LabeledEdit2->EditLabel->text(), "Серийный номер:");
    EXPECT_EQ(form.LabeledEdit2->EditLabel->geometry(), QRect(8, 148, 89, 13));
    EXPECT_TRUE(form.LabeledEdit2->isReadOnly());
    EXPECT_FALSE(form.LabeledEdit1->isReadOnly());
    EXPECT_FALSE(form.Button1->isEnabled());
    EXPECT_TRUE(form.BitBtn1->isEnabled() && form.BitBtn2->isEnabled() && form.BitBtn3->isEnabled()
                && form.BitBtn4->isEnabled());
    EXPECT_TRUE(form.CheckBox1->isChecked());
    EXPECT_TRUE(form.CheckBox2->isChecked());
    EXPECT_FALSE(form.CheckBox3->isChecked() || form.CheckBox4->isChecked()
                 || form.CheckBox5->isChecked());
    // The raw output list lies wholly outside the client area.
    EXPECT_GE(form.ListBox1->geometry().left(), form.width());
    EXPECT_FALSE(form.ListBox1->typeAhead());
    EXPECT_EQ(form.ListBox1->itemHeight(), 13);
    EXPECT_EQ(form.ListBox2->itemHeight(), 13);
    EXPECT_EQ(form.ListBox2->contextMenuPolicy(), Qt::CustomContextMenu);
    ASSERT_EQ(form.PopupMenu1->actions().size(), 1);
    EXPECT_EQ(form.PopupMenu1->actions().at(0), form.N1);
    EXPECT_EQ(form.N1->text(), "Очистить");
    EXPECT_EQ(form.runResultState(), 0);
    EXPECT_FALSE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 0);
    EXPECT_FALSE(form.abortFlag());
}

TEST(Window, TabOrderFollowsTheDesign)
{
    TForm1 form;
    const QWidget* expected[] = {
            form.LabeledEdit1, form.ListBox1, form.ListBox2,  form.LabeledEdit2, form.CheckBox1,
            form.BitBtn1,      form.BitBtn2,  form.CheckBox2, form.BitBtn3,      form.CheckBox3,
            form.Button1,      form.Name,     form.BitBtn4,   form.CheckBox4,    form.CheckBox5};
    // Walk the focus chain from the first control, skipping what takes no focus.
    QWidget* w = form.LabeledEdit1;
    for (const QWidget* want : expected) {
        ASSERT_EQ(w, want) << want->objectName().toStdString();
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || w == form.LabeledEdit1->EditLabel);
    }
}

TEST(Window, GlyphButtonsHaveNormalAndDisabledImages)
{
    TForm1 form;
    for (QPushButton* b : {form.BitBtn1, form.BitBtn2, form.BitBtn3, form.BitBtn4}) {
        SCOPED_TRACE(b->objectName().toStdString());
        const QImage normal = b->icon().pixmap(16, 16, QIcon::Normal).toImage();
        const QImage disabled = b->icon().pixmap(16, 16, QIcon::Disabled).toImage();
        EXPECT_EQ(normal.size(), QSize(16, 16));
        EXPECT_NE(normal, disabled);
    }
    EXPECT_TRUE(form.Button1->icon().isNull());
}

TEST(Window, StatusOperationsSetCaptionColourStateAndSaveButton)
{
    TForm1 form;
    const QColor start = form.Panel1->color();
    EXPECT_EQ(start, form.palette().color(QPalette::Button));

    form.ShowTesting();
    EXPECT_EQ(form.Panel1->caption(), "Идет тестирование...");
    EXPECT_EQ(form.Panel1->color(), QColor(255, 255, 0));
    EXPECT_EQ(form.runResultState(), 0);
    EXPECT_FALSE(form.Button1->isEnabled());

    form.ShowSuccess();
    EXPECT_EQ(form.Panel1->caption(), "Тестирование завершено успешно");
    EXPECT_EQ(form.Panel1->color(), QColor(0, 128, 0));
    EXPECT_EQ(form.runResultState(), 1);
    EXPECT_TRUE(form.Button1->isEnabled());

    form.ShowError();
    // Latin "c" between the words.
    EXPECT_EQ(form.Panel1->caption(), QString::fromUtf8("Тестирование завершено \x63 ошибкой"));
    EXPECT_EQ(form.Panel1->color(), QColor(255, 0, 0));
    EXPECT_EQ(form.runResultState(), 2);
    EXPECT_TRUE(form.Button1->isEnabled())
            << "a failed run after a passed one keeps the save button";

    form.ShowTesting();
    EXPECT_EQ(form.runResultState(), 2) << "testing leaves the last result";
    form.ShowAborted();
    EXPECT_EQ(form.Panel1->caption(), "Тестирование прервано");
    EXPECT_EQ(form.Panel1->color(), QColor(255, 0, 0));
    EXPECT_EQ(form.runResultState(), 3);
}

TEST(Window, StatusOperationsProcessPendingEvents)
{
    TForm1 form;
    int handled = 0;
    auto post = [&] {
        QMetaObject::invokeMethod(
                &form, [&] { ++handled; }, Qt::QueuedConnection);
    };
    post();
    form.ShowTesting();
    post();
    form.ShowSuccess();
    post();
    form.ShowError();
    post();
    form.ShowAborted();
    EXPECT_EQ(handled, 4);
    post();
    form.JournalAppend("x");
    EXPECT_EQ(handled, 4) << "appending to the journal processes no events";
}

TEST(Window, AbortFlagAndJournalClearing)
{
    Hooks hooks;
    TForm1 form;
    form.BitBtn3->click();
    EXPECT_TRUE(form.abortFlag());
    EXPECT_EQ(form.Panel1->caption(), "Ожидание");
    EXPECT_TRUE(form.BitBtn3->isEnabled());

    form.JournalAppend("date: 01");
    form.JournalAppend("IP:192.168.1.178");
    form.ListBox1->addItem("raw");
    form.LabeledEdit2->setText("0123456789ABCDEF");
    ASSERT_EQ(form.ListBox2->lines(), QStringList({"date: 01", "IP:192.168.1.178"}));
    EXPECT_EQ(form.ListBox2->currentRow(), -1) << "appending selects nothing";

    form.N1->trigger();
    EXPECT_EQ(form.ListBox2->count(), 0);
    EXPECT_EQ(form.ListBox1->count(), 1);
    EXPECT_EQ(form.LabeledEdit2->text(), "0123456789ABCDEF");
}

TEST(Window, PrintSetupRemembersCopiesOnlyWhenConfirmed)
{
    Hooks hooks;
    TForm1 form;
    int shown = 0;
    StationPrintDialogHook = [&](QPrinter&) {
        ++shown;
        return PrintDialogOutcome{false, 7};
    };
    form.BitBtn4->click();
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 0);

    StationPrintDialogHook = [&](QPrinter& printer) {
        ++shown;
        EXPECT_EQ(&printer, &StationPrinter());
        return PrintDialogOutcome{true, 3};
    };
    form.BitBtn4->click();
    EXPECT_EQ(shown, 2);
    EXPECT_TRUE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 3);

    StationPrintDialogHook = [&](QPrinter&) { return PrintDialogOutcome{false, 9}; };
    form.BitBtn4->click();
    EXPECT_TRUE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 3);

    form.FormCreate();
    EXPECT_FALSE(form.printSetupDone());
    EXPECT_EQ(form.runResultState(), 0);
}

TEST(Window, ExceptionInAHandlerGoesToTheGeneralErrorBox)
{
    Hooks hooks;
    TForm1 form;
    StationPrintDialogHook = [](QPrinter&) -> PrintDialogOutcome {
        throw std::runtime_error("Нет принтера");
    };
    form.BitBtn4->click();
    ASSERT_EQ(hooks.errors, QStringList({"Нет принтера."}));
    EXPECT_FALSE(form.printSetupDone());

    EXPECT_EQ(GeneralErrorText("Disk full"), "Disk full.");
    EXPECT_EQ(GeneralErrorText("Disk full."), "Disk full.");
    EXPECT_EQ(GeneralErrorText("Disk full!"), "Disk full!");
    EXPECT_EQ(GeneralErrorText("code -"), "code -");
    EXPECT_EQ(GeneralErrorText(""), "");
}

TEST(Window, CloseDuringAHandlerWaitsForItAndStoresSettingsAtOnce)
{
    Hooks hooks;
    TForm1 form;
    FreshStore(form);
    form.show();
    bool visibleAfterClose = false;
    QString storedMeanwhile;
    StationPrintDialogHook = [&](QPrinter&) {
        form.Name->setText("Петров");
        form.close(); // the operator closes the window while the handler runs
        visibleAfterClose = form.isVisible();
        QSettings s(form.FormStorage1->storeFileName(), QSettings::IniFormat);
        storedMeanwhile = s.value("TForm1/Name_Text").toString();
        return PrintDialogOutcome{false, 0};
    };
    form.BitBtn4->click();
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_EQ(storedMeanwhile, "Петров");
    EXPECT_FALSE(form.isVisible()) << "the window goes once the handler is back";
    EXPECT_TRUE(hooks.errors.isEmpty());
}

TEST(Window, OperatorSettingsSurviveARestartAndNothingElseDoes)
{
    Hooks hooks;
    {
        TForm1 first;
        FreshStore(first);
        first.show();
        first.LabeledEdit1->setText(" 192.168.1.50 ");
        first.Name->setText("Петров");
        first.CheckBox1->setChecked(false);
        first.CheckBox4->setChecked(true);
        first.CheckBox5->setChecked(true);
        first.LabeledEdit2->setText("0123456789ABCDEF");
        first.ShowSuccess();
        first.close();
    }
    TForm1 second;
    second.show();
    EXPECT_EQ(second.LabeledEdit1->text(), "192.168.1.50");
    EXPECT_EQ(second.Name->text(), "Петров");
    EXPECT_FALSE(second.CheckBox1->isChecked());
    EXPECT_TRUE(second.CheckBox2->isChecked());
    EXPECT_FALSE(second.CheckBox3->isChecked());
    EXPECT_TRUE(second.CheckBox4->isChecked());
    EXPECT_TRUE(second.CheckBox5->isChecked());
    EXPECT_EQ(second.LabeledEdit2->text(), "");
    EXPECT_EQ(second.runResultState(), 0);
    EXPECT_FALSE(second.Button1->isEnabled());
    EXPECT_EQ(second.Panel1->caption(), "Ожидание");
    EXPECT_TRUE(hooks.errors.isEmpty());
    EXPECT_TRUE(second.FormStorage1->storeFileName().endsWith("/tolvek_app_tests.ini"))
            << "the store is named after the program";
}

TEST(Window, RestoringFromMinimisedKeepsWhatTheOperatorChanged)
{
    Hooks hooks;
    TForm1 form;
    QFile store(form.FormStorage1->storeFileName());
    ASSERT_TRUE(store.open(QIODevice::WriteOnly | QIODevice::Truncate));
    store.write(
            "[TForm1]\nLabeledEdit1_Text=10.0.0.9\nName_Text=Петров\nCheckBox3_Checked=False\n");
    store.close();
    form.show();
    ASSERT_EQ(form.LabeledEdit1->text(), "10.0.0.9");
    form.LabeledEdit1->setText("10.0.0.50");
    form.Name->setText("Сидоров");
    form.CheckBox3->setChecked(true);
    int spontaneousShows = 0;
    struct Counter : QObject
    {
        int& n;
        explicit Counter(int& count)
            : n(count)
        {}
        bool eventFilter(QObject*, QEvent* e) override
        {
            n += e->type() == QEvent::Show && e->spontaneous();
            return false;
        }
    } counter(spontaneousShows);
    form.installEventFilter(&counter);
    form.showMinimized();
    form.showNormal();
    form.removeEventFilter(&counter);
    ASSERT_GT(spontaneousShows, 0) << "the window system's show on restore was not seen";
    EXPECT_EQ(form.LabeledEdit1->text(), "10.0.0.50");
    EXPECT_EQ(form.Name->text(), "Сидоров");
    EXPECT_TRUE(form.CheckBox3->isChecked());
    EXPECT_TRUE(hooks.errors.isEmpty());
}

TEST(Window, ExceptionFromAnyEventHandlerGoesToTheGeneralErrorBox)
{
    Hooks hooks;
    struct Thrower : QObject
    {
        bool event(QEvent* e) override
        {
            if (e->type() == QEvent::User)
                throw std::runtime_error("Ошибка записи");
            return QObject::event(e);
        }
    } thrower;
    QEvent ev(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &ev));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(hooks.errors, QStringList({"Ошибка записи.", "Ошибка записи."}));
}
