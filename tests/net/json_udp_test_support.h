// Shared pieces of the endpoint and session tests: a receiver that records every call, a socket service
// per test, and endpoints/sessions started on free loopback ports.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log_test_support.h"
#include "net/inet.h"
#include "net/json_udp_connect.h"
#include "net/json_udp_manager.h"
#include "platform/thread.h"
#include "scripted_peer.h"

namespace net_test {

// Records the calls of an endpoint or a session, with time and thread.
class RecordingReceiver : public Network::IJsonUdpReceiver {
public:
    struct Call {
        Clock::time_point at;
        std::uint32_t thread = 0;
        std::shared_ptr<Network::JsonMsg> msg;  // OnAck, OnMessage
        Network::SockAddr sender;               // OnMessage
        std::wstring error;                     // OnError: the error's text
        Network::IJsonUdpManager* from = nullptr;
    };

    void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<Network::JsonMsg>& msg) override {
        Add(acks_, Call{Clock::now(), platform::CurrentThreadId(), msg, {}, {}, from});
    }
    void OnMessage(Network::IJsonUdpManager* from, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override {
        Add(messages_, Call{Clock::now(), platform::CurrentThreadId(), std::move(msg), sender, {}, from});
    }
    void OnError(Network::IJsonUdpManager* from, const ErrInfo& error) override {
        Add(errors_, Call{Clock::now(), platform::CurrentThreadId(), nullptr, {}, error.GetText(), from});
    }

    std::vector<Call> Acks() { return Copy(acks_); }
    std::vector<Call> Messages() { return Copy(messages_); }
    std::vector<Call> Errors() { return Copy(errors_); }

    bool WaitAcks(std::size_t n, milliseconds timeout) { return WaitCount(acks_, n, timeout); }
    bool WaitMessages(std::size_t n, milliseconds timeout) { return WaitCount(messages_, n, timeout); }
    bool WaitErrors(std::size_t n, milliseconds timeout) { return WaitCount(errors_, n, timeout); }

private:
    void Add(std::vector<Call>& list, Call call) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            list.push_back(std::move(call));
        }
        cv_.notify_all();
    }
    std::vector<Call> Copy(const std::vector<Call>& list) {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }
    bool WaitCount(const std::vector<Call>& list, std::size_t n, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return list.size() >= n; });
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> acks_;
    std::vector<Call> messages_;
    std::vector<Call> errors_;
};

// Drops (returns false for) the datagrams a predicate picks, and counts what it saw.
class PredicateSendFilter : public Network::IJsonUdpSendFilter {
public:
    using Pred = std::function<bool(const Network::JsonMsg& msg, int seen)>;  // true: drop
    explicit PredicateSendFilter(Pred drop) : drop_(std::move(drop)) {}
    bool Filter(Network::IJsonUdpManager* /*from*/, const std::shared_ptr<Network::JsonMsg>& msg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const int seen = seen_[msg.get()]++;
        const bool drop = drop_(*msg, seen);
        (drop ? dropped_ : passed_)++;
        return !drop;
    }
    int Dropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }
    int Passed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return passed_;
    }

private:
    std::mutex mutex_;
    Pred drop_;
    std::map<const Network::JsonMsg*, int> seen_;
    int dropped_ = 0;
    int passed_ = 0;
};

// A started socket service. The process log goes to a folder of this test program (first call).
inline std::shared_ptr<Network::INetManager> MakeService(const wchar_t* name) {
    testing_support::ProcessLogTestFolder();
    std::shared_ptr<Network::INetManager> service =
        Network::INetManager::Create(ComponentInfo{name}, true, 1);
    EXPECT_TRUE(service && service->IsRunning());
    return service;
}

// Inits and starts `endpoint` (an endpoint or a session) on a free loopback port, retrying with another
// port when a parallel test took the chosen one first. Returns the bound address, cleared on failure.
template <class Endpoint, class Info>
Network::SockAddr StartOnFreePort(Endpoint& endpoint, Info info) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        info.local_addr = Loopback(FreeLoopbackPort());
        endpoint.Init(info).MarkHandled();
        ErrInfo err = endpoint.Start();
        if (err.IsOk()) {
            return info.local_addr;
        }
        err.MarkHandled();
    }
    ADD_FAILURE() << "no free loopback port";
    return Network::SockAddr();
}

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed = 7) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

inline std::int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<milliseconds>(b - a).count();
}

}  // namespace net_test
