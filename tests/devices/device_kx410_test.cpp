// The tuner device against a scripted device on loopback: handshake, requests and their waits, answer
// checks, the device's own requests, senders that are not the device, and concurrent use.
#include "devices/device_kx410.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device_test_support.h"
#include "devices/device.h"

namespace devices_test {
namespace {

// The JSON layer keeps a character outside the BMP as its UTF-16 surrogate pair, on every platform.
const std::wstring kClef{static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};

using Norvane::kInitialFmFreq;
using Norvane::kResponseTimeout;

const std::int64_t kTimeoutMs = kResponseTimeout.count();

// ---------------------------------------------------------------------------------------------------
// Handshake

TEST_F(TunerTest, ConnectsAndTakesTheDescriptionAndFirstReadings) {
    ConnectOrFail();
    EXPECT_EQ(device_->GetState(), SDK::Connected);
    const Norvane::DeviceDescription d = device_->GetDeviceInfo();
    EXPECT_EQ(d.unit_id, L"FAKE-0001");
    EXPECT_EQ(device_->GetDeviceId(), L"FAKE-0001");
    EXPECT_EQ(d.hardware, 3u);
    EXPECT_EQ(d.firmware, 4u);
    EXPECT_EQ(d.software, 5u);
    EXPECT_EQ(d.audio_protocol, 2u);
    EXPECT_EQ(d.control_protocol, 1u);
    EXPECT_EQ(d.rtp_port, 7000u);
    EXPECT_EQ(d.inputs, 2u);
    EXPECT_EQ(d.outputs, 0u);
    EXPECT_EQ(d.device_freq, 48000u);
    EXPECT_EQ(device_->GetSampleFreq(), 48000u);
    EXPECT_EQ(device_->GetFramesPerBlock(), 192u);
    EXPECT_EQ(device_->GetType(), SDK::KX410);
    EXPECT_EQ(device_->GetKx410(), static_cast<Norvane::IDeviceKx410*>(device_.get()));
    EXPECT_EQ(device_->GetKx260(), nullptr);
    EXPECT_EQ(device_->GetKx9(), nullptr);

    // The handshake in its order, then one request of each kind.
    std::vector<std::wstring> order;
    for (const auto& r : fake_.ReceivedOf(L"")) {
        order.push_back(r.msg->type);
    }
    const std::vector<std::wstring> expected{L"get_dev_info", L"get_state", L"get_fm_freq", L"get_fm_quality",
                                             L"get_rds_data"};
    EXPECT_EQ(order, expected);

    bool ok = false;
    EXPECT_EQ(Freqs(false, &ok), (std::vector<unsigned int>{87600, 104200}));
    EXPECT_TRUE(ok);
    Norvane::TunerQualityValues q[2];
    ASSERT_TRUE(device_->GetFmQuality(q, false));
    EXPECT_EQ(q[1].rssi, 41u);
    EXPECT_EQ(q[1].snr, 21u);
    EXPECT_EQ(q[1].multipath, 6u);
    EXPECT_EQ(q[1].pilot, 1u);
    EXPECT_EQ(q[1].valid, 1u);
    Norvane::TunerRdsDataValues r[2];
    ASSERT_TRUE(device_->GetRdsData(r, false));
    EXPECT_EQ(r[0].psrv, L"Zürich 0");
    EXPECT_EQ(r[1].text, L"Nacht \"live\" / " + kClef + L" 1");
    EXPECT_EQ(r[1].time, L"2024/05/06 07:08:09.010");

    logCapture_.Sync();
    EXPECT_EQ(logCapture_
                  .Containing(L"Device connected: 127.0.0.1:" + fake_.Port() +
                              L" type=KX410 id=FAKE-0001; rec.chans=2 play.chans=0")
                  .size(),
              1u);
}

TEST_F(TunerTest, InitialFrequenciesWhenTheDeviceHasNotAnsweredYet) {
    fake_.Configure([](FakeDevice::Behaviour& b) { b.answer_tuner = false; });
    ConnectOrFail();
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{kInitialFmFreq, kInitialFmFreq}));
    Norvane::TunerQualityValues q[2];
    q[0].rssi = 99;
    ASSERT_TRUE(device_->GetFmQuality(q, false));
    EXPECT_EQ(q[0].rssi, 0u);
    Norvane::TunerRdsDataValues r[2];
    r[1].text = L"stale";
    ASSERT_TRUE(device_->GetRdsData(r, false));
    EXPECT_TRUE(r[1].text.empty());
}

