#include "report/SaveReport.h"

#include "platform/Conversions.h"
#include "report/ReportText.h"
#include "window/Layout.h"

namespace report {

void SaveReport(platform::FormsRuntime &runtime)
{
    using namespace window;
    using platform::kExplorer, platform::kHideReadOnly, platform::kLongNames, platform::kNoChangeDir,
            platform::kOverwritePrompt;

    const std::optional<Text> path = runtime.saveFileName({
            .filter = u"テキスト (*.txt)|*.txt",
            .filterIndex = 1,
            .title = u"保存ファイル選択",
            .flags = kOverwritePrompt | kHideReadOnly | kNoChangeDir | kExplorer | kLongNames,
            .fileName = u"Pingdata",
    });
    if (!path)
        return; // cancelled: nothing written

    ReportFields fields{
            .site = runtime.text(Text8),
            .point = runtime.text(Text9),
            .address = runtime.text(Text1),
            .size = runtime.text(Text2),
            .count = runtime.text(Text3),
            .results = {},
            .minimum = runtime.text(Text5),
            .maximum = runtime.text(Text6),
            .average = runtime.text(Text7),
    };
    for (int i = 0, n = runtime.lineCount(List1); i < n; ++i)
        fields.results.push_back(runtime.line(List1, i));

    std::vector<Text> lines;
    try {
        lines = reportLines(fields, runtime.generalDateNow(), runtime.decimalMark());
    } catch (const platform::RunTimeError &) {
        return; // the count field is no usable number: nothing is written
    }
    if (const auto failure = runtime.appendLines(*path, lines)) {
        runtime.messageBox({u"The report could not be saved to " + *path + u": " + failure->reason + u".\n"
                            + (failure->restored ? u"The file is as it was before."
                                                 : u"The file could not be restored: the end of it may hold part of "
                                                   u"this report.")});
        return;
    }
    runtime.setEnabled(Command2, false);
    runtime.messageBox({u"　保存しました。　　　　　", u"保存メッセージ"});
}

} // namespace report
