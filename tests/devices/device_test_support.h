// A tuner device object connected to a FakeDevice, with the two socket services it needs and a listener
// on the process log.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/log_test_support.h"
#include "devices/device_kx410.h"
#include "fake_device.h"
#include "net/inet.h"

namespace devices_test {

namespace SDK = Norvane::SDK;

// The text of an error, for assertion messages.
inline std::string Text(const ErrInfo& err) {
    std::string out;
    for (wchar_t c : err.ToShortString()) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

class TunerTest : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = Network::INetManager::Create(ComponentInfo{L"test control"}, true, 0);
        audio_ = Network::INetManager::Create(ComponentInfo{L"test audio"}, true, 0);
        ASSERT_TRUE(control_ && audio_);
        device_ = std::make_unique<Norvane::DeviceKx410>(control_.get(), audio_.get());
    }

    void TearDown() override {
        device_.reset();
        control_.reset();
        audio_.reset();
    }

    // Init against the fake device from a free local port (another port when a parallel test took it).
    ErrInfo Connect() {
        ErrInfo last(ERR_PLACE("devices_test::Connect"));
        for (int attempt = 0; attempt < 10; ++attempt) {
            Norvane::DeviceInitInfo settings;
            settings.device_addr = L"127.0.0.1";
            settings.device_port = fake_.Address().GetPort();
            settings.host_addr = L"127.0.0.1";
            settings.host_port = FreeLoopbackPort();
            settings.on_message = on_message_;
            ErrInfo err = device_->Init(settings);
            // A taken port fails at once; anything else is the answer.
            if (err.IsOk() || err.GetText().find(L"expired") != std::wstring::npos ||
                err.GetText().find(L"already") != std::wstring::npos) {
                return err;
            }
            last = err;
            last.MarkHandled();
        }
        return last;
    }

    void ConnectOrFail() {
        ErrInfo err = Connect();
        ASSERT_TRUE(err.IsOk()) << Text(err);
    }

    std::vector<unsigned int> Freqs(bool request, bool* ok = nullptr) {
        std::vector<unsigned int> f(device_->GetTunerCount(), 0xDEADu);
        const bool result = device_->GetFmFreq(f.data(), request);
        if (ok != nullptr) {
            *ok = result;
        }
        return f;
    }

    testing_support::ProcessLogCapture logCapture_;
    FakeDevice fake_;
    std::shared_ptr<Network::INetManager> control_;
    std::shared_ptr<Network::INetManager> audio_;
    std::unique_ptr<Norvane::DeviceKx410> device_;
    std::function<void(const std::shared_ptr<Network::JsonMsg>&)> on_message_;
};

}  // namespace devices_test
