// Sondar on Linux: the window's logic over the Qt layer.
#include "platform/qt/QtForm.h"
#include "platform/qt/Translations.h"
#include "probe/Module1.h"
#include "window/Form1.h"

#include <QApplication>
#include <QSettings>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Sondar keeps no settings of its own and leaves no file of its own
    // behind, however it ends (a signal, a lost display). Qt's file dialog
    // would store its history in the user's settings: their path leads
    // beneath /dev/null, which is never a folder, so Qt writes them nowhere
    // and they live only in memory. The window itself remembers the last
    // folder within a session. The desktop's own save dialog, where Qt's GTK
    // platform theme lends it, adds the chosen report to the desktop's recent
    // files as it does for every program: that list is the desktop's, kept
    // where the user expects a file they saved to appear.
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null/sondar"));
    platform::qt::installQtTranslations(QLocale());

    platform::qt::QtForm form;
    Module1::SystemEcho echo([&form](const std::string &text) {
        form.messageBox({runtime::fromUtf8(text), runtime::kApplicationTitle, runtime::MessageIcon::Exclamation});
    });
    window::Form1 form1(form, echo);
    form.setEvents(form1);
    form.show();
    return app.exec();
}
