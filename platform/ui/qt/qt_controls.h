// qt_controls.h - the Qt widgets that stand for the platform's controls where
// Qt's own behave differently: buttons whose check state only the model
// changes, multi-line edits that filter what is typed, the bitmap placeholder.
#pragma once

#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QValidator>
#include <QWidget>

#include <cstdint>

namespace ui::qtfe {

// Check box and radio button whose state follows the model only: a click
// reaches the model (which toggles auto buttons and groups radio buttons) and
// the refresh that follows shows the result.
class ModelCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;
protected:
    void nextCheckState() override {}
};

class ModelRadioButton : public QRadioButton {
public:
    explicit ModelRadioButton(const QString& text, QWidget* parent = nullptr)
        : QRadioButton(text, parent) { setAutoExclusive(false); }
protected:
    void nextCheckState() override {}
};

// What an edit lets through as it is typed: digits only, capitals.
class EditValidator : public QValidator {
public:
    EditValidator(uint32_t style, QObject* parent) : QValidator(parent), style_(style) {}
    State validate(QString& input, int& pos) const override;
    // The text with letters raised and, for digits-only edits, everything but
    // digits removed (what the platform's edit keeps of typed or pasted text).
    static QString filter(const QString& s, uint32_t style);
private:
    uint32_t style_;
};

// Multi-line edit: filters typed and pasted text like the single-line edit,
// keeps the text limit, and reports its first visible line.
class MultiLineEdit : public QPlainTextEdit {
public:
    MultiLineEdit(uint32_t style, QWidget* parent);
    void setLimit(int chars) { limit_ = chars; }
    int firstVisibleLine() const;
    void scrollToLine(int line);
protected:
    void keyPressEvent(QKeyEvent* e) override;
    void insertFromMimeData(const QMimeData* source) override;
private:
    // Inserts s at the cursor after filtering and cutting it at the limit.
    void insertFiltered(const QString& s);
    uint32_t style_;
    int limit_ = 0;
};

// List box that shows whole rows only: rows of a fixed height, and the part
// of the box below the last whole row kept out of the view (the platform
// shortens such a list box to whole rows).
class ListBoxWidget : public QListWidget {
public:
    ListBoxWidget(int rowHeight, QWidget* parent);
    int rowHeight() const { return rowHeight_; }
    // After the box got its size: the view's height becomes whole rows.
    void keepWholeRows();
private:
    int rowHeight_;
};

// The platform's group box: an etched frame whose caption sits on its top
// line. It only frames; clicks pass through to the controls inside.
class FrameBox : public QWidget {
public:
    FrameBox(const QString& caption, QWidget* parent);
    void setCaption(const QString& caption);
    QString caption() const { return caption_; }
protected:
    void paintEvent(QPaintEvent* e) override;
private:
    QString caption_;
};

// Stand-in for a bitmap resource: a framed tile with a small drawn emblem.
class BitmapPlaceholder : public QWidget {
public:
    BitmapPlaceholder(const QString& resource, QWidget* parent);
protected:
    void paintEvent(QPaintEvent* e) override;
private:
    QString resource_;
};

// Text of a static or frame caption as the platform shows it: "&&" is an
// ampersand, a single "&" only marks the mnemonic and is not shown.
QString withoutMnemonics(const QString& caption);

}  // namespace ui::qtfe
