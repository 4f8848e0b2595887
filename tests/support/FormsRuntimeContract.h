// The forms-runtime contract, written once: what every layer under the
// window's logic must do, run against each layer through a driver that shows
// what the user sees of it and does what the user does. A layer's test
// program instantiates the suite with its driver:
//
//   INSTANTIATE_TEST_SUITE_P(Qt, FormsRuntimeContract, testing::Values(Layer{"Qt", makeQtDriver}),
//                            layerName);
#pragma once

#include "runtime/FormsRuntime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace testsupport {

using runtime::ControlIndex;
using runtime::Text;

// What the save dialog showed the user.
struct DialogSeen {
    Text title;
    Text filter;       // the filter's description, as the dialog lists it
    Text proposedName; // the file name it offered
    bool confirmsOverwrite = false;
};

class RuntimeDriver {
public:
    virtual ~RuntimeDriver() = default;
    virtual runtime::FormsRuntime &runtime() = 0;
    // Where the layer reports what the user does.
    virtual void setEvents(runtime::FormEvents &events) = 0;

    // What the user sees.
    virtual bool enabled(ControlIndex control) = 0;
    virtual std::optional<ControlIndex> focus() = 0;
    virtual runtime::Pointer pointer() = 0;
    // Every box shown so far, each dismissed with OK once it showed.
    virtual std::vector<runtime::Message> boxes() = 0;
    // Every save dialog shown so far.
    virtual std::vector<DialogSeen> dialogs() = 0;

    // What the user does, with mouse and keys.
    virtual void click(ControlIndex button) = 0;
    // A click made while the program is busy: it waits until the runtime next
    // handles the window's events.
    virtual void clickLater(ControlIndex button) = 0;
    virtual void pressEnter(ControlIndex control) = 0;
    // Pastes with the text box's cursor at `position`.
    virtual void paste(ControlIndex field, std::size_t position, const Text &text) = 0;
    virtual void close() = 0;
    // The next save dialog is answered with this file, or cancelled.
    virtual void answerDialogWith(std::optional<Text> file) = 0;

    // The clock the runtime's pause waits on.
    virtual std::chrono::milliseconds now() = 0;
};

struct Layer {
    const char *name;
    std::function<std::unique_ptr<RuntimeDriver>()> makeDriver;
};

inline void PrintTo(const Layer &layer, std::ostream *out)
{
    *out << layer.name;
}

inline std::string layerName(const testing::TestParamInfo<Layer> &info)
{
    return info.param.name;
}

class FormsRuntimeContract : public testing::TestWithParam<Layer> {
protected:
    void SetUp() override { driver = GetParam().makeDriver(); }
    void TearDown() override { driver.reset(); }

    std::unique_ptr<RuntimeDriver> driver;
};

} // namespace testsupport
