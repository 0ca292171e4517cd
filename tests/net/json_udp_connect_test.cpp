// The reliable session with its real timing (300 ms repetition, three sends), against a scripted raw-UDP
// peer that drops, duplicates, delays and reorders datagrams, and against a second session on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json_udp_test_support.h"
#include "net/json_udp_connect.h"
#include "protocol/device_msgs.h"

namespace {

using namespace net_test;
using Network::JsonMsg;
using Network::JsonUdpConnect;
using Network::JsonUdpConnectInfo;
using Network::SockAddr;

const std::wstring kGiveUp = L"Protocol error. No ack received";

std::shared_ptr<Network::JsonMsgFmFreq> FreqMsg(std::int32_t value) {
    auto msg = std::make_shared<Network::JsonMsgFmFreq>();
    msg->freq = {value};
    return msg;
}

std::int32_t FreqOf(const std::shared_ptr<JsonMsg>& msg) {
    auto* freq = dynamic_cast<Network::JsonMsgFmFreq*>(msg.get());
    return (freq != nullptr && freq->freq.size() == 1) ? freq->freq[0] : -1;
}

// The datagram of a segment as a peer sends it.
std::vector<std::uint8_t> Segment(std::uint32_t leader, std::uint32_t number, std::uint32_t count,
                                  std::vector<std::uint8_t> bytes) {
    Network::JsonMsgAtt seg;
    seg.leader_id = leader;
    seg.seg_number = number;
    seg.seg_count = count;
    seg.att = std::move(bytes);
    seg.att_size = seg.att.size();
    return ToBytes(seg);
}

// A leader that announces `total` attachment bytes and carries none.
std::vector<std::uint8_t> Leader(const Network::JsonMsg& msg, std::uint64_t total) {
    Network::JsonMsgFmFreq copy(dynamic_cast<const Network::JsonMsgFmFreq&>(msg));
    copy.att.clear();
    copy.att_size = total;
    return ToBytes(copy);
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    return std::vector<std::uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                     v.begin() + static_cast<std::ptrdiff_t>(from + n));
}

class JsonUdpConnectTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = MakeService(L"session test");
        session_ = JsonUdpConnect::Create(ComponentInfo{L"TestSession"}, *service_);
    }
    void TearDown() override {
        session_->Stop();
        session_.reset();
        service_->Stop();
    }

    SockAddr StartSession(JsonUdpConnectInfo info = {}) {
        info.receiver = &receiver_;
        info.factory = &factory_;
        return StartOnFreePort(*session_, info);
    }
    // A session whose default destination is the peer.
    SockAddr StartSessionFor(const ScriptedPeer& peer, JsonUdpConnectInfo info = {}) {
        info.default_send_addr = peer.Address();
        return StartSession(info);
    }

    std::shared_ptr<Network::INetManager> service_;
    std::shared_ptr<JsonUdpConnect> session_;
    RecordingReceiver receiver_;
    Network::AsioDriverJsonMsgFactory factory_;
};

// ---------------------------------------------------------------------------------------------------
// Sending: acknowledgement, repetition, give-up

TEST_F(JsonUdpConnectTest, UnansweredMessageIsSentThreeTimesThenGivenUpAtAbout900Ms) {
    ScriptedPeer peer;
    peer.SetPolicy([](const JsonMsg&, int) { return PeerReply{PeerReply::kIgnore}; });
    StartSessionFor(peer);

    auto msg = FreqMsg(1);
    const auto t0 = Clock::now();
    ASSERT_TRUE(session_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitErrors(1, milliseconds(4000)));
    const auto errors = receiver_.Errors();
    EXPECT_EQ(errors[0].error, kGiveUp);
    EXPECT_EQ(errors[0].from, session_.get());
    const auto giveUpMs = MsBetween(t0, errors[0].at);
    EXPECT_GE(giveUpMs, 800);
    EXPECT_LE(giveUpMs, 1500);

    // Nothing more is sent for it.
    std::this_thread::sleep_for(milliseconds(400));
    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].msg);
        EXPECT_EQ(got[i].msg->msg_id, msg->msg_id);
        EXPECT_EQ(got[i].bytes, got[0].bytes);
        if (i > 0) {
            const auto gap = MsBetween(got[i - 1].at, got[i].at);
            EXPECT_GE(gap, 250) << "repetition " << i;
            EXPECT_LE(gap, 700) << "repetition " << i;
        }
    }
    EXPECT_TRUE(receiver_.Acks().empty());
    EXPECT_EQ(receiver_.Errors().size(), 1u);
    const auto stats = session_->GetStats();
    EXPECT_EQ(stats.RepeatMsgSent, 2);
    EXPECT_EQ(stats.MsgSent, 0);
}

