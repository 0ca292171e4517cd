// The JSON datagram endpoint and the reliable session against the shared UDP peer. The session's time
// runs on a test clock that the tests step: repeats, give-up and pings are checked at the exact
// millisecond without waiting. One lossy link between two sessions runs in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "net/json_udp_connect.h"
#include "net/json_udp_manager.h"
#include "net_test_support.h"
#include "support/test_clock.h"

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

std::shared_ptr<const Network::JsonMsgAtt> AsSegment(const std::shared_ptr<JsonMsg>& msg) {
    return std::dynamic_pointer_cast<const Network::JsonMsgAtt>(msg);
}

// Segment `number` of `count` of the attachment of message `leaderId`, carrying `att`.
std::vector<std::uint8_t> Segment(std::uint32_t leaderId, std::uint32_t number, std::uint32_t count,
                                  std::vector<std::uint8_t> att) {
    Network::JsonMsgAtt seg;
    std::tie(seg.leader_id, seg.seg_number, seg.seg_count, seg.att_size) =
        std::tuple(leaderId, number, count, att.size());
    seg.att = std::move(att);
    return ToBytes(seg);
}

class JsonUdpTest : public ::testing::Test {
protected:
    void TearDown() override {
        endpoint_->Stop();
        if (session_) {
            session_->Stop();
        }
    }

    // Starts an endpoint or a session on a loopback port of the system's choice; returns its address.
    template <class Endpoint, class Info>
    SockAddr StartOnPortZero(Endpoint& endpoint, Info info) {
        info.receiver = &receiver_;
        info.factory = &factory_;
        info.local_addr = SockAddr(L"127.0.0.1", 0);
        EXPECT_TRUE(endpoint.Init(info).IsOk() && endpoint.Start().IsOk());
        return endpoint.GetLocalAddress();
    }
    // The session, with the test clock and the peer as its default destination (or none).
    SockAddr StartSession(JsonUdpConnectInfo info = {}, bool toPeer = true) {
        info.clock = &clock_;
        info.default_send_addr = toPeer ? Addr(peer_.Address()) : SockAddr();
        return StartOnPortZero(*session_, info);
    }
    // The worker has looked at the clock since the last step (and acted on what it saw).
    void Settle() { ASSERT_TRUE(clock_.WaitForReads(8)); }

    TestClock clock_;
    RecordingReceiver receiver_;
    Network::AsioDriverJsonMsgFactory factory_;
    UdpPeer peer_;
    std::shared_ptr<Network::NetManager> service_ = StartedService(L"json test");
    std::shared_ptr<Network::JsonUdpManager> endpoint_ =
        Network::JsonUdpManager::Create(ComponentInfo{L"TestEndpoint"}, *service_);
    std::shared_ptr<JsonUdpConnect> session_ =
        JsonUdpConnect::Create(ComponentInfo{L"TestSession"}, *service_);
};
using JsonUdpConnectTest = JsonUdpTest;

// ---------------------------------------------------------------------------------------------------
// The endpoint

TEST_F(JsonUdpTest, EndpointSendsToTheDestinationOrTheDefaultAddressAndReportsItOnTheCallersThread) {
    Network::JsonUdpManagerInfo info;
    info.default_send_addr = Addr(peer_.Address());
    StartOnPortZero(*endpoint_, info);
    auto direct = std::make_shared<Network::JsonMsgPing>();
    auto byDefault = FreqMsg(87500);
    ASSERT_TRUE(endpoint_->SendDirect(direct, Addr(peer_.Address())).IsOk());
    ASSERT_TRUE(endpoint_->SendDirect(byDefault, SockAddr()).IsOk());
    ASSERT_TRUE(peer_.WaitForCount(2));

    const auto got = peer_.Received();
    EXPECT_EQ(got[0].MsgId(), direct->msg_id);
    EXPECT_EQ(got[1].MsgId(), byDefault->msg_id);
    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].msg, direct);
    EXPECT_EQ(acks[0].thread, platform::CurrentThreadId());
}

