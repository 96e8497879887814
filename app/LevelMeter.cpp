#include "app/LevelMeter.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace orvant {

const QColor TLevelMeterButton::kTimeInk(255, 255, 255);
const QColor TLevelMeterButton::kTrough(52, 50, 66);
const QColor TLevelMeterButton::kBar(0, 214, 90);
const QColor TLevelMeterButton::kFullScale(255, 56, 56);

namespace {
constexpr uint32_t kFullScaleHoldMs = 1000;
}  // namespace

void TLevelMeterButton::SetMetering(bool on) {
    fMetering = on;
    fLevel = 0;
    fElapsedMs = 0;
    fFullScaleUntilMs = 0;
    update();
}

void TLevelMeterButton::ShowLevel(int percent, uint32_t elapsedMs) {
    if (!fMetering) return;
    fLevel = std::clamp(percent, 0, 100);
    fElapsedMs = elapsedMs;
    if (fLevel >= 100) fFullScaleUntilMs = elapsedMs + kFullScaleHoldMs;
    update();
}

void TLevelMeterButton::SetHandsFree(const QString& state) {
    if (state == fHandsFree) return;
    fHandsFree = state;
    update();
}

QString TLevelMeterButton::FormatElapsed(uint32_t ms) {
    const uint32_t tenths = ms / 100;
    return QString("%1:%2.%3")
        .arg(tenths / 600)
        .arg((tenths / 10) % 60, 2, 10, QChar('0'))
        .arg(tenths % 10);
}

double TLevelMeterButton::BarFraction(int percent) {
    if (percent <= 1) return 0;
    const double db = 20 * std::log10(std::min(percent, 100) / 100.0);
    return std::clamp((db + 40) / 40, 0.0, 1.0);
}

QRect TLevelMeterButton::CaptionRect() const {
    if (!fMetering) return TFlatButton::CaptionRect();
    return QRect(kFocusRim + 1, fHandsFree.isEmpty() ? 6 : 3, width() - 2 * kFocusRim - 2, 16);
}

QColor TLevelMeterButton::CaptionInk() const { return fMetering ? FontColor() : TFlatButton::CaptionInk(); }

QRect TLevelMeterButton::BarRect() const {
    return fHandsFree.isEmpty() ? QRect(12, height() - 22, width() - 24, 10) : QRect(12, height() - 14, width() - 24, 7);
}

void TLevelMeterButton::paintEvent(QPaintEvent* event) {
    TFlatButton::paintEvent(event);
    if (!fMetering) return;
    QPainter p(this);
    p.setFont(font());
    p.setPen(kTimeInk);
    if (fHandsFree.isEmpty()) {
        p.drawText(QRect(0, 24, width(), 16), Qt::AlignCenter, FormatElapsed(fElapsedMs));
    } else {
        p.drawText(QRect(0, 19, width(), 15), Qt::AlignCenter, FormatElapsed(fElapsedMs));
        p.drawText(QRect(0, 34, width(), 15), Qt::AlignCenter, HandsFreeText());
    }

    const bool full = FullScaleShown();
    const QRect trough = BarRect();
    p.fillRect(trough, kTrough);
    QRect bar = trough;
    bar.setWidth(int(std::lround(trough.width() * (full ? 1.0 : BarFraction(fLevel)))));
    if (bar.width() > 0) p.fillRect(bar, full ? kFullScale : kBar);
    if (full) {
        // Full scale: the whole face is framed in red as well.
        p.setPen(QPen(kFullScale, 2));
        p.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

}  // namespace orvant
