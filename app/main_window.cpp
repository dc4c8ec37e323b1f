#include "app/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>

#include "app/controls.h"
#include "app/glyphs.h"
#include "app/seams.h"
#include "settings/form_storage.h"

namespace {

// Hint text of a control; only controls whose tooltip is switched on show it.
void SetHint(QWidget* w, const QString& hint, bool shown = true)
{
    w->setProperty("hint", hint);
    if (shown)
        w->setToolTip(hint);
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QRect& r, const QString& caption,
                        bool checked)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(r);
    box->setChecked(checked);
    return box;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& r, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(r);
    button->setAutoDefault(false);
    return button;
}

QPushButton* MakeGlyphButton(QWidget* parent, const char* name, const QRect& r,
                             const QString& caption, TGlyph glyph)
{
    QPushButton* button = MakeButton(parent, name, r, caption);
    button->setIcon(GlyphIcon(glyph));
    button->setIconSize(QSize(16, 16));
    return button;
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(StationTitle());
    // A fixed dialog frame: close box only, no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(384, 508);
    setBackgroundRole(QPalette::Button);
    setForegroundRole(QPalette::WindowText);
    setAutoFillBackground(true);
    // The design font; where it is missing Qt substitutes a sans serif of the same size.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);

    BuildControls();
    ConnectHandlers();
    FormStorage1->Loaded();
    FormCreate();
    StartArchive();
}

TForm1::~TForm1()
{
    // Settings not saved by a close are saved now, while the controls still exist.
    FormStorage1->FormDestroy();
}

void TForm1::BuildControls()
{
    LabeledEdit1 = new TLabeledEdit(this, QStringLiteral("LabeledEdit1"));
    LabeledEdit1->place(8, 20, 217, 21, 46);
    LabeledEdit1->EditLabel->setText(QStringLiteral("IP адрес:"));
    LabeledEdit1->setText(QStringLiteral("192.168.1.178"));

    ListBox1 = new TListBox(this, QStringLiteral("ListBox1"), 13);
    ListBox1->setGeometry(428, 136, 253, 273);
    ListBox1->setTypeAhead(false);

    ListBox2 = new TListBox(this, QStringLiteral("ListBox2"), 13);
    ListBox2->setGeometry(8, 220, 369, 253);

    LabeledEdit2 = new TLabeledEdit(this, QStringLiteral("LabeledEdit2"));
    LabeledEdit2->place(8, 164, 217, 21, 89);
    LabeledEdit2->EditLabel->setText(QStringLiteral("Серийный номер:"));
    LabeledEdit2->setReadOnly(true);
    SetHint(LabeledEdit2, QStringLiteral("Серийный номер тестируемого блока"));

    CheckBox1 = MakeCheckBox(this, "CheckBox1", {8, 48, 173, 17},
                             QStringLiteral("Синхронизировать время"), true);
    SetHint(CheckBox1, QStringLiteral("Записать в тестируемый блок текущее время"));

    Panel1 = new TPanel(this, QStringLiteral("Panel1"));
    Panel1->setGeometry(8, 480, 369, 25);
    Panel1->setCaption(QStringLiteral("Ожидание"));
    SetHint(Panel1, QStringLiteral("Текущая операция"));

    BitBtn1 = MakeGlyphButton(this, "BitBtn1", {240, 20, 137, 25}, QStringLiteral("Тестировать"),
                              TGlyph::Start);
    SetHint(BitBtn1, QStringLiteral("Начать тестирование"));

    BitBtn2 = MakeGlyphButton(this, "BitBtn2", {240, 160, 97, 25}, QStringLiteral("Распечатать"),
                              TGlyph::Printer);
    SetHint(BitBtn2, QStringLiteral("Печать результатов теста"));

    Label1 = new QLabel(QStringLiteral("Журнал:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 192, 43, 13);

    FormStorage1 = new TFormStorage(this);
    FormStorage1->setUseRegistry(true);
    FormStorage1->setStoredProps(
            {QStringLiteral("CheckBox1.Checked"), QStringLiteral("LabeledEdit1.Text"),
             QStringLiteral("CheckBox2.Checked"), QStringLiteral("CheckBox3.Checked"),
             QStringLiteral("Name.Text"), QStringLiteral("CheckBox4.Checked"),
             QStringLiteral("CheckBox5.Checked")});
    FormStorage1->setErrorReport([](const QString& text) { GeneralErrorBox(text); });

    CheckBox2 = MakeCheckBox(this, "CheckBox2", {8, 72, 177, 17},
                             QStringLiteral("Расширенный тест Ethernet"), true);
    SetHint(CheckBox2, QStringLiteral("Расширенный тест приема и передачи по Ethernet"));

    BitBtn3 = MakeGlyphButton(this, "BitBtn3", {240, 48, 137, 25}, QStringLiteral("Прервать"),
                              TGlyph::Abort);
    SetHint(BitBtn3, QStringLiteral("Прервать выполнение теста"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    N1 = PopupMenu1->addAction(QStringLiteral("Очистить"));
    N1->setObjectName(QStringLiteral("N1"));
    ListBox2->setContextMenuPolicy(Qt::CustomContextMenu);

    CheckBox3 = MakeCheckBox(this, "CheckBox3", {8, 96, 181, 17},
                             QStringLiteral("Тестировать TAMPER"), false);
    // The hint is kept but this box shows no tooltip.
    SetHint(CheckBox3, QStringLiteral("Учитывать результат теста тампера"), false);

    Button1 =
            MakeButton(this, "Button1", {240, 128, 137, 25}, QStringLiteral("Сохранить результат"));
    Button1->setEnabled(false);
    SetHint(Button1, QStringLiteral("Сохранить результат в файл"));

    Name = new QLineEdit(QStringLiteral("Наладов"), this);
    Name->setObjectName(QStringLiteral("Name"));
    Name->setGeometry(240, 80, 137, 21);
    SetHint(Name, QStringLiteral("Фамилия наладчика"));

    BitBtn4 = MakeGlyphButton(this, "BitBtn4", {340, 160, 35, 25}, QString(), TGlyph::Tools);
    SetHint(BitBtn4, QStringLiteral("Настройка печати"));

    CheckBox4 = MakeCheckBox(this, "CheckBox4", {8, 120, 185, 17},
                             QStringLiteral("Тестировать Vac"), false);
    CheckBox5 = MakeCheckBox(this, "CheckBox5", {240, 192, 125, 17},
                             QStringLiteral("Узкая этикетка"), false);

    const QWidget* order[] = {LabeledEdit1, ListBox1, ListBox2,  LabeledEdit2, CheckBox1, Panel1,
                              BitBtn1,      BitBtn2,  CheckBox2, BitBtn3,      CheckBox3, Button1,
                              Name,         BitBtn4,  CheckBox4, CheckBox5};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
}

// Every handler runs guarded, and a close asked for while one runs waits for it to end.
template<class F>
void TForm1::RunHandler(F handler)
{
    ++handlerDepth_;
    GuardHandler(handler);
    --handlerDepth_;
    if (handlerDepth_ == 0 && closePending_) {
        closePending_ = false;
        hide();
        QCoreApplication::exit(0);
    }
}

void TForm1::ConnectHandlers()
{
    connect(BitBtn1, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn2Click(); }); });
    connect(BitBtn3, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn3Click(); }); });
    connect(BitBtn4, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn4Click(); }); });
    connect(Button1, &QPushButton::clicked, this,
            [this] { RunHandler([this] { Button1Click(); }); });
    connect(N1, &QAction::triggered, this, [this] { RunHandler([this] { N1Click(); }); });
    connect(ListBox2, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupMenu1->popup(ListBox2->viewport()->mapToGlobal(pos));
    });
}

