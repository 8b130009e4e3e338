// qt_window.cpp - one dialog as a real window.
#include "qt_window.h"

#include "qt_controls.h"
#include "qt_convert.h"
#include "qt_look.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include <functional>

namespace ui::qtfe {

namespace {

void (*g_beforeInput)() = nullptr;
void (*g_afterInput)() = nullptr;
bool (*g_inputHeld)() = nullptr;

bool inputHeld() { return g_inputHeld && g_inputHeld(); }

// Rows of a list box: one line of the dialog font each, as the platform's
// list boxes draw them.
int listRowHeight(const QFont& f) { return std::max(13, QFontMetrics(f).height()); }

// Brackets the forwarding of one piece of user input to the model: the front
// end times how long the dialog thread is busy with it and, afterwards, ends
// the loops of the dialogs that ended.
struct InputScope {
    InputScope() { if (g_beforeInput) g_beforeInput(); }
    ~InputScope() { if (g_afterInput) g_afterInput(); }
    InputScope(const InputScope&) = delete;
    InputScope& operator=(const InputScope&) = delete;
};

QString qs(const std::string& s) { return QString::fromStdString(s); }

// A list item as a one-line list box shows it: a line end the program keeps
// at the end of an item (log lines as they were read) is not drawn.
QString listItemText(const std::string& s)
{
    size_t n = s.size();
    while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
    return QString::fromStdString(s.substr(0, n));
}

QColor qc(const Color& c) { return QColor(c.r, c.g, c.b); }

QRect qrect(const Rect& r) { return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top); }

// Brings a widget's item list to the model's: the common beginning stays, the
// rest is replaced, so items appended one by one cost one insertion each.
template <class ModelAt, class WidgetAt, class Truncate, class Append>
void syncItems(int modelCount, ModelAt modelAt, int widgetCount, WidgetAt widgetAt, Truncate truncate,
               Append append)
{
    int same = 0;
    const int common = std::min(modelCount, widgetCount);
    while (same < common && widgetAt(same) == modelAt(same)) ++same;
    if (same < widgetCount) truncate(same);
    for (int i = same; i < modelCount; ++i) append(modelAt(i));
}

// How many of the widget's items are known to equal the model's: all of them
// when the model only appended since the last refresh (the usual growth of a
// log list), else none (then the items are compared one by one).
template <class E>
int appendedOnly(E& e, const ControlState& c, int widgetCount)
{
    const bool same = c.rewritten == e.rewritten && widgetCount <= static_cast<int>(c.items.size());
    e.rewritten = c.rewritten;
    return same ? widgetCount : 0;
}

// The closed height of a combo box: the template's height includes the list
// that drops down.
int comboHeight(int templatePixels) { return std::min(templatePixels, 21); }

}  // namespace

void DialogWindow::setInputHooks(void (*before)(), void (*after)(), bool (*held)())
{
    g_beforeInput = before;
    g_afterInput = after;
    g_inputHeld = held;
}

void DialogWindow::whenInputFree(QObject* ctx, std::function<void()> fn)
{
    if (!inputHeld()) {
        fn();
        return;
    }
    QTimer::singleShot(20, ctx, [ctx, fn = std::move(fn)]() mutable { whenInputFree(ctx, std::move(fn)); });
}

