// qt_geometry EXPECTED_FILE
//
// The Linux window's controls, each as "name left top width height" in the
// window's client area at 96 dpi, compared line by line with EXPECTED_FILE,
// the list the Windows window is held to as well (tools/ci/windows.sh runs
// tst_win32form.exe --geometry against the same file). Lines starting with
// "#" there are notes; lines starting with "windows" are the Windows window's
// own. Prints the differences and exits 1 when there are any.
#include "platform/qt/QtForm.h"
#include "layout/Layout.h"

#include <QApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: qt_geometry EXPECTED_FILE\n");
        return 2;
    }
    platform::qt::QtForm form;
    QStringList got;
    for (const window::ControlRow &row : window::kLayout) {
        const QWidget *control = form.widget(row.id);
        const QPoint at = control->mapTo(&form, QPoint(0, 0));
        got << QStringLiteral("%1 %2 %3 %4 %5")
                   .arg(QLatin1String(row.name))
                   .arg(at.x())
                   .arg(at.y())
                   .arg(control->width())
                   .arg(control->height());
    }

    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "qt_geometry: cannot read %s\n", argv[1]);
        return 2;
    }
    QStringList expected;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (!line.isEmpty() && !line.startsWith(u'#') && !line.startsWith(QLatin1String("windows ")))
            expected << line;
    }
    int differences = 0;
    for (qsizetype i = 0; i < std::max(got.size(), expected.size()); ++i) {
        if (got.value(i) != expected.value(i)) {
            std::printf("differs: Linux window \"%s\", expected \"%s\"\n", qPrintable(got.value(i)),
                        qPrintable(expected.value(i)));
            ++differences;
        }
    }
    std::printf("qt_geometry: %d of %d controls differ\n", differences, int(got.size()));
    return differences == 0 ? 0 : 1;
}