void TForm1::FormCreate()
{
    runResultState_ = 0;
    printSetupDone_ = false;
}

void TForm1::SetStatus(const QString& caption, const QColor& colour)
{
    Panel1->setCaption(caption);
    Panel1->setColor(colour);
}

void TForm1::ShowTesting()
{
    SetStatus(QStringLiteral("Идет тестирование..."), QColor(255, 255, 0));
    ProcessRunEvents(true);
}

void TForm1::ShowSuccess()
{
    SetStatus(QStringLiteral("Тестирование завершено успешно"), QColor(0, 128, 0));
    Button1->setEnabled(true);
    // Set before events are processed: a handler that runs there sees this outcome.
    runResultState_ = 1;
    ProcessRunEvents(true);
}

void TForm1::ShowError()
{
    // The "c" before "ошибкой" is the Latin letter, as on the station's screens.
    SetStatus(QStringLiteral("Тестирование завершено c ошибкой"), QColor(255, 0, 0));
    runResultState_ = 2;
    ProcessRunEvents(true);
}

void TForm1::ShowAborted()
{
    SetStatus(QStringLiteral("Тестирование прервано"), QColor(255, 0, 0));
    runResultState_ = 3;
    ProcessRunEvents(true);
}

void TForm1::ShowLimitsRefused(const QString& message)
{
    SetStatus(QStringLiteral("Ошибка в пределах измерений"), QColor(255, 0, 0));
    ListBox2->clear();
    JournalAppend(message);
    ProcessRunEvents(true);
}

void TForm1::JournalAppend(const QString& line)
{
    ListBox2->addItem(line);
}

void TForm1::ProcessRunEvents(bool statusChanged)
{
    ListBox2->layoutNow(statusChanged);
    QCoreApplication::processEvents();
}

void TForm1::BitBtn3Click()
{
    abortFlag_ = true;
}

void TForm1::N1Click()
{
    ListBox2->clear();
}

void TForm1::BitBtn4Click()
{
    const PrintDialogOutcome outcome = StationPrintDialog(this);
    if (outcome.accepted) {
        printCopies_ = outcome.copies;
        printSetupDone_ = true;
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (handlerDepth_ > 0) {
        // A run is processing events: keep the window working, store the settings now
        // and end the program once the run is back in the event loop.
        try {
            FormStorage1->SavePlacement();
        } catch (const std::exception& e) {
            GeneralErrorBox(QString::fromUtf8(e.what()));
        }
        closePending_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

void TForm1::showEvent(QShowEvent* event)
{
    if (!shownOnce_) {
        shownOnce_ = true;
        if (const QScreen* s = screen())
            move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
    QWidget::showEvent(event);
}
