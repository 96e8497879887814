#include "platform/widgets/FlatButton.h"

#include <QEnterEvent>
#include <QPainter>

namespace orvant {

TFlatButton::TFlatButton(QWidget* parent) : QPushButton(parent) { Init(); }

TFlatButton::TFlatButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    Init();
}

void TFlatButton::Init() {
    setFocusPolicy(Qt::StrongFocus);
    setFlat(true);
    setAutoDefault(false);
    setAttribute(Qt::WA_Hover);
}

void TFlatButton::SetColor(const QColor& c) { fColor = c; update(); }
void TFlatButton::SetColorFocused(const QColor& c) { fColorFocused = c; update(); }
void TFlatButton::SetColorDown(const QColor& c) { fColorDown = c; update(); }
void TFlatButton::SetColorBorder(const QColor& c) { fColorBorder = c; update(); }
void TFlatButton::SetColorHighLight(const QColor& c) { fColorHighLight = c; update(); }
void TFlatButton::SetColorShadow(const QColor& c) { fColorShadow = c; update(); }
void TFlatButton::SetFontColor(const QColor& c) { fFontColor = c; update(); }

void TFlatButton::SetNote(const QString& note) {
    if (note == fNote) return;
    fNote = note;
    update();
}

QColor TFlatButton::CurrentFaceColor() const {
    if (isDown()) return fColorDown;
    if (hasFocus()) return fColorFocused;
    return fColor;
}

QColor TFlatButton::CaptionPlateColor() const { return isDown() ? fColorDown : fColor; }

QRect TFlatButton::CaptionRect() const { return rect().adjusted(kFocusRim + 1, 3, -kFocusRim - 1, -3); }

QColor TFlatButton::CaptionInk() const {
    if (isEnabled()) return fFontColor;
    const QColor plate = CaptionPlateColor();
    return QColor((fFontColor.red() + plate.red()) / 2, (fFontColor.green() + plate.green()) / 2,
                  (fFontColor.blue() + plate.blue()) / 2);
}

QSize TFlatButton::sizeHint() const {
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(text()) + 16, fm.height() + 12);
}

void TFlatButton::enterEvent(QEnterEvent* event) {
    fMouseOver = true;
    update();
    QPushButton::enterEvent(event);
}

void TFlatButton::leaveEvent(QEvent* event) {
    fMouseOver = false;
    update();
    QPushButton::leaveEvent(event);
}

void TFlatButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, CurrentFaceColor());
    // With the focus the face shows as a rim; inside it the caption keeps
    // the plate it is readable on.
    if (hasFocus() && !isDown()) p.fillRect(r.adjusted(kFocusRim, kFocusRim, -kFocusRim, -kFocusRim), CaptionPlateColor());

    // Frame: a plain border at rest, a raised (or, while down, sunken) edge
    // of highlight and shadow while the mouse is over the button.
    const int x0 = r.left(), y0 = r.top(), x1 = r.right(), y1 = r.bottom();
    if (fMouseOver || isDown()) {
        const QColor topLeft = isDown() ? fColorShadow : fColorHighLight;
        const QColor bottomRight = isDown() ? fColorHighLight : fColorShadow;
        p.setPen(topLeft);
        p.drawLine(x0, y0, x1, y0);
        p.drawLine(x0, y0, x0, y1);
        p.setPen(bottomRight);
        p.drawLine(x1, y0, x1, y1);
        p.drawLine(x0, y1, x1, y1);
    } else {
        p.setPen(fColorBorder);
        p.drawRect(r.adjusted(0, 0, -1, -1));
    }

    p.setPen(CaptionInk());
    p.setFont(font());
    QRect textRect = CaptionRect();
    if (isDown()) textRect.translate(1, 1);
    const int flags = Qt::AlignHCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
    if (fNote.isEmpty()) {
        p.drawText(textRect, flags | Qt::AlignVCenter, text());
        return;
    }
    // Caption and note as one block, centred together.
    const QFontMetrics fm(font());
    const QRect cap = fm.boundingRect(textRect, flags, text());
    const QRect note = fm.boundingRect(textRect, Qt::AlignHCenter | Qt::TextWordWrap, fNote);
    const int gap = 2;
    const int top = textRect.top() + (textRect.height() - cap.height() - gap - note.height()) / 2;
    p.drawText(QRect(textRect.left(), top, textRect.width(), cap.height()), flags, text());
    p.drawText(QRect(textRect.left(), top + cap.height() + gap, textRect.width(), note.height()),
               Qt::AlignHCenter | Qt::TextWordWrap, fNote);
}

}  // namespace orvant
