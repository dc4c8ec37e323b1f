#pragma once
// The station's one window: its controls, the state kept between button presses, the
// status operations of a test run and the journal.
#include "core/run_record.h"
#include "archive/line_database.h"

#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class TFormStorage;
class TLabeledEdit;
class TListBox;
class TPanel;

class TForm1 : public QWidget
{
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, in the order of their declaration; each carries its name as objectName.
    TLabeledEdit* LabeledEdit1; // IP address
    TListBox* ListBox1;         // raw output list, outside the visible client area
    TListBox* ListBox2;         // journal
    TLabeledEdit* LabeledEdit2; // serial number, read-only
    QCheckBox* CheckBox1;       // set the unit's clock
    TPanel* Panel1;             // status panel
    QPushButton* BitBtn1;       // "Тестировать"
    QPushButton* BitBtn2;       // "Распечатать"
    QLabel* Label1;             // "Журнал:"
    TFormStorage* FormStorage1; // stored operator settings
    QCheckBox* CheckBox2;       // extended Ethernet test
    QPushButton* BitBtn3;       // "Прервать"
    QMenu* PopupMenu1;          // context menu of the journal
    QAction* N1;                // "Очистить"
    QCheckBox* CheckBox3;       // TAMPER failures count
    QPushButton* Button1;       // "Сохранить результат"
    QLineEdit* Name;            // operator surname
    QPushButton* BitBtn4;       // print set-up
    QCheckBox* CheckBox4;       // AC voltage failures count
    QCheckBox* CheckBox5;       // narrow label

    bool abortFlag() const { return abortFlag_; }
    void setAbortFlag(bool on) { abortFlag_ = on; }
    int runResultState() const { return runResultState_; }
    int printCopies() const { return printCopies_; }
    void setPrintCopies(int copies) { printCopies_ = copies; }
    bool printSetupDone() const { return printSetupDone_; }
    void setPrintSetupDone(bool done) { printSetupDone_ = done; }
    // True once the window was asked to close while a handler was still running.
    bool closePending() const { return closePending_; }

    void ShowTesting();
    void ShowSuccess();
    void ShowError();
    void ShowAborted();
    // The [Limits] section of the settings has a bad line: said in the status and the
    // journal, and no run starts.
    void ShowLimitsRefused(const QString& message);
    void JournalAppend(const QString& line);
    // An event-processing point of a run: the journal is painted as it stands.
    void ProcessRunEvents(bool statusChanged = false);

    // What the last run left behind (empty before the first run).
    const tolvek::TRunRecord& lastRun() const { return lastRun_; }
    // Keeps a finished run: the bench's archive at once, the line database in the
    // background. The operator's message when the archive could not take it, else empty.
    QString KeepRun(const tolvek::TRunRecord& record);

public slots:
    void FormCreate();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void N1Click();
    void Button1Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    template<class F>
    void RunHandler(F handler);
    void SetStatus(const QString& caption, const QColor& colour);
    void StartArchive();

    bool abortFlag_ = false;
    int runResultState_ = 0;
    int printCopies_ = 0;
    bool printSetupDone_ = false;
    int handlerDepth_ = 0;
    bool closePending_ = false;
    bool shownOnce_ = false;
    tolvek::TRunRecord lastRun_;
    std::unique_ptr<tolvek::TRunArchive> archive_;
    std::unique_ptr<tolvek::TLineForwarder> forwarder_; // only with a line database
};
