// The collection of served sockets: where sockets land, when it grows and shrinks, and the lines that
// refused registrations leave in the log. The service is not started: the collection is driven from
// the test's thread alone.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/debug_log.h"
#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "udp_sock_test_support.h"

namespace {

using Network::BaseSock;
using Network::NetManager;
using Network::UdpSock;

class CollectionTest : public ::testing::Test {
protected:
    // Sockets made through the service are in its collection at once; they stay unopened.
    std::shared_ptr<BaseSock> Add() {
        std::shared_ptr<Network::IUdpSock> s = mgr->CreateUdpSock();
        socks.push_back(s);
        return std::shared_ptr<BaseSock>(s, s->GetBaseSock());
    }
    std::wstring Id(const std::shared_ptr<BaseSock>& s) { return FormatLine(L"(%08X)", s->GetId()); }
    bool Logged(const std::wstring& part) {
        capture.Sync();
        return !capture.Containing(part).empty();
    }

    const std::wstring name = L"coll" + std::to_wstring(::testing::UnitTest::GetInstance()->random_seed());
    sock_test::DetailedLogging detailed{name};
    testing_support::ProcessLogCapture capture;
    std::shared_ptr<NetManager> mgr = NetManager::Create(ComponentInfo{name}, false);
    std::vector<std::shared_ptr<Network::IUdpSock>> socks;
};

TEST_F(CollectionTest, FirstSocketExpandsEmptyCollectionAndLandsInSlotThree) {
    EXPECT_EQ(mgr->GetCollectionSize(), 0u);
    auto a = Add();
    EXPECT_EQ(a->GetIndex(), 3u);
    EXPECT_EQ(mgr->GetCollectionSize(), 128u);
    EXPECT_EQ(mgr->GetFreeSlots(), 127u);
    EXPECT_EQ(mgr->GetNumSockets(), 1u);
    EXPECT_EQ(mgr->GetServicedSocket(3), a);
    EXPECT_EQ(mgr->GetServicedSocket(2), nullptr);
    EXPECT_EQ(mgr->GetServicedSocket(500), nullptr);

    // Each later socket starts its search three slots past the previous one.
    auto b = Add();
    auto c = Add();
    EXPECT_EQ(b->GetIndex(), 6u);
    EXPECT_EQ(c->GetIndex(), 9u);

    EXPECT_TRUE(Logged(name + L": Create UDP socket " + Id(a)));
    EXPECT_TRUE(
        Logged(name + L": Socket -1 " + Id(a) + L" : Socket collection expanded: size = 128; free = 128"));
    EXPECT_TRUE(Logged(name + L": Socket -1 " + Id(a) +
                       L" : Added to socket collection: index = #3; size = 128; free = 127"));
    EXPECT_TRUE(Logged(name + L": Socket -1 " + Id(c) +
                       L" : Added to socket collection: index = #9; size = 128; free = 125"));
    // Only the first addition had to grow the collection.
    EXPECT_FALSE(Logged(Id(b) + L" : Socket collection expanded"));
}

TEST_F(CollectionTest, EightySixthSocketExpandsTo256Slots) {
    std::vector<std::shared_ptr<BaseSock>> added;
    for (int i = 0; i < 85; ++i) {
        added.push_back(Add());
    }
    // Slots 3, 6, ..., 126, then past the end to 1, 4, ..., 127.
    EXPECT_EQ(added[0]->GetIndex(), 3u);
    EXPECT_EQ(added[41]->GetIndex(), 126u);
    EXPECT_EQ(added[42]->GetIndex(), 1u);
    EXPECT_EQ(added[84]->GetIndex(), 127u);
    EXPECT_EQ(mgr->GetCollectionSize(), 128u);
    EXPECT_EQ(mgr->GetFreeSlots(), 43u);

    auto next = Add();
    EXPECT_EQ(mgr->GetCollectionSize(), 256u);
    EXPECT_EQ(mgr->GetFreeSlots(), 170u);
    EXPECT_EQ(next->GetIndex(), 130u);
    EXPECT_EQ(mgr->GetNumSockets(), 86u);
    EXPECT_TRUE(Logged(Id(next) + L" : Socket collection expanded: size = 256; free = 171"));
    // Every socket is still where it was put.
    for (const auto& s : added) {
        EXPECT_EQ(mgr->GetServicedSocket(s->GetIndex()), s);
    }
}

TEST_F(CollectionTest, ShrinkDropsTrailingEmptySlotsWhileFortyFourAreFree) {
    std::vector<std::shared_ptr<BaseSock>> added;
    for (int i = 0; i < 85; ++i) {
        added.push_back(Add());
    }
    // Slot 3 empties; the last slot (127) is taken, so nothing can be dropped.
    mgr->RemoveSocketFromService(added[0].get());
    EXPECT_EQ(added[0]->GetIndex(), BaseSock::kNoIndex);
    EXPECT_EQ(mgr->GetCollectionSize(), 128u);
    EXPECT_EQ(mgr->GetFreeSlots(), 44u);
    EXPECT_TRUE(Logged(Id(added[0]) + L" : Removed from socket collection: index = #3; size = 128"));
    EXPECT_FALSE(Logged(Id(added[0]) + L" : Socket collection shrinked"));

    // Slot 127 empties: it is dropped, then slot 126 is taken and the drop stops.
    mgr->RemoveSocketFromService(added[84].get());
    EXPECT_EQ(mgr->GetCollectionSize(), 127u);
    EXPECT_EQ(mgr->GetFreeSlots(), 44u);
    EXPECT_TRUE(Logged(Id(added[84]) + L" : Socket collection shrinked: size = 127; free = 44"));

    // The last index used (127) now lies past the end; the search wraps from it to the free slot 3.
    auto again = Add();
    EXPECT_EQ(again->GetIndex(), 3u);
    EXPECT_EQ(mgr->GetCollectionSize(), 127u);
    EXPECT_EQ(mgr->GetFreeSlots(), 43u);
}

TEST_F(CollectionTest, ShrinkStopsAtFortyThreeFreeSlotsEvenWhenAllAreEmpty) {
    auto a = Add();
    mgr->RemoveSocketFromService(a.get());
    EXPECT_EQ(mgr->GetCollectionSize(), 43u);
    EXPECT_EQ(mgr->GetFreeSlots(), 43u);
    EXPECT_EQ(mgr->GetNumSockets(), 0u);
    EXPECT_TRUE(Logged(Id(a) + L" : Socket collection shrinked: size = 43; free = 43"));
    // The next addition has fewer than 44 free slots and grows to the next multiple of 128.
    auto b = Add();
    EXPECT_EQ(mgr->GetCollectionSize(), 128u);
    EXPECT_EQ(mgr->GetFreeSlots(), 127u);
    EXPECT_EQ(b->GetIndex(), 6u);
}

TEST_F(CollectionTest, RefusedRegistrationsAreLoggedAndChangeNothing) {
    auto stranger = UdpSock::Create(*mgr);  // never added

    // An empty collection: removing an unknown socket is silent.
    mgr->RemoveSocketFromService(stranger.get());
    EXPECT_FALSE(Logged(Id(stranger) + L" is not under service"));

    auto a = Add();
    mgr->RemoveSocketFromService(stranger.get());
    EXPECT_TRUE(Logged(name + L": Error: Socket  -1 " + Id(stranger) +
                       L" is not under service: indx = 4294967295 (attempt to remove)"));

    // A socket whose index points at another socket's slot.
    stranger->SetIndex(a->GetIndex());
    mgr->RemoveSocketFromService(stranger.get());
    EXPECT_TRUE(Logged(name + L": Error: Socket  -1 " + Id(stranger) +
                       L" contains invalid indx = 3 (attempt to remove)"));
    EXPECT_EQ(mgr->GetServicedSocket(3), a);
    EXPECT_EQ(mgr->GetNumSockets(), 1u);
    stranger->SetIndex(BaseSock::kNoIndex);

    mgr->AddSocketToService(nullptr);
    EXPECT_TRUE(Logged(name + L": Error: Attempt to add <null> socket to service"));

    mgr->AddSocketToService(a);
    EXPECT_TRUE(Logged(name + L": Error: Socket  -1 " + Id(a) + L" alredy added to service as 3"));
    EXPECT_EQ(mgr->GetNumSockets(), 1u);
    EXPECT_EQ(mgr->GetFreeSlots(), 127u);
}

TEST_F(CollectionTest, WeightIsTheSumOfTheServedSocketsWeights) {
    auto a = Add();
    auto b = Add();
    EXPECT_EQ(mgr->GetWeight(), 2000u);
    mgr->RemoveSocketFromService(a.get());
    EXPECT_EQ(mgr->GetWeight(), 1000u);
    auto probe = std::make_shared<sock_test::ProbeSock>(*mgr, 250);
    mgr->AddSocketToService(probe);
    EXPECT_EQ(mgr->GetWeight(), 1250u);
    mgr->RemoveSocketFromService(b.get());
    mgr->RemoveSocketFromService(probe.get());
    EXPECT_EQ(mgr->GetWeight(), 0u);
}

TEST_F(CollectionTest, SocketReopenedWithAnotherWeightLeavesNoWeightBehind) {
    testing_support::ProcessLogTestFolder();
    std::shared_ptr<Network::IUdpSock> s = mgr->CreateUdpSock();
    EXPECT_EQ(mgr->GetWeight(), 1000u);
    Network::UdpSockInfo info;
    info.weight = 300;
    ASSERT_TRUE(s->Open(info).IsOk());  // unbound; still counted as it was added
    s->Close();
    EXPECT_EQ(mgr->GetWeight(), 0u);
    EXPECT_EQ(mgr->GetNumSockets(), 0u);
    ASSERT_TRUE(s->Open(info).IsOk());  // opened again: served again, with its new weight
    EXPECT_EQ(mgr->GetWeight(), 300u);
    EXPECT_EQ(mgr->GetNumSockets(), 1u);
    s->Close();
    EXPECT_EQ(mgr->GetWeight(), 0u);
}

TEST_F(CollectionTest, ClosingAnUnopenedSocketTakesItOutOfTheCollection) {
    std::shared_ptr<Network::IUdpSock> s = mgr->CreateUdpSock();
    EXPECT_EQ(mgr->GetNumSockets(), 1u);
    s->Close();
    EXPECT_EQ(mgr->GetNumSockets(), 0u);
    EXPECT_EQ(s->GetBaseSock()->GetIndex(), BaseSock::kNoIndex);
}

}  // namespace
