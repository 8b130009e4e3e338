// qt_look.h - how the windows look and where they go: the dialog style and
// palette, message boxes laid out and placed as the platform's, the
// title-bar buttons asked of the window manager.
#pragma once

#include <QColor>
#include <QMessageBox>
#include <QPalette>
#include <QPoint>
#include <QProxyStyle>
#include <QRect>
#include <QSize>

#include <array>
#include <cstdint>

namespace ui::qtfe {

// Colour of disabled captions: a grey of 5.5 : 1 against the button face,
// so that the small antialiased glyphs still reach 4.5 : 1 (the Fusion
// default is about 1.6 : 1).
inline constexpr QRgb kDisabledText = 0xFF606060;

// Contrast ratio of two colours (1 to 21), as accessibility guidelines
// define it from their relative luminance.
double contrastRatio(const QColor& a, const QColor& b);

// The application's palette: the dialog face for windows and buttons,
// readable disabled captions.
QPalette dialogPalette(const QPalette& base);

// The Fusion style with the platform's dialog habits: buttons of message
// boxes and file dialogs carry no theme icons, their buttons come in the
// platform's order (OK Cancel, Yes No) and a message box centres them.
class DialogStyle : public QProxyStyle {
public:
    DialogStyle();
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                  QStyleHintReturn* returnData = nullptr) const override;
};

// The width a window needs for its title bar to show the whole title: the
// title in a bold caption font plus the window icon and the buttons a
// window manager puts there.
int titleBarWidth(const QString& title);

// Top-left corner (of the frame) for a window of frame size `frame`: centred
// on `ownerFrame` when it is not empty (the owner is shown) and lies on the
// screen area `screen`, else centred on `screen`; kept inside `screen`.
QPoint centredPosition(const QRect& ownerFrame, const QRect& screen, QSize frame);

// The Motif window-manager hints a window asks for (the five words of
// _MOTIF_WM_HINTS: flags, functions, decorations, input mode, status): it
// can be moved, its size is fixed, the close box and the window menu only
// when it has a system menu, never a minimise or maximise box.
std::array<uint32_t, 5> motifHints(bool closeBox);

// Asks the window manager for the title-bar buttons of `w` (a shown or
// showing top-level window): the Qt window flags, and on X11 the Motif
// hints above, which Qt writes differently (without any function it asks
// for all of them).
void askTitleBarButtons(QWidget* w, bool closeBox);

// A message box as the platform shows one: plain centred buttons, at least
// as wide as its title bar needs, centred on its owner while the owner is on
// the screen and on the screen otherwise, and a close box only when Escape
// can answer it.
class PlatformMessageBox : public QMessageBox {
public:
    PlatformMessageBox(Icon icon, const QString& title, const QString& text, StandardButtons buttons,
                       QWidget* owner, bool closeBox);

protected:
    void showEvent(QShowEvent* e) override;

private:
    bool closeBox_;
};

}  // namespace ui::qtfe
