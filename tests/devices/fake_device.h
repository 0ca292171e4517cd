// A scripted FM-tuner device on 127.0.0.1 for the device and discovery tests.
//
// It sits on a plain JSON endpoint (no session of its own), so a test decides everything the device
// does: whether it acknowledges, what it answers and with which lists, which identifiers its messages
// carry, and what it sends on its own. Every message it receives is recorded with its arrival time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/inet.h"
#include "net/json_udp_manager.h"
#include "platform/socket.h"
#include "protocol/device_msgs.h"
#include "protocol/sock_addr.h"
#include "support/loopback.h"

namespace devices_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

using testing_support::FreeLoopbackPort;

inline Network::SockAddr Loopback(std::uint16_t port) {
    return Network::SockAddr(platform::SockAddrIn::Loopback(port));
}

class FakeDevice : public Network::IJsonUdpReceiver {
public:
    // What the device does; change it at any time with Configure.
    struct Behaviour {
        std::wstring unit_id = L"FAKE-0001";
        std::wstring unit_type = L"KX410";
        std::uint32_t inputs = 2;
        std::uint32_t outputs = 0;
        std::uint32_t rtp_port = 7000;
        std::uint32_t device_freq = 48000;
        bool ack = true;               // acknowledge every message but "ack"
        bool answer_handshake = true;  // answer "get_dev_info" and "get_state"
        bool answer_tuner = true;      // answer "get_fm_freq", "get_fm_quality", "get_rds_data"
        bool answer_dev_find = true;
        // Edit an answer just before it is sent (lists of a wrong length, a reused msg_id, ...).
        std::function<void(Network::JsonMsgFmFreq&)> edit_freq;
        std::function<void(Network::JsonMsgFmQuality&)> edit_quality;
        std::function<void(Network::JsonMsgRdsData&)> edit_rds;
        // Replaces the answer to "dev_find": the messages sent, in this order.
        std::function<std::vector<std::shared_ptr<Network::JsonMsg>>()> dev_find_answers;
    };

    struct Received {
        std::shared_ptr<Network::JsonMsg> msg;
        Network::SockAddr from;
        Clock::time_point at;
    };

    FakeDevice() {
        service_ = Network::INetManager::Create(ComponentInfo{L"FakeDevice service"}, true, 0);
        endpoint_ = Network::JsonUdpManager::Create(ComponentInfo{L"FakeDevice"}, *service_);
        for (int attempt = 0; attempt < 20 && !address_.IsValid(); ++attempt) {
            Network::JsonUdpManagerInfo info;
            info.receiver = this;
            info.factory = &factory_;
            info.local_addr = Loopback(FreeLoopbackPort());
            endpoint_->Init(info).MarkHandled();
            ErrInfo err = endpoint_->Start();
            if (err.IsOk()) {
                address_ = info.local_addr;
            }
            err.MarkHandled();
        }
        EXPECT_TRUE(address_.IsValid()) << "the fake device found no free port";
        freqs_ = {87600, 104200};
    }

    ~FakeDevice() override {
        endpoint_->Stop();
        endpoint_.reset();
        service_.reset();
    }

    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    [[nodiscard]] const Network::SockAddr& Address() const { return address_; }
    [[nodiscard]] std::wstring Port() const { return std::to_wstring(address_.GetPort()); }

    void Configure(const std::function<void(Behaviour&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(behaviour_);
    }
    void SetFreqs(std::vector<std::int32_t> freqs) {
        std::lock_guard<std::mutex> lock(mutex_);
        freqs_ = std::move(freqs);
    }
    [[nodiscard]] std::vector<std::int32_t> Freqs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return freqs_;
    }