TEST_F(JsonUdpConnectTest, AMessageAcknowledgedOnItsSecondSendIsReportedOnceWithTheAckTimeOfTheLastSend) {
    ScriptedPeer peer;
    peer.SetPolicy(
        [](const JsonMsg&, int copy) { return PeerReply{copy == 0 ? PeerReply::kIgnore : PeerReply::kAck}; });
    StartSessionFor(peer);

    auto msg = FreqMsg(2);
    ASSERT_TRUE(session_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(900));

    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].msg, msg);
    EXPECT_EQ(acks[0].from, session_.get());
    EXPECT_TRUE(receiver_.Errors().empty());
    EXPECT_EQ(peer.Received().size(), 2u);
    const auto stats = session_->GetStats();
    EXPECT_EQ(stats.MsgSent, 1);
    EXPECT_EQ(stats.RepeatMsgSent, 1);
    EXPECT_EQ(stats.DupAckReceived, 0);
    // Measured from the second send, not the first (which was more than 300 ms earlier).
    EXPECT_LT(stats.MaxAckMs, 290);
}

TEST_F(JsonUdpConnectTest, MessagesGoOneAtATimeInOrderAndAGiveUpLetsTheNextOneGo) {
    ScriptedPeer peer;
    auto lost = FreqMsg(10);
    const std::uint32_t lostId = lost->msg_id;
    peer.SetPolicy([lostId](const JsonMsg& m, int) {
        return PeerReply{m.msg_id == lostId ? PeerReply::kIgnore : PeerReply::kAck, 20};
    });
    StartSessionFor(peer);

    auto second = FreqMsg(11);
    auto third = FreqMsg(12);
    ASSERT_TRUE(session_->Send(lost, SockAddr()).IsOk());
    ASSERT_TRUE(session_->Send(second, SockAddr()).IsOk());
    ASSERT_TRUE(session_->Send(third, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(2, milliseconds(4000)));

    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 5u);
    std::vector<std::int32_t> order;
    for (const auto& d : got) {
        order.push_back(FreqOf(d.msg));
    }
    EXPECT_EQ(order, (std::vector<std::int32_t>{10, 10, 10, 11, 12}));
    // The third waited for the (delayed) acknowledgement of the second.
    EXPECT_GE(MsBetween(got[3].at, got[4].at), 15);

    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].error, kGiveUp);
    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].msg, second);
    EXPECT_EQ(acks[1].msg, third);
    EXPECT_LE(errors[0].at, acks[0].at);
}

TEST_F(JsonUdpConnectTest, AnAckForAnotherIdOnlyCountsAsDuplicateAck) {
    ScriptedPeer peer;
    peer.SetPolicy([](const JsonMsg&, int copy) {
        PeerReply reply;
        reply.ackIdOffset = copy == 0 ? 1000 : 0;
        return reply;
    });
    const SockAddr local = StartSessionFor(peer);

    auto msg = FreqMsg(3);
    ASSERT_TRUE(session_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(3000)));
    EXPECT_EQ(receiver_.Acks()[0].msg, msg);
    EXPECT_EQ(peer.Received().size(), 2u);

    // With nothing in flight any acknowledgement matches nothing, even the one just right before.
    peer.Send(Network::JsonMsgAck(msg->msg_id), local);
    std::this_thread::sleep_for(milliseconds(300));

    const auto stats = session_->GetStats();
    EXPECT_EQ(stats.DupAckReceived, 2);
    EXPECT_EQ(stats.MsgSent, 1);
    EXPECT_EQ(stats.RepeatMsgSent, 1);
    EXPECT_EQ(receiver_.Acks().size(), 1u);
    EXPECT_TRUE(receiver_.Errors().empty());
    // Acknowledgements are never acknowledged.
    EXPECT_EQ(peer.Received().size(), 2u);
}

