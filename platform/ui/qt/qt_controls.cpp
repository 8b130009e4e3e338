// qt_controls.cpp - widgets standing for the platform's controls.
#include "qt_controls.h"

#include "../dialog.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextBlock>

namespace ui::qtfe {

QString EditValidator::filter(const QString& s, uint32_t style)
{
    QString out;
    out.reserve(s.size());
    for (QChar c : s) {
        if ((style & ES_NUMBER) && !c.isDigit() && c != QLatin1Char('\n')) continue;
        out += (style & ES_UPPERCASE) ? c.toUpper() : c;
    }
    return out;
}

QValidator::State EditValidator::validate(QString& input, int& pos) const
{
    const QString kept = filter(input, style_);
    if (kept != input) {
        pos = static_cast<int>(filter(input.left(pos), style_).size());
        input = kept;
    }
    return Acceptable;
}

MultiLineEdit::MultiLineEdit(uint32_t style, QWidget* parent)
    : QPlainTextEdit(parent), style_(style)
{
    // One line on the screen per line of text: the model counts text lines
    // (first visible line, scrolling), so the two must not differ by wrapping.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy((style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    setReadOnly(style & ES_READONLY);
}

int MultiLineEdit::firstVisibleLine() const { return verticalScrollBar()->value(); }

void MultiLineEdit::scrollToLine(int line) { verticalScrollBar()->setValue(line); }

void MultiLineEdit::insertFiltered(const QString& s)
{
    QString text = EditValidator::filter(s, style_);
    if (limit_ > 0) {
        QTextCursor cur = textCursor();
        const int selected = static_cast<int>(cur.selectedText().size());
        const int room = limit_ - (static_cast<int>(toPlainText().size()) - selected);
        if (room <= 0) return;
        if (text.size() > room) text.truncate(room);
    }
    if (!text.isEmpty() || textCursor().hasSelection()) insertPlainText(text);
}

void MultiLineEdit::keyPressEvent(QKeyEvent* e)
{
    if (isReadOnly()) { QPlainTextEdit::keyPressEvent(e); return; }
    const QString typed = e->text();
    const bool printable = !typed.isEmpty() && typed.at(0).isPrint()
                           && !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    const bool newline = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    if (printable) {
        insertFiltered(typed);
        e->accept();
        return;
    }
    if (newline && limit_ > 0 && toPlainText().size() >= limit_) {
        e->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(e);
}

void MultiLineEdit::insertFromMimeData(const QMimeData* source)
{
    if (source && source->hasText() && !isReadOnly()) insertFiltered(source->text());
}

namespace {

class RowDelegate : public QStyledItemDelegate {
public:
    RowDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(height_);
        return s;
    }
private:
    int height_;
};

}  // namespace

ListBoxWidget::ListBoxWidget(int rowHeight, QWidget* parent)
    : QListWidget(parent), rowHeight_(std::max(1, rowHeight))
{
    setUniformItemSizes(true);
    setItemDelegate(new RowDelegate(rowHeight_, this));
}

void ListBoxWidget::keepWholeRows()
{
    const int inner = height() - 2 * frameWidth();
    const int spare = inner > rowHeight_ ? inner % rowHeight_ : 0;
    setViewportMargins(0, 0, 0, spare);
    // The strip below the rows has the list's own colour.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(spare > 0);
}

FrameBox::FrameBox(const QString& caption, QWidget* parent)
    : QWidget(parent), caption_(caption)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void FrameBox::setCaption(const QString& caption)
{
    if (caption == caption_) return;
    caption_ = caption;
    update();
}

void FrameBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    const QString text = withoutMnemonics(caption_);
    // The top line runs through the middle of the caption (where a caption
    // would be when there is none).
    const int top = fm.height() / 2;
    const int w = width(), h = height();
    if (w < 3 || h - top < 3) return;
    const QColor shadow(160, 160, 160), light(255, 255, 255);
    p.setPen(light);
    p.drawRect(1, top + 1, w - 2, h - top - 2);
    p.setPen(shadow);
    p.drawRect(0, top, w - 2, h - top - 2);
    if (text.isEmpty()) return;
    const int x = 7;
    const int tw = std::min(fm.horizontalAdvance(text), w - x - 3);
    p.fillRect(QRect(x - 1, 0, tw + 2, fm.height()), palette().color(QPalette::Window));
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(QRect(x, 0, tw, fm.height()), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
}

BitmapPlaceholder::BitmapPlaceholder(const QString& resource, QWidget* parent)
    : QWidget(parent), resource_(resource)
{
    setToolTip(QStringLiteral("Bitmap ") + resource);
}

void BitmapPlaceholder::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, QColor(70, 110, 170));
    g.setColorAt(1, QColor(20, 45, 95));
    p.setPen(QColor(15, 30, 60));
    p.setBrush(g);
    p.drawRoundedRect(r, 3, 3);
    // A chip with pins: the emblem of a controller tool.
    const qreal side = std::min(r.width(), r.height()) * 0.5;
    const QRectF chip(r.center().x() - side / 2, r.center().y() - side / 2, side, side);
    p.setPen(QPen(QColor(220, 225, 235), std::max<qreal>(1.0, side / 14)));
    const int pins = 4;
    for (int i = 0; i < pins; ++i) {
        const qreal t = chip.left() + side * (i + 0.5) / pins;
        const qreal u = chip.top() + side * (i + 0.5) / pins;
        const qreal len = side * 0.22;
        p.drawLine(QPointF(t, chip.top() - len), QPointF(t, chip.top()));
        p.drawLine(QPointF(t, chip.bottom()), QPointF(t, chip.bottom() + len));
        p.drawLine(QPointF(chip.left() - len, u), QPointF(chip.left(), u));
        p.drawLine(QPointF(chip.right(), u), QPointF(chip.right() + len, u));
    }
    p.setBrush(QColor(35, 35, 40));
    p.drawRect(chip);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 190, 60));
    p.drawEllipse(QPointF(chip.left() + side * 0.2, chip.top() + side * 0.2), side * 0.07, side * 0.07);
}

QString withoutMnemonics(const QString& caption)
{
    QString out;
    out.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&')) {
            if (i + 1 < caption.size() && caption[i + 1] == QLatin1Char('&')) {
                out += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        out += caption[i];
    }
    return out;
}

}  // namespace ui::qtfe
