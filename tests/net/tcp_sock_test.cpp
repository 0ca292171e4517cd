// TCP sockets on loopback: an echo through TcpListenSock and TcpSock with partial writes, the end of a
// connection by an orderly close or a reset of the peer, and the bounds a hostile peer meets (the send
// queue of a peer that never reads, the connections a listener keeps open).
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "net/tcp_listen_sock.h"
#include "net/tcp_sock.h"
#include "net_test_support.h"

namespace {

using namespace net_test;

// Records a TCP socket's stream and fate; as the receiver of a listener's connections it echoes.
class TcpRecorder : public Network::ITcpReceiver, public Network::ITcpListenReceiver {
public:
    bool echo = false;
    std::vector<std::shared_ptr<Network::ITcpSock>> accepted;

    void OnConnected(Network::ITcpSock*) override { connected_.store(true); }
    void OnDataReceived(Network::ITcpSock* sock, std::shared_ptr<Network::Packet> data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.insert(bytes_.end(), data->Data(), data->Data() + data->Size());
        if (echo) {
            EXPECT_TRUE(sock->Send(std::move(data)).IsOk());
        }
    }
    void OnSocketError(Network::ITcpSock*, const ErrInfo&) override {}
    void OnSocketClosed(Network::ITcpSock*, const ErrInfo& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        closeCode_ = static_cast<int>(error.GetCode());
        closed_ = true;
    }
    void OnAccepted(Network::ITcpListenSock*, std::shared_ptr<Network::ITcpSock> sock) override {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted.push_back(std::move(sock));
    }
    std::size_t Accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted.size();
    }
    std::vector<std::uint8_t> Bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    bool Connected() const { return connected_.load(); }
    // The reason's code once the connection ended; -1 before.
    int CloseCode() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_ ? closeCode_ : -1;
    }

private:
    std::atomic<bool> connected_{false};
    std::mutex mutex_;
    std::vector<std::uint8_t> bytes_;
    bool closed_ = false;
    int closeCode_ = 0;
};

Network::TcpSockInfo To(const Network::SockAddr& remote, Network::ITcpReceiver* receiver) {
    Network::TcpSockInfo info;
    info.remote_addr = remote;
    info.receiver = receiver;
    return info;
}

// A listening platform socket on loopback that accepts only when told to and never reads.
struct RawListener {
    platform::SocketLibraryScope library;  // made before any socket service of the test (Windows)
    platform::UniqueSocket sock;
    platform::SockAddrIn at = platform::SockAddrIn::Loopback(0);
    RawListener() {
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(platform::SocketKind::kTcp, h).ok());
        sock.Reset(h);
        EXPECT_TRUE(platform::Bind(h, at).ok() && platform::GetLocalAddress(h, at).ok() &&
                    platform::Listen(h, 8).ok());
    }
    platform::UniqueSocket Accept() {
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::Accept(sock.Get(), h, nullptr).ok());
        return platform::UniqueSocket(h);
    }
};

TEST(TcpSockTest, EchoThroughAListenerKeepsEveryByteInOrderAcrossPartialWrites) {
    TcpRecorder server;
    TcpRecorder client;
    server.echo = true;
    Network::TcpListenSockInfo listen;
    listen.local_addr = Network::SockAddr(L"127.0.0.1", 0);
    listen.receiver = &server;
    listen.accepted.receiver = &server;
    auto service = StartedService(L"tcp echo");
    auto listener = service->CreateTcpListenSock();
    ASSERT_TRUE(listener->Open(listen).IsOk());

    auto sock = service->CreateTcpSock();
    EXPECT_EQ(Failure(sock->Send(Pattern(1).data(), 1)), L"TCP send failure : Socket is not open");
    ASSERT_TRUE(sock->Open(To(listener->GetInfo().local_addr, &client)).IsOk());
    ASSERT_TRUE(WaitUntil([&] { return client.Connected(); }));
    EXPECT_EQ(sock->GetState(), Network::kTcpConnected);
    // A small send buffer makes the system take only part of each 64 KiB packet at a time.
    ASSERT_TRUE(platform::SetSendBufferSize(sock->GetBaseSock()->GetHandle(), 4096).ok());
    const std::vector<std::uint8_t> sent = Pattern(1024 * 1024);
    for (std::size_t at = 0; at < sent.size(); at += 65536) {
        ASSERT_TRUE(sock->Send(sent.data() + at, 65536).IsOk());
    }
    ASSERT_TRUE(WaitUntil([&] { return client.Bytes().size() >= sent.size(); }, milliseconds(30000)));
    EXPECT_TRUE(client.Bytes() == sent);
    EXPECT_EQ(server.Accepted(), 1u);
    EXPECT_EQ(sock->QueuedBytes(), 0u);
}

struct PeerEnd {
    const char* name;
    bool reset;
};

class TcpPeerEndTest : public ::testing::TestWithParam<PeerEnd> {};

