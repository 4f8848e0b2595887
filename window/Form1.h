// The program's only window: the address, count and size fields, the list of
// probe lines, the three time fields and the commands that work on them.
#pragma once

#include "Module1.h"
#include "Services.h"

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class Form1 : public QWidget
{
    Q_OBJECT

public:
    Form1(Module1::EchoService &echo, platform::Services services, QWidget *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    template <typename T>
    T *control(const char *name) const;
    void ClearResults();
    void RunPings();
    void SaveReport();

    Module1::EchoService &echo_;
    platform::Services services_;
    bool running_ = false;  // a run is in progress
    bool closing_ = false;  // the window was closed; a run in progress ends

    QGroupBox *Frame1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLineEdit *Text5 = nullptr;
    QLineEdit *Text6 = nullptr;
    QLineEdit *Text7 = nullptr;
    QLineEdit *Text8 = nullptr;
    QLineEdit *Text9 = nullptr;
    QListWidget *List1 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
};
