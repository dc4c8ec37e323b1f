#pragma once
// The few control kinds of the station window that Qt has no exact match for.
#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QListWidget>

// A single-line edit with its caption label above it (gap 3 pixels, left-aligned).
class TLabeledEdit : public QLineEdit
{
    Q_OBJECT
public:
    TLabeledEdit(QWidget* parent, const QString& objectName);
    // Places the edit and its label (label height and width as given).
    void place(int left, int top, int width, int height, int labelWidth, int labelHeight = 13);
    QLabel* EditLabel;
};

// The status panel: a raised frame with a centred caption and a background colour.
class TPanel : public QLabel
{
    Q_OBJECT
public:
    TPanel(QWidget* parent, const QString& objectName);
    QString caption() const { return text(); }
    void setCaption(const QString& caption) { setText(caption); }
    QColor color() const;
    void setColor(const QColor& color);
};

// A list box with a fixed item height; type-ahead search can be switched off.
class TListBox : public QListWidget
{
    Q_OBJECT
public:
    TListBox(QWidget* parent, const QString& objectName, int itemHeight);
    int itemHeight() const { return itemHeight_; }
    bool typeAhead() const { return typeAhead_; }
    void setTypeAhead(bool on) { typeAhead_ = on; }
    void keyboardSearch(const QString& search) override;
    // Texts of all lines, first to last.
    QStringList lines() const;
    // Lays the rows out at once. The list does it after a zero-length timer, which a run
    // that only processes events now and then never lets fire before it paints. A layout
    // takes time in the number of rows, so once they overflow the view (where only the
    // scroll bar still moves) it is done at most every 40 ms unless `always`: a long
    // report stays linear.
    void layoutNow(bool always);

private:
    QElapsedTimer layoutClock_;
    int itemHeight_;
    bool typeAhead_ = true;
};
