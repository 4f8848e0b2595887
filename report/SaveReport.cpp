// "SaveData": appends the report of what the window shows to a file the user
// chooses, whole or not at all.
#include "Form1.h"

#include "Conversions.h"
#include "ReportFile.h"
#include "ReportText.h"

#include <QDir>
#include <QListWidget>
#include <QLineEdit>
#include <QPushButton>

void Form1::SaveReport()
{
    const std::optional<QString> path = services_.saveFileName(
            {QStringLiteral("保存ファイル選択"), QStringLiteral("テキスト (*.txt)"), QStringLiteral("Pingdata")});
    if (!path)
        return; // cancelled: nothing written

    report::ReportFields fields{Text8->text(), Text9->text(), Text1->text(), Text2->text(), Text3->text(),
                                {}, Text5->text(), Text6->text(), Text7->text()};
    for (int i = 0; i < List1->count(); ++i)
        fields.results << List1->item(i)->text();

    QStringList lines;
    try {
        lines = report::reportLines(fields, services_.now(), locale());
    } catch (const platform::RunTimeError &) {
        return; // the count field is no usable number: nothing is written
    }
    if (const auto reason = platform::appendLines(*path, lines)) {
        services_.messageBox({tr("The report could not be saved to %1: %2.\nThe file is as it was before.")
                                      .arg(QDir::toNativeSeparators(*path), *reason)});
        return;
    }
    Command2->setEnabled(false);
    services_.messageBox({QStringLiteral("　保存しました。　　　　　"), QStringLiteral("保存メッセージ")});
}