TEST_P(TcpPeerEndTest, TheEndOfTheConnectionIsReportedWithItsReason) {
    RawListener peer;
    TcpRecorder client;
    RecordingUdpReceiver gateReceiver;
    auto service = StartedService(L"tcp end");
    auto sock = service->CreateTcpSock();
    ASSERT_TRUE(sock->Open(To(Addr(peer.at), &client)).IsOk());
    platform::UniqueSocket conn = peer.Accept();
    ASSERT_TRUE(WaitUntil([&] { return client.Connected(); }));
    // The service thread is held in a receiver call of another socket meanwhile, so the peer's last
    // bytes and its end arrive as one report.
    std::atomic<int> gate{0};
    gateReceiver.onDatagram = [&](Network::IUdpSock*, const Datagram&) {
        gate.store(1);
        EXPECT_TRUE(WaitUntil([&] { return gate.load() == 2; }));
    };
    auto gateSock = service->CreateUdpSock();
    ASSERT_TRUE(gateSock->Open(Bound(&gateReceiver)).IsOk());
    UdpPeer poke;
    ASSERT_TRUE(poke.SendBytes(Pattern(1), gateSock->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(WaitUntil([&] { return gate.load() == 1; }));
    if (GetParam().reset) {
        ASSERT_TRUE(platform::SetLinger(conn.Get(), true, 0).ok());
    } else {
        // Bytes sent right before an orderly close are still delivered.
        ASSERT_TRUE(platform::Send(conn.Get(), "bye", 3).ok());
    }
    conn.Reset();
    gate.store(2);
    ASSERT_TRUE(WaitUntil([&] { return client.CloseCode() != -1; }));
#ifdef _WIN32
    if (GetParam().reset && client.CloseCode() == 0) {
        GTEST_SKIP() << "this Winsock closed gracefully despite linger 0 (Wine does)";
    }
#endif
    if (GetParam().reset) {
        EXPECT_EQ(platform::ClassifySocketError(client.CloseCode()),
                  platform::SocketErrorKind::kConnectionReset);
    } else {
        EXPECT_EQ(client.CloseCode(), 0);
        EXPECT_EQ(TextOf(client.Bytes()), "bye");
    }
    EXPECT_EQ(sock->GetState(), Network::kTcpDisconnected);
}

INSTANTIATE_TEST_SUITE_P(Peers, TcpPeerEndTest,
                         ::testing::Values(PeerEnd{"closes", false}, PeerEnd{"resets", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TcpSockTest, APeerThatNeverReadsMakesSendFailAtTheQueueLimit) {
    RawListener peer;
    TcpRecorder client;
    auto service = StartedService(L"tcp stuck");
    auto sock = service->CreateTcpSock();
    Network::TcpSockInfo info = To(Addr(peer.at), &client);
    info.send_queue_limit = 256 * 1024;
    ASSERT_TRUE(sock->Open(info).IsOk());
    platform::UniqueSocket conn = peer.Accept();
    ASSERT_TRUE(WaitUntil([&] { return client.Connected(); }));
    const std::vector<std::uint8_t> block = Pattern(65536);
    std::wstring refusal;
    // The system's buffers take some megabytes first; then the queue fills and stays full.
    for (int i = 0; i < 100000 && refusal.empty(); ++i) {
        refusal = Failure(sock->Send(block.data(), block.size()));
    }
    EXPECT_NE(refusal.find(L"TCP send failure : send queue full"), std::wstring::npos) << refusal;
    EXPECT_LE(sock->QueuedBytes(), info.send_queue_limit);
    EXPECT_EQ(sock->RefusedSends(), 1u);
}

TEST(TcpListenSockTest, ConnectionsBeyondTheBoundAreRefusedAndCounted) {
    TcpRecorder server;
    TcpRecorder clients[4];
    Network::TcpListenSockInfo listen;
    listen.local_addr = Network::SockAddr(L"127.0.0.1", 0);
    listen.max_connections = 2;
    listen.receiver = &server;
    auto service = StartedService(L"tcp bound");
    auto listener = service->CreateTcpListenSock();
    ASSERT_TRUE(listener->Open(listen).IsOk());
    std::vector<std::shared_ptr<Network::ITcpSock>> socks;
    const auto connect = [&](TcpRecorder& c) {
        socks.push_back(service->CreateTcpSock());
        ASSERT_TRUE(socks.back()->Open(To(listener->GetInfo().local_addr, &c)).IsOk());
    };
    connect(clients[0]);
    connect(clients[1]);
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 2; }));
    connect(clients[2]);
    ASSERT_TRUE(WaitUntil([&] { return listener->RefusedConnections() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return clients[2].CloseCode() != -1; }));
    // One closes: the next is taken again.
    server.accepted[0]->Close();
    connect(clients[3]);
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 3; }));
    EXPECT_EQ(listener->RefusedConnections(), 1u);
}

}  // namespace
