#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>

#include "platform/widgets/FlatButton.h"

using orvant::TFlatButton;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_widgets";
    static char* argv[] = {name, nullptr};
    // Kept to the end of the process: destroying it among the static
    // destructors races Qt's own clean-up.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

QImage Render(TFlatButton& b) {
    QImage img(b.size(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    b.render(&img);
    return img;
}

void SetLook(TFlatButton& b) {
    b.SetColor(QColor(23, 22, 29));
    b.SetColorFocused(QColor(0, 84, 168));
    b.SetColorDown(QColor(10, 200, 10));
    b.SetColorBorder(QColor(60, 56, 75));
    b.SetColorHighLight(QColor(88, 84, 112));
    b.SetColorShadow(QColor(1, 2, 3));
    b.SetFontColor(QColor(255, 0, 0));
}

bool HasColour(const QImage& img, QRgb c) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == (c & 0xFFFFFF)) return true;
    return false;
}

}  // namespace

TEST(FlatButton, PaintsFaceAndBorderInItsColours) {
    App();
    TFlatButton b("Rec");
    SetLook(b);
    b.resize(135, 70);
    const QImage img = Render(b);
    EXPECT_EQ(QColor(img.pixel(0, 0)), QColor(60, 56, 75));      // border
    EXPECT_EQ(QColor(img.pixel(134, 69)), QColor(60, 56, 75));
    EXPECT_EQ(QColor(img.pixel(5, 5)), QColor(23, 22, 29));      // face
    EXPECT_TRUE(HasColour(img, qRgb(255, 0, 0)));               // caption ink
}

TEST(FlatButton, FaceFollowsFocusAndPress) {
    App();
    QWidget top;
    auto* b = new TFlatButton("Stop", &top);
    auto* other = new TFlatButton("Exit", &top);
    SetLook(*b);
    b->setGeometry(0, 0, 135, 70);
    other->setGeometry(0, 70, 135, 70);
    top.show();
    EXPECT_EQ(b->focusPolicy(), Qt::StrongFocus);
    top.activateWindow();
    b->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(b->hasFocus());
    EXPECT_EQ(b->CurrentFaceColor(), QColor(0, 84, 168));
    // The focused face is a rim; the caption keeps its plate of the normal face.
    const QImage focused = Render(*b);
    EXPECT_EQ(QColor(focused.pixel(2, 2)), QColor(0, 84, 168));
    EXPECT_EQ(QColor(focused.pixel(TFlatButton::kFocusRim + 1, 35)), QColor(23, 22, 29));
    b->setDown(true);
    EXPECT_EQ(b->CurrentFaceColor(), QColor(10, 200, 10));
    const QImage down = Render(*b);
    EXPECT_EQ(QColor(down.pixel(0, 0)), QColor(1, 2, 3));        // sunken: shadow top-left
    EXPECT_EQ(QColor(down.pixel(134, 69)), QColor(88, 84, 112));  // highlight bottom-right
    b->setDown(false);
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(b->CurrentFaceColor(), QColor(23, 22, 29));
}

TEST(FlatButton, ClickReachesHandlerOnlyWhenEnabled) {
    App();
    TFlatButton b("Pause");
    b.resize(135, 70);
    int clicks = 0;
    QObject::connect(&b, &QPushButton::clicked, [&] { ++clicks; });
    b.click();
    EXPECT_EQ(clicks, 1);
    b.setEnabled(false);
    b.click();
    EXPECT_EQ(clicks, 1);
    // The disabled caption is no longer drawn in the full font colour.
    SetLook(b);
    EXPECT_FALSE(HasColour(Render(b), qRgb(255, 0, 0)));
}