TEST_F(JsonUdpTest, EndpointSendsThatFailPutNothingOnTheWire) {
    EXPECT_EQ(Failure(endpoint_->SendDirect(FreqMsg(0), Addr(peer_.Address()))), L"Bad socket");
    StartOnPortZero(*endpoint_, Network::JsonUdpManagerInfo{});
    EXPECT_EQ(Failure(endpoint_->SendDirect(FreqMsg(1), SockAddr())), L"Bad send address");
    auto big = FreqMsg(2);
    big->att = Pattern(1472);
    EXPECT_NE(Failure(endpoint_->SendDirect(big, Addr(peer_.Address()))), L"");  // over the datagram size
    EXPECT_TRUE(receiver_.Acks().empty());

    // The next datagram that leaves is the first the peer sees.
    auto ping = std::make_shared<Network::JsonMsgPing>();
    ASSERT_TRUE(endpoint_->SendDirect(ping, Addr(peer_.Address())).IsOk());
    ASSERT_TRUE(peer_.WaitForCount(1));
    EXPECT_EQ(peer_.Received()[0].MsgId(), ping->msg_id);
}

TEST_F(JsonUdpTest, EndpointOnPortZeroGetsAPortOfItsOwnThatOthersCannotTakeUntilItStops) {
    const SockAddr local = StartOnPortZero(*endpoint_, Network::JsonUdpManagerInfo{});
    ASSERT_NE(local.GetPort(), 0);
    auto second = Network::JsonUdpManager::Create(ComponentInfo{}, *service_);
    Network::JsonUdpManagerInfo info;
    info.local_addr = local;
    ASSERT_TRUE(second->Init(info).IsOk());
    EXPECT_NE(Failure(second->Start()), L"");
    EXPECT_FALSE(second->IsStarted());

    endpoint_->Stop();
    EXPECT_FALSE(endpoint_->GetLocalAddress().IsValid());
    ASSERT_TRUE(second->Start().IsOk());
    EXPECT_EQ(second->GetLocalAddress(), local);
}

// ---------------------------------------------------------------------------------------------------
// Sending: a repeat 300 ms after each send, the give-up after the third

struct SendCase {
    const char* name;
    int ackedSend;     // the send the peer acknowledges (1-based); 0: none
    bool wrongAckIds;  // every send is answered with an acknowledgement of another id
    friend void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }
};

class JsonUdpConnectSendTest : public JsonUdpConnectTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(JsonUdpConnectSendTest, RepeatsStrictlyAfter300MsAndGivesUpAfterTheThirdSend) {
    const SendCase c = GetParam();
    peer_.SetScript([c](const PeerDatagram&, int copy) {
        return c.wrongAckIds ? PeerReply{PeerReply::kAck, milliseconds(0), 1000}
                             : PeerReply{copy + 1 == c.ackedSend ? PeerReply::kAck : PeerReply::kDrop};
    });
    StartSession();
    ASSERT_TRUE(session_->Send(FreqMsg(1), SockAddr()).IsOk());
    for (int send = 1; send <= 3 && send != c.ackedSend; ++send) {
        ASSERT_TRUE(peer_.WaitForCount(send));
        ASSERT_TRUE(
            WaitUntil([&] { return session_->GetStats().DupAckReceived == (c.wrongAckIds ? send : 0); }));
        clock_.Step(milliseconds(300));
        Settle();
        EXPECT_EQ(peer_.Received().size(), static_cast<std::size_t>(send)) << "repeated at 300 ms";
        clock_.Step(milliseconds(1));
    }
    ASSERT_TRUE(c.ackedSend == 0 ? receiver_.WaitErrors(1) : receiver_.WaitAcks(1));
    clock_.Step(milliseconds(1000));
    Settle();

    const auto sent = peer_.Received();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& d : sent) {
        EXPECT_EQ(d.bytes, sent[0].bytes);  // the same message, the same id
    }
    EXPECT_EQ(receiver_.Acks().size(), c.ackedSend == 0 ? 0u : 1u);
    const auto errors = receiver_.Errors();
    ASSERT_EQ(errors.size(), c.ackedSend == 0 ? 1u : 0u);
    if (!errors.empty()) {
        EXPECT_EQ(errors[0].error, kGiveUp);
        EXPECT_EQ(errors[0].from, session_.get());
    }
    EXPECT_EQ(session_->GetStats().RepeatMsgSent, 2);
    // Measured from the last send: the clock did not move between it and the acknowledgement.
    EXPECT_EQ(session_->GetStats().MaxAckMs, 0);
}

