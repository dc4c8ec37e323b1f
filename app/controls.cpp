#include "app/controls.h"

#include <QPalette>
#include <QStyledItemDelegate>

TLabeledEdit::TLabeledEdit(QWidget* parent, const QString& objectName)
    : QLineEdit(parent)
    , EditLabel(new QLabel(parent))
{
    setObjectName(objectName);
    EditLabel->setObjectName(objectName + QStringLiteral("SubLabel"));
    EditLabel->setBuddy(this);
}

void TLabeledEdit::place(int left, int top, int width, int height, int labelWidth, int labelHeight)
{
    setGeometry(left, top, width, height);
    EditLabel->setGeometry(left, top - 3 - labelHeight, labelWidth, labelHeight);
}

TPanel::TPanel(QWidget* parent, const QString& objectName)
    : QLabel(parent)
{
    setObjectName(objectName);
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    // Its own colour role: otherwise it inherits the window's button-face role and the
    // status colour never shows.
    setBackgroundRole(QPalette::Window);
    // Panels start in the button-face colour, as the window does.
    setColor(parent ? parent->palette().color(QPalette::Button)
                    : palette().color(QPalette::Button));
}

QColor TPanel::color() const
{
    return palette().color(QPalette::Window);
}

void TPanel::setColor(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
}

namespace {
class FixedHeightDelegate : public QStyledItemDelegate
{
public:
    FixedHeightDelegate(int height, QObject* parent)
        : QStyledItemDelegate(parent)
        , height_(height)
    {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(height_);
        return s;
    }

private:
    int height_;
};
} // namespace

TListBox::TListBox(QWidget* parent, const QString& objectName, int itemHeight)
    : QListWidget(parent)
    , itemHeight_(itemHeight)
{
    setObjectName(objectName);
    setUniformItemSizes(true);
    setItemDelegate(new FixedHeightDelegate(itemHeight, this));
}

void TListBox::keyboardSearch(const QString& search)
{
    if (typeAhead_)
        QListWidget::keyboardSearch(search);
}

QStringList TListBox::lines() const
{
    QStringList out;
    out.reserve(count());
    for (int i = 0; i < count(); ++i)
        out << item(i)->text();
    return out;
}

void TListBox::layoutNow(bool always)
{
    const bool fits = count() * itemHeight_ <= viewport()->height() + itemHeight_;
    if (!always && !fits && layoutClock_.isValid() && !layoutClock_.hasExpired(40))
        return;
    executeDelayedItemsLayout();
    layoutClock_.start();
}