TEST_F(JsonUdpConnectTest, SendSideLossThroughTheFilterIsRepairedByRepetition) {
    ScriptedPeer peer;
    // The first send of every message is lost; acknowledgements pass.
    PredicateSendFilter filter([](const JsonMsg& m, int seen) { return m.type != L"ack" && seen == 0; });
    JsonUdpConnectInfo info;
    info.send_filter = &filter;
    StartSessionFor(peer, info);

    auto a = FreqMsg(4);
    auto b = FreqMsg(5);
    ASSERT_TRUE(session_->Send(a, SockAddr()).IsOk());
    ASSERT_TRUE(session_->Send(b, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(2, milliseconds(4000)));

    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].msg->msg_id, a->msg_id);
    EXPECT_EQ(got[1].msg->msg_id, b->msg_id);
    EXPECT_EQ(filter.Dropped(), 2);
    EXPECT_EQ(session_->GetStats().RepeatMsgSent, 2);
    EXPECT_TRUE(receiver_.Errors().empty());
}

TEST_F(JsonUdpConnectTest, TotalSendSideLossEndsInTheGiveUpWithNothingOnTheWire) {
    ScriptedPeer peer;
    PredicateSendFilter filter([](const JsonMsg&, int) { return true; });
    JsonUdpConnectInfo info;
    info.send_filter = &filter;
    StartSessionFor(peer, info);

    const auto t0 = Clock::now();
    ASSERT_TRUE(session_->Send(FreqMsg(6), SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitErrors(1, milliseconds(4000)));
    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].error, kGiveUp);
    EXPECT_GE(MsBetween(t0, errors[0].at), 800);
    EXPECT_EQ(filter.Dropped(), 3);
    EXPECT_TRUE(peer.Received().empty());
}

TEST_F(JsonUdpConnectTest, EachFailedSendOfAMessageWithoutAddressIsReportedBeforeTheGiveUp) {
    StartSession();
    ASSERT_TRUE(session_->Send(FreqMsg(7), SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitErrors(4, milliseconds(4000)));
    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].error, L"Bad send address");
    EXPECT_EQ(errors[1].error, L"Bad send address");
    EXPECT_EQ(errors[2].error, L"Bad send address");
    EXPECT_EQ(errors[3].error, kGiveUp);
}

TEST_F(JsonUdpConnectTest, WithoutRepetitionAnUnansweredMessageStaysInFlightAndBlocksTheQueue) {
    ScriptedPeer peer;
    peer.SetPolicy([](const JsonMsg&, int) { return PeerReply{PeerReply::kIgnore}; });
    JsonUdpConnectInfo info;
    info.repeat_interval_ms = 0;
    StartSessionFor(peer, info);

    auto first = FreqMsg(8);
    ASSERT_TRUE(session_->Send(first, SockAddr()).IsOk());
    ASSERT_TRUE(session_->Send(FreqMsg(9), SockAddr()).IsOk());
    std::this_thread::sleep_for(milliseconds(1200));
    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg->msg_id, first->msg_id);
    EXPECT_TRUE(receiver_.Errors().empty());

    // Its acknowledgement, however late, releases the queue.
    peer.Send(Network::JsonMsgAck(first->msg_id), got[0].from);
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(3000)));
    ASSERT_TRUE(peer.WaitForCount(2, milliseconds(3000)));
    EXPECT_EQ(FreqOf(peer.Received()[1].msg), 9);
}

// ---------------------------------------------------------------------------------------------------
// Segmentation

TEST_F(JsonUdpConnectTest, A3000ByteAttachmentGoesAsLeaderAndThreeSegmentsAndIsReportedOnceAtTheEnd) {
    ScriptedPeer peer;
    StartSessionFor(peer);

    auto msg = FreqMsg(20);
    const std::vector<std::uint8_t> payload = Pattern(3000);
    msg->att = payload;
    ASSERT_TRUE(session_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(400));

    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 4u);
    // The leader announces the total and carries no bytes.
    ASSERT_TRUE(got[0].msg);
    EXPECT_EQ(got[0].msg->msg_id, msg->msg_id);
    EXPECT_EQ(FreqOf(got[0].msg), 20);
    EXPECT_NE(TextOf(got[0].bytes).find("\"att\":3000"), std::string::npos);
    EXPECT_EQ(got[0].bytes.size(), TextOf(got[0].bytes).size() + 1);

    const std::size_t sizes[] = {1300, 1300, 400};
    std::vector<std::uint8_t> joined;
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto* seg = dynamic_cast<Network::JsonMsgAtt*>(got[i + 1].msg.get());
        ASSERT_NE(seg, nullptr) << "datagram " << i + 1;
        EXPECT_EQ(seg->leader_id, msg->msg_id);
        EXPECT_EQ(seg->seg_number, i);
        EXPECT_EQ(seg->seg_count, 3u);
        EXPECT_EQ(seg->att.size(), sizes[i]);
        EXPECT_EQ(seg->att_size, sizes[i]);
        joined.insert(joined.end(), seg->att.begin(), seg->att.end());
    }
    EXPECT_EQ(joined, payload);

    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].msg, msg);
    EXPECT_GE(acks[0].at, got[3].at);
    EXPECT_EQ(session_->GetStats().MsgSent, 4);
    EXPECT_TRUE(receiver_.Errors().empty());
}

