#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "TestSupport.h"
#include "about/frmAbout.h"
#include "app/Form1.h"
#include "core/Defines.h"

using namespace tavrin;

namespace {

struct Bench {
    Defines d;
    test::TestHost host;
    Form1 form{d, host};

    Bench() { d.IniFilePath = QDir(host.programFolder()).filePath(QStringLiteral("QUILLET.INI")); }
    ~Bench() {
        if (QWidget* box = form.aboutBox()) delete box;
    }

    frmAbout* open() {
        form.mnu_About_Click();
        return qobject_cast<frmAbout*>(form.aboutBox());
    }
};

int visibleBoxes() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<frmAbout*>(w) && w->isVisible()) ++n;
    }
    return n;
}

}  // namespace

class AboutTest : public QObject {
    Q_OBJECT
private slots:
    void texts() {
        Bench b;
        frmAbout* box = b.open();
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("About Tavrin"));
        QCOMPARE(box->lblVersion->text(), QStringLiteral("Version 1.0.0"));
        QCOMPARE(box->lblTitle->text(), QStringLiteral("Tavrin"));
        QCOMPARE(box->lblDescription->text(),
                 QStringLiteral("This program can be used on the following cars:\r\n"
                                "2002 - 2008 BA/BF Falcon Series\r\n"
                                "2004 - 2010 SX/SY Territory Series\r\n"));
        QCOMPARE(box->lblDisclaimer->text(),
                 QStringLiteral(" Warning: This program may damage your instrument cluster!  "
                                "Use at own risk.  I take no responsibility for incorrect use "
                                "or damage that may be caused by this program, directly or "
                                "indirectly"));
        QCOMPARE(box->cmdOK->text(), QStringLiteral("OK"));
        // Plain text: nothing in them may be taken for markup.
        QCOMPARE(box->lblDescription->textFormat(), Qt::PlainText);
        QCOMPARE(box->lblDisclaimer->textFormat(), Qt::PlainText);
        QVERIFY(box->lblDescription->wordWrap());
        QVERIFY(box->lblDisclaimer->wordWrap());
        for (QLabel* label : {box->lblTitle, box->lblDescription, box->lblDisclaimer}) {
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
        }
    }

    void windowAndLayout() {
        Bench b;
        frmAbout* box = b.open();
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QVERIFY(!box->isModal());
        QVERIFY(box->isWindow());
        QCOMPARE(box->parentWidget(), nullptr);
        QVERIFY(box->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!(box->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(box->windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(box->size(), QSize(382, 214));
        QCOMPARE(box->picIcon->geometry(), QRect(8, 8, 32, 32));
        QCOMPARE(box->lblTitle->geometry(), QRect(70, 16, 259, 16));
        QCOMPARE(box->lblVersion->geometry(), QRect(70, 32, 259, 15));
        QCOMPARE(box->lblDescription->geometry(), QRect(70, 48, 259, 78));
        QCOMPARE(box->lblDisclaimer->geometry(), QRect(16, 144, 258, 63));
        QCOMPARE(box->cmdOK->geometry(), QRect(283, 160, 84, 23));
        QVERIFY(box->cmdOK->isDefault());
        QCOMPARE(box->findChild<QPushButton*>(QStringLiteral("cmdOK")), box->cmdOK);
    }

    void iconIsTheProgramIcon() {
        Bench b;
        frmAbout* box = b.open();
        QVERIFY(box);
        const QPixmap shown = box->picIcon->pixmap();
        QCOMPARE(shown.size(), QSize(32, 32));
        const QImage file(QStringLiteral(":/icons/tavrin-32.png"));
        QVERIFY(!file.isNull());
        QCOMPARE(file.size(), QSize(32, 32));
        QVERIFY(file.colorCount() > 0 && file.colorCount() <= 16);
        QCOMPARE(shown.toImage().convertToFormat(QImage::Format_ARGB32),
                 file.convertToFormat(QImage::Format_ARGB32));
        QVERIFY(!ProgramIcon().isNull());
        QVERIFY(ProgramIcon().availableSizes().contains(QSize(32, 32)));
    }

    void separatorLines() {
        Bench b;
        frmAbout* box = b.open();
        QVERIFY(box);
        const QImage shot = box->grab().toImage();
        QCOMPARE(shot.size(), QSize(382, 214));
        const QColor grey(128, 128, 128);
        const QColor white(Qt::white);
        // Grey, one pixel, 6 to 377 at 136; white, two pixels, 8 to 378 below it.
        QCOMPARE(shot.pixelColor(6, 136), grey);
        QCOMPARE(shot.pixelColor(200, 136), grey);
        QCOMPARE(shot.pixelColor(377, 136), grey);
        QVERIFY(shot.pixelColor(5, 136) != grey);
        QVERIFY(shot.pixelColor(200, 135) != grey && shot.pixelColor(200, 135) != white);
        QCOMPARE(shot.pixelColor(8, 137), white);
        QCOMPARE(shot.pixelColor(378, 137), white);
        QCOMPARE(shot.pixelColor(378, 136), white);
        QVERIFY(shot.pixelColor(7, 137) != white);
        QVERIFY(shot.pixelColor(200, 138) != white);
    }

    void okEnterAndEscapeClose_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Esc") << int(Qt::Key_Escape);
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("OK clicked") << 0;
    }

    void okEnterAndEscapeClose() {
        QFETCH(int, key);
        Bench b;
        QPointer<frmAbout> box = b.open();
        QVERIFY(box);
        QVERIFY(QTest::qWaitForWindowExposed(box));
        if (key == 0) {
            QTest::mouseClick(box->cmdOK, Qt::LeftButton);
        } else {
            QWidget* target = box->focusWidget() ? box->focusWidget() : box.data();
            QTest::keyClick(target, Qt::Key(key));
        }
        QVERIFY(box.isNull() || !box->isVisible());
        QTRY_VERIFY(box.isNull());
        QCOMPARE(b.form.aboutBox(), nullptr);
    }

    void singleBox() {
        Bench b;
        frmAbout* first = b.open();
        QVERIFY(first);
        frmAbout* second = b.open();
        QCOMPARE(second, first);
        QCOMPARE(visibleBoxes(), 1);

        // Once closed, the next opening builds a new one.
        QPointer<frmAbout> old = first;
        first->close();
        QTRY_VERIFY(old.isNull());
        frmAbout* third = b.open();
        QVERIFY(third);
        QVERIFY(third->isVisible());
        QCOMPARE(visibleBoxes(), 1);
    }

    void outlivesTheMainWindow() {
        Bench b;
        b.form.show();
        frmAbout* box = b.open();
        QVERIFY(box);
        QVERIFY(b.form.close());
        QVERIFY(!b.form.isVisible());
        QVERIFY(box->isVisible());
        // Not tied to the main window, so it keeps the program running too.
        QVERIFY(!box->windowHandle() || !box->windowHandle()->transientParent());
    }
};

TAVRIN_TEST(AboutTest)
#include "AboutTest.moc"
