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

QColor TFlatButton::CurrentFaceColor() const {
    if (isDown()) return fColorDown;
    if (hasFocus()) return fColorFocused;
    return fColor;
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

    QColor ink = fFontColor;
    if (!isEnabled()) {
        // Disabled: the caption sinks halfway into the face.
        const QColor face = CurrentFaceColor();
        ink = QColor((ink.red() + face.red()) / 2, (ink.green() + face.green()) / 2,
                     (ink.blue() + face.blue()) / 2);
    }
    p.setPen(ink);
    p.setFont(font());
    QRect textRect = r.adjusted(3, 3, -3, -3);
    if (isDown()) textRect.translate(1, 1);
    p.drawText(textRect, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, text());
}

}  // namespace orvant
