// UDP sockets on loopback: exact bytes, where callbacks run, what is not delivered, send errors and the
// send error state, closing and opening again.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/debug_log.h"
#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "udp_sock_test_support.h"

namespace {

using namespace sock_test;
using Network::IUdpSock;
using Network::UdpSockInfo;

// The first line of an error's text (later lines are the error state and the socket context).
std::wstring FirstLine(const ErrInfo& err) {
    const std::wstring& t = err.GetText();
    return t.substr(0, t.find_first_of(L"\r\n"));
}

class UdpSockTest : public ::testing::Test {
protected:
    // Declared first, destroyed last: the service (and its sockets) end before the receivers they call.
    RecordingUdpReceiver receiver;
    RecordingUdpReceiver echoer;
    std::shared_ptr<Network::NetManager> mgr = StartedManager(L"udp");
};

TEST_F(UdpSockTest, LoopbackDatagramsArriveWithExactBytesOnTheServiceThread) {
    auto rx = mgr->CreateUdpSock();
    auto tx = mgr->CreateUdpSock();
    UdpSockInfo rxInfo;
    rxInfo.receiver = &receiver;
    const std::uint16_t rxPort = OpenOnFreePort(*rx, rxInfo);
    const std::uint16_t txPort = OpenOnFreePort(*tx, UdpSockInfo{});
    ASSERT_NE(rxPort, 0);
    ASSERT_NE(txPort, 0);

    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    const std::vector<std::vector<std::uint8_t>> sent = {{0x00}, all, Bytes(1472, 0x55), {0xFF, 0x00, 0xFF}};
    // The three send forms.
    ASSERT_TRUE(tx->Send(sent[0].data(), sent[0].size(), Loopback(rxPort)).IsOk());
    auto shared = std::make_shared<Network::Packet>();
    shared->Assign(sent[1].data(), sent[1].size());
    ASSERT_TRUE(tx->Send(shared, Loopback(rxPort)).IsOk());
    auto owned = std::make_unique<Network::Packet>();
    owned->Assign(sent[2].data(), sent[2].size());
    ASSERT_TRUE(tx->Send(std::move(owned), Loopback(rxPort)).IsOk());
    EXPECT_EQ(owned, nullptr);  // always consumed
    ASSERT_TRUE(tx->Send(sent[3].data(), sent[3].size(), Loopback(rxPort)).IsOk());

    ASSERT_TRUE(receiver.WaitCount(4));
    const auto got = receiver.Datagrams();
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, sent[i]) << "datagram " << i;
        EXPECT_EQ(got[i].from, Loopback(txPort));
        EXPECT_EQ(got[i].thread, mgr->GetServiceThreadId());
        EXPECT_EQ(got[i].sock, rx.get());
    }
    EXPECT_NE(mgr->GetServiceThreadId(), platform::CurrentThreadId());
}

TEST_F(UdpSockTest, LongDatagramIsCutToTheReceiveBufferAndEmptyOneIsNotDelivered) {
    auto rx = mgr->CreateUdpSock();
    UdpSockInfo info;
    info.receiver = &receiver;
    info.recv_buffer_size = 100;
    const std::uint16_t port = OpenOnFreePort(*rx, info);
    ASSERT_NE(port, 0);
    const auto longOne = Bytes(300, 7);
    ASSERT_TRUE(SendRaw(port, {}));
    ASSERT_TRUE(SendRaw(port, longOne));
    ASSERT_TRUE(SendRaw(port, {0x42}));
    ASSERT_TRUE(receiver.WaitCount(2));
    std::this_thread::sleep_for(milliseconds(100));
    const auto got = receiver.Datagrams();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, std::vector<std::uint8_t>(longOne.begin(), longOne.begin() + 100));
    EXPECT_EQ(got[1].bytes, std::vector<std::uint8_t>{0x42});
}

