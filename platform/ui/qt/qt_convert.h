// qt_convert.h - the pure translations between the dialog model's platform
// forms and Qt's: dialog units to pixels, file-dialog filters, message-box
// flags and answers, fonts. Kept apart from the windows so the tests check
// them without a display.
#pragma once

#include "../dialog.h"
#include "../frontend.h"

#include <QFont>
#include <QMessageBox>
#include <QRect>
#include <QString>
#include <QStringList>

#include <string>

namespace ui::qtfe {

// The dialog font's character height in pixels (8 points at 96 dots per inch);
// its average character width is 6 pixels and its cell 13 pixels high, the
// dialog base units the model maps dialog units with.
inline constexpr int kDialogFontPixels = 11;

// Maps a template rectangle to client pixels with the model's dialog-unit
// scale. The edges are mapped one by one, so controls that touch in dialog
// units also touch on the screen.
QRect dluToPixels(const DlgRect& r);
// Client size of a dialog of cx x cy dialog units.
QSize dialogClientSize(int cx, int cy);

// "HEX File (*.hex)|*.hex|All Files (*.*)|*.*||" becomes the Qt filter list
// "HEX File (*.hex)" and "All Files (*)": every description ends in the
// patterns that Qt reads from it, with ";" turned into blanks and "*.*" (every
// file) into "*". An empty or malformed filter gives an empty list.
QStringList qtFilters(const std::string& filter);

// What a message box of the given flags shows.
struct BoxLook {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok;
    // The button that Escape and the close box choose; NoButton when the box
    // cannot be dismissed that way (Yes/No and Abort/Retry/Ignore).
    QMessageBox::StandardButton escapeButton = QMessageBox::Ok;
};
BoxLook boxLook(unsigned flags);
// The model's answer (IDOK, IDYES, ...) for a pressed Qt button.
int boxAnswer(QMessageBox::StandardButton b);

// Qt font for a model font. The model's height is the character cell height
// in pixels (as the platform's font creation takes a positive height), width
// the average character width (0 = natural), weight 100 to 900. Needs a
// QGuiApplication for the metrics.
QFont qtFont(const Font& f);
// The dialogs' own font: the 8-point dialog face.
QFont dialogFont();
// Registers the replacement faces for the platform's font names ("MS Shell
// Dlg", "Arial", "Arial Black", ...). Called once by the front end.
void installFontSubstitutions();

// Text of a multi-line edit as the model keeps it (lines end in CR LF) and as
// a Qt text widget shows it (LF).
QString toWidgetText(const std::string& modelText);
std::string toModelText(const QString& widgetText);

}  // namespace ui::qtfe
