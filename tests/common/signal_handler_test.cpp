#include "common/signal_handler.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "log_test_support.h"

namespace {

// The system hook of the collections under test: records "+<signal>" (installed) and "-<signal>"
// (default restored); the system refuses signal 4.
std::string g_hookCalls;

platform::SysResult RecordingHook(int signal, platform::SignalDispatch dispatch) noexcept {
    g_hookCalls += (g_hookCalls.empty() ? "" : " ") + std::string(dispatch != nullptr ? "+" : "-") +
                   std::to_string(signal);
    return signal == 4 ? platform::SysResult::Fail(5) : platform::SysResult::Ok();
}

class Handler : public os::SignalHandler {
public:
    explicit Handler(std::shared_ptr<os::SignalHandlerCollection> c) : os::SignalHandler(std::move(c)) {}
    ~Handler() override { UnregisterAll(); }
    void OnSignal(int signal) noexcept override { received += std::to_string(signal) + " "; }
    std::string received;
};

struct Fixture {
    std::shared_ptr<os::SignalHandlerCollection> c =
        std::make_shared<os::SignalHandlerCollection>(GetProcessDebugLog(), &RecordingHook);
    Handler a{c};
    Handler b{c};
    const int two[2] = {2, 15};

    std::string Name(os::SignalHandler* h) const { return h == nullptr ? "null" : h == &a ? "a" : "b"; }
    std::string Registrations() const {
        std::string text;
        for (const auto& [signal, handler] : c->Handlers()) {
            text += (text.empty() ? "" : " ") + std::to_string(signal) + ":" + Name(handler);
        }
        return text;
    }
};

TEST(SignalHandlerCollection, RegistrationRules) {
    const struct Row {
        const char* rule;
        std::function<std::string(Fixture&)> act;
        const char* result;
        const char* hooks;
        const char* registrations;
    } rows[] = {
        {"the first handler gets the hook", [](Fixture& f) { return f.Name(f.a.Register(2)); }, "null", "+2",
         "2:a"},
        {"a second handler replaces the first, which is returned; the hook is not set again",
         [](Fixture& f) { return f.a.Register(2), f.Name(f.b.Register(2)); }, "a", "+2", "2:b"},
        {"registering null removes the entry and restores the default",
         [](Fixture& f) { return f.a.Register(2), f.Name(f.c->Register(nullptr, 2)); }, "a", "+2 -2", ""},
        {"null for a free signal changes nothing",
         [](Fixture& f) { return f.Name(f.c->Register(nullptr, 15)); }, "null", "", ""},
        {"256 is skipped", [](Fixture& f) { return f.Name(f.a.Register(256)); }, "null", "", ""},
        {"an array skips 256",
         [](Fixture& f) {
             return f.a.Register(std::array{2, 256, 15}.data(), 3), std::string("-");
         },
         "-", "+2 +15", "2:a 15:a"},
        {"unregistering another handler's signal leaves it",
         [](Fixture& f) { return f.a.Register(2), f.b.Unregister(2), std::string("-"); }, "-", "+2", "2:a"},
        {"unregistering removes the entry and restores the default",
         [](Fixture& f) { return f.a.Register(2), f.a.Unregister(2), std::string("-"); }, "-", "+2 -2", ""},
        {"unregistering all removes only the handler's own",
         [](Fixture& f) {
             return f.a.Register(f.two, 2), f.b.Register(3), f.a.UnregisterAll(), std::string("-");
         },
         "-", "+2 +15 +3 -2 -15", "3:b"},
        {"a hook the system refuses keeps the registration",
         [](Fixture& f) { return f.Name(f.a.Register(4)); }, "null", "+4", "4:a"},
        {"a signal reaches its own handler only",
         [](Fixture& f) {
             const bool taken = (f.a.Register(2), f.b.Register(15), f.c->Dispatch(15) && !f.c->Dispatch(3));
             return f.a.received + "|" + f.b.received + (taken ? "taken" : "missed");
         },
         "|15 taken", "+2 +15", "2:a 15:b"},
    };
    for (const Row& row : rows) {
        g_hookCalls.clear();
        Fixture f;
        EXPECT_EQ(row.act(f), row.result) << row.rule;
        EXPECT_EQ(g_hookCalls, row.hooks) << row.rule;
        EXPECT_EQ(f.Registrations(), row.registrations) << row.rule;
    }
}

TEST(SignalHandlerCollection, NamesSignalsInMessages) {
    const struct {
        int signal;
        const wchar_t* text;
    } rows[] = {{2, L"2(SIGINT)"},        {3, L"3(SIGQUIT)"},       {4, L"4(SIGILL)"},
                {8, L"8(SIGFPE)"},        {11, L"11(SIGSEGV)"},     {15, L"15(SIGTERM)"},
                {21, L"21(SIGBREAK)"},    {22, L"22(SIGABRT)"},     {128, L"128(SIGLOGOFF)"},
                {129, L"129(SIGSHTDWN)"}, {256, L"256(SIGUNUSED)"}, {1, L"1(*UNKNOWN*)"},
                {6, L"6(*UNKNOWN*)"}};
    for (const auto& row : rows) {
        EXPECT_EQ(os::SignalText(row.signal), row.text);
    }
}

TEST(SignalHandlerCollection, TracesAMissedRemovalAndARefusedHook) {
    testing_support::LogCapture capture;
    const std::uint32_t level = capture.Log().SetLoggingLevel(kLogMessages);
    {
        Fixture f;
        f.b.Unregister(2);
        f.a.Register(4);
    }
    capture.Log().SetLoggingLevel(level);
    EXPECT_EQ(capture
                  .Containing(L"SignalHandlerCollection::Unregister(): signal handler not found for remove; "
                              L"signal = 2(SIGINT)")
                  .size(),
              1u);
    EXPECT_FALSE(
        capture
            .Containing(L"SignalHandlerCollection::set_signal_handler(): sigaction() error - handler not "
                        L"set; signal = 4(SIGILL)")
            .empty());
}

}  // namespace