INSTANTIATE_TEST_SUITE_P(Peers, JsonUdpConnectSendTest,
                         ::testing::Values(SendCase{"NeverAcknowledged", 0, false},
                                           SendCase{"AcknowledgedOnTheThirdSend", 3, false},
                                           SendCase{"AcknowledgedWithAnotherId", 0, true}),
                         [](const ::testing::TestParamInfo<SendCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(JsonUdpConnectTest, OneMessageInFlightAndAGivenUpSegmentTakesTheRestOfItsMessageAlong) {
    peer_.SetScript([](const PeerDatagram& d, int) {
        const auto seg = AsSegment(Decode(d));
        return PeerReply{seg != nullptr && seg->seg_number == 0 ? PeerReply::kDrop : PeerReply::kAck};
    });
    StartSession();
    auto big = FreqMsg(10);
    big->att = Pattern(2600);
    auto second = FreqMsg(11);
    auto third = FreqMsg(12);
    for (const auto& m : {big, second, third}) {
        ASSERT_TRUE(session_->Send(m, SockAddr()).IsOk());
    }
    for (std::size_t seen = 2; seen <= 4; ++seen) {
        ASSERT_TRUE(peer_.WaitForCount(seen));
        clock_.Step(milliseconds(301));
    }
    ASSERT_TRUE(receiver_.WaitAcks(2));

    std::vector<std::string> order;
    for (const auto& d : peer_.Received()) {
        const auto msg = Decode(d);
        order.push_back(AsSegment(msg) ? "seg" + std::to_string(AsSegment(msg)->seg_number)
                                       : std::to_string(FreqOf(msg)));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"10", "seg0", "seg0", "seg0", "11", "12"}));
    EXPECT_EQ(receiver_.Errors().size(), 1u);  // the give-up
    EXPECT_EQ(receiver_.Acks()[0].msg, second);
    EXPECT_EQ(receiver_.Acks()[1].msg, third);
}

TEST_F(JsonUdpConnectTest, AnAttachmentTravelsInSegmentsOfAtMost1300BytesAndIsReportedOnceAtTheEnd) {
    peer_.SetAcks(UdpPeer::Acks::kAuto);
    StartSession();
    auto msg = FreqMsg(20);
    const auto payload = Pattern(3000);
    msg->att = payload;
    ASSERT_TRUE(session_->Send(msg, SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1));

    const auto got = peer_.Received();
    ASSERT_EQ(got.size(), 4u);
    const auto leader = Decode(got[0]);
    EXPECT_EQ(leader->att_announced, 3000u);  // announced,
    EXPECT_EQ(leader->att.size(), 0u);        // not carried
    std::vector<std::uint8_t> joined;
    for (std::uint32_t i = 0; i < 3; ++i) {
        const auto seg = Decode(got[i + 1]);
        ASSERT_NE(AsSegment(seg), nullptr);
        EXPECT_EQ(std::vector<std::uint32_t>({AsSegment(seg)->leader_id, AsSegment(seg)->seg_number,
                                              AsSegment(seg)->seg_count, std::uint32_t(seg->att.size())}),
                  std::vector<std::uint32_t>({msg->msg_id, i, 3, i < 2 ? 1300u : 400u}));
        joined.insert(joined.end(), seg->att.begin(), seg->att.end());
    }
    EXPECT_EQ(joined, payload);
    ASSERT_EQ(receiver_.Acks().size(), 1u);
    EXPECT_EQ(receiver_.Acks()[0].msg, msg);
    EXPECT_EQ(session_->GetStats().MsgSent, 4);
}

// ---------------------------------------------------------------------------------------------------
// Receiving: every message acknowledged at once, the last one's repetition dropped

