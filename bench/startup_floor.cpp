// The least a Qt Widgets program with the main window's widgets costs to start:
// the same controls and captions, placed by hand, with no fonts, colours, icon
// or focus order of their own. bench/startup compares the real window with it.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("startup_floor"));
    window.setFixedSize(528, 381);

    auto *frame = new QGroupBox(QStringLiteral("Ping"), &window);
    frame->setGeometry(3, 0, 521, 377);
    const char *labels[] = {"試験場所", "試験箇所", "IP アドレス", "Packets",
                            "Chars/Pkt", "Minimum =", "Maximum =", "Average ="};
    const char *texts[] = {"", "", "", "5", "32", "", "", ""};
    for (int i = 0; i < 8; ++i) {
        auto *label = new QLabel(QString::fromUtf8(labels[i]), frame);
        label->setGeometry(10 + 128 * (i / 4), 40 + 30 * (i % 4), 80, 20);
        auto *text = new QLineEdit(QString::fromUtf8(texts[i]), frame);
        text->setGeometry(90 + 128 * (i / 4), 40 + 30 * (i % 4), 40, 20);
    }
    const char *buttons[] = {"Ping Start", "SaveData", "DataClear"};
    for (int i = 0; i < 3; ++i)
        (new QPushButton(QString::fromUtf8(buttons[i]), frame))->setGeometry(420, 40 + 40 * i, 80, 33);
    (new QListWidget(frame))->setGeometry(64, 176, 409, 148);

    window.show();
    return app.exec();
}
