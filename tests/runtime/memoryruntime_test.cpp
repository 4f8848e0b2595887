// The in-memory runtime that the logic's tests run on, held to the contract
// that the real layers keep.
#include "FormsRuntimeContract.h"
#include "MemoryRuntime.h"

#include <numeric>

using namespace testsupport;

namespace {

// The user's doing, played straight into the runtime's fields and the events.
class MemoryDriver final : public RuntimeDriver {
public:
    MemoryDriver()
    {
        memory_.duringPause = [this](int) {
            for (const ControlIndex button : std::exchange(queued_, {}))
                click(button);
        };
    }

    runtime::FormsRuntime &runtime() override { return memory_; }
    void setEvents(runtime::FormEvents &events) override { events_ = &events; }

    bool enabled(ControlIndex control) override { return memory_.enabled.at(control); }
    std::optional<ControlIndex> focus() override { return memory_.focus; }
    runtime::Pointer pointer() override { return memory_.pointer; }
    std::vector<runtime::Message> boxes() override { return memory_.messages; }
    std::vector<DialogSeen> dialogs() override
    {
        std::vector<DialogSeen> seen;
        for (const runtime::SaveFileRequest &request : memory_.saveRequests)
            seen.push_back({request.title, request.filter.substr(0, request.filter.find(u'|')), request.fileName,
                            (request.flags & runtime::kOverwritePrompt) != 0});
        return seen;
    }

    void click(ControlIndex button) override
    {
        if (enabled(button) && events_)
            events_->Click(button);
    }
    void clickLater(ControlIndex button) override { queued_.push_back(button); }
    void pressEnter(ControlIndex control) override
    {
        if (!enabled(control) || !events_)
            return;
        if (window::kLayout[control].kind == window::Kind::Button)
            events_->Click(control);
        else
            events_->KeyPress(control, 13);
    }
    void paste(ControlIndex field, std::size_t position, const Text &text) override
    {
        if (enabled(field))
            memory_.paste(field, position, text);
    }
    void close() override
    {
        if (events_)
            events_->Unload();
    }
    void answerDialogWith(std::optional<Text> file) override { memory_.chosenFile = std::move(file); }

    // The runtime's clock moves only while it pauses.
    std::chrono::milliseconds now() override
    {
        return std::accumulate(memory_.pauses.begin(), memory_.pauses.end(), std::chrono::milliseconds(0));
    }

private:
    MemoryRuntime memory_;
    runtime::FormEvents *events_ = nullptr;
    std::vector<ControlIndex> queued_;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Memory, FormsRuntimeContract,
                         testing::Values(Layer{"Memory", [] { return std::unique_ptr<RuntimeDriver>(new MemoryDriver); }}),
                         layerName);