TEST_F(JsonUdpConnectTest, MessagesAreAcknowledgedAndARepeatOfTheLastOneIsDeliveredOnce) {
    const SockAddr local = StartSession();
    const auto a = FreqMsg(30);
    const auto b = FreqMsg(31);
    for (int i = 0; i < 2; ++i) {
        peer_.SendText("{\"msg\":\"fm_freq\",", local.Native());  // does not decode
    }
    for (const auto& bytes :
         {ToBytes(*a), ToBytes(*a), ToBytes(Network::JsonMsgAck(12345)), ToBytes(*b), ToBytes(*a)}) {
        peer_.SendBytes(bytes, local.Native());
    }
    ASSERT_TRUE(receiver_.WaitMessages(3));
    ASSERT_TRUE(peer_.WaitForCount(4));

    std::vector<std::int32_t> delivered;
    for (const auto& m : receiver_.Messages()) {
        delivered.push_back(m.sender == Addr(peer_.Address()) ? FreqOf(m.msg) : -1);
    }
    // Only the last accepted message is remembered: the late copy of the first is new again.
    EXPECT_EQ(delivered, (std::vector<std::int32_t>{30, 31, 30}));
    std::vector<std::uint32_t> acked;
    for (const auto& d : peer_.Received()) {
        acked.push_back(Decode(d)->ack_msg_id);
    }
    // Neither the undecodable datagram nor the acknowledgement is acknowledged.
    EXPECT_EQ(acked, (std::vector<std::uint32_t>{a->msg_id, a->msg_id, b->msg_id, a->msg_id}));
    // Two undecodable datagrams, one error call: the rest goes into the minute's drop summary.
    ASSERT_EQ(receiver_.Errors().size(), 1u);
    EXPECT_EQ(session_->GetStats().UndecodableDropped, 2);
    EXPECT_EQ(receiver_.Errors()[0].error, L"Bad message received");
    EXPECT_EQ(receiver_.Errors()[0].from, session_.get());
    // A peer that restarted reuses its ids: past the window the same id is a new message.
    clock_.Step(std::chrono::milliseconds(Network::kJsonUdpDuplicateWindowMs));
    peer_.SendBytes(ToBytes(*a), local.Native());
    EXPECT_TRUE(receiver_.WaitMessages(4));
}

// One datagram of a reassembly script: the leader (announcing 3000 bytes), a segment, the previous
// datagram once more, or another message. A segment carries `size` bytes of the 3000-byte payload from
// number * 1300 on (zeros past its end), for the leader's id + `otherLeader`, cut short by `cut` bytes.
struct Piece {
    enum Kind { kLeader, kSegment, kAgain, kOther } kind;
    std::uint32_t number = 0;
    std::uint32_t count = 3;
    std::size_t size = 1300;
    std::uint32_t otherLeader = 0;
    std::size_t cut = 0;
};
struct ReassemblyCase {
    const char* name;
    std::vector<Piece> pieces;
    int delivered;  // messages before the closing one: the attachment's (and another one in between)
    friend void PrintTo(const ReassemblyCase& c, std::ostream* os) { *os << c.name; }
};

class JsonUdpConnectReassemblyTest : public JsonUdpConnectTest,
                                     public ::testing::WithParamInterface<ReassemblyCase> {};

TEST_P(JsonUdpConnectReassemblyTest, SegmentsMakeTheMessageOnlyWhenAllArriveInOrder) {
    const SockAddr local = StartSession();
    auto payload = Pattern(3000, 5);
    Network::JsonMsgFmFreq leader;
    leader.att_size = 3000;
    std::vector<std::uint8_t> last;
    for (const Piece& p : GetParam().pieces) {
        std::vector<std::uint8_t> att(p.size);
        std::copy_n(payload.begin() + p.number * 1300, std::min<std::size_t>(p.size, 3000 - p.number * 1300),
                    att.begin());
        if (p.kind != Piece::kAgain) {
            last = p.kind == Piece::kLeader  ? ToBytes(leader)
                   : p.kind == Piece::kOther ? ToBytes(Network::JsonMsgIdle())
                                             : Segment(leader.msg_id + p.otherLeader, p.number, p.count, att);
            last.resize(last.size() - p.cut);
        }
        peer_.SendBytes(last, local.Native());
    }
    peer_.SendBytes(ToBytes(*FreqMsg(41)), local.Native());
    ASSERT_TRUE(receiver_.WaitMessages(GetParam().delivered + 1));

    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), GetParam().delivered + 1u);
    EXPECT_EQ(FreqOf(messages.back().msg), 41);
    if (GetParam().delivered != 0) {
        EXPECT_EQ(messages.end()[-2].msg->att, payload);
        EXPECT_EQ(messages.end()[-2].msg->att_size, 3000u);
    }
    // Every datagram is acknowledged, whether its message is lost or not.
    ASSERT_TRUE(peer_.WaitForCount(GetParam().pieces.size() + 1));
    EXPECT_EQ(peer_.Received().size(), GetParam().pieces.size() + 1);
    EXPECT_EQ(session_->GetStats().ReassemblyBytes, 0);  // nothing held of a message done or lost
}

