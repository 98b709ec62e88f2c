// The user guide and the manual page against the program's own tables: the
// write history's outcomes they list are exactly the ones the program writes.
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <algorithm>

#include "TestSupport.h"
#include "cluster/SessionWords.h"

using namespace tavrin;

namespace {

QString sourceText(const QString& path) {
    QFile file(QStringLiteral(TAVRIN_SOURCE_DIR "/") + path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

// The README's outcomes: the first code span of each item of the list that
// follows the line ending "one of:" in the section "## Write history".
QStringList readmeOutcomes(const QString& text) {
    static const QRegularExpression item(QStringLiteral("^- `([^`]+)`"));
    QStringList found;
    bool inSection = false;
    bool inList = false;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("## "))) {
            if (inSection) break;
            inSection = line == QLatin1String("## Write history");
            continue;
        }
        if (!inSection) continue;
        if (!inList) {
            inList = line.endsWith(QLatin1String("one of:"));
            continue;
        }
        const QRegularExpressionMatch m = item.match(line);
        if (m.hasMatch()) {
            found << m.captured(1);
        } else if (!line.startsWith(QLatin1String("  ")) && !found.isEmpty()) {
            break;  // neither an item nor its continuation: the list has ended
        }
    }
    return found;
}

// The manual page's outcomes: the tags (the line after .TP, a .B line) in
// its section WRITE HISTORY, with roff's quotes and \- undone.
QStringList manOutcomes(const QString& text) {
    static const QRegularExpression tag(QStringLiteral("^\\.B\\s+\"?([^\"]*)\"?\\s*$"));
    QStringList found;
    bool inSection = false;
    bool afterTp = false;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH"))) {
            inSection = line.contains(QLatin1String("WRITE HISTORY"));
            afterTp = false;
            continue;
        }
        if (inSection && afterTp) {
            const QRegularExpressionMatch m = tag.match(line);
            QString name = m.hasMatch() ? m.captured(1) : line;
            found << name.replace(QLatin1String("\\-"), QLatin1String("-"));
        }
        afterTp = inSection && line.startsWith(QLatin1String(".TP"));
    }
    return found;
}

// An outcome's form as a pattern: each %n stands for some text.
QRegularExpression formPattern(const QString& form) {
    QStringList parts = form.split(QRegularExpression(QStringLiteral("%[1-9]")));
    for (QString& part : parts) part = QRegularExpression::escape(part);
    return QRegularExpression(QStringLiteral("^") + parts.join(QStringLiteral(".+")) +
                              QStringLiteral("$"));
}

}  // namespace

class DocumentsTest : public QObject {
    Q_OBJECT

private slots:
    void outcomesAreTheProgramsOwn_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("README.md") << "README.md" << readmeOutcomes(sourceText("README.md"));
        QTest::newRow("tavrin.1") << "packaging/man/tavrin.1"
                                  << manOutcomes(sourceText("packaging/man/tavrin.1"));
    }

    void outcomesAreTheProgramsOwn() {
        QFETCH(QString, file);
        QFETCH(QStringList, listed);
        QVERIFY2(!listed.isEmpty(), qPrintable(file + ": no list of outcomes found"));
        const QStringList forms = words::OutcomeForms();
        QList<QRegularExpression> patterns;
        for (const QString& form : forms) patterns << formPattern(form);
        const auto shows = [](const QString& text, const QRegularExpression& pattern) {
            return pattern.match(text).hasMatch();
        };
        QStringList missing;
        for (qsizetype i = 0; i < forms.size(); ++i) {
            if (std::none_of(listed.begin(), listed.end(),
                             [&](const QString& l) { return shows(l, patterns[i]); }))
                missing << forms[i];
        }
        QStringList unknown;
        for (const QString& l : listed) {
            if (std::none_of(patterns.begin(), patterns.end(),
                             [&](const QRegularExpression& p) { return shows(l, p); }))
                unknown << l;
        }
        QVERIFY2(missing.isEmpty(), qPrintable(file + " does not list the outcome(s) \"" +
                                               missing.join("\", \"") + "\""));
        QVERIFY2(unknown.isEmpty(), qPrintable(file +
                                               " lists outcome(s) the program never "
                                               "writes: \"" +
                                               unknown.join("\", \"") + "\""));
    }
};

TAVRIN_TEST(DocumentsTest)
#include "DocumentsTest.moc"