TEST_F(TunerTest, AnotherModelsTypeTextIsNeverConnected) {
    fake_.Configure([](FakeDevice::Behaviour& b) { b.unit_type = L"KX9"; });
    const auto start = Clock::now();
    ErrInfo err = Connect();
    const auto elapsed = MsSince(start);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Message response time has expired");
    err.MarkHandled();
    EXPECT_GE(elapsed, kTimeoutMs);
    EXPECT_LT(elapsed, 2 * kTimeoutMs);
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
    EXPECT_TRUE(device_->GetDeviceId().empty());
    EXPECT_EQ(fake_.CountOf(L"get_state"), 0u);
    logCapture_.Sync();
    EXPECT_FALSE(logCapture_.Containing(L"Unexpected device type: 'KX9' instead of 'KX410'").empty());
}

TEST_F(TunerTest, TypeTextIsComparedExactly) {
    fake_.Configure([](FakeDevice::Behaviour& b) { b.unit_type = L"kx410"; });
    ErrInfo err = Connect();
    EXPECT_FALSE(err.IsOk());
    err.MarkHandled();
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
}

TEST_F(TunerTest, ZeroDeviceFrequencyIsNeverConnected) {
    fake_.Configure([](FakeDevice::Behaviour& b) { b.device_freq = 0; });
    const auto start = Clock::now();
    ErrInfo err = Connect();
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Message response time has expired");
    err.MarkHandled();
    EXPECT_GE(MsSince(start), kTimeoutMs);
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
    EXPECT_EQ(device_->GetInputs(), 0u) << "a failed Init leaves an empty description";
}

TEST_F(TunerTest, DeviceThatNeverAcknowledgesFailsInitAfterTheTimeOut) {
    fake_.Configure([](FakeDevice::Behaviour& b) {
        b.ack = false;
        b.answer_handshake = false;
    });
    const auto start = Clock::now();
    ErrInfo err = Connect();
    const auto elapsed = MsSince(start);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Message response time has expired");
    EXPECT_STREQ(err.Method(), "Norvane::DeviceBase::SendMessageToDevice");
    err.MarkHandled();
    EXPECT_GE(elapsed, kTimeoutMs);
    EXPECT_LT(elapsed, kTimeoutMs + 1000);
    // The session sent it three times in all, then gave up.
    EXPECT_TRUE(fake_.WaitFor(L"get_dev_info", 3, milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(fake_.CountOf(L"get_dev_info"), 3u);
}

TEST_F(TunerTest, UnresolvableDeviceAddressFailsAtOnce) {
    Norvane::DeviceInitInfo settings;
    settings.device_addr = L"";
    settings.host_addr = L"127.0.0.1";
    settings.host_port = FreeLoopbackPort();
    const auto start = Clock::now();
    ErrInfo err = device_->Init(settings);
    EXPECT_FALSE(err.IsOk());
    err.MarkHandled();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
}

TEST_F(TunerTest, InitOnAConnectedDeviceLeavesTheSessionAlone) {
    ConnectOrFail();
    ErrInfo err = Connect();
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Can not init object, device already connected");
    err.MarkHandled();
    EXPECT_EQ(device_->GetState(), SDK::Connected);
    fake_.SetFreqs({90000, 91000});
    bool ok = false;
    EXPECT_EQ(Freqs(true, &ok), (std::vector<unsigned int>{90000, 91000}));
    EXPECT_TRUE(ok);
}

TEST_F(TunerTest, CloseDisconnectsAndEmptiesTheLists) {
    ConnectOrFail();
    device_->Close();
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
    EXPECT_EQ(device_->GetTunerCount(), 0u);
    EXPECT_TRUE(device_->GetDeviceId().empty());
    unsigned int f[2] = {1, 2};
    EXPECT_TRUE(device_->GetFmFreq(f, false)) << "nothing to copy is not a failure";
    EXPECT_EQ(f[0], 1u);
    EXPECT_EQ(f[1], 2u);
    const auto start = Clock::now();
    EXPECT_FALSE(device_->GetFmFreq(f, true));
    EXPECT_LT(MsSince(start), 500) << "a closed device does not wait";
    device_->Close();  // nothing to do
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);

    // The same object connects again.
    fake_.SetFreqs({95000, 96000});
    ConnectOrFail();
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{95000, 96000}));
}

// ---------------------------------------------------------------------------------------------------
// Requests and answers