TEST_F(JsonUdpConnectTest, GivingUpOnASegmentDropsTheRestOfItsMessageAndGoesOnWithTheNext) {
    ScriptedPeer peer;
    peer.SetPolicy([](const JsonMsg& m, int) {
        const auto* seg = dynamic_cast<const Network::JsonMsgAtt*>(&m);
        return PeerReply{seg != nullptr && seg->seg_number == 1 ? PeerReply::kIgnore : PeerReply::kAck};
    });
    StartSessionFor(peer);

    auto big = FreqMsg(21);
    big->att = Pattern(3000);
    auto next = FreqMsg(22);
    ASSERT_TRUE(session_->Send(big, SockAddr()).IsOk());
    ASSERT_TRUE(session_->Send(next, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(4000)));
    std::this_thread::sleep_for(milliseconds(200));

    std::vector<std::wstring> kinds;
    for (const auto& d : peer.Received()) {
        const auto* seg = dynamic_cast<const Network::JsonMsgAtt*>(d.msg.get());
        kinds.push_back(seg ? L"seg" + std::to_wstring(seg->seg_number) : std::to_wstring(FreqOf(d.msg)));
    }
    EXPECT_EQ(kinds, (std::vector<std::wstring>{L"21", L"seg0", L"seg1", L"seg1", L"seg1", L"22"}));
    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].error, kGiveUp);
    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].msg, next);
}

// ---------------------------------------------------------------------------------------------------
// Receiving: acknowledgement, duplicates, reassembly

TEST_F(JsonUdpConnectTest, ADuplicateIsAcknowledgedTwiceAndDeliveredOnce) {
    ScriptedPeer peer;
    const SockAddr local = StartSessionFor(peer);

    Network::JsonMsgFmFreq msg;
    msg.freq = {30};
    const auto bytes = ToBytes(msg);
    peer.Play({{bytes}, {bytes, 30}}, local);
    ASSERT_TRUE(peer.WaitUntil([](const std::vector<ScriptedPeer::Datagram>& r) { return r.size() >= 2; },
                               milliseconds(3000)));
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(200));

    const auto acks = peer.ReceivedOfType(L"ack");
    ASSERT_EQ(acks.size(), 2u);
    for (const auto& a : acks) {
        EXPECT_EQ(a.msg->ack_msg_id, msg.msg_id);
        EXPECT_EQ(a.from, local);
    }
    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].msg->msg_id, msg.msg_id);
    EXPECT_EQ(messages[0].sender, peer.Address());
    EXPECT_EQ(messages[0].from, session_.get());
    const auto stats = session_->GetStats();
    EXPECT_EQ(stats.MsgReceived, 1);
    EXPECT_EQ(stats.DupMsgReceived, 1);
    EXPECT_EQ(stats.RepeatAckSent, 1);
}

TEST_F(JsonUdpConnectTest, ALeaderAndItsSegmentsAreDeliveredWholeOnceEvenWithARepeatedSegment) {
    ScriptedPeer peer;
    const SockAddr local = StartSessionFor(peer);

    const auto payload = Pattern(3000, 99);
    Network::JsonMsgFmFreq leader;
    leader.freq = {31};
    const std::uint32_t id = leader.msg_id;
    const auto seg0 = Segment(id, 0, 3, Slice(payload, 0, 1300));
    peer.Play({{Leader(leader, 3000)},
               {seg0, 5},
               {seg0, 5},
               {Segment(id, 1, 3, Slice(payload, 1300, 1300)), 5},
               {Segment(id, 2, 3, Slice(payload, 2600, 400)), 5}},
              local);
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    ASSERT_TRUE(peer.WaitForCount(5, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(200));

    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].msg->msg_id, id);
    EXPECT_EQ(FreqOf(messages[0].msg), 31);
    EXPECT_EQ(messages[0].msg->att, payload);
    EXPECT_EQ(messages[0].msg->att_size, 3000u);
    EXPECT_EQ(peer.ReceivedOfType(L"ack").size(), 5u);
    EXPECT_EQ(session_->GetStats().DupMsgReceived, 1);
}

