// Pieces shared by the net tests: receivers that record what they get, a socket that records the
// service's visits, and the conversions between the shared UDP peer and the layer's own types.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/base_sock.h"
#include "net/inet.h"
#include "net/json_udp_connect.h"
#include "net/net_manager.h"
#include "platform/thread.h"
#include "protocol/device_msgs.h"
#include "support/udp_peer.h"
#include "support/wait.h"

namespace net_test {

using namespace testing_support;

inline Network::SockAddr Addr(const platform::SockAddrIn& a) {
    return Network::SockAddr(a);
}

// Bound to 127.0.0.1 on a port of the system's choice, delivering to `receiver`.
inline Network::UdpSockInfo Bound(Network::IUdpReceiver* receiver = nullptr) {
    Network::UdpSockInfo info;
    info.bind_addr = Network::SockAddr(L"127.0.0.1", 0);
    info.receiver = receiver;
    return info;
}

// The text of an error (empty for success), which the test thereby handles.
inline std::wstring Failure(ErrInfo err) {
    err.MarkHandled();
    return err.IsOk() ? std::wstring() : err.GetText();
}

// The datagram of a message.
inline std::vector<std::uint8_t> ToBytes(const Network::JsonMsg& msg) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("net_test::ToBytes"));
    msg.ToPacket(err, packet, false, 0);
    EXPECT_TRUE(err.IsOk());
    err.MarkHandled();
    return packet.Bytes();
}

// The message of a datagram the peer received; null when it does not decode.
inline std::shared_ptr<Network::JsonMsg> Decode(const PeerDatagram& d) {
    static const Network::AsioDriverJsonMsgFactory factory;
    const Network::SockAddr from(d.from);
    return Network::JsonMsg::FromDatagram(d.bytes.data(), d.bytes.size(), &factory, &from);
}

// The minute the services' once-a-minute report reads: it moves only when a test moves it, so no
// report resets the counters in the middle of a test.
inline std::atomic<std::uint64_t>& TestMinute() {
    static std::atomic<std::uint64_t> minute{1000};
    return minute;
}

// A started socket service of the real clock, or of `clock`.
inline std::shared_ptr<Network::NetManager> StartedService(const std::wstring& name,
                                                           IClock& clock = RealClock()) {
    auto service = Network::NetManager::Create(ComponentInfo{name}, false, clock);
    service->SetReportMinuteSource([] { return TestMinute().load(); });
    EXPECT_TRUE(service->Start());
    return service;
}

// Lists of what a receiver was called with (one list per kind of call), and waits for them.
template <class Record>
class Recorder {
public:
    std::vector<Record> Get(std::size_t list) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lists_[list];
    }
    bool Wait(std::size_t list, std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, milliseconds(10000), [&] { return lists_[list].size() >= n; });
    }

protected:
    void Add(std::size_t list, Record r) {
        // Under the lock: once a waiter sees the record, the caller touches the recorder no more.
        std::lock_guard<std::mutex> lock(mutex_);
        lists_[list].push_back(std::move(r));
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Record> lists_[3];
};

struct Call {
    std::uint32_t thread = 0;
    std::shared_ptr<Network::JsonMsg> msg;  // OnAck, OnMessage
    Network::SockAddr sender;               // OnMessage
    std::wstring error;                     // OnError
    Network::IJsonUdpManager* from = nullptr;
};

// Records the calls of an endpoint or a session, with their thread.
class RecordingReceiver : public Network::IJsonUdpReceiver, public Recorder<Call> {
public:
    // Runs on the caller's thread for each OnAck, before it is recorded.
    std::function<void()> onAck;

    void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<Network::JsonMsg>& msg) override {
        if (onAck) {
            onAck();
        }
        Add(0, Call{platform::CurrentThreadId(), msg, {}, {}, from});
    }
    void OnMessage(Network::IJsonUdpManager* from, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override {
        Add(1, Call{platform::CurrentThreadId(), std::move(msg), sender, {}, from});
    }
    void OnError(Network::IJsonUdpManager* from, const ErrInfo& error) override {
        Add(2, Call{platform::CurrentThreadId(), nullptr, {}, error.GetText(), from});
    }
    std::vector<Call> Acks() { return Get(0); }
    std::vector<Call> Messages() { return Get(1); }
    std::vector<Call> Errors() { return Get(2); }
    bool WaitAcks(std::size_t n) { return Wait(0, n); }
    bool WaitMessages(std::size_t n) { return Wait(1, n); }
    bool WaitErrors(std::size_t n) { return Wait(2, n); }
};

struct Datagram {
    std::vector<std::uint8_t> bytes;
    Network::SockAddr from;
    std::uint32_t thread = 0;
    std::size_t capacity = 0;  // of the packet the receiver got
};

// Records the datagrams a UDP socket delivers.
class RecordingUdpReceiver : public Network::IUdpReceiver, public Recorder<Datagram> {
public:
    // Runs on the service thread for each datagram, before it is recorded.
    std::function<void(Network::IUdpSock*, const Datagram&)> onDatagram;

    void OnDatagramReceived(Network::IUdpSock* sock, std::shared_ptr<Network::Packet> packet,
                            const Network::SockAddr& from) override {
        Datagram d{{packet->Data(), packet->Data() + packet->Size()}, from, platform::CurrentThreadId()};
        d.capacity = packet->Capacity();
        if (onDatagram) {
            onDatagram(sock, d);
        }
        Add(0, std::move(d));
    }
    void OnSocketError(const ErrInfo&, Network::IUdpSock*) override {}
    std::vector<Datagram> Datagrams() { return Get(0); }
    bool WaitCount(std::size_t n) { return Wait(0, n); }
};

// A socket of the tests' own, bound to a loopback port of the system's choice: it records every visit
// of the service (its event bits) and reads whatever arrives.
class ProbeSock : public Network::BaseSock,
                  public std::enable_shared_from_this<ProbeSock>,
                  public Recorder<std::uint32_t> {
public:
    explicit ProbeSock(Network::INetManagerImpl& manager) : BaseSock(manager, L"ProbeSock") {}
    ~ProbeSock() override { Close(); }

    // Made, put into the service's collection, opened and registered.
    static std::shared_ptr<ProbeSock> Start(Network::INetManagerImpl& manager) {
        auto probe = std::make_shared<ProbeSock>(manager);
        manager.AddSocketToService(probe);
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, h).ok());
        EXPECT_TRUE(platform::Bind(h, probe->address_).ok() &&
                    platform::GetLocalAddress(h, probe->address_).ok());
        probe->SetHandle(h);
        EXPECT_TRUE(manager.RegisterSocketEvents(*probe));
        return probe;
    }

    [[nodiscard]] platform::SockAddrIn Address() const { return address_; }
    std::vector<std::uint32_t> Visits() { return Get(0); }
    std::size_t VisitCount() { return Visits().size(); }

    std::shared_ptr<BaseSock> GetSharedPtr() override { return shared_from_this(); }
    void Close() override { CloseBase(); }
    std::uint32_t GetType() override { return kTypeUdp; }
    std::uint32_t GetEventMask() override { return Network::kSockEvRead; }
    std::uint32_t GetWeight() override { return 1; }
    bool HandleSocketEvents(std::uint32_t bits) override {
        std::uint8_t buffer[2048];
        while ((bits & Network::kSockEvRead) != 0 &&
               platform::RecvFrom(GetHandle(), buffer, sizeof buffer, nullptr).ok()) {
        }
        Add(0, bits);
        return false;
    }

private:
    platform::SockAddrIn address_ = platform::SockAddrIn::Loopback(0);
};

}  // namespace net_test