TEST_F(TunerTest, SetFmFreqSendsEveryTunerAndReadsBack) {
    ConnectOrFail();
    const unsigned int wanted[2] = {99100, 101700};
    ASSERT_TRUE(device_->SetFmFreq(wanted));
    auto sets = fake_.ReceivedOf(L"set_fm_freq");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(static_cast<const Network::JsonMsgSetFmFreq&>(*sets[0].msg).freq,
              (std::vector<std::int32_t>{99100, 101700}));
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{99100, 101700}));
    // The read-back came after the set.
    auto gets = fake_.ReceivedOf(L"get_fm_freq");
    ASSERT_FALSE(gets.empty());
    EXPECT_GT(gets.back().at, sets[0].at);
}

TEST_F(TunerTest, SetFmFreqFailsWithoutAnAnswerAfterIt) {
    ConnectOrFail();
    fake_.Configure([](FakeDevice::Behaviour& b) { b.answer_tuner = false; });
    const unsigned int wanted[2] = {99100, 101700};
    const auto start = Clock::now();
    EXPECT_FALSE(device_->SetFmFreq(wanted));
    EXPECT_GE(MsSince(start), kTimeoutMs);
    EXPECT_EQ(fake_.CountOf(L"set_fm_freq"), 1u);
}

TEST_F(TunerTest, FreqListOfAnotherLengthIsIgnored) {
    ConnectOrFail();
    fake_.Configure([](FakeDevice::Behaviour& b) {
        b.edit_freq = [](Network::JsonMsgFmFreq& m) { m.freq = {88000, 89000, 90000}; };
    });
    const auto start = Clock::now();
    bool ok = true;
    Freqs(true, &ok);
    EXPECT_FALSE(ok);
    EXPECT_GE(MsSince(start), kTimeoutMs);
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{87600, 104200}))
        << "the rejected answer changed nothing";
    logCapture_.Sync();
    EXPECT_FALSE(logCapture_.Containing(L"Freq list size is not correct").empty());
}

TEST_F(TunerTest, QualityIsAcceptedOnlyWhenEveryListHasOneEntryPerTuner) {
    ConnectOrFail();
    // "rssi" is right, "pilot" is one short: reading entry 1 of it would run past its end.
    fake_.Configure([](FakeDevice::Behaviour& b) {
        b.edit_quality = [](Network::JsonMsgFmQuality& m) {
            m.rssi = {70, 71};
            m.pilot.resize(1);
        };
    });
    Norvane::TunerQualityValues q[2];
    EXPECT_FALSE(device_->GetFmQuality(q, true));
    ASSERT_TRUE(device_->GetFmQuality(q, false));
    EXPECT_EQ(q[0].rssi, 40u) << "the rejected answer changed nothing";
    EXPECT_EQ(q[1].rssi, 41u);
    logCapture_.Sync();
    EXPECT_FALSE(logCapture_.Containing(L"Fm quality list size is not correct").empty());

    for (int which = 0; which < 4; ++which) {
        fake_.Configure([which](FakeDevice::Behaviour& b) {
            b.edit_quality = [which](Network::JsonMsgFmQuality& m) {
                std::vector<std::int32_t>* lists[] = {&m.snr, &m.multipath, &m.valid, &m.rssi};
                lists[which]->push_back(1);
            };
        });
        EXPECT_FALSE(device_->GetFmQuality(q, true)) << "list " << which;
    }
}

TEST_F(TunerTest, RdsIsAcceptedOnlyWhenEveryListHasOneEntryPerTuner) {
    ConnectOrFail();
    fake_.Configure([](FakeDevice::Behaviour& b) {
        b.edit_rds = [](Network::JsonMsgRdsData& m) {
            m.text = {L"a", L"b"};
            m.psrv.pop_back();
        };
    });
    Norvane::TunerRdsDataValues r[2];
    EXPECT_FALSE(device_->GetRdsData(r, true));
    ASSERT_TRUE(device_->GetRdsData(r, false));
    EXPECT_EQ(r[1].text, L"Nacht \"live\" / " + kClef + L" 1");
    logCapture_.Sync();
    EXPECT_FALSE(logCapture_.Containing(L"Fm RDS data list size is not correct").empty());

    fake_.Configure([](FakeDevice::Behaviour& b) {
        b.edit_rds = [](Network::JsonMsgRdsData& m) { m.time.push_back(L"x"); };
    });
    EXPECT_FALSE(device_->GetRdsData(r, true));
    fake_.Configure([](FakeDevice::Behaviour& b) { b.edit_rds = nullptr; });
    EXPECT_TRUE(device_->GetRdsData(r, true));
}