    // The messages received so far of `type` (all of them for an empty type).
    [[nodiscard]] std::vector<Received> ReceivedOf(const std::wstring& type) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Received> out;
        for (const auto& r : received_) {
            if (type.empty() || r.msg->type == type) {
                out.push_back(r);
            }
        }
        return out;
    }
    [[nodiscard]] std::size_t CountOf(const std::wstring& type) { return ReceivedOf(type).size(); }
    bool WaitFor(const std::wstring& type, std::size_t n, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            std::size_t count = 0;
            for (const auto& r : received_) {
                count += r.msg->type == type ? 1 : 0;
            }
            return count >= n;
        });
    }

    // The host's end, as seen from the last message received.
    [[nodiscard]] Network::SockAddr Host() {
        std::lock_guard<std::mutex> lock(mutex_);
        return host_;
    }

    // Sends one datagram to the host (no acknowledgement expected, no repetition).
    void SendToHost(std::shared_ptr<Network::JsonMsg> msg) {
        ErrInfo err = endpoint_->SendDirect(std::move(msg), Host());
        EXPECT_TRUE(err.IsOk()) << "fake device send";
        err.MarkHandled();
    }

    std::shared_ptr<Network::JsonMsgFmFreq> MakeFmFreq() {
        auto msg = std::make_shared<Network::JsonMsgFmFreq>();
        std::lock_guard<std::mutex> lock(mutex_);
        msg->freq = freqs_;
        return msg;
    }
    // Quality values that tell the tuners apart: rssi 40+i, snr 20+i, multipath 5+i, pilot 1, valid 1.
    std::shared_ptr<Network::JsonMsgFmQuality> MakeQuality() {
        auto msg = std::make_shared<Network::JsonMsgFmQuality>();
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint32_t i = 0; i < behaviour_.inputs; ++i) {
            msg->rssi.push_back(static_cast<std::int32_t>(40 + i));
            msg->snr.push_back(static_cast<std::int32_t>(20 + i));
            msg->multipath.push_back(static_cast<std::int32_t>(5 + i));
            msg->pilot.push_back(1);
            msg->valid.push_back(1);
        }
        return msg;
    }
    // RDS texts with non-ASCII letters, a character outside the BMP, '/' and '"'.
    std::shared_ptr<Network::JsonMsgRdsData> MakeRds() {
        auto msg = std::make_shared<Network::JsonMsgRdsData>();
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uint32_t i = 0; i < behaviour_.inputs; ++i) {
            msg->psrv.push_back(L"Zürich " + std::to_wstring(i));
            msg->text.push_back(L"Nacht \"live\" / \U0001D11E " + std::to_wstring(i));
            msg->time.push_back(L"2024/05/06 07:08:09.010");
        }
        return msg;
    }
    std::shared_ptr<Network::JsonMsgDevInfo> MakeDevInfo() {
        auto msg = std::make_shared<Network::JsonMsgDevInfo>();
        std::lock_guard<std::mutex> lock(mutex_);
        msg->unit_id = behaviour_.unit_id;
        msg->unit_type = behaviour_.unit_type;
        msg->hardware = 3;
        msg->firmware = 4;
        msg->software = 5;
        msg->audio_protocol = 2;
        msg->control_protocol = 1;
        msg->rtp_port = behaviour_.rtp_port;
        msg->inputs = behaviour_.inputs;
        msg->outputs = behaviour_.outputs;
        return msg;
    }

    // IJsonUdpReceiver (the fake's service thread).
    void OnAck(Network::IJsonUdpManager* /*from*/,
               const std::shared_ptr<Network::JsonMsg>& /*msg*/) override {}
    void OnError(Network::IJsonUdpManager* /*from*/, const ErrInfo& /*error*/) override {}
    void OnMessage(Network::IJsonUdpManager* /*from*/, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override {
        if (!msg || msg->type == L"ack") {
            return;
        }
        Behaviour b;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(Received{msg, sender, Clock::now()});
            if (msg->type != L"dev_find") {
                host_ = sender;
            }
            b = behaviour_;
            if (const auto* set = dynamic_cast<const Network::JsonMsgSetFmFreq*>(msg.get())) {
                freqs_ = set->freq;
            }
        }
        cv_.notify_all();
        if (b.ack && msg->type != L"dev_find") {
            Send(std::make_shared<Network::JsonMsgAck>(msg->msg_id), sender);
        }
        const std::wstring& t = msg->type;
        if (t == L"dev_find" && b.answer_dev_find) {
            if (b.dev_find_answers) {
                for (auto& answer : b.dev_find_answers()) {
                    Send(answer, sender);
                }
            } else {
                Send(MakeDevInfo(), sender);
            }
        } else if (t == L"get_dev_info" && b.answer_handshake) {
            Send(MakeDevInfo(), sender);
        } else if (t == L"get_state" && b.answer_handshake) {
            auto state = std::make_shared<Network::JsonMsgState>();
            state->device_freq = b.device_freq;
            Send(state, sender);
        } else if (t == L"get_fm_freq" && b.answer_tuner) {
            auto answer = MakeFmFreq();
            if (b.edit_freq) {
                b.edit_freq(*answer);
            }
            Send(answer, sender);
        } else if (t == L"get_fm_quality" && b.answer_tuner) {
            auto answer = MakeQuality();
            if (b.edit_quality) {
                b.edit_quality(*answer);
            }
            Send(answer, sender);
        } else if (t == L"get_rds_data" && b.answer_tuner) {
            auto answer = MakeRds();
            if (b.edit_rds) {
                b.edit_rds(*answer);
            }
            Send(answer, sender);
        }
    }

private:
    void Send(std::shared_ptr<Network::JsonMsg> msg, const Network::SockAddr& to) {
        endpoint_->SendDirect(std::move(msg), to).MarkHandled();
    }

    const Network::AsioDriverJsonMsgFactory factory_;
    std::shared_ptr<Network::INetManager> service_;
    std::shared_ptr<Network::JsonUdpManager> endpoint_;
    Network::SockAddr address_;

    std::mutex mutex_;
    std::condition_variable cv_;
    Behaviour behaviour_;
    std::vector<std::int32_t> freqs_;
    std::vector<Received> received_;
    Network::SockAddr host_;
};

}  // namespace devices_test
