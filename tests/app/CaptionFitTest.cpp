// Every caption of every window shows whole, in the fonts and at the scale
// the tests run with: on Linux, under Wine with Windows' own fonts at 96, 120
// and 144 dpi, and at QT_SCALE_FACTOR 1.25 and 1.5 (CTest has an entry for
// each). Nothing here depends on the font in use: each caption is measured
// in the font its control shows it in, in the room its control gives it.
// With TAVRIN_CAPTION_PICTURES=DIR, each window checked is also saved there
// as a picture, for a person to look at.
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "SimRig.h"
#include "cluster/ClusterParsing.h"
#include "config/Setup_Form.h"
#include "widgets/CaptionFit.h"
#include "widgets/ElidingLabel.h"
#include "widgets/FitButton.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

QString nameOf(const QWidget* w, const QString& text) {
    return QStringLiteral("%1 \"%2\"").arg(w->objectName(), text);
}

// What is wrong with one caption: its font too small, or its text not
// within the room its control gives it. Empty when it shows whole.
QString fault(const QWidget* w, const QString& text, const QFont& shown, bool fits) {
    const qreal own = QFontInfo(w->font()).pointSizeF();
    const qreal points = QFontInfo(shown).pointSizeF();
    if (points < qMin(own, kSmallestCaptionPoints) - 0.01)
        return QStringLiteral("%1 is at %2 pt").arg(nameOf(w, text)).arg(points);
    if (!fits) return QStringLiteral("%1 does not fit at %2 pt").arg(nameOf(w, text)).arg(points);
    if (points < own - 0.01)
        qInfo("%s: %.1f pt for its own %.1f pt", qPrintable(nameOf(w, text)), points, own);
    return {};
}

bool textFits(const QWidget* w, const QFont& font, const QRect& room, int flags,
              const QString& text) {
    const QRect needed = QFontMetrics(font, w).boundingRect(QRect(0, 0, room.width(), 1 << 20),
                                                            flags & ~Qt::AlignVertical_Mask, text);
    return needed.width() <= room.width() && needed.height() <= room.height();
}

QString buttonFault(const QPushButton* b) {
    QStyleOptionButton option;
    option.initFrom(b);
    option.text = b->text();
    if (b->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    if (b->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
    const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
    // Only a FitButton wraps its caption.
    const int flags = Qt::AlignCenter | Qt::TextShowMnemonic |
                      (qobject_cast<const FitButton*>(b) ? int(Qt::TextWordWrap) : 0);
    const QFont shown = ShownFont(b);
    return fault(b, b->text(), shown, textFits(b, shown, room, flags, b->text()));
}

QString labelFault(const QLabel* l) {
    const int m = l->margin();
    const QRect room = l->contentsRect().adjusted(m, m, -m, -m);
    int flags = int(l->alignment());
    if (l->wordWrap()) flags |= Qt::TextWordWrap;
    if (l->buddy()) flags |= Qt::TextShowMnemonic;
    const QFont shown = ShownFont(l);
    return fault(l, l->text(), shown, textFits(l, shown, room, flags, l->text()));
}

QString groupBoxFault(const QGroupBox* g) {
    const QFont shown = ShownFont(g);
    QStyleOptionGroupBox option;
    option.initFrom(g);
    option.text = g->title();
    option.textAlignment = g->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    option.fontMetrics = QFontMetrics(shown, g);
    const QRect title =
        g->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, g);
    const bool fits = title.left() >= 0 && title.right() <= g->width() - 1 - title.left();
    return fault(g, g->title(), shown, fits);
}

// Every caption the window shows now, and what is wrong with those that do
// not show whole.
QStringList captionFaults(QWidget* window) {
    QStringList faults;
    const auto add = [&faults](const QString& f) {
        if (!f.isEmpty()) faults << f;
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) continue;
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            add(buttonFault(b));
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            // A long adapter name is shortened on purpose; the tooltip has it.
            if (!l->text().isEmpty() && !qobject_cast<ElidingLabel*>(l)) add(labelFault(l));
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            add(groupBoxFault(g));
        } else if (auto* tabs = qobject_cast<QTabBar*>(w)) {
            for (int i = 0; i < tabs->count(); ++i) {
                const int needed =
                    tabs->fontMetrics().size(Qt::TextShowMnemonic, tabs->tabText(i)).width();
                add(fault(tabs, tabs->tabText(i), tabs->font(),
                          needed <= tabs->tabRect(i).width()));
            }
        } else if (auto* bar = qobject_cast<QMenuBar*>(w)) {
            for (QAction* a : bar->actions()) {
                const int needed = bar->fontMetrics().size(Qt::TextShowMnemonic, a->text()).width();
                add(fault(bar, a->text(), bar->font(), needed <= bar->actionGeometry(a).width()));
            }
        }
    }
    return faults;
}