TEST_F(TunerTest, AnswerRepeatingTheLastAcceptedIdDoesNotEndTheWait) {
    ConnectOrFail();
    auto first = fake_.MakeFmFreq();
    first->freq = {85000, 85001};
    fake_.SendToHost(first);
    ASSERT_TRUE(testing_support::WaitFor([&] { return Freqs(false)[0] == 85000; }));
    const std::uint32_t reused = first->msg_id;
    fake_.SetFreqs({93000, 94000});
    fake_.Configure([reused](FakeDevice::Behaviour& b) {
        b.edit_freq = [reused](Network::JsonMsgFmFreq& m) { m.msg_id = reused; };
    });
    bool ok = true;
    Freqs(true, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(TunerTest, LateDuplicateOfAnEarlierAnswerIsDropped) {
    ConnectOrFail();
    auto early = fake_.MakeFmFreq();
    early->freq = {80000, 80001};
    auto later = fake_.MakeFmFreq();
    later->freq = {81000, 81001};
    fake_.SendToHost(early);
    fake_.SendToHost(fake_.MakeRds());
    fake_.SendToHost(later);
    ASSERT_TRUE(testing_support::WaitFor([&] { return Freqs(false)[0] == 81000; }));
    // The network hands over a stale copy of the first answer after the others.
    fake_.SendToHost(early);
    fake_.SendToHost(fake_.MakeQuality());
    ASSERT_TRUE(testing_support::WaitFor([&] { return device_->GetDroppedDuplicates() >= 1; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{81000, 81001}));
}

TEST_F(TunerTest, MessagesFromAnotherAddressAreDropped) {
    ConnectOrFail();
    auto forged = std::make_shared<Network::JsonMsgFmFreq>();
    forged->freq = {66600, 66600};
    device_->OnMessage(nullptr, forged, Network::SockAddr(L"10.9.8.7", fake_.Address().GetPort()));
    EXPECT_EQ(device_->GetDroppedForeign(), 1u);
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{87600, 104200}));
    logCapture_.Sync();
    EXPECT_FALSE(logCapture_.Containing(L"\"fm_freq\" from 10.9.8.7:" + fake_.Port() + L" dropped").empty());

    // The device's address is what counts, whatever the port.
    auto genuine = std::make_shared<Network::JsonMsgFmFreq>();
    genuine->freq = {77700, 77800};
    device_->OnMessage(nullptr, genuine, Loopback(static_cast<std::uint16_t>(fake_.Address().GetPort() + 1)));
    EXPECT_EQ(Freqs(false), (std::vector<unsigned int>{77700, 77800}));
    EXPECT_EQ(device_->GetDroppedForeign(), 1u);
}

TEST_F(TunerTest, OnMessageCallbackSeesEveryAcceptedMessage) {
    std::mutex mutex;
    std::vector<std::wstring> seen;
    on_message_ = [&](const std::shared_ptr<Network::JsonMsg>& msg) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(msg->type);
    };
    ConnectOrFail();
    // The callback runs after the answer has been taken, so the last one may still be on its way.
    testing_support::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() >= 5;
    });
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<std::wstring> expected{L"dev_info", L"state", L"fm_freq", L"fm_quality", L"rds_data"};
    EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------------------------------------------
// The device's own requests

TEST_F(TunerTest, TimeRequestIsAnsweredWithoutHoldingUpTheSession) {
    ConnectOrFail();
    fake_.SendToHost(std::make_shared<Network::JsonMsgGetTime>());
    const auto start = Clock::now();
    bool ok = false;
    Freqs(true, &ok);
    const auto elapsed = MsSince(start);
    EXPECT_TRUE(ok);
    EXPECT_LT(elapsed, kTimeoutMs / 2) << "the request waited behind the time reply";
    ASSERT_TRUE(fake_.WaitFor(L"cur_time", 1, milliseconds(1000)));
    auto times = fake_.ReceivedOf(L"cur_time");
    EXPECT_EQ(times.size(), 1u);
    const auto& reply = static_cast<const Network::JsonMsgCurTime&>(*times[0].msg);
    EXPECT_GE(reply.utc.year, 2024);
}

TEST_F(TunerTest, SendWithoutWaitingReturnsAtOnce) {
    ConnectOrFail();
    fake_.Configure([](FakeDevice::Behaviour& b) { b.ack = false; });
    auto start = Clock::now();
    ErrInfo quick = device_->SendMessageToDevice(std::make_shared<Network::JsonMsgGetInputs>(), false);
    EXPECT_TRUE(quick.IsOk());
    EXPECT_LT(MsSince(start), 200);

    start = Clock::now();
    ErrInfo waited = device_->SendMessageToDevice(std::make_shared<Network::JsonMsgGetInputs>(), true);
    EXPECT_FALSE(waited.IsOk());
    EXPECT_EQ(waited.GetText(), L"Message response time has expired");
    waited.MarkHandled();
    EXPECT_GE(MsSince(start), kTimeoutMs);
}