// Scripts that must lose a segmented message: the datagrams after the leader.
struct LostScript {
    const char* name;
    std::function<std::vector<std::vector<std::uint8_t>>(std::uint32_t id,
                                                         const std::vector<std::uint8_t>& p)>
        after;
    friend void PrintTo(const LostScript& script, std::ostream* os) { *os << script.name; }
};

class JsonUdpConnectLossTest : public JsonUdpConnectTest, public ::testing::WithParamInterface<LostScript> {};

TEST_P(JsonUdpConnectLossTest, TheMessageIsLostEverySegmentIsAcknowledgedAndTheSessionGoesOn) {
    ScriptedPeer peer;
    const SockAddr local = StartSessionFor(peer);

    const auto payload = Pattern(3000, 5);
    Network::JsonMsgFmFreq leader;
    leader.freq = {40};
    std::vector<ScriptedPeer::Step> steps{{Leader(leader, 3000)}};
    for (auto& bytes : GetParam().after(leader.msg_id, payload)) {
        steps.push_back({std::move(bytes), 5});
    }
    Network::JsonMsgFmFreq after;
    after.freq = {41};
    steps.push_back({ToBytes(after), 5});
    peer.Play(steps, local);

    ASSERT_TRUE(peer.WaitForCount(steps.size(), milliseconds(3000)));
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(peer.ReceivedOfType(L"ack").size(), steps.size());
    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(FreqOf(messages[0].msg), 41);
}

