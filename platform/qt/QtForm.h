// The forms runtime on Qt Widgets: the window built from the layout table, and
// every runtime operation the window's logic asks for.
#pragma once

#include "runtime/FormsRuntime.h"
#include "layout/Layout.h"

#include <QWidget>

#include <array>

namespace platform::qt {

// The layer supplies the contract, and names its types as its own.
using namespace runtime;

class QtForm final : public QWidget, public FormsRuntime {
    Q_OBJECT

public:
    explicit QtForm(QWidget *parent = nullptr);

    // Where the window reports clicks, keys and its closing; set once, before
    // the window is shown.
    void setEvents(FormEvents &events) { events_ = &events; }

    // The control's widget; a control that is not of the asked type is a
    // programming error and stops the program in every build.
    template <typename T = QWidget>
    T *widget(ControlIndex control) const;

    Text text(ControlIndex control) const override;
    void setText(ControlIndex control, const Text &text) override;
    void setEnabled(ControlIndex control, bool enabled) override;
    void setFocus(ControlIndex control) override;
    void clearList(ControlIndex list) override;
    void addLine(ControlIndex list, const Text &line) override;
    Text line(ControlIndex list, int index) const override;
    int lineCount(ControlIndex list) const override;
    void setPointer(Pointer pointer) override;
    void messageBox(const Message &message) override;
    void pause(std::chrono::milliseconds duration) override;
    std::optional<Text> saveFileName(const SaveFileRequest &request) override;
    Text generalDateNow() const override;
    Text decimalMark() const override;
    std::string narrow(const Text &text) const override;
    std::optional<AppendFailure> appendLines(const Text &path, std::span<const Text> lines) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The steps that build the window from the layout table.
    void setUpWindow();
    void createControls();
    void linkCaptions();
    void setFocusOrder();
    void connectEvents();

    QWidget *checkedWidget(ControlIndex control, const char *type, bool matches) const;
    void takeDesignedSize();
    void tellGeometry();
    void followReportedState(Qt::WindowStates states);

    std::array<QWidget *, window::kLayout.size()> widgets_{};
    FormEvents *events_ = nullptr;
    QString lastFolder_; // where the last save went
    Qt::WindowStates reportedStates_ = Qt::WindowNoState; // the state the window system last reported
    bool geometryUntold_ = false; // Wayland: a size taken while Qt counted the window as hidden
};

template <typename T>
T *QtForm::widget(ControlIndex control) const
{
    QWidget *w = control < widgets_.size() ? widgets_[control] : nullptr;
    return static_cast<T *>(checkedWidget(control, T::staticMetaObject.className(), qobject_cast<T *>(w) != nullptr));
}

} // namespace platform::qt
