#include "Form1.h"
#include "Module1.h"
#include "QtServices.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    const platform::Services services = platform::qtServices();
    Module1::SystemEcho echo([&services](const std::string &text) {
        services.messageBox(platform::Message{QString::fromLocal8Bit(text), platform::kApplicationTitle,
                                              platform::MessageIcon::Warning});
    });

    Form1 form(echo, services);
    form.show();
    return app.exec();
}
