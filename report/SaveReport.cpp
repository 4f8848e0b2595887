#include "report/SaveReport.h"

#include "runtime/Conversions.h"
#include "report/ReportText.h"
#include "layout/Layout.h"

namespace report {
namespace {

// What the box after a failed save says of the file.
Text aftermathText(runtime::Aftermath aftermath)
{
    switch (aftermath) {
    case runtime::Aftermath::NothingWritten:
        return u"Nothing was written.";
    case runtime::Aftermath::AsBefore:
        break;
    case runtime::Aftermath::RemovedAgain:
        return u"The file did not exist before this save and was removed again.";
    case runtime::Aftermath::MayHoldPart:
        return u"The file could not be restored: the end of it may hold part of this report.";
    case runtime::Aftermath::CreatedEmpty:
        return u"The file did not exist before this save and could not be removed again; it holds nothing of this "
               u"report.";
    }
    return u"The file is as it was before.";
}

} // namespace

void SaveReport(runtime::FormsRuntime &runtime)
{
    using namespace window;
    using runtime::kExplorer, runtime::kHideReadOnly, runtime::kLongNames, runtime::kNoChangeDir,
            runtime::kOverwritePrompt;

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
    } catch (const runtime::RunTimeError &) {
        return; // the count field is no usable number: nothing is written
    }
    if (const auto failure = runtime.appendLines(*path, lines)) {
        runtime.messageBox({u"The report could not be saved to " + *path + u": " + failure->reason + u".\n"
                            + aftermathText(failure->aftermath)});
        return;
    }
    runtime.setEnabled(Command2, false);
    runtime.messageBox({u"　保存しました。　　　　　", u"保存メッセージ"});
}

} // namespace report
