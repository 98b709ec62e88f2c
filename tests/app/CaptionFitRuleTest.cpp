// How a caption that does not fit its control is made to: wrapped where a
// button or label may wrap, else the largest font, half a point at a time,
// in which it fits, and never under 7 pt. Rooms are measured in the font in
// use, so the rows hold whatever the system's fonts are.
#include <QFontInfo>
#include <QTest>

#include "TestSupport.h"
#include "widgets/CaptionFit.h"
#include "widgets/FitButton.h"
#include "widgets/FitGroupBox.h"
#include "widgets/FitLabel.h"

using namespace tavrin;

namespace {

QFont pointFont(qreal points) {
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    return font;
}

QSize sizeOf(const QFont& font, const QWidget* w, int flags, const QString& text, int width) {
    return QFontMetrics(font, w).boundingRect(QRect(0, 0, width, 1 << 20), flags, text).size();
}

}  // namespace

class CaptionFitRuleTest : public QObject {
    Q_OBJECT

private slots:
    // room: how wide and high a room to give the text, as a share of the
    // size it needs on one line in the own font (height: in lines).
    void theLargestFontThatFits_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qreal>("own");
        QTest::addColumn<int>("flags");
        QTest::addColumn<qreal>("widthShare");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("expect");  // own, smaller or smallest
        const int oneLine = Qt::AlignCenter | Qt::TextShowMnemonic;
        const int wrapped = oneLine | Qt::TextWordWrap;
        QTest::newRow("fits as it is") << "Connect" << 9.0 << oneLine << 1.0 << 1 << "own";
        QTest::newRow("the mnemonic's & takes no room")
            << "&Toggle Police Mode" << 9.0 << oneLine << 1.0 << 1 << "own";
        QTest::newRow("wraps before it shrinks")
            << "Toggle Police Mode" << 9.0 << wrapped << 0.8 << 2 << "own";
        QTest::newRow("one line too long")
            << "Find Adapter" << 12.0 << oneLine << 0.8 << 1 << "smaller";
        QTest::newRow("wrapped onto too many lines")
            << "Toggle Police Mode" << 12.0 << wrapped << 0.4 << 2 << "smaller";
        QTest::newRow("never under 7 pt")
            << "Toggle Police Mode" << 9.0 << oneLine << 0.2 << 1 << "smallest";
        QTest::newRow("a font already under 7 pt stays")
            << "Toggle Police Mode" << 6.0 << oneLine << 0.2 << 1 << "own";
    }
    void theLargestFontThatFits() {
        QFETCH(QString, text);
        QFETCH(qreal, own);
        QFETCH(int, flags);
        QFETCH(qreal, widthShare);
        QFETCH(int, lines);
        QFETCH(QString, expect);
        QWidget device;
        const QFont font = pointFont(own);
        const QString plain = caption(text);
        const QSize whole = sizeOf(font, &device, 0, plain, 1 << 20);
        const QSize room(qCeil(whole.width() * widthShare),
                         lines * QFontMetrics(font, &device).lineSpacing());
        const auto fits = [&](const QFont& f) { return TextFits(f, &device, room, flags, text); };
        const QFont shown = FittingFont(font, &device, fits);
        const qreal points = shown.pointSizeF();
        if (expect == "own") {
            QCOMPARE(points, own);
        } else if (expect == "smallest") {
            QCOMPARE(points, kSmallestCaptionPoints);
            QVERIFY(!fits(shown));
        } else {
            QVERIFY(points < own && points >= kSmallestCaptionPoints);
            QVERIFY(fits(shown));
            QVERIFY(!fits(pointFont(points + 0.5)));
        }
        QCOMPARE(shown.family(), font.family());
    }

    // A caption changed at run time is fitted again, in each kind of
    // control, and the control keeps its size.
    void aChangedCaptionIsFittedAgain_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("button") << "button";
        QTest::newRow("wrapping label") << "label";
        QTest::newRow("frame") << "frame";
    }
    void aChangedCaptionIsFittedAgain() {
        QFETCH(QString, kind);
        QWidget window;
        window.resize(400, 200);
        QWidget* control = nullptr;
        std::function<void(const QString&)> setText;
        if (kind == "button") {
            auto* b = new FitButton(&window);
            setText = [b](const QString& t) { b->setText(t); };
            control = b;
        } else if (kind == "label") {
            auto* l = new FitLabel(&window);
            l->setWordWrap(true);
            setText = [l](const QString& t) { l->setText(t); };
            control = l;
        } else {
            auto* g = new FitGroupBox(&window);
            setText = [g](const QString& t) { g->setTitle(t); };
            control = g;
        }
        control->setFont(pointFont(12));
        const QSize size(QFontMetrics(control->font()).horizontalAdvance("Toggle Police") + 40,
                         QFontMetrics(control->font()).lineSpacing() * 2 + 10);
        control->setGeometry(QRect(QPoint(10, 10), size));
        window.show();
        setText("Toggle &Police");
        QCOMPARE(ShownFont(control), control->font());
        setText("Toggle Police Mode, with a caption far longer than its control");
        QVERIFY(QFontInfo(ShownFont(control)).pointSizeF() < 12);
        QApplication::processEvents();  // painted in the smaller font
        setText("&Connect");
        QCOMPARE(ShownFont(control), control->font());
        QCOMPARE(control->size(), size);
    }
};

TAVRIN_TEST(CaptionFitRuleTest)
#include "CaptionFitRuleTest.moc"
