// qt_look.cpp - the dialog style and palette, message boxes, title-bar buttons.
#include "qt_look.h"

#include "../dialog.h"
#include "../frontend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLayout>
#include <QScreen>
#include <QShowEvent>
#include <QtGui/qguiapplication_platform.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ui::qtfe {

namespace {

double channel(int v)
{
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c)
{
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

// Room in a title bar besides the title: the window icon, three buttons
// (some window managers show minimise and maximise whatever a window asks
// for) and the margins around them and the centred title.
constexpr int kTitleBarExtra = 24 + 3 * 22 + 44;

// _MOTIF_WM_HINTS words.
constexpr uint32_t kMwmHintsFunctions = 1u << 0, kMwmHintsDecorations = 1u << 1;
constexpr uint32_t kMwmFuncMove = 1u << 2, kMwmFuncClose = 1u << 5;
constexpr uint32_t kMwmDecorBorder = 1u << 1, kMwmDecorTitle = 1u << 3, kMwmDecorMenu = 1u << 4;

#if QT_CONFIG(xcb)
// The few X protocol calls the hints need, from the X client library that
// Qt's X platform plugin has already loaded (no link-time dependency: the
// programs also run without X).
struct Xcb {
    struct AtomCookie { unsigned int sequence; };
    struct VoidCookie { unsigned int sequence; };
    struct AtomReply {
        uint8_t responseType, pad0;
        uint16_t sequence;
        uint32_t length;
        uint32_t atom;
    };
    AtomCookie (*internAtom)(xcb_connection_t*, uint8_t, uint16_t, const char*) = nullptr;
    AtomReply* (*internAtomReply)(xcb_connection_t*, AtomCookie, void**) = nullptr;
    VoidCookie (*changeProperty)(xcb_connection_t*, uint8_t, uint32_t, uint32_t, uint32_t, uint8_t, uint32_t,
                                 const void*) = nullptr;
    int (*flush)(xcb_connection_t*) = nullptr;

    static const Xcb* get()
    {
        static const Xcb* lib = [] () -> const Xcb* {
            void* h = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
            if (!h) h = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
            if (!h) return nullptr;
            static Xcb x;
            x.internAtom = reinterpret_cast<decltype(x.internAtom)>(::dlsym(h, "xcb_intern_atom"));
            x.internAtomReply = reinterpret_cast<decltype(x.internAtomReply)>(::dlsym(h, "xcb_intern_atom_reply"));
            x.changeProperty = reinterpret_cast<decltype(x.changeProperty)>(::dlsym(h, "xcb_change_property"));
            x.flush = reinterpret_cast<decltype(x.flush)>(::dlsym(h, "xcb_flush"));
            if (!x.internAtom || !x.internAtomReply || !x.changeProperty || !x.flush) return nullptr;
            return &x;
        }();
        return lib;
    }
};
#endif

}  // namespace

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette dialogPalette(const QPalette& base)
{
    QPalette pal = base;
    const QColor face(kButtonFace.r, kButtonFace.g, kButtonFace.b);
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(g, QPalette::Window, face);
        pal.setColor(g, QPalette::Button, face);
    }
    const QColor grey = QColor::fromRgb(kDisabledText);
    for (QPalette::ColorRole r : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        pal.setColor(QPalette::Disabled, r, grey);
    return pal;
}

DialogStyle::DialogStyle() : QProxyStyle(QStringLiteral("Fusion")) {}

int DialogStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                           QStyleHintReturn* returnData) const
{
    switch (hint) {
    case SH_DialogButtonBox_ButtonsHaveIcons: return 0;
    case SH_DialogButtonLayout: return QDialogButtonBox::WinLayout;
    case SH_MessageBox_CenterButtons: return 1;
    case SH_EtchDisabledText:
    case SH_DitherDisabledText: return 0;
    default: return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
}

int titleBarWidth(const QString& title)
{
    // Window managers draw titles in the desktop's ordinary sans-serif face,
    // wider than the condensed dialog face.
    QFont f(QStringLiteral("Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setBold(true);
    f.setPixelSize(12);
    return QFontMetrics(f).horizontalAdvance(title) + kTitleBarExtra;
}

QPoint centredPosition(const QRect& ownerFrame, const QRect& screen, QSize frame)
{
    const bool onOwner = !ownerFrame.isEmpty() && ownerFrame.intersects(screen);
    const QRect& on = onOwner ? ownerFrame : screen;
    int x = on.x() + (on.width() - frame.width()) / 2, y = on.y() + (on.height() - frame.height()) / 2;
    // Inside the screen: the title bar never goes above or left of it.
    x = std::max(screen.left(), std::min(x, screen.right() + 1 - frame.width()));
    y = std::max(screen.top(), std::min(y, screen.bottom() + 1 - frame.height()));
    return QPoint(x, y);
}

std::array<uint32_t, 5> motifHints(bool closeBox)
{
    const uint32_t functions = kMwmFuncMove | (closeBox ? kMwmFuncClose : 0);
    const uint32_t decorations = kMwmDecorBorder | kMwmDecorTitle | (closeBox ? kMwmDecorMenu : 0);
    return {kMwmHintsFunctions | kMwmHintsDecorations, functions, decorations, 0, 0};
}

void askTitleBarButtons(QWidget* w, bool closeBox)
{
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    const Xcb* xcb = x11 ? Xcb::get() : nullptr;
    if (!xcb || !w->windowHandle()) return;
    xcb_connection_t* c = x11->connection();
    if (!c) return;
    static const char name[] = "_MOTIF_WM_HINTS";
    Xcb::AtomReply* r = xcb->internAtomReply(c, xcb->internAtom(c, 0, sizeof name - 1, name), nullptr);
    if (!r) return;
    const uint32_t atom = r->atom;
    std::free(r);
    const std::array<uint32_t, 5> hints = motifHints(closeBox);
    const uint8_t replace = 0;
    xcb->changeProperty(c, replace, static_cast<uint32_t>(w->winId()), atom, atom, 32,
                        static_cast<uint32_t>(hints.size()), hints.data());
    xcb->flush(c);
#else
    (void)w;
    (void)closeBox;
#endif
}

PlatformMessageBox::PlatformMessageBox(Icon icon, const QString& title, const QString& text,
                                       StandardButtons buttons, QWidget* owner, bool closeBox)
    : QMessageBox(icon, title, text, buttons, owner), closeBox_(closeBox)
{
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (closeBox) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
    setTextFormat(Qt::PlainText);
}

void PlatformMessageBox::showEvent(QShowEvent* e)
{
    // As wide as the title bar needs: the row of buttons is made that wide,
    // so the box's own sizing (now and whenever it sizes itself again) keeps it.
    if (auto* row = findChild<QDialogButtonBox*>()) {
        const QMargins m = layout() ? layout()->contentsMargins() : QMargins();
        row->setMinimumWidth(titleBarWidth(windowTitle()) - m.left() - m.right());
    }
    for (QAbstractButton* b : buttons()) b->setIcon(QIcon());
    QMessageBox::showEvent(e);  // lays the box out for its text and buttons
    // Placed before the window manager maps it: on the owner while the owner
    // shows, else in the middle of the screen.
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    const bool ownerShown = owner && owner->isVisible() && !owner->isMinimized();
    QScreen* screen = ownerShown && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QMargins frame(detail::kFrameX, detail::kCaptionY, detail::kFrameX, detail::kFrameBottom);
        if (ownerShown) {
            const QRect f = owner->frameGeometry(), g = owner->geometry();
            frame = QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
        }
        const QSize outer = size().grownBy(frame);
        move(centredPosition(ownerShown ? owner->frameGeometry() : QRect(), screen->availableGeometry(), outer));
    }
    askTitleBarButtons(this, closeBox_);
}

}  // namespace ui::qtfe
