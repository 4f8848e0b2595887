#include "QtServices.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

namespace platform {
namespace {

void showMessage(const Message &message)
{
    QMessageBox box(message.icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                    message.title, message.text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

std::optional<QString> askSaveFileName(const SaveFileRequest &request)
{
    QFileDialog dialog(QApplication::activeWindow(), request.title, QString(), request.filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(request.fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

// The window keeps painting and answering input while it waits. Quitting the
// application (the last window closed) ends the wait at once.
void pauseThenProcessEvents(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::processEvents();
}

} // namespace

Services qtServices()
{
    return Services{showMessage, askSaveFileName, pauseThenProcessEvents, [] { return QDateTime::currentDateTime(); }};
}

} // namespace platform
