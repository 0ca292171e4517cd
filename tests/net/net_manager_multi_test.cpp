// The multi-manager: the factory's choice by count, the placement of new sockets on the least weighted
// inner service, and a thousand sockets over four services all served.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "common/log_test_support.h"
#include "net/net_manager_multi.h"
#include "net_test_support.h"

namespace {

using namespace net_test;
using Network::NetManagerMulti;

// Which inner service (by position) each socket went to.
template <class Sock>
std::vector<std::size_t> Homes(NetManagerMulti& multi, const std::vector<std::shared_ptr<Sock>>& socks) {
    std::vector<std::size_t> homes;
    for (const auto& s : socks) {
        for (std::size_t i = 0; i < multi.Managers().size(); ++i) {
            if (&s->GetNetManager() == multi.Managers()[i].get()) {
                homes.push_back(i);
            }
        }
    }
    return homes;
}

TEST(NetManagerMultiTest, NewSocketsAlternateBetweenEqualServicesAndBatchesStayOnOne) {
    EXPECT_TRUE(dynamic_cast<Network::NetManager*>(
        Network::INetManager::Create(ComponentInfo{L"one"}, false, 1).get()));
    const auto made = Network::INetManager::Create(ComponentInfo{L"pair"}, false, 2);
    auto* multi = dynamic_cast<NetManagerMulti*>(made.get());
    ASSERT_NE(multi, nullptr);
    ASSERT_EQ(multi->Managers().size(), 2u);
    EXPECT_EQ(multi->Managers()[1]->GetName(), L"pair:1");
    EXPECT_EQ(NetManagerMulti(ComponentInfo{L"few"}, false, 0).Managers().size(), 2u);

    std::vector<std::shared_ptr<Network::IUdpSock>> udp;
    std::vector<std::shared_ptr<Network::ITcpSock>> tcp;
    for (int i = 0; i < 3; ++i) {
        udp.push_back(multi->CreateUdpSock());
    }
    EXPECT_EQ(Homes(*multi, udp), (std::vector<std::size_t>{0, 1, 0}));
    tcp.push_back(multi->CreateTcpSock());  // service 1 is the lighter now
    EXPECT_EQ(Homes(*multi, tcp), (std::vector<std::size_t>{1}));
    EXPECT_EQ(multi->GetWeight(), 4000u);
    EXPECT_EQ(multi->GetNumSockets(), 4u);
    // Four on one service: the first goes to the lighter one (a tie: the first), the rest follow it.
    EXPECT_EQ(Homes(*multi, multi->CreateUdpSocks(4)), (std::vector<std::size_t>{0, 0, 0, 0}));
}

// Answers every datagram to its sender.
class Echo : public Network::IUdpReceiver {
public:
    void OnDatagramReceived(Network::IUdpSock* sock, std::shared_ptr<Network::Packet> d,
                            const Network::SockAddr& from) override {
        EXPECT_TRUE(sock->Send(std::move(d), from).IsOk());
    }
    void OnSocketError(const ErrInfo&, Network::IUdpSock*) override {}
};

TEST(NetManagerMultiTest, AThousandSocketsOverFourServicesAreAllServed) {
    Echo echo;
    NetManagerMulti multi(ComponentInfo{L"thousand"}, true, 4);
    std::vector<std::shared_ptr<Network::IUdpSock>> socks;
    for (int i = 0; i < 1000; ++i) {
        socks.push_back(multi.CreateUdpSock());
        ASSERT_TRUE(socks.back()->Open(Bound(&echo)).IsOk());
    }
    for (const auto& m : multi.Managers()) {
        EXPECT_EQ(m->GetNumSockets(), 250u);
    }
    UdpPeer peer;
    // In waves, so the answers never outgrow the peer's receive buffer.
    for (std::size_t wave = 0; wave < socks.size(); wave += 100) {
        for (std::size_t i = wave; i < wave + 100; ++i) {
            ASSERT_TRUE(peer.SendBytes(Pattern(8, static_cast<std::uint32_t>(i)),
                                       socks[i]->GetInfo().bind_addr.Native()));
        }
        ASSERT_TRUE(peer.WaitForCount(wave + 100));
    }
    std::set<std::uint16_t> answered;
    for (const PeerDatagram& d : peer.Received()) {
        answered.insert(d.from.Port());
    }
    EXPECT_EQ(answered.size(), 1000u);
}

TEST(SocketLibraryTest, AFailedStartWritesItsCodeToTheLog) {
    testing_support::LogCapture capture;
    EXPECT_TRUE(Network::ReportSocketLibraryStart(0));
    EXPECT_FALSE(Network::ReportSocketLibraryStart(10091));
    EXPECT_EQ(capture.Containing(L"Error init WinSocks; code = ").size(), 1u);
    EXPECT_EQ(capture.Containing(L"Error init WinSocks; code = 10091").size(), 1u);
}

}  // namespace