DialogWindow::DialogWindow(Dialog& d, QWidget* owner)
    : QDialog(owner), dialog_(&d)
{
    const DialogTemplate& t = d.tmpl();
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (t.systemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
    setWindowModality(Qt::ApplicationModal);
    setFont(dialogFont());
    setFixedSize(dialogClientSize(t.cx, t.cy));
    setWindowTitle(qs(d.title()));
    // The dialog face of the platform: a light grey client area.
    QPalette pal = palette();
    pal.setColor(QPalette::Window, qc(kButtonFace));
    pal.setColor(QPalette::Button, qc(kButtonFace));
    setPalette(pal);
    setAutoFillBackground(true);

    build(detail::snapshot(d));
    sysItems_ = detail::systemMenu(d);

    auto* sc = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(sc, &QShortcut::activated, this, [this] { popupSystemMenu(mapToGlobal(QPoint(0, 0))); });
    placeMenuButton();
}

DialogWindow::~DialogWindow() = default;

void DialogWindow::detach() { dialog_ = nullptr; }

QWidget* DialogWindow::controlWidget(size_t index) const
{
    return index < entries_.size() ? entries_[index].widget : nullptr;
}

void DialogWindow::build(const std::vector<ControlState>& state)
{
    entries_.assign(state.size(), Entry{});
    for (const ControlState& c : state) {
        if (c.index >= entries_.size()) continue;
        Entry& e = entries_[c.index];
        e.kind = c.kind;
        e.id = c.id;
        e.style = c.style;
        e.widget = makeControl(c, c.index);
    }
    // Frames lie under everything else, whatever their template order.
    for (const Entry& e : entries_)
        if (e.widget && e.kind == Kind::GroupBox) e.widget->lower();
    // Tab goes through the controls in template order.
    QWidget* prev = nullptr;
    for (const Entry& e : entries_) {
        if (!e.widget || !(e.widget->focusPolicy() & Qt::TabFocus)) continue;
        if (prev) QWidget::setTabOrder(prev, e.widget);
        prev = e.widget;
    }
    ++updating_;
    for (const ControlState& c : state) apply(c.index, c);
    --updating_;
}

QWidget* DialogWindow::makeControl(const ControlState& c, size_t index)
{
    QRect geo = dluToPixels(c.rect);
    QWidget* w = nullptr;
    const QString caption = qs(c.text);
    switch (c.kind) {
    case Kind::PushButton:
    case Kind::DefPushButton: {
        auto* b = new QPushButton(caption, this);
        b->setAutoDefault(false);
        b->setDefault(c.kind == Kind::DefPushButton);
        connect(b, &QPushButton::clicked, this, [this, index] { onClicked(index); });
        w = b;
        break;
    }
    case Kind::CheckBox:
    case Kind::AutoCheckBox: {
        auto* b = new ModelCheckBox(caption, this);
        connect(b, &QAbstractButton::clicked, this, [this, index] { onClicked(index); });
        w = b;
        break;
    }
    case Kind::RadioButton:
    case Kind::AutoRadioButton: {
        auto* b = new ModelRadioButton(caption, this);
        connect(b, &QAbstractButton::clicked, this, [this, index] { onClicked(index); });
        w = b;
        break;
    }
    case Kind::GroupBox: {
        w = new FrameBox(caption, this);
        break;
    }
    case Kind::Static: {
        auto* l = new QLabel(withoutMnemonics(caption), this);
        l->setTextFormat(Qt::PlainText);
        l->setWordWrap(true);
        l->setAlignment(((c.style & SS_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        w = l;
        break;
    }
    case Kind::Edit: {
        if (c.style & ES_MULTILINE) {
            auto* m = new MultiLineEdit(c.style, this);
            connect(m, &QPlainTextEdit::textChanged, this, [this, index, m] {
                if (!updating_) onTextEdited(index, m->toPlainText());
            });
            connect(m->verticalScrollBar(), &QScrollBar::valueChanged, this,
                    [this, index](int v) { if (!updating_) onScrolled(index, v); });
            if (c.style & ES_READONLY) {
                QPalette p = m->palette();
                p.setColor(QPalette::Base, qc(kButtonFace));
                m->setPalette(p);
            }
            w = m;
        } else {
            auto* l = new QLineEdit(this);
            l->setReadOnly(c.style & ES_READONLY);
            if (c.style & (ES_NUMBER | ES_UPPERCASE)) l->setValidator(new EditValidator(c.style, l));
            connect(l, &QLineEdit::textEdited, this,
                    [this, index](const QString& s) { if (!updating_) onTextEdited(index, s); });
            if (c.style & ES_READONLY) {
                QPalette p = l->palette();
                p.setColor(QPalette::Base, qc(kButtonFace));
                l->setPalette(p);
            }
            w = l;
        }
        break;
    }
    case Kind::ListBox: {
        auto* l = new ListBoxWidget(listRowHeight(font()), this);
        l->setSelectionMode((c.style & LBS_MULTIPLESEL) ? QAbstractItemView::MultiSelection
                                                        : QAbstractItemView::SingleSelection);
        l->setVerticalScrollBarPolicy((c.style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded
                                                             : Qt::ScrollBarAlwaysOff);
        l->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        connect(l, &QListWidget::itemSelectionChanged, this,
                [this, index] { if (!updating_) onListSelection(index); });
        w = l;
        break;
    }
    case Kind::ComboBox: {
        auto* cb = new QComboBox(this);
        cb->setEditable(!(c.style & CBS_DROPDOWNLIST));
        cb->setInsertPolicy(QComboBox::NoInsert);
        connect(cb, &QComboBox::activated, this,
                [this, index](int item) { if (!updating_) onSelected(index, item); });
        if (cb->lineEdit()) {
            if (c.style & (ES_NUMBER | ES_UPPERCASE))
                cb->lineEdit()->setValidator(new EditValidator(c.style, cb->lineEdit()));
            connect(cb->lineEdit(), &QLineEdit::textEdited, this,
                    [this, index](const QString& s) { if (!updating_) onTextEdited(index, s); });
        }
        geo.setHeight(comboHeight(geo.height()));
        w = cb;
        break;
    }
    case Kind::ProgressBar: {
        auto* p = new QProgressBar(this);
        p->setTextVisible(false);
        w = p;
        break;
    }
    case Kind::Bitmap: {
        if (geo.width() <= 0) geo.setWidth(32);
        if (geo.height() <= 0) geo.setHeight(32);
        w = new BitmapPlaceholder(caption, this);
        break;
    }
    }
    if (w) w->setGeometry(geo);
    if (auto* l = dynamic_cast<ListBoxWidget*>(w)) l->keepWholeRows();
    return w;
}

void DialogWindow::apply(size_t index, const ControlState& c)
{
    if (index >= entries_.size() || !entries_[index].widget) return;
    QWidget* w = entries_[index].widget;
    ++updating_;
    w->setEnabled(c.enabled);
    w->setVisible(c.visible);
    const QString text = qs(c.text);
    switch (c.kind) {
    case Kind::PushButton:
    case Kind::DefPushButton:
        static_cast<QPushButton*>(w)->setText(text);
        break;
    case Kind::CheckBox:
    case Kind::AutoCheckBox:
    case Kind::RadioButton:
    case Kind::AutoRadioButton: {
        auto* b = static_cast<QAbstractButton*>(w);
        b->setText(text);
        b->setCheckable(true);
        b->setChecked(c.checked != 0);
        break;
    }
    case Kind::GroupBox:
        static_cast<FrameBox*>(w)->setCaption(text);
        break;
    case Kind::Static:
        static_cast<QLabel*>(w)->setText(withoutMnemonics(text));
        break;
    case Kind::Edit:
        if (auto* m = dynamic_cast<MultiLineEdit*>(w)) {
            const QString shown = toWidgetText(c.text);
            if (m->toPlainText() != shown) m->setPlainText(shown);
            m->setLimit(c.limit);
            m->scrollToLine(c.firstVisibleLine);
        } else if (auto* l = dynamic_cast<QLineEdit*>(w)) {
            if (l->text() != text) l->setText(text);
            l->setMaxLength(c.limit > 0 ? c.limit : 32767);
        }
        break;
    case Kind::ListBox: {
        auto* l = static_cast<QListWidget*>(w);
        Entry& e = entries_[index];
        const int have = appendedOnly(e, c, l->count());
        syncItems(
            static_cast<int>(c.items.size()) - have, [&](int i) { return listItemText(c.items[have + i]); },
            l->count() - have, [&](int i) { return l->item(have + i)->text(); },
            [&](int n) { while (l->count() > have + n) delete l->takeItem(l->count() - 1); },
            [&](const QString& s) { l->addItem(s); });
        e.added = c.added;
        e.lastAdded = c.lastAdded;
        if (!live_) e.addedSeen = c.added;
        if (c.style & LBS_MULTIPLESEL) {
            for (int i = 0; i < l->count(); ++i) {
                const bool on = i < static_cast<int>(c.selected.size()) && c.selected[i];
                if (l->item(i)->isSelected() != on) l->item(i)->setSelected(on);
            }
        } else if (c.curSel >= 0 && c.curSel < l->count()) {
            if (l->currentRow() != c.curSel || !l->item(c.curSel)->isSelected()) {
                l->setCurrentRow(c.curSel);
                l->scrollToItem(l->item(c.curSel));
            }
        } else if (!l->selectedItems().isEmpty() || l->currentRow() != -1) {
            l->clearSelection();
            l->setCurrentRow(-1);
        }
        break;
    }
    case Kind::ComboBox: {
        auto* cb = static_cast<QComboBox*>(w);
        const int have = appendedOnly(entries_[index], c, cb->count());
        syncItems(
            static_cast<int>(c.items.size()) - have, [&](int i) { return qs(c.items[have + i]); },
            cb->count() - have, [&](int i) { return cb->itemText(have + i); },
            [&](int n) { while (cb->count() > have + n) cb->removeItem(cb->count() - 1); },
            [&](const QString& s) { cb->addItem(s); });
        const int want = c.curSel >= 0 && c.curSel < cb->count() ? c.curSel : -1;
        if (cb->isEditable() && cb->lineEdit()) {
            // Typing leaves no selection in the model; the text stays as typed.
            if (want >= 0 && cb->currentIndex() != want) cb->setCurrentIndex(want);
            if (cb->lineEdit()->text() != text) cb->lineEdit()->setText(text);
        } else if (cb->currentIndex() != want) {
            cb->setCurrentIndex(want);
        }
        break;
    }
    case Kind::ProgressBar: {
        auto* p = static_cast<QProgressBar*>(w);
        // An empty range would make Qt's bar show its busy animation.
        const int lo = c.lo, hi = c.hi > c.lo ? c.hi : c.lo + 1;
        p->setRange(lo, hi);
        p->setValue(std::clamp(c.pos, lo, hi));
        break;
    }
    case Kind::Bitmap:
        break;
    }
    --updating_;
}

void DialogWindow::refreshControls(const std::vector<size_t>& indexes)
{
    if (!dialog_) return;
    for (size_t i : indexes)
        if (auto c = detail::control(*dialog_, i)) apply(i, *c);
}

void DialogWindow::scrollListsToAdded()
{
    if (!dialog_) return;
    for (size_t i = 0; i < entries_.size(); ++i) {
        Entry& e = entries_[i];
        if (e.kind != Kind::ListBox || !e.widget || e.added == e.addedSeen) continue;
        e.addedSeen = e.added;
        auto* l = static_cast<QListWidget*>(e.widget);
        if (e.lastAdded >= 0 && e.lastAdded < l->count()) l->scrollToItem(l->item(e.lastAdded));
    }
}

void DialogWindow::refreshAll()
{
    if (!dialog_) return;
    for (const ControlState& c : detail::snapshot(*dialog_)) apply(c.index, c);
    refreshTitle();
    refreshSystemMenu();
    update();
}

void DialogWindow::refreshTitle()
{
    if (dialog_) setWindowTitle(qs(dialog_->title()));
}

void DialogWindow::refreshSystemMenu()
{
    if (!dialog_) return;
    sysItems_ = detail::systemMenu(*dialog_);
    placeMenuButton();
}

void DialogWindow::placeMenuButton()
{
    // Appended system-menu items (the about box) stay reachable through a
    // small menu button in a free corner of the client area, besides the
    // context menu (right button, menu key, Alt+Space).
    if (sysItems_.empty()) {
        if (menuButton_) menuButton_->hide();
        return;
    }
    if (!menuButton_) {
        menuButton_ = new QToolButton(this);
        menuButton_->setText(QStringLiteral("\u2261"));
        menuButton_->setToolTip(QStringLiteral("System menu"));
        menuButton_->setAutoRaise(true);
        menuButton_->setFocusPolicy(Qt::NoFocus);
        connect(menuButton_, &QToolButton::clicked, this, [this] {
            popupSystemMenu(menuButton_->mapToGlobal(QPoint(0, menuButton_->height())));
        });
    }
    const int side = 14, margin = 1;
    const QSize sz = size();
    const QPoint corners[] = {{sz.width() - side - margin, margin},
                              {sz.width() - side - margin, sz.height() - side - margin},
                              {margin, sz.height() - side - margin},
                              {margin, margin}};
    for (const QPoint& p : corners) {
        const QRect r(p, QSize(side, side));
        bool free = true;
        for (const Entry& e : entries_)
            if (e.widget && e.kind != Kind::GroupBox && e.widget->geometry().intersects(r)) free = false;
        if (free) {
            menuButton_->setGeometry(r);
            menuButton_->show();
            menuButton_->raise();
            return;
        }
    }
    menuButton_->hide();
}

QImage DialogWindow::picture()
{
    const QImage client = grab().toImage();
    const int fx = detail::kFrameX, cap = detail::kCaptionY, fb = detail::kFrameBottom;
    QImage img(client.width() + 2 * fx, client.height() + cap + fb, QImage::Format_RGB32);
    img.fill(QColor(58, 62, 70));
    QPainter p(&img);
    p.drawImage(fx, cap, client);
    p.setRenderHint(QPainter::Antialiasing);
    QFont f = font();
    f.setBold(true);
    f.setPixelSize(12);
    p.setFont(f);
    p.setPen(QColor(235, 238, 242));
    const int closeSide = 16;
    const QRect titleRect(fx + 8, 0, img.width() - 2 * fx - 16 - closeSide, cap);
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, windowTitle());
    if (windowFlags() & Qt::WindowCloseButtonHint) {
        const QRect box(img.width() - fx - 6 - closeSide, (cap - closeSide) / 2, closeSide, closeSide);
        p.setPen(QPen(QColor(235, 238, 242), 1.6));
        p.drawLine(box.topLeft() + QPoint(4, 4), box.bottomRight() - QPoint(4, 4));
        p.drawLine(box.topRight() + QPoint(-4, 4), box.bottomLeft() + QPoint(4, -4));
    }
    return img;
}

QMenu* DialogWindow::makeSystemMenu()
{
    if (sysMenu_) sysMenu_->deleteLater();
    sysMenu_ = new QMenu(this);
    QMenu* m = sysMenu_;
    // The chosen command runs from the event loop once the menu has closed,
    // as the platform posts it, not inside the menu's own mouse handling
    // (the about box opened from it runs a loop of its own).
    auto post = [this](std::function<void(Dialog&)> fn) {
        QTimer::singleShot(0, this, [this, fn] {
            whenInputFree(this, [this, fn] {
                if (!dialog_) return;
                InputScope scope;
                fn(*dialog_);
            });
        });
    };
    if (dialog_ && dialog_->tmpl().systemMenu)
        m->addAction(QStringLiteral("&Close\tAlt+F4"), this, [post] { post([](Dialog& d) { detail::inputClose(d); }); });
    for (const SystemMenuItem& it : sysItems_) {
        if (!m->isEmpty()) m->addSeparator();
        const int cmd = it.cmd;
        m->addAction(qs(it.text), this, [post, cmd] { post([cmd](Dialog& d) { detail::inputSysCommand(d, cmd); }); });
    }
    return m;
}

void DialogWindow::popupSystemMenu(const QPoint& globalPos)
{
    QMenu* m = makeSystemMenu();
    if (m->isEmpty()) return;
    m->popup(globalPos);
}

void DialogWindow::contextMenuEvent(QContextMenuEvent* e)
{
    popupSystemMenu(e->globalPos());
    e->accept();
}

void DialogWindow::paintEvent(QPaintEvent* e)
{
    QDialog::paintEvent(e);
    if (!dialog_) return;
    const std::vector<Mark> marks = detail::marks(*dialog_);
    if (marks.empty()) return;
    QPainter p(this);
    for (const Mark& m : marks) {
        const QRect r = qrect(m.rect);
        if (m.op == Mark::Op::Fill) {
            p.fillRect(r, qc(m.color));
            continue;
        }
        const bool single = m.flags & DT_SINGLELINE;
        int align = (m.flags & DT_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft;
        align |= (single && (m.flags & DT_VCENTER)) ? Qt::AlignVCenter : Qt::AlignTop;
        QString text = qs(m.text);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        if (single) text.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QFont f = qtFont(m.font);
        p.save();
        p.setClipRect(r);
        p.setFont(f);
        if (m.background) {
            // An opaque background fills the cells of the text, not the whole rectangle.
            const QRect cells = QFontMetrics(f).boundingRect(r, align, text);
            p.fillRect(cells.intersected(r), qc(*m.background));
        }
        p.setPen(qc(m.color));
        p.drawText(r, align, text);
        p.restore();
    }
}

void DialogWindow::keyPressEvent(QKeyEvent* e)
{
    if (!dialog_) { e->ignore(); return; }
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        InputScope scope;
        detail::inputClose(*dialog_);
        return;
    }
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        // A focused push button takes Enter itself, as the platform makes it
        // the default button while it has the focus.
        QWidget* f = focusWidget();
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& en = entries_[i];
            if (en.widget == f && (en.kind == Kind::PushButton || en.kind == Kind::DefPushButton)) {
                onClicked(i);
                return;
            }
        }
        InputScope scope;
        detail::inputEnter(*dialog_);
        return;
    }
    QDialog::keyPressEvent(e);
}

void DialogWindow::reject()
{
    if (!dialog_) return;
    InputScope scope;
    detail::inputClose(*dialog_);
}

void DialogWindow::closeEvent(QCloseEvent* e)
{
    // The window goes away only when the model ends the dialog; the close box
    // asks the model (IDCANCEL), and a dialog without a system menu has none.
    e->ignore();
    if (!dialog_ || !dialog_->tmpl().systemMenu) return;
    // While the dialog thread is busy the request waits, as a close message does.
    whenInputFree(this, [this] {
        if (!dialog_) return;
        InputScope scope;
        detail::inputClose(*dialog_);
    });
}

void DialogWindow::moveEvent(QMoveEvent* e)
{
    QDialog::moveEvent(e);
    reportOrigin();
}

void DialogWindow::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    askTitleBarButtons(this, dialog_ && dialog_->tmpl().systemMenu);
    reportOrigin();
}

void DialogWindow::reportOrigin()
{
    if (!dialog_) return;
    // The model places the client area at the origin plus its frame sizes;
    // report the origin so that its client and control rectangles match the
    // real window.
    const QPoint client = mapToGlobal(QPoint(0, 0));
    detail::setWindowOrigin(*dialog_, client.x() - detail::kFrameX, client.y() - detail::kCaptionY);
}

void DialogWindow::onClicked(size_t index)
{
    if (!dialog_ || index >= entries_.size() || entries_[index].id < 0) return;
    InputScope scope;
    detail::inputClick(*dialog_, entries_[index].id);
}

void DialogWindow::onTextEdited(size_t index, const QString& text)
{
    if (!dialog_ || index >= entries_.size() || entries_[index].id < 0) return;
    const Entry& e = entries_[index];
    const bool multi = e.kind == Kind::Edit && (e.style & ES_MULTILINE);
    InputScope scope;
    detail::inputText(*dialog_, e.id, multi ? toModelText(text) : text.toStdString());
}

void DialogWindow::onSelected(size_t index, int item)
{
    if (!dialog_ || index >= entries_.size() || entries_[index].id < 0 || item < 0) return;
    InputScope scope;
    detail::inputSelect(*dialog_, entries_[index].id, item);
}

void DialogWindow::onListSelection(size_t index)
{
    if (!dialog_ || index >= entries_.size() || entries_[index].id < 0) return;
    auto* l = static_cast<QListWidget*>(entries_[index].widget);
    const auto model = detail::control(*dialog_, index);
    if (!model) return;
    InputScope scope;
    if (entries_[index].style & LBS_MULTIPLESEL) {
        // Each item whose mark the user flipped is one toggle in the model.
        std::vector<int> flipped;
        for (int i = 0; i < l->count(); ++i) {
            const bool was = i < static_cast<int>(model->selected.size()) && model->selected[i];
            if (l->item(i)->isSelected() != was) flipped.push_back(i);
        }
        for (int i : flipped) {
            if (!dialog_) break;
            detail::inputSelect(*dialog_, entries_[index].id, i);
        }
    } else {
        const int row = l->currentRow();
        if (row >= 0 && row != model->curSel) onSelected(index, row);
    }
    // Whatever the model made of it (a click on empty space selects
    // nothing there), the list shows the model's selection.
    if (dialog_)
        if (auto now = detail::control(*dialog_, index)) apply(index, *now);
}

void DialogWindow::onScrolled(size_t index, int firstLine)
{
    if (!dialog_ || index >= entries_.size() || entries_[index].id < 0) return;
    InputScope scope;
    detail::inputScroll(*dialog_, entries_[index].id, firstLine);
}

}  // namespace ui::qtfe
