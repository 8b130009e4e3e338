// qt_convert.cpp - dialog units, filters, message-box flags and fonts in Qt's terms.
#include "qt_convert.h"

#include <QFontMetrics>
#include <QGuiApplication>

#include <algorithm>
#include <cstdlib>

namespace ui::qtfe {

QRect dluToPixels(const DlgRect& r)
{
    using detail::dluToPxX;
    using detail::dluToPxY;
    const int left = dluToPxX(r.x), top = dluToPxY(r.y);
    const int right = dluToPxX(r.x + r.cx), bottom = dluToPxY(r.y + r.cy);
    return QRect(left, top, right - left, bottom - top);
}

QSize dialogClientSize(int cx, int cy) { return QSize(detail::dluToPxX(cx), detail::dluToPxY(cy)); }

namespace {

// "*.hex;*.obj" -> "*.hex *.obj"; "*.*" -> "*".
QString qtPatterns(const QString& platformPatterns)
{
    QStringList out;
    for (const QString& p : platformPatterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString t = p.trimmed();
        if (t.isEmpty()) continue;
        out << (t == QLatin1String("*.*") ? QStringLiteral("*") : t);
    }
    return out.join(QLatin1Char(' '));
}

// Drops a trailing "(...)" group from a description: Qt takes the patterns
// from that group, so it is replaced by the real ones.
QString withoutPatternGroup(QString desc)
{
    desc = desc.trimmed();
    if (desc.endsWith(QLatin1Char(')'))) {
        const qsizetype open = desc.lastIndexOf(QLatin1Char('('));
        if (open >= 0) desc = desc.left(open).trimmed();
    }
    return desc;
}

}  // namespace

QStringList qtFilters(const std::string& filter)
{
    QStringList result;
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    // Pairs of description and patterns; the list ends at the first empty
    // description (the "||" terminator) or at an unpaired description.
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString desc = parts[i].trimmed();
        const QString patterns = qtPatterns(parts[i + 1]);
        if (desc.isEmpty() || patterns.isEmpty()) break;
        QString label = withoutPatternGroup(desc);
        if (label.isEmpty()) label = patterns;
        result << label + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return result;
}

BoxLook boxLook(unsigned flags)
{
    BoxLook look;
    switch (flags & 0xF0u) {
    case MB_ICONERROR: look.icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: look.icon = QMessageBox::Question; break;
    case MB_ICONWARNING: look.icon = QMessageBox::Warning; break;
    case MB_ICONINFORMATION: look.icon = QMessageBox::Information; break;
    default: look.icon = QMessageBox::NoIcon; break;
    }
    QMessageBox::StandardButton first = QMessageBox::Ok, second = QMessageBox::NoButton,
                                third = QMessageBox::NoButton;
    switch (flags & 0x0Fu) {
    case 1:  // OK, Cancel
        first = QMessageBox::Ok; second = QMessageBox::Cancel;
        look.escapeButton = QMessageBox::Cancel;
        break;
    case 2:  // Abort, Retry, Ignore
        first = QMessageBox::Abort; second = QMessageBox::Retry; third = QMessageBox::Ignore;
        look.escapeButton = QMessageBox::NoButton;
        break;
    case 3:  // Yes, No, Cancel
        first = QMessageBox::Yes; second = QMessageBox::No; third = QMessageBox::Cancel;
        look.escapeButton = QMessageBox::Cancel;
        break;
    case 4:  // Yes, No
        first = QMessageBox::Yes; second = QMessageBox::No;
        look.escapeButton = QMessageBox::NoButton;
        break;
    case 5:  // Retry, Cancel
        first = QMessageBox::Retry; second = QMessageBox::Cancel;
        look.escapeButton = QMessageBox::Cancel;
        break;
    default:  // OK alone: Escape answers OK
        look.escapeButton = QMessageBox::Ok;
        break;
    }
    look.buttons = first;
    if (second != QMessageBox::NoButton) look.buttons |= second;
    if (third != QMessageBox::NoButton) look.buttons |= third;
    // The default-button flags 0x100 and 0x200 pick the second and third button.
    const unsigned def = (flags >> 8) & 0x3u;
    look.defaultButton = first;
    if (def == 1 && second != QMessageBox::NoButton) look.defaultButton = second;
    if (def == 2 && third != QMessageBox::NoButton) look.defaultButton = third;
    return look;
}

int boxAnswer(QMessageBox::StandardButton b)
{
    switch (b) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Abort: return IDABORT;
    case QMessageBox::Retry: return IDRETRY;
    case QMessageBox::Ignore: return IDIGNORE;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDCANCEL;
    }
}

void installFontSubstitutions()
{
    // Metric-compatible or close faces first, then what every Debian has.
    // The dialog face: 11-pixel characters in a 13-pixel cell, about as wide
    // as the platform's, so captions fit the controls laid out for it.
    const QStringList sans{QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                           QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                           QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")};
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"), sans);
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg 2"), sans);
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
    QFont::insertSubstitutions(QStringLiteral("Arial"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Arial Black"),
                               {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("Nimbus Sans")});
    QFont::insertSubstitutions(QStringLiteral("Courier New"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("Nimbus Mono PS"),
                                QStringLiteral("DejaVu Sans Mono")});
}

QFont qtFont(const Font& f)
{
    QFont font(QString::fromStdString(f.face));
    int weight = f.weight;
    // A face named "... Black" is the heavy cut; its replacement is drawn as heavy as it gets.
    if (QString::fromStdString(f.face).contains(QLatin1String("Black"), Qt::CaseInsensitive))
        weight = std::max(weight, 900);
    font.setWeight(static_cast<QFont::Weight>(std::clamp(weight == 0 ? 400 : weight, 100, 900)));
    const int cell = std::abs(f.height) > 0 ? std::abs(f.height) : kDialogFontPixels;
    // The model's height is the cell (ascent + descent); Qt's pixel size is the
    // em. Scale by the face's own proportion so the cell comes out as asked.
    font.setPixelSize(cell);
    if (f.height > 0) {
        const int h = QFontMetrics(font).height();
        if (h > 0 && h != cell) font.setPixelSize(std::max(1, (cell * cell + h / 2) / h));
    }
    if (f.width > 0) {
        const int natural = QFontMetrics(font).averageCharWidth();
        if (natural > 0)
            font.setStretch(std::clamp((f.width * 100 + natural / 2) / natural, 1, 4000));
    }
    return font;
}

QFont dialogFont()
{
    QFont font(QStringLiteral("MS Shell Dlg"));
    font.setPixelSize(kDialogFontPixels);
    return font;
}

QString toWidgetText(const std::string& modelText)
{
    QString s = QString::fromStdString(modelText);
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

std::string toModelText(const QString& widgetText)
{
    QString s = widgetText;
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    s.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return s.toStdString();
}

}  // namespace ui::qtfe
