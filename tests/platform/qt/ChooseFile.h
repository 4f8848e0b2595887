// Answering Qt's own save dialog in the Qt layer's tests.
#pragma once

#include <QFileDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QString>

// Types `file` into the dialog's name field and accepts, as a user does;
// false where the dialog has no such field. QFileDialog::selectFile() would
// leave the field as it is while the field has the focus, which the dialog
// gives it some time after it shows.
inline bool chooseFile(QFileDialog &dialog, const QString &file)
{
    auto *name = dialog.findChild<QLineEdit *>("fileNameEdit");
    if (!name)
        return false;
    name->setText(file);
    QMetaObject::invokeMethod(&dialog, "accept");
    return true;
}