const Piece kLead{Piece::kLeader};
const Piece kSeg0{Piece::kSegment, 0};
const Piece kSeg1{Piece::kSegment, 1};
const Piece kSeg2{Piece::kSegment, 2, 3, 400};

INSTANTIATE_TEST_SUITE_P(
    Scripts, JsonUdpConnectReassemblyTest,
    ::testing::Values(
        ReassemblyCase{"InOrder", {kLead, kSeg0, kSeg1, kSeg2}, true},
        ReassemblyCase{"RepeatedSegment", {kLead, kSeg0, {Piece::kAgain}, kSeg1, kSeg2}, true},
        ReassemblyCase{"OutOfOrder", {kLead, kSeg1, kSeg0, kSeg2}, false},
        ReassemblyCase{"MissingMiddle", {kLead, kSeg0, kSeg2}, false},
        ReassemblyCase{"AnotherMessageInBetween", {kLead, kSeg0, {Piece::kOther}, kSeg1, kSeg2}, 2},
        ReassemblyCase{
            "SegmentOfAnotherLeader", {kLead, kSeg0, {Piece::kSegment, 1, 3, 1300, 7}, kSeg2}, false},
        ReassemblyCase{"TooManyBytes", {kLead, kSeg0, kSeg1, {Piece::kSegment, 2, 3, 500}}, false},
        ReassemblyCase{"MoreThanAnnounced", {kLead, kSeg0, kSeg1, {Piece::kSegment, 2, 4, 500}}, false},
        ReassemblyCase{"ShortSegment", {kLead, kSeg0, {Piece::kSegment, 1, 3, 1300, 0, 300}, kSeg2}, false},
        ReassemblyCase{"TooFewSegments", {kLead, {Piece::kSegment, 0, 2}, {Piece::kSegment, 1, 2}}, false},
        ReassemblyCase{"SegmentsWithoutLeader", {kSeg0, kSeg1, kSeg2}, false}),
    [](const ::testing::TestParamInfo<ReassemblyCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------
// Hostile senders: another address gets nothing of a device's session and disturbs no session's peer

struct SecondSenderCase {
    bool device;  // the peer is the session's default address (a device), or none is set (discovery)
    std::size_t attackerAcks;
    int foreign;  // ForeignDropped
    int busy;     // ReassemblyBusyDropped
};

class JsonUdpConnectSecondSenderTest : public JsonUdpConnectTest,
                                       public ::testing::WithParamInterface<SecondSenderCase> {};

// The second sender acknowledges the session's message for the peer and sends ping pairs (the second
// announcing an attachment) while the peer sends the first two segments of a 16 MiB attachment and an answer.
TEST_P(JsonUdpConnectSecondSenderTest, GetsNoAckWhereForeignCompletesNothingAndDisturbsNotThePeer) {
    const SecondSenderCase c = GetParam();
    const SockAddr local = StartSession({}, c.device);
    ASSERT_TRUE(session_->Send(FreqMsg(40), Addr(peer_.Address())).IsOk());
    ASSERT_TRUE(peer_.WaitForCount(1));
    UdpPeer attacker;
    attacker.SendText(AckText(peer_.Received()[0].MsgId().value_or(0), 1), local.Native());
    Network::JsonMsgFmFreq leader;
    leader.att_size = Network::kMaxAttachmentSize;
    peer_.SendBytes(ToBytes(leader), local.Native());
    peer_.SendBytes(Segment(leader.msg_id, 0, 12907, Pattern(1300)), local.Native());
    for (int id = 1; id <= 40; id += 2) {
        attacker.SendText(R"({"msg":"ping","msg_id":)" + std::to_string(id) + "}", local.Native());
        attacker.SendText(R"({"att":1,"msg":"ping","msg_id":)" + std::to_string(id + 1) + "}",
                          local.Native());
    }
    peer_.SendBytes(Segment(leader.msg_id, 1, 12907, Pattern(1300)), local.Native());
    peer_.SendBytes(ToBytes(*FreqMsg(41)), local.Native());
    ASSERT_TRUE(peer_.WaitForCount(5) && attacker.WaitForCount(c.attackerAcks) &&
                receiver_.WaitMessages(1 + c.attackerAcks));

    EXPECT_EQ(FreqOf(receiver_.Messages().back().msg), 41);
    EXPECT_EQ(attacker.Received().size(), c.attackerAcks);
    // The peer's reassembly holds what came of it, nothing of the announced 16 MiB.
    const auto stats = session_->GetStats();
    EXPECT_EQ(std::vector<std::int64_t>(
                  {stats.MsgSent, stats.ForeignDropped, stats.ReassemblyBusyDropped, stats.ReassemblyBytes}),
              std::vector<std::int64_t>({0, c.foreign, c.busy, 2600}));
}

INSTANTIATE_TEST_SUITE_P(Sessions, JsonUdpConnectSecondSenderTest,
                         ::testing::Values(SecondSenderCase{true, 0, 41, 0},
                                           // Takes the pings, refuses the leaders until the peer's is done.
                                           SecondSenderCase{false, 20, 1, 20}));

TEST_F(JsonUdpConnectTest, QueuesAreBoundedAndEveryRefusalCounted) {
    // Outgoing: nothing leaves while stopped.
    for (std::size_t i = 0; i < Network::kJsonUdpMaxQueuedMessages; ++i) {
        ASSERT_TRUE(session_->Send(FreqMsg(1), SockAddr()).IsOk()) << i;
    }
    EXPECT_NE(Failure(session_->Send(FreqMsg(2), SockAddr())).find(L"Send queue full"), std::wstring::npos);
    EXPECT_EQ(session_->GetStats().SendRefused, 1);

    // Received: the worker waits in the first OnAck while the peer sends one more than the queue takes.
    std::promise<void> release;
    std::atomic<bool> held{false};
    receiver_.onAck = [&held, released = release.get_future().share()] {
        held.store(true);
        released.wait();
    };
    peer_.SetAcks(UdpPeer::Acks::kAuto);
    JsonUdpConnectInfo bounded;
    bounded.max_received_waiting = 100;  // the session's own bound, not the default
    const SockAddr local = StartSession(bounded);
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
    constexpr std::size_t kTaken = 100;
    std::shared_ptr<Network::JsonMsgFmFreq> lastTaken;
    for (std::size_t i = 0; i <= kTaken; ++i) {
        const auto m = FreqMsg(1);
        lastTaken = i < kTaken ? m : lastTaken;
        peer_.SendBytes(ToBytes(*m), local.Native());
    }
    ASSERT_TRUE(WaitUntil([&] { return session_->GetStats().ReceiveQueueDropped == 1; }));
    release.set_value();
    // A repeat of the last one taken is acknowledged again at once, after any acknowledgement of the dropped
    // one (the service thread answers in order): the acknowledgement after the taken ones' is the repeat's.
    peer_.SendBytes(ToBytes(*lastTaken), local.Native());
    ASSERT_TRUE(WaitUntil([&] { return peer_.ReceivedOfType("ack").size() > kTaken; }));
    EXPECT_EQ(Decode(peer_.ReceivedOfType("ack")[kTaken])->ack_msg_id, lastTaken->msg_id);
    session_->Stop();
}

// ---------------------------------------------------------------------------------------------------
// Ping: only a link quiet for the ping interval, only with a default address

TEST_F(JsonUdpConnectTest, APingGoesOutAfterAQuietIntervalAndIncomingTrafficPutsItOff) {
    peer_.SetAcks(UdpPeer::Acks::kAuto);
    JsonUdpConnectInfo info;
    info.ping = true;
    const SockAddr local = StartSession(info);
    const auto pings = [&] { return peer_.ReceivedOfType("ping").size(); };

    clock_.Step(milliseconds(999));
    Settle();
    EXPECT_EQ(pings(), 0u);
    clock_.Step(milliseconds(1));
    ASSERT_TRUE(WaitUntil([&] { return session_->GetStats().PingAcked == 1; }));

    // A message 600 ms later: the next ping waits for 1000 ms after it, not after the ping.
    clock_.Step(milliseconds(600));
    peer_.SendBytes(ToBytes(*FreqMsg(50)), local.Native());
    ASSERT_TRUE(receiver_.WaitMessages(1));
    clock_.Step(milliseconds(999));
    Settle();
    EXPECT_EQ(pings(), 1u);
    clock_.Step(milliseconds(1));
    ASSERT_TRUE(WaitUntil([&] { return session_->GetStats().PingAcked == 2; }));

    // Without a default address nobody is pinged.
    ASSERT_TRUE(session_->SetDefaultSendAddr(SockAddr()).IsOk());
    clock_.Step(milliseconds(5000));
    Settle();
    EXPECT_EQ(pings(), 2u);
}

// ---------------------------------------------------------------------------------------------------
// Life cycle

TEST_F(JsonUdpConnectTest, AStopFromTheWorkersCallbackEndsTheSessionAndQueuedMessagesLeaveAfterStart) {
    std::once_flag once;
    receiver_.onAck = [&] { std::call_once(once, [&] { session_->Stop(); }); };
    peer_.SetAcks(UdpPeer::Acks::kAuto);
    StartSession();
    ASSERT_TRUE(session_->Send(FreqMsg(70), SockAddr()).IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(1));
    EXPECT_FALSE(session_->IsStarted());
    auto queued = FreqMsg(71);
    ASSERT_TRUE(session_->Send(queued, SockAddr()).IsOk());  // kept while stopped
    ASSERT_TRUE(session_->Start().IsOk());
    ASSERT_TRUE(receiver_.WaitAcks(2));
    EXPECT_EQ(receiver_.Acks()[1].msg, queued);
    EXPECT_EQ(session_->GetStats().MsgSent, 1);  // counted anew since Start
}

// A callback that drops the last reference (after a Stop or without one) finds the session still alive:
// the worker keeps it until the callback has returned, and it is destroyed once the worker lets go.
class JsonUdpConnectDropTest : public JsonUdpConnectTest, public ::testing::WithParamInterface<bool> {};

TEST_P(JsonUdpConnectDropTest, TheLastReferenceDroppedInACallbackOutlivesTheCallback) {
    const std::weak_ptr<JsonUdpConnect> weak = session_;
    std::atomic<int> aliveAfterDrop{-1};
    receiver_.onAck = [&, stopFirst = GetParam()] {
        stopFirst ? session_->Stop() : void();
        session_.reset();
        aliveAfterDrop.store(weak.expired() ? 0 : 1);
    };
    peer_.SetAcks(UdpPeer::Acks::kAuto);
    StartSession();
    ASSERT_TRUE(session_->Send(FreqMsg(80), SockAddr()).IsOk());
    ASSERT_TRUE(WaitUntil([&] { return aliveAfterDrop.load() >= 0 && weak.expired(); }));
    EXPECT_EQ(aliveAfterDrop.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, JsonUdpConnectDropTest, ::testing::Bool());

// ---------------------------------------------------------------------------------------------------
// A lossy link in real time: two sessions on loopback, one of them losing the first send of every
// fourth datagram, messages in both directions at once and a large attachment.

class DropEveryFourthFirstSend : public Network::IJsonUdpSendFilter {
public:
    bool Filter(Network::IJsonUdpManager*, const std::shared_ptr<JsonMsg>& msg) override {
        return msg->type == L"ack" || msg.get() == last_ || (last_ = msg.get(), ++count_ % 4 != 0);
    }

private:
    const JsonMsg* last_ = nullptr;  // the worker alone sends anything but acknowledgements
    int count_ = 0;
};

TEST_F(JsonUdpTest, ALossyLinkInRealTimeDeliversEveryMessageOnceAndInOrder) {
    constexpr int kCount = 12;
    RecordingReceiver rb;
    DropEveryFourthFirstSend lossy;
    auto b = JsonUdpConnect::Create(ComponentInfo{L"B"}, *service_);
    JsonUdpConnectInfo info;
    info.send_filter = &lossy;
    const SockAddr addrA = StartOnPortZero(*session_, info);
    info.send_filter = nullptr;
    info.receiver = &rb;
    info.default_send_addr = addrA;
    info.factory = &factory_;
    info.local_addr = SockAddr(L"127.0.0.1", 0);
    ASSERT_TRUE(b->Init(info).IsOk() && b->Start().IsOk());
    ASSERT_TRUE(session_->SetDefaultSendAddr(b->GetLocalAddress()).IsOk());

    auto big = FreqMsg(kCount);
    big->att = Pattern(20000, 3);
    std::thread fromB([&] {
        for (int i = 0; i < kCount; ++i) {
            b->Send(FreqMsg(i), SockAddr()).MarkHandled();
        }
    });
    for (int i = 0; i <= kCount; ++i) {
        ASSERT_TRUE(session_->Send(i < kCount ? FreqMsg(i) : big, SockAddr()).IsOk());
    }
    fromB.join();
    ASSERT_TRUE(rb.WaitMessages(kCount + 1) && receiver_.WaitMessages(kCount) &&
                receiver_.WaitAcks(kCount + 1));
    for (RecordingReceiver* r : {&receiver_, &rb}) {
        std::vector<std::int32_t> got;
        for (const auto& m : r->Messages()) {
            got.push_back(FreqOf(m.msg));
        }
        std::vector<std::int32_t> expected(r == &rb ? kCount + 1 : kCount);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(rb.Messages().back().msg->att, Pattern(20000, 3));
    EXPECT_GE(session_->GetStats().RepeatMsgSent, 4);  // the link did lose
    b->Stop();
}

// ---------------------------------------------------------------------------------------------------
// The drop report: one line per sender and minute, the senders beyond the table's bound folded

TEST(DropReport, OneLinePerSenderAndMinuteWithTheCountsAndTheSendersBeyondTheBoundFolded) {
    TestClock clock;
    std::vector<std::wstring> lines;
    Network::DropReport report(
        L"S", [&](const std::wstring& line) { lines.push_back(line); }, &clock, 2);
    const SockAddr a(L"127.0.0.2", 40000), b(L"127.0.0.3", 1), c(L"127.0.0.4", 2), d(L"127.0.0.5", 3);
    for (int i = 0; i < 9982; ++i) {
        ASSERT_EQ(report.Count(a, Network::kDropForeign), i == 0) << i;  // only the minute's first is "first"
    }
    report.Count(a, Network::kDropUndecodable);
    report.Count(b, Network::kDropQueueFull);
    report.Count(c, Network::kDropForeign);
    report.Count(d, Network::kDropForeign);
    clock.Step(milliseconds(59999));
    report.Poll();
    EXPECT_TRUE(lines.empty());
    clock.Step(milliseconds(1));
    report.Count(c, Network::kDropUndecodable);  // still folded: a and b hold the table until a quiet minute
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"S: dropped from 127.0.0.2:40000 in the last minute: 9982 foreign, 1 undecodable",
                         L"S: dropped from 127.0.0.3:1 in the last minute: 1 queue full",
                         L"S: dropped from other senders in the last minute: 2 foreign"}));
    clock.Step(milliseconds(120000));
    EXPECT_TRUE(report.Count(d, Network::kDropForeign));
    clock.Step(milliseconds(60000));
    report.Poll();
    EXPECT_EQ(lines.back(), L"S: dropped from 127.0.0.5:3 in the last minute: 1 foreign");
    EXPECT_EQ(lines.end()[-2], L"S: dropped from other senders in the last minute: 1 undecodable");
}

}  // namespace
