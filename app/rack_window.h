#pragma once
// The rack window: one tile per slot of the rack file, each following its own child run.
#include "rack/rack_file.h"

#include <QFrame>
#include <QWidget>

#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;
class TPanel;
class TSlotRun;

// A slot's tile: name, status panel in the station window's colours, serial number, the step
// now running and its time, the failure's message; its own start and abort. A click on it
// opens the slot's journal.
class TSlotTile : public QFrame
{
    Q_OBJECT
public:
    TSlotTile(TSlotRun& run, QWidget* parent);
    void Refresh();
    TPanel* Status;
    QLabel *Serial, *Step, *Message;
    QPushButton *StartButton, *AbortButton;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TSlotRun& run_;
};

class TRackWindow : public QWidget
{
    Q_OBJECT
public:
    // program is the tolvek each slot's run is started as.
    TRackWindow(const tolvek::TRackFile& rack, const QString& program, QWidget* parent = nullptr);
    ~TRackWindow() override;

    QPushButton *StartAll, *AbortAll;
    QCheckBox* AutoStart;
    std::vector<TSlotTile*> Tiles;
    std::vector<TSlotRun*> Runs;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void PrintLabel(TSlotRun& run, const QString& serial);
    QTimer* clock_;
};

// `tolvek --rack [FILE]`: reads the rack file (a bad one is refused, naming the line, before
// any window opens) and runs the window; the program's exit status.
int RackMain(int argc, char** argv);
// True when the arguments ask for the rack window.
bool WantsRackWindow(int argc, char** argv);
