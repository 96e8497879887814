// The "Rec" button, which while a take runs also shows the time recorded so
// far under its caption and a bar of the input's peak level; the bar turns
// red when the input reaches full scale and stays red for a second after.
// While hands-free is on it says so under the time, with what the mode is
// doing.
#pragma once

#include <cstdint>

#include "platform/widgets/FlatButton.h"

namespace orvant {

class TLevelMeterButton : public TFlatButton {
    Q_OBJECT
public:
    using TFlatButton::TFlatButton;

    // Shows the meter from zero, or hides it.
    void SetMetering(bool on);
    bool Metering() const { return fMetering; }
    // One reading: the peak of the latest input in percent of full scale
    // (100 = full scale; below 0: none) and the time recorded so far.
    void ShowLevel(int percent, uint32_t elapsedMs);
    int Level() const { return fLevel; }
    bool FullScaleShown() const { return fMetering && fElapsedMs < fFullScaleUntilMs; }
    // "hands-free: <state>" under the time; an empty state hides the line.
    void SetHandsFree(const QString& state);
    QString HandsFreeText() const { return fHandsFree.isEmpty() ? QString() : "hands-free: " + fHandsFree; }

    // "m:ss.t"
    static QString FormatElapsed(uint32_t ms);
    // The bar's share of its length for a level: 0 up to -40 dBFS (1 %),
    // then in proportion to the decibels up to full scale.
    static double BarFraction(int percent);

    static const QColor kTimeInk, kTrough, kBar, kFullScale;

protected:
    QRect CaptionRect() const override;
    // The caption stays in full colour on the meter, although "Rec" is
    // disabled while it records.
    QColor CaptionInk() const override;
    void paintEvent(QPaintEvent* event) override;

private:
    QRect BarRect() const;

    bool fMetering = false;
    int fLevel = 0;
    uint32_t fElapsedMs = 0;
    uint32_t fFullScaleUntilMs = 0;
    QString fHandsFree;
};

}  // namespace orvant