// The main window, a simulator on its COM3, and the other numbers leading
// nowhere, so that Setup lists only the simulator.
struct Windows {
    AppRig rig;
    SimPorts ports{rig.host};
    Windows() { ports.sims[3] = &rig.sim; }
    ~Windows() {
        for (QWidget* w : {rig.form->setupDialog(), rig.form->aboutBox(), rig.form->logWindow()})
            delete w;
    }
    Setup_Form* setup() {
        if (!ports.isolate()) return nullptr;
        rig.form->mnu_Setup_Click();
        return qobject_cast<Setup_Form*>(rig.form->setupDialog());
    }
};

}  // namespace

class CaptionFitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // An entry run at a scale factor, or on a screen of more dots per
        // inch, says which pixel ratio it expects: the check must not pass
        // at a scale the run never reached.
        // Text without a font has no width, and every caption would fit.
        QVERIFY2(QFontInfo(qApp->font()).pointSizeF() > 0, "no font to measure with");
        const QByteArray expected = qgetenv("TAVRIN_EXPECTED_PIXEL_RATIO");
        const qreal ratio = qApp->devicePixelRatio();
        if (!expected.isEmpty()) QCOMPARE(ratio, expected.toDouble());
        qInfo("font %s, %.2f pt; pixel ratio %.2f, %d dpi", qPrintable(qApp->font().family()),
              QFontInfo(qApp->font()).pointSizeF(), ratio, QWidget().logicalDpiY());
    }

    // Each window as it opens, and in each state that changes its captions;
    // the window keeps the size its layout gives it (0: any height).
    void everyCaptionShowsWhole_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QSize>("size");
        QTest::newRow("main window") << "main" << QSize(418, 91);
        QTest::newRow("main window, connecting") << "connecting" << QSize(418, 91);
        QTest::newRow("main window, connected") << "connected" << QSize(418, 91);
        QTest::newRow("Setup") << "setup" << QSize(238, 0);
        QTest::newRow("Setup, Wi-Fi adapter chosen") << "wifi" << QSize(238, 0);
        QTest::newRow("Setup, searching") << "searching" << QSize(238, 0);
        QTest::newRow("About") << "about" << QSize(382, 214);
        QTest::newRow("Log, adapter log") << "log" << QSize();
        QTest::newRow("Log, changes") << "changes" << QSize();
    }
    void everyCaptionShowsWhole() {
        QFETCH(QString, state);
        QFETCH(QSize, size);
        Windows w;
        Form1& form = *w.rig.form;
        QWidget* window = &form;
        QStringList faults;
        if (state == "connecting") {
            form.Connect_Command_Click();
            QCOMPARE(caption(form.Connect_Command->text()), QString("Cancel"));
            QCOMPARE(form.panelText(4), QString("Connecting..."));
        } else if (state == "connected") {
            w.rig.connect();
            QCOMPARE(caption(form.Connect_Command->text()), QString("Disconnect"));
            QCOMPARE(form.PM_label->text(), QString("ON"));
            // Every model the catalogue can name, and both states.
            for (const cluster::CatalogueRow& row : cluster::Catalogue()) {
                form.ClusterInfotext->setText(QLatin1String(row.model));
                faults << captionFaults(form.ClusterInfo);
            }
            form.PM_label->setText(QStringLiteral("OFF"));
        } else if (state == "setup" || state == "wifi" || state == "searching") {
            Setup_Form* setup = w.setup();
            QVERIFY(setup);
            window = setup;
            if (state == "wifi") {
                setup->CommPort_List->setCurrentRow(setup->CommPort_List->count() - 1);
                QVERIFY(setup->NetAddress->isVisible());
            } else if (state == "searching") {
                setup->FindAdapter_Click();
                QCOMPARE(caption(setup->FindAdapter->text()), QString("Stop"));
            }
        } else if (state == "about") {
            form.mnu_About_Click();
            window = form.aboutBox();
        } else if (state == "log" || state == "changes") {
            form.mnu_Log_Click();
            window = form.logWindow();
            QVERIFY(window);
            if (state == "changes") window->findChild<QTabWidget*>("tabs")->setCurrentIndex(1);
        }
        QVERIFY(window && window->isVisible());
        QApplication::processEvents();
        const QString pictures = qEnvironmentVariable("TAVRIN_CAPTION_PICTURES");
        if (!pictures.isEmpty())
            window->grab().save(QDir(pictures).filePath(QString(QTest::currentDataTag()) + ".png"));
        faults << captionFaults(window);
        faults.removeDuplicates();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("; ")));

        // Fitting never makes room by growing a window.
        if (window == &form) {
            QCOMPARE(form.centralWidget()->size(), size);
            QCOMPARE(form.width(), size.width());
        } else if (size.isValid()) {
            QCOMPARE(window->width(), size.width());
            if (size.height() > 0) QCOMPARE(window->height(), size.height());
        }
        w.rig.settle();
    }
};

TAVRIN_TEST(CaptionFitTest)
#include "CaptionFitTest.moc"