INSTANTIATE_TEST_SUITE_P(Segments, JsonUdpConnectLossTest,
                         ::testing::Values(
                             LostScript{"OutOfOrder",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 1, 3, Slice(p, 1300, 1300)),
                                                Segment(id, 0, 3, Slice(p, 0, 1300)),
                                                Segment(id, 2, 3, Slice(p, 2600, 400))};
                                        }},
                             LostScript{"MissingMiddle",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 3, Slice(p, 0, 1300)),
                                                Segment(id, 2, 3, Slice(p, 2600, 400))};
                                        }},
                             LostScript{"AnotherMessageInBetween",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            Network::JsonMsgIdle idle;
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 3, Slice(p, 0, 1300)), ToBytes(idle),
                                                Segment(id, 1, 3, Slice(p, 1300, 1300)),
                                                Segment(id, 2, 3, Slice(p, 2600, 400))};
                                        }},
                             LostScript{"SegmentOfAnotherLeader",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 3, Slice(p, 0, 1300)),
                                                Segment(id + 7, 1, 3, Slice(p, 1300, 1300)),
                                                Segment(id, 2, 3, Slice(p, 2600, 400))};
                                        }},
                             LostScript{"TooManyBytes",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 3, Slice(p, 0, 1300)),
                                                Segment(id, 1, 3, Slice(p, 1300, 1300)),
                                                Segment(id, 2, 3, Pattern(500))};
                                        }},
                             LostScript{"ShortSegment",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            // The segment announces 1300 bytes but only 1000 came.
                                            auto cut = Segment(id, 1, 3, Slice(p, 1300, 1300));
                                            cut.erase(cut.end() - 300, cut.end());
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 3, Slice(p, 0, 1300)), cut,
                                                Segment(id, 2, 3, Slice(p, 2600, 400))};
                                        }},
                             LostScript{"TooFewBytes",
                                        [](std::uint32_t id, const std::vector<std::uint8_t>& p) {
                                            return std::vector<std::vector<std::uint8_t>>{
                                                Segment(id, 0, 2, Slice(p, 0, 1300)),
                                                Segment(id, 1, 2, Slice(p, 1300, 1300))};
                                        }}),
                         [](const ::testing::TestParamInfo<LostScript>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(JsonUdpConnectTest, SegmentsWithoutALeaderAreAcknowledgedAndDropped) {
    ScriptedPeer peer;
    const SockAddr local = StartSessionFor(peer);
    peer.Play({{Segment(77, 0, 1, Pattern(10))}, {ToBytes(*FreqMsg(42)), 5}}, local);
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    ASSERT_TRUE(peer.WaitForCount(2, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(receiver_.Messages().size(), 1u);
    EXPECT_EQ(FreqOf(receiver_.Messages()[0].msg), 42);
    EXPECT_EQ(session_->GetStats().MsgReceived, 2);
}

TEST_F(JsonUdpConnectTest, AHostileDatagramCostsOneBadMessageReportedBySession) {
    ScriptedPeer peer;
    const SockAddr local = StartSessionFor(peer);
    peer.Send(std::vector<std::uint8_t>{'{', 'x', 0, 1, 2}, local);
    peer.Send(ToBytes(*FreqMsg(43)), local);
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    ASSERT_TRUE(receiver_.WaitErrors(1, milliseconds(3000)));
    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].error, L"Bad message received");
    EXPECT_EQ(errors[0].from, session_.get());
    // Only the good message was acknowledged.
    ASSERT_TRUE(peer.WaitForCount(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(peer.Received().size(), 1u);
}

// ---------------------------------------------------------------------------------------------------
// Ping

TEST_F(JsonUdpConnectTest, AQuietLinkGetsOnePingPerInterval) {
    ScriptedPeer peer;
    JsonUdpConnectInfo info;
    info.ping = true;
    info.ping_interval_ms = 200;
    StartSessionFor(peer, info);

    std::this_thread::sleep_for(milliseconds(1100));
    session_->Stop();
    const auto pings = peer.ReceivedOfType(L"ping");
    EXPECT_GE(pings.size(), 3u);
    EXPECT_LE(pings.size(), 6u);
    for (std::size_t i = 1; i < pings.size(); ++i) {
        EXPECT_GE(MsBetween(pings[i - 1].at, pings[i].at), 150);
        EXPECT_NE(pings[i].msg->msg_id, pings[i - 1].msg->msg_id);
    }
    const auto stats = session_->GetStats();
    EXPECT_EQ(stats.PingSent, static_cast<std::int32_t>(pings.size()));
    EXPECT_GE(stats.PingAcked, stats.PingSent - 1);
    EXPECT_EQ(stats.PingReceived, 0);
}

TEST_F(JsonUdpConnectTest, IncomingTrafficKeepsPingsAwayAndPingsNeedADefaultAddress) {
    ScriptedPeer peer;
    JsonUdpConnectInfo info;
    info.ping = true;
    info.ping_interval_ms = 300;
    const SockAddr local = StartSessionFor(peer, info);

    // A message every 50 ms for 900 ms: the link is never quiet for 300 ms.
    for (int i = 0; i < 18; ++i) {
        peer.Send(Network::JsonMsgPing(), local);
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_TRUE(peer.ReceivedOfType(L"ping").empty());
    EXPECT_EQ(session_->GetStats().PingReceived, 18);

    // Without a default address nobody is pinged.
    session_->SetDefaultSendAddr(SockAddr()).MarkHandled();
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_TRUE(peer.ReceivedOfType(L"ping").empty());
    EXPECT_EQ(session_->GetStats().PingSent, 0);
}

// ---------------------------------------------------------------------------------------------------
// Life cycle and the plain operations

TEST_F(JsonUdpConnectTest, TheEndpointInitIsNotAvailableOnASession) {
    Network::JsonUdpManagerInfo plain;
    Network::IJsonUdpManager& asEndpoint = *session_;
    ErrInfo err = asEndpoint.Init(plain);
    EXPECT_EQ(err.GetText(), L"Method not available");
    EXPECT_EQ(std::string(err.Method()), "Network::IJsonUdpConnect::Init");
    err.MarkHandled();
}

TEST_F(JsonUdpConnectTest, SendDirectIsOneDatagramWithoutRepetitionAndNeedsAStartedSession) {
    ScriptedPeer peer;
    peer.SetPolicy([](const JsonMsg&, int) { return PeerReply{PeerReply::kIgnore}; });
    ErrInfo early = session_->SendDirect(FreqMsg(50), peer.Address());
    EXPECT_EQ(early.GetText(), L"Bad socket");
    early.MarkHandled();

    StartSessionFor(peer);
    ASSERT_TRUE(session_->SendDirect(FreqMsg(51), SockAddr()).IsOk());
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(peer.Received().size(), 1u);
    EXPECT_TRUE(receiver_.Errors().empty());
    EXPECT_TRUE(receiver_.Acks().empty());
}

TEST_F(JsonUdpConnectTest, MessagesQueuedWhileStoppedLeaveAfterStartAndStartResetsTheCounters) {
    ScriptedPeer peer;
    StartSessionFor(peer);
    ASSERT_TRUE(session_->Send(FreqMsg(60), SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1, milliseconds(3000)));
    EXPECT_EQ(session_->GetStats().MsgSent, 1);

    session_->Stop();
    EXPECT_FALSE(session_->IsStarted());
    auto queued = FreqMsg(61);
    ASSERT_TRUE(session_->Send(queued, SockAddr()).IsOk());
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(peer.Received().size(), 1u);

    ASSERT_TRUE(session_->Start().IsOk());
    EXPECT_TRUE(session_->IsStarted());
    EXPECT_EQ(session_->GetStats().MsgSent, 0);
    ASSERT_TRUE(receiver_.WaitAcks(2, milliseconds(3000)));
    EXPECT_EQ(receiver_.Acks()[1].msg, queued);
    EXPECT_EQ(session_->GetStats().MsgSent, 1);
}

TEST_F(JsonUdpConnectTest, StopFromACallbackOnTheWorkerEndsTheSessionAndItStartsAgain) {
    ScriptedPeer peer;
    class StoppingReceiver : public RecordingReceiver {
    public:
        explicit StoppingReceiver(JsonUdpConnect& session) : session_(session) {}
        void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<JsonMsg>& msg) override {
            if (!stopped_.exchange(true)) {
                session_.Stop();
                stoppedInside_.store(!session_.IsStarted());
            }
            RecordingReceiver::OnAck(from, msg);
        }
        std::atomic<bool> stopped_{false};
        std::atomic<bool> stoppedInside_{false};

    private:
        JsonUdpConnect& session_;
    } stopping(*session_);
    JsonUdpConnectInfo info;
    info.receiver = &stopping;
    info.default_send_addr = peer.Address();
    StartOnFreePort(*session_, info);

    ASSERT_TRUE(session_->Send(FreqMsg(70), SockAddr()).IsOk());
    ASSERT_TRUE(stopping.WaitAcks(1, milliseconds(3000)));
    EXPECT_TRUE(stopping.stoppedInside_.load());
    EXPECT_FALSE(session_->IsStarted());

    ASSERT_TRUE(session_->Start().IsOk());
    auto again = FreqMsg(71);
    ASSERT_TRUE(session_->Send(again, SockAddr()).IsOk());
    ASSERT_TRUE(stopping.WaitAcks(2, milliseconds(3000)));
    EXPECT_EQ(stopping.Acks()[1].msg, again);
    session_->Stop();
}

TEST(JsonUdpConnectStatsTest, TextFormListsTheFirstSevenCounters) {
    Network::JsonUdpConnectStats stats;
    stats.MsgSent = 1;
    stats.MsgReceived = 2;
    stats.RepeatMsgSent = 3;
    stats.RepeatAckSent = 4;
    stats.DupMsgReceived = 5;
    stats.DupAckReceived = 6;
    stats.MaxAckMs = 7;
    stats.PingSent = 8;
    EXPECT_EQ(stats.ToString(),
              L"MsgSent=1, MsgReceived=2, RepeatMsgSent=3, RepeatAckSent=4, DupMsgReceived=5, "
              L"DupAckReceived=6, MaxAckMs=7");
}

// ---------------------------------------------------------------------------------------------------
// Two sessions on loopback

class TwoSessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = MakeService(L"two sessions");
        a_ = JsonUdpConnect::Create(ComponentInfo{L"A"}, *service_);
        b_ = JsonUdpConnect::Create(ComponentInfo{L"B"}, *service_);
        JsonUdpConnectInfo info;
        info.factory = &factory_;
        info.receiver = &ra_;
        addrA_ = StartOnFreePort(*a_, info);
        info.receiver = &rb_;
        addrB_ = StartOnFreePort(*b_, info);
        a_->SetDefaultSendAddr(addrB_).MarkHandled();
        b_->SetDefaultSendAddr(addrA_).MarkHandled();
    }
    void TearDown() override {
        a_->Stop();
        b_->Stop();
        service_->Stop();
    }

    std::shared_ptr<Network::INetManager> service_;
    Network::AsioDriverJsonMsgFactory factory_;
    RecordingReceiver ra_;
    RecordingReceiver rb_;
    std::shared_ptr<JsonUdpConnect> a_;
    std::shared_ptr<JsonUdpConnect> b_;
    SockAddr addrA_;
    SockAddr addrB_;
};

TEST_F(TwoSessionsTest, BothDirectionsDeliverEveryMessageOnceInOrderWithOneAckEach) {
    constexpr int kCount = 40;
    std::thread fromB([&] {
        for (int i = 0; i < kCount; ++i) {
            b_->Send(FreqMsg(1000 + i), SockAddr()).MarkHandled();
        }
    });
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(a_->Send(FreqMsg(i), SockAddr()).IsOk());
    }
    fromB.join();
    ASSERT_TRUE(rb_.WaitMessages(kCount, milliseconds(10000)));
    ASSERT_TRUE(ra_.WaitMessages(kCount, milliseconds(10000)));
    ASSERT_TRUE(ra_.WaitAcks(kCount, milliseconds(10000)));
    ASSERT_TRUE(rb_.WaitAcks(kCount, milliseconds(10000)));
    std::this_thread::sleep_for(milliseconds(100));

    const auto atB = rb_.Messages();
    const auto atA = ra_.Messages();
    const auto acksA = ra_.Acks();
    ASSERT_EQ(atB.size(), static_cast<std::size_t>(kCount));
    ASSERT_EQ(atA.size(), static_cast<std::size_t>(kCount));
    ASSERT_EQ(acksA.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(FreqOf(atB[i].msg), i);
        EXPECT_EQ(FreqOf(atA[i].msg), 1000 + i);
        EXPECT_EQ(FreqOf(acksA[i].msg), i);
        EXPECT_EQ(atB[i].sender, addrA_);
    }
    // Every call to the user of a session comes from its one worker thread.
    for (const auto& call : acksA) {
        EXPECT_EQ(call.thread, atA[0].thread);
    }
    EXPECT_NE(atA[0].thread, platform::CurrentThreadId());
    EXPECT_TRUE(ra_.Errors().empty());
    EXPECT_TRUE(rb_.Errors().empty());
    const auto statsA = a_->GetStats();
    EXPECT_EQ(statsA.MsgSent, kCount);
    EXPECT_EQ(statsA.MsgReceived, kCount);
}