// ---------------------------------------------------------------------------------------------------
// Concurrency

TEST_F(TunerTest, ReadersSeeWholeAnswersWhileTheDeviceFloods) {
    ConnectOrFail();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    auto reader = [&] {
        unsigned int f[2];
        Norvane::TunerQualityValues q[2];
        Norvane::TunerRdsDataValues r[2];
        while (!stop.load()) {
            device_->GetFmFreq(f, false);
            device_->GetFmQuality(q, false);
            device_->GetRdsData(r, false);
            // Every answer of the flood has tuner 1 = tuner 0 + 1000.
            if (f[0] >= 200000 && f[1] != f[0] + 1000) {
                torn.fetch_add(1);
            }
            reads.fetch_add(1);
        }
    };
    std::thread a(reader);
    std::thread b(reader);
    std::shared_ptr<Network::JsonMsgFmFreq> last;
    for (int i = 0; i < 300; ++i) {
        last = fake_.MakeFmFreq();
        last->freq = {200000 + i, 201000 + i};
        fake_.SendToHost(last);
        fake_.SendToHost(fake_.MakeQuality());
        fake_.SendToHost(fake_.MakeRds());
        if (i % 10 == 0) {
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    // Loopback may drop datagrams when the receiver falls behind: repeat the last one until it is in.
    EXPECT_TRUE(testing_support::WaitFor([&] {
        if (Freqs(false)[0] == 200299) {
            return true;
        }
        fake_.SendToHost(last);
        return false;
    }));
    stop.store(true);
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST_F(TunerTest, RequestsFromSeveralThreadsAllGetTheirAcknowledgements) {
    ConnectOrFail();
    std::atomic<int> failures{0};
    auto worker = [&](int kind) {
        for (int i = 0; i < 15; ++i) {
            ErrInfo err = kind == 0   ? device_->SendMsgGetFmFreq(false)
                          : kind == 1 ? device_->SendMsgGetFmQuality(false)
                                      : device_->SendMsgGetRdsData(false);
            if (!err.IsOk()) {
                failures.fetch_add(1);
                err.MarkHandled();
            }
        }
    };
    std::thread t0(worker, 0);
    std::thread t1(worker, 1);
    std::thread t2(worker, 2);
    t0.join();
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(fake_.CountOf(L"get_fm_quality"), 16u);
}

// ---------------------------------------------------------------------------------------------------
// Factory

TEST(DeviceFactory, MakesTheTunerAndRefusesModelsNotInThisBuild) {
    auto control = Network::INetManager::Create(ComponentInfo{L"factory control"}, true, 0);
    auto audio = Network::INetManager::Create(ComponentInfo{L"factory audio"}, true, 0);
    std::unique_ptr<Norvane::IDevice> tuner = Norvane::CreateDevice(SDK::KX410, control.get(), audio.get());
    ASSERT_NE(tuner, nullptr);
    EXPECT_EQ(tuner->GetType(), SDK::KX410);
    EXPECT_NE(tuner->GetKx410(), nullptr);
    EXPECT_EQ(tuner->GetState(), SDK::Disconnected);
    EXPECT_EQ(tuner->GetInputs(), 0u);

    testing_support::ProcessLogCapture capture;
    EXPECT_EQ(Norvane::CreateDevice(SDK::KX260, control.get(), audio.get()), nullptr);
    EXPECT_EQ(Norvane::CreateDevice(SDK::KX9, control.get(), audio.get()), nullptr);
    EXPECT_EQ(Norvane::CreateDevice(static_cast<SDK::DeviceType>(7), control.get(), audio.get()), nullptr);
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"device model KX260 is not available").size(), 1u);
    EXPECT_EQ(capture.Containing(L"device model KX9 is not available").size(), 1u);
    EXPECT_EQ(capture.Containing(L"unknown device model 7").size(), 1u);
}

TEST(DeviceFactory, StartIsRefusedUntilAudioExists) {
    auto control = Network::INetManager::Create(ComponentInfo{L"factory control"}, true, 0);
    std::unique_ptr<Norvane::IDevice> tuner = Norvane::CreateDevice(SDK::KX410, control.get(), nullptr);
    ASSERT_NE(tuner, nullptr);
    ErrInfo err = tuner->Start(Norvane::DeviceStartInfo{});
    EXPECT_EQ(err.GetText(), L"Cannot start: device not connected");
    err.MarkHandled();
    tuner->Stop();
    EXPECT_EQ(tuner->GetState(), SDK::Disconnected);
}

}  // namespace
}  // namespace devices_test