TEST_F(UdpSockTest, SocketWithoutBindAddressNeverDelivers) {
    auto sock = mgr->CreateUdpSock();
    UdpSockInfo info;
    info.receiver = &receiver;
    ASSERT_TRUE(sock->Open(info).IsOk());
    RawPeer peer;
    ASSERT_TRUE(sock->Send(Bytes(4, 1).data(), 4, Loopback(peer.Port())).IsOk());
    std::vector<std::uint8_t> got;
    platform::SockAddrIn from;
    ASSERT_TRUE(peer.Receive(got, milliseconds(3000), &from));
    // Answer to the port the system gave the unbound socket.
    ASSERT_TRUE(platform::SendTo(peer.Handle(), got.data(), got.size(), from).ok());
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(receiver.Count(), 0u);
    // The answer did arrive; the socket just does not read.
    std::uint8_t buffer[16];
    EXPECT_TRUE(platform::RecvFrom(sock->GetBaseSock()->GetHandle(), buffer, sizeof buffer, nullptr).ok());
}

TEST_F(UdpSockTest, DestinationFallsBackToTheDefaultSendAddress) {
    auto sock = mgr->CreateUdpSock();
    ASSERT_TRUE(sock->Open(UdpSockInfo{}).IsOk());
    ErrInfo err = sock->Send(Bytes(3, 1).data(), 3, Network::SockAddr());
    EXPECT_EQ(FirstLine(err), L"UDP socket: send address undefined");
    EXPECT_EQ(err.Method(), std::string("Network::UdpSock::SendSync"));

    RawPeer peer;
    ASSERT_TRUE(sock->SetSendAddr(Loopback(peer.Port())).IsOk());
    ASSERT_TRUE(sock->Send(Bytes(3, 1).data(), 3, Network::SockAddr()).IsOk());
    std::vector<std::uint8_t> got;
    ASSERT_TRUE(peer.Receive(got, milliseconds(3000)));
    EXPECT_EQ(got, Bytes(3, 1));
    EXPECT_EQ(sock->GetInfo().send_addr, Loopback(peer.Port()));

    // A closed socket refuses both.
    sock->Close();
    ErrInfo closedAddr = sock->SetSendAddr(Loopback(peer.Port()));
    EXPECT_EQ(closedAddr.GetText(), L"UDP socket: Invalid socket");
    ErrInfo closedSend = sock->Send(Bytes(3, 1).data(), 3, Loopback(peer.Port()));
    EXPECT_EQ(FirstLine(closedSend), L"Invalid socket");
}

TEST_F(UdpSockTest, SynchronousSendNeedsNoServiceThread) {
    mgr->Stop();
    auto sock = mgr->CreateUdpSock();
    ASSERT_TRUE(sock->Open(UdpSockInfo{}).IsOk());
    EXPECT_EQ(sock->GetBaseSock()->GetEventMask(), Network::kSockEvRead);
    EXPECT_FALSE(sock->GetBaseSock()->IsIdle());
    RawPeer peer;
    ASSERT_TRUE(sock->Send(Bytes(20, 2).data(), 20, Loopback(peer.Port())).IsOk());
    std::vector<std::uint8_t> got;
    ASSERT_TRUE(peer.Receive(got, milliseconds(3000)));
    EXPECT_EQ(got, Bytes(20, 2));
}

TEST_F(UdpSockTest, ReceiverMaySendOnItsOwnSocketFromTheCallback) {
    auto echo = mgr->CreateUdpSock();
    echoer.onDatagram = [](IUdpSock* sock, const RecordingUdpReceiver::Datagram& d) {
        std::vector<std::uint8_t> reply = d.bytes;
        reply.push_back(0xEE);
        EXPECT_TRUE(sock->Send(reply.data(), reply.size(), d.from).IsOk());
    };
    UdpSockInfo echoInfo;
    echoInfo.receiver = &echoer;
    const std::uint16_t echoPort = OpenOnFreePort(*echo, echoInfo);
    auto client = mgr->CreateUdpSock();
    UdpSockInfo clientInfo;
    clientInfo.receiver = &receiver;
    ASSERT_NE(OpenOnFreePort(*client, clientInfo), 0);
    ASSERT_NE(echoPort, 0);
    for (std::uint8_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(client->Send(&i, 1, Loopback(echoPort)).IsOk());
    }
    ASSERT_TRUE(receiver.WaitCount(5));
    const auto got = receiver.Datagrams();
    for (std::uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(got[i].bytes, (std::vector<std::uint8_t>{i, 0xEE}));
    }
}