TEST_F(TwoSessionsTest, ALargeAttachmentArrivesWholeOnce) {
    auto msg = FreqMsg(7);
    const auto payload = Pattern(20000, 3);
    msg->att = payload;
    ASSERT_TRUE(a_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(ra_.WaitAcks(1, milliseconds(5000)));
    ASSERT_TRUE(rb_.WaitMessages(1, milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(100));
    const auto got = rb_.Messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg->att, payload);
    EXPECT_EQ(got[0].msg->att_size, payload.size());
    EXPECT_EQ(FreqOf(got[0].msg), 7);
    EXPECT_EQ(a_->GetStats().MsgSent, 1 + 16);  // the leader and ceil(20000 / 1300) segments
}

TEST_F(TwoSessionsTest, ConcurrentSendersEachGetEveryMessageThroughExactlyOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                a_->Send(FreqMsg(t * 1000 + i), SockAddr()).MarkHandled();
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    ASSERT_TRUE(rb_.WaitMessages(kThreads * kPerThread, milliseconds(15000)));
    ASSERT_TRUE(ra_.WaitAcks(kThreads * kPerThread, milliseconds(15000)));
    std::this_thread::sleep_for(milliseconds(100));

    std::set<std::int32_t> seen;
    std::vector<int> lastPerThread(kThreads, -1);
    for (const auto& m : rb_.Messages()) {
        const std::int32_t v = FreqOf(m.msg);
        EXPECT_TRUE(seen.insert(v).second) << "delivered twice: " << v;
        // Each sender's own messages keep their order.
        const int t = v / 1000;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_GT(v % 1000, lastPerThread[t]);
        lastPerThread[t] = v % 1000;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(ra_.Acks().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
