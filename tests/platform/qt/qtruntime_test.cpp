// The Qt layer held to the forms-runtime contract, on real widgets, boxes and
// dialogs, headless.
#include "ChooseFile.h"
#include "FormsRuntimeContract.h"
#include "platform/qt/QtForm.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace testsupport;
using platform::qt::QtForm;

namespace {

QString qtText(const Text &text)
{
    return QString::fromStdU16String(text);
}

// The user before the real window: mouse and keys by Qt Test, and a watch
// that answers each modal box and dialog once it shows.
class QtDriver final : public RuntimeDriver {
public:
    QtDriver()
    {
        form_.show();
        QApplication::setActiveWindow(&form_);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form_));
        QObject::connect(&modalWatch_, &QTimer::timeout, &form_, [this] { answerModal(); });
        modalWatch_.start(10);
    }

    runtime::FormsRuntime &runtime() override { return form_; }
    void setEvents(runtime::FormEvents &events) override { form_.setEvents(events); }

    bool enabled(ControlIndex control) override { return form_.widget(control)->isEnabled(); }
    std::optional<ControlIndex> focus() override
    {
        for (const window::ControlRow &row : window::kLayout) {
            if (form_.widget(row.id) == form_.focusWidget())
                return row.id;
        }
        return std::nullopt;
    }
    runtime::Pointer pointer() override
    {
        return form_.cursor().shape() == Qt::BusyCursor ? runtime::Pointer::Busy : runtime::Pointer::Default;
    }
    std::vector<runtime::Message> boxes() override { return boxes_; }
    std::vector<DialogSeen> dialogs() override { return dialogs_; }

    void click(ControlIndex button) override { QTest::mouseClick(form_.widget(button), Qt::LeftButton); }
    void clickLater(ControlIndex button) override
    {
        QTimer::singleShot(0, &form_, [this, button] { click(button); });
    }
    void pressEnter(ControlIndex control) override { QTest::keyClick(form_.widget(control), Qt::Key_Return); }
    void paste(ControlIndex field, std::size_t position, const Text &text) override
    {
        auto *edit = form_.widget<QLineEdit>(field);
        edit->setCursorPosition(int(position));
        QApplication::clipboard()->setText(qtText(text));
        QTest::keySequence(edit, QKeySequence::Paste);
    }
    void close() override { form_.close(); }
    void answerDialogWith(std::optional<Text> file) override { answer_ = std::move(file); }

    std::chrono::milliseconds now() override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    }

private:
    void answerModal()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            EXPECT_EQ(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok)) << "OK only";
            EXPECT_TRUE(box->icon() == QMessageBox::NoIcon || box->icon() == QMessageBox::Warning);
            boxes_.push_back({box->text().toStdU16String(), box->windowTitle().toStdU16String(),
                              box->icon() == QMessageBox::Warning ? runtime::MessageIcon::Exclamation
                                                                  : runtime::MessageIcon::None});
            box->accept();
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            dialogs_.push_back({dialog->windowTitle().toStdU16String(), dialog->selectedNameFilter().toStdU16String(),
                                QFileInfo(dialog->selectedFiles().value(0)).fileName().toStdU16String(),
                                !dialog->testOption(QFileDialog::DontConfirmOverwrite)});
            if (answer_) {
                EXPECT_TRUE(chooseFile(*dialog, qtText(*answer_))) << "the dialog has no name field";
            } else {
                QMetaObject::invokeMethod(dialog, "reject");
            }
        }
    }

    QtForm form_;
    QTimer modalWatch_;
    std::vector<runtime::Message> boxes_;
    std::vector<DialogSeen> dialogs_;
    std::optional<Text> answer_;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Qt, FormsRuntimeContract,
                         testing::Values(Layer{"Qt", [] { return std::unique_ptr<RuntimeDriver>(new QtDriver); }}),
                         layerName);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