TEST_F(UdpSockTest, NoCallbackAfterCloseAndServedAgainWhenOpenedAgain) {
    auto rx = mgr->CreateUdpSock();
    UdpSockInfo info;
    info.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*rx, info);
    ASSERT_NE(port, 0);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load()) {
            SendRaw(port, Bytes(8, 1));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    ASSERT_TRUE(receiver.WaitCount(10));
    rx->Close();
    const std::size_t atClose = receiver.Count();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(receiver.Count(), atClose);
    stop.store(true);
    flood.join();
    EXPECT_FALSE(rx->GetBaseSock()->IsOpen());
    EXPECT_EQ(rx->GetInfo().receiver, nullptr);

    // Opened again (here on the same port), the socket is back in the collection and reads again.
    info.bind_addr = Loopback(port);
    ASSERT_TRUE(rx->Open(info).IsOk());
    EXPECT_NE(rx->GetBaseSock()->GetIndex(), Network::BaseSock::kNoIndex);
    ASSERT_TRUE(SendRaw(port, Bytes(9, 9)));
    ASSERT_TRUE(receiver.WaitCount(atClose + 1));
    EXPECT_EQ(receiver.Datagrams().back().bytes, Bytes(9, 9));
}

TEST(UdpSockLog, DetailedLogFollowsOneSocketFromOpenToDestruction) {
    DetailedLogging detailed(L"traced");
    testing_support::ProcessLogCapture capture;
    RecordingUdpReceiver receiver;
    auto mgr = StartedManager(L"traced");
    std::shared_ptr<Network::IUdpSock> sock = mgr->CreateUdpSock();
    const std::uint32_t id = sock->GetBaseSock()->GetId();
    UdpSockInfo info;
    info.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*sock, info);
    ASSERT_NE(port, 0);
    const int handle = sock->GetBaseSock()->HandleForLog();
    RawPeer peer;
    const auto payload = Bytes(5, 1);
    ASSERT_TRUE(
        platform::SendTo(peer.Handle(), payload.data(), payload.size(), platform::SockAddrIn::Loopback(port))
            .ok());
    ASSERT_TRUE(receiver.WaitCount(1));
    auto unbound = mgr->CreateUdpSock();
    ASSERT_TRUE(unbound->Open(UdpSockInfo{}).IsOk());
    const std::uint32_t unboundId = unbound->GetBaseSock()->GetId();
    const int unboundHandle = unbound->GetBaseSock()->HandleForLog();
    sock->Close();
    sock.reset();
    capture.Sync();

    const auto has = [&](const std::wstring& line) { return !capture.Containing(line).empty(); };
    EXPECT_TRUE(has(FormatLine(L"traced: Create UDP socket (%08X)", id)));
    EXPECT_TRUE(has(FormatLine(L"traced: Socket %d (%08X) : Install event handling (WSA)", handle, id)));
    EXPECT_TRUE(has(FormatLine(L"traced: UDP socket %d (%08X) has been opened and bound to \"127.0.0.1:%u\"",
                               handle, id, static_cast<unsigned>(port))));
    EXPECT_TRUE(
        has(FormatLine(L"traced: UDP socket %d (%08X) has been opened (unbound)", unboundHandle, unboundId)));
    EXPECT_TRUE(has(FormatLine(L"traced: UDP socket %d (%08X): handle events = FD_READ ", handle, id)));
    EXPECT_TRUE(has(
        FormatLine(L"traced: UDP socket %d (%08X): event = READ; incoming datagram 5 bytes from 127.0.0.1:%u",
                   handle, id, static_cast<unsigned>(peer.Port()))));
    EXPECT_TRUE(has(FormatLine(L"traced: close UDP socket %d (%08X)", handle, id)));
    EXPECT_TRUE(has(FormatLine(L"traced: socket %d (%08X): close socket handle", handle, id)));
    // The last owner may be a round of the service thread that still held the socket.
    EXPECT_TRUE(testing_support::WaitFor([&] {
        capture.Sync();
        return has(FormatLine(L"traced: destroy basic socket object -1 (%08X)", id));
    }));
    EXPECT_TRUE(has(L"traced: Wait for socket events: active = "));
    EXPECT_TRUE(has(L"NetManager \"traced\" created; statistic is ON; logging is ON; watcher WinSock2"));
}

