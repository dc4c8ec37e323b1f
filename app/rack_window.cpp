#include "app/rack_window.h"

#include "app/controls.h"
#include "app/label_layout.h"
#include "app/rack_slot.h"
#include "app/seams.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPrinter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

struct TLook
{
    QString caption;
    QColor colour;
};

// The station window's captions and colours; grey where no unit has been tested.
TLook Look(TSlotRun::TState state)
{
    switch (state) {
    case TSlotRun::TState::Running:
        return {QStringLiteral("Идет тестирование..."), QColor(255, 255, 0)};
    case TSlotRun::TState::Passed:
        return {QStringLiteral("Тестирование завершено успешно"), QColor(0, 128, 0)};
    case TSlotRun::TState::Failed:
        return {QStringLiteral("Тестирование завершено c ошибкой"), QColor(255, 0, 0)};
    case TSlotRun::TState::Aborted:
        return {QStringLiteral("Тестирование прервано"), QColor(255, 0, 0)};
    case TSlotRun::TState::Untested:
        return {QStringLiteral("Блок не протестирован"), QColor(160, 160, 160)};
    case TSlotRun::TState::Fault: return {QStringLiteral("Сбой станции"), QColor(160, 160, 160)};
    case TSlotRun::TState::Empty: break;
    }
    return {QStringLiteral("Ожидание"), QColor(192, 192, 192)};
}

} // namespace

TSlotTile::TSlotTile(TSlotRun& run, QWidget* parent)
    : QFrame(parent)
    , run_(run)
{
    const QString name = QString::fromStdString(run.Slot().Name);
    setObjectName(QStringLiteral("tile:") + name);
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setMinimumSize(200, 150);
    auto* title = new QLabel(name, this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    Status = new TPanel(this, QStringLiteral("Status"));
    Status->setMinimumHeight(32);
    Serial = new QLabel(this);
    Step = new QLabel(this);
    Message = new QLabel(this);
    Message->setWordWrap(true);
    Message->setTextFormat(Qt::PlainText);
    Serial->setTextFormat(Qt::PlainText);
    StartButton = new QPushButton(QStringLiteral("Тестировать"), this);
    AbortButton = new QPushButton(QStringLiteral("Прервать"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartButton);
    buttons->addWidget(AbortButton);
    auto* column = new QVBoxLayout(this);
    column->addWidget(title);
    column->addWidget(Status);
    column->addWidget(Serial);
    column->addWidget(Step);
    column->addWidget(Message, 1);
    column->addLayout(buttons);
    connect(StartButton, &QPushButton::clicked, &run, &TSlotRun::Start);
    connect(AbortButton, &QPushButton::clicked, &run, &TSlotRun::Abort);
    connect(&run, &TSlotRun::Changed, this, &TSlotTile::Refresh);
    Refresh();
}

void TSlotTile::Refresh()
{
    const TLook look = Look(run_.State());
    Status->setCaption(look.caption);
    Status->setColor(look.colour);
    Serial->setText(QStringLiteral("Серийный номер: ") + run_.Serial());
    Step->setText(run_.Running() ? QStringLiteral("%1 · %2 с")
                                           .arg(run_.Step().isEmpty() ? QStringLiteral("Запуск")
                                                                      : run_.Step())
                                           .arg(run_.ElapsedSeconds())
                                 : QString());
    Message->setText(run_.Message());
    StartButton->setEnabled(!run_.Running());
    AbortButton->setEnabled(run_.Running());
}

// The slot's journal as the station window shows it, following the run while open.
void TSlotTile::mouseReleaseEvent(QMouseEvent* event)
{
    QFrame::mouseReleaseEvent(event);
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("journal"));
    dialog->setWindowTitle(QStringLiteral("Журнал: ") + QString::fromStdString(run_.Slot().Name));
    auto* list = new TListBox(dialog, QStringLiteral("ListBox2"), 13);
    auto* column = new QVBoxLayout(dialog);
    column->addWidget(new QLabel(QStringLiteral("Журнал:"), dialog));
    column->addWidget(list);
    const auto fill = [this, list] {
        list->clear();
        list->addItems(run_.Journal());
    };
    fill();
    connect(&run_, &TSlotRun::Changed, list, fill);
    dialog->resize(420, 360);
    dialog->show();
}

TRackWindow::TRackWindow(const tolvek::TRackFile& rack, const QString& program, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("RackWindow"));
    setWindowTitle(QStringLiteral("Тестирование ЦФН-ЛР: стойка"));
    StartAll = new QPushButton(QStringLiteral("Тестировать все"), this);
    AbortAll = new QPushButton(QStringLiteral("Прервать все"), this);
    AutoStart = new QCheckBox(QStringLiteral("Запускать при подключении блока"), this);
    AutoStart->setChecked(rack.AutoStart);
    auto* top = new QHBoxLayout;
    top->addWidget(StartAll);
    top->addWidget(AbortAll);
    top->addWidget(AutoStart);
    top->addStretch(1);
    auto* grid = new QGridLayout;
    const int columns = static_cast<int>(std::ceil(std::sqrt(double(rack.Slots.size()))));
    for (const tolvek::TRackSlot& slot : rack.Slots) {
        auto* run = new TSlotRun(slot, rack, program, this);
        auto* tile = new TSlotTile(*run, this);
        const int i = static_cast<int>(Tiles.size());
        grid->addWidget(tile, i / columns, i % columns);
        Runs.push_back(run);
        Tiles.push_back(tile);
        connect(run, &TSlotRun::PassedUnit, this,
                [this, run](const QString& serial) { PrintLabel(*run, serial); });
        connect(StartAll, &QPushButton::clicked, run, &TSlotRun::Start);
        connect(AbortAll, &QPushButton::clicked, run, &TSlotRun::Abort);
        connect(AutoStart, &QCheckBox::toggled, run, &TSlotRun::SetAutoStart);
    }
    auto* column = new QVBoxLayout(this);
    column->addLayout(top);
    column->addLayout(grid, 1);
    // The running tiles' elapsed time.
    clock_ = new QTimer(this);
    connect(clock_, &QTimer::timeout, this, [this] {
        for (TSlotTile* tile : Tiles)
            tile->Refresh();
    });
    clock_->start(1000);
}

TRackWindow::~TRackWindow()
{
    // Every child is asked to stop at once, then waited for: a rack of sixteen ends in
    // one child's stop time, not sixteen.
    for (TSlotRun* run : Runs)
        run->Abort();
    for (TSlotRun* run : Runs)
        run->EndChild(3000);
}

void TRackWindow::closeEvent(QCloseEvent* event)
{
    for (TSlotRun* run : Runs)
        run->Abort();
    for (TSlotRun* run : Runs)
        run->EndChild(3000);
    event->accept();
}

// The station's label on the station's printer, without a dialog; the slot's journal (which
// names the slot) says whether it was printed. A printer fault stops no other slot.
void TRackWindow::PrintLabel(TSlotRun& run, const QString& serial)
{
    LabelData data;
    data.printTime = StationNow();
    data.serial = serial.isEmpty() ? kDefaultSerial : serial;
    data.ip = QString::fromStdString(run.Slot().Options.Address);
    data.runResultState = 1;
    try {
        ::PrintLabel(StationPrinter(), data, false, 1);
        run.Note(QStringLiteral("этикетка напечатана: ") + data.serial);
    } catch (const std::exception& e) {
        run.Note(QStringLiteral("не могу распечатать:") + QString::fromUtf8(e.what()));
    }
}
