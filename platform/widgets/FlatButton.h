// TFlatButton: a focusable push button that paints itself flat with six
// settable colours (face, focused face, pressed face, border, and the
// highlight and shadow edges drawn while the mouse is over it or it is down)
// and its own font colour. The focused face shows as a wide rim around a
// plate of the normal face, so the caption always stands on the colour it
// was chosen for. An optional note is drawn as a second line under the
// caption.
#pragma once

#include <QColor>
#include <QPushButton>

namespace orvant {

class TFlatButton : public QPushButton {
    Q_OBJECT
public:
    explicit TFlatButton(QWidget* parent = nullptr);
    TFlatButton(const QString& caption, QWidget* parent = nullptr);

    // Face while neither focused nor pressed.
    QColor Color() const { return fColor; }
    void SetColor(const QColor& c);
    // Face while the button has the keyboard focus (a rim around the caption's plate).
    QColor ColorFocused() const { return fColorFocused; }
    void SetColorFocused(const QColor& c);
    // Face while the button is held down.
    QColor ColorDown() const { return fColorDown; }
    void SetColorDown(const QColor& c);
    // One-pixel frame while the mouse is elsewhere.
    QColor ColorBorder() const { return fColorBorder; }
    void SetColorBorder(const QColor& c);
    // Raised edge (top and left; bottom and right while down) under the mouse.
    QColor ColorHighLight() const { return fColorHighLight; }
    void SetColorHighLight(const QColor& c);
    // Sunken edge (bottom and right; top and left while down) under the mouse.
    QColor ColorShadow() const { return fColorShadow; }
    void SetColorShadow(const QColor& c);
    // Caption colour (drawn dimmed while the button is disabled).
    QColor FontColor() const { return fFontColor; }
    void SetFontColor(const QColor& c);

    // A second line under the caption, in the caption's ink; empty: none.
    QString Note() const { return fNote; }
    void SetNote(const QString& note);

    // The face colour the next paint uses, from the current state.
    QColor CurrentFaceColor() const;
    // The colour of the plate the caption stands on: the face at rest (or
    // pressed), also while the button has the focus.
    QColor CaptionPlateColor() const;
    bool IsMouseOver() const { return fMouseOver; }

    // Width of the focused rim.
    static constexpr int kFocusRim = 4;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    // The area the caption and its note are centred in.
    virtual QRect CaptionRect() const;
    // The caption's colour: the font colour, sunk halfway into the plate
    // while the button is disabled.
    virtual QColor CaptionInk() const;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void Init();

    QColor fColor{Qt::lightGray};
    QColor fColorFocused{Qt::lightGray};
    QColor fColorDown{Qt::lightGray};
    QColor fColorBorder{Qt::darkGray};
    QColor fColorHighLight{Qt::white};
    QColor fColorShadow{Qt::black};
    QColor fFontColor{Qt::black};
    QString fNote;
    bool fMouseOver = false;
};

}  // namespace orvant