TEST_F(UdpSockTest, BindFailureNamesTheAddressAndLeavesTheSocketClosed) {
    auto first = mgr->CreateUdpSock();
    const std::uint16_t port = OpenOnFreePort(*first, UdpSockInfo{});
    ASSERT_NE(port, 0);
    auto second = mgr->CreateUdpSock();
    UdpSockInfo info;
    info.bind_addr = Loopback(port);
    ErrInfo err = second->Open(info);
    ASSERT_FALSE(err.IsOk());
    EXPECT_NE(err.GetCode(), 0u);
    const std::wstring expected =
        FormatLine(L"udp: UDP socket %d (%08X) bind() has failed to \"127.0.0.1:%u\"; Error: ", 0,
                   second->GetBaseSock()->GetId(), static_cast<unsigned>(port));
    // The handle number differs; everything after it is fixed.
    const std::wstring tail = expected.substr(expected.find(L" ("));
    EXPECT_EQ(err.GetText().rfind(L"udp: UDP socket ", 0), 0u) << err.GetText();
    EXPECT_NE(err.GetText().find(tail), std::wstring::npos) << err.GetText();
    EXPECT_FALSE(second->GetBaseSock()->IsOpen());
}

TEST_F(UdpSockTest, BroadcastOptionIsSetOnTheHandle) {
    auto sock = mgr->CreateUdpSock();
    UdpSockInfo info;
    info.broadcast = true;
    ASSERT_TRUE(sock->Open(info).IsOk());
    bool on = false;
    ASSERT_TRUE(platform::GetBroadcast(sock->GetBaseSock()->GetHandle(), on).ok());
    EXPECT_TRUE(on);
    auto plain = mgr->CreateUdpSock();
    ASSERT_TRUE(plain->Open(UdpSockInfo{}).IsOk());
    ASSERT_TRUE(platform::GetBroadcast(plain->GetBaseSock()->GetHandle(), on).ok());
    EXPECT_FALSE(on);
}

TEST_F(UdpSockTest, FailedSendsRunThroughTheSendErrorState) {
    testing_support::ProcessLogCapture capture;
    auto sock = mgr->CreateUdpSock();
    const std::uint16_t self = OpenOnFreePort(*sock, UdpSockInfo{});
    ASSERT_NE(self, 0);
    RawPeer peer;
    auto* udp = dynamic_cast<Network::UdpSock*>(sock->GetBaseSock());
    ASSERT_NE(udp, nullptr);
    const std::vector<std::uint8_t> tooLong(70000, 1);  // larger than any UDP datagram

    ErrInfo first = sock->Send(tooLong.data(), tooLong.size(), Loopback(peer.Port()));
    ASSERT_FALSE(first.IsOk());
    EXPECT_EQ(FirstLine(first), L"UDP socket: sendto() failed");
    EXPECT_NE(first.GetCode(), 0u);
    EXPECT_NE(first.GetText().find(L"ErrState: Ok->Error, Info='UdpSock::Send', ErrCount = 1"),
              std::wstring::npos);
    const std::wstring context =
        FormatLine(L"udp: UDP socket %d (%08X); self = '127.0.0.1:%u', dest = '127.0.0.1:%u'",
                   sock->GetBaseSock()->HandleForLog(), sock->GetBaseSock()->GetId(),
                   static_cast<unsigned>(self), static_cast<unsigned>(peer.Port()));
    EXPECT_NE(first.GetText().find(context), std::wstring::npos) << first.GetText();
    EXPECT_EQ(udp->SendErrorCount(), 1u);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSendSyncDrops), 1u);

    ErrInfo second = sock->Send(tooLong.data(), tooLong.size(), Loopback(peer.Port()));
    EXPECT_EQ(FirstLine(second), L"UDP socket: sendto() failed");
    EXPECT_EQ(udp->SendErrorCount(), 2u);

    ASSERT_TRUE(sock->Send(Bytes(2, 1).data(), 2, Loopback(peer.Port())).IsOk());
    EXPECT_EQ(udp->SendErrorCount(), 0u);
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"ErrState: Error->OK, Info='UdpSock::Send', ErrCount = 2").size(), 1u);
}

}  // namespace
