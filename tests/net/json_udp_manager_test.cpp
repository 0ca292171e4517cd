// The JSON datagram endpoint against a raw UDP peer on loopback: what goes on the wire, which errors a
// send reports, what a received datagram turns into, and that hostile datagrams cost one error each.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json_udp_test_support.h"
#include "net/json_udp_manager.h"
#include "protocol/device_msgs.h"

namespace {

using namespace net_test;
using Network::JsonMsg;
using Network::JsonUdpManager;
using Network::JsonUdpManagerInfo;
using Network::SockAddr;

class JsonUdpManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = MakeService(L"json endpoint test");
        endpoint_ = JsonUdpManager::Create(ComponentInfo{L"TestEndpoint"}, *service_);
    }
    void TearDown() override {
        endpoint_->Stop();
        endpoint_.reset();
        service_->Stop();
    }

    // Starts the endpoint on a free port with the device factory and `receiver_`.
    SockAddr StartEndpoint(JsonUdpManagerInfo info = {}) {
        info.receiver = &receiver_;
        info.factory = &factory_;
        return StartOnFreePort(*endpoint_, info);
    }

    std::shared_ptr<Network::INetManager> service_;
    std::shared_ptr<JsonUdpManager> endpoint_;
    RecordingReceiver receiver_;
    Network::AsioDriverJsonMsgFactory factory_;
};

TEST_F(JsonUdpManagerTest, SendPutsTheExactDatagramOnTheWireAndReportsItSentOnTheCallersThread) {
    ScriptedPeer peer;
    StartEndpoint();
    auto ping = std::make_shared<Network::JsonMsgPing>();
    ping->msg_id = 17;

    ErrInfo err = endpoint_->SendDirect(ping, peer.Address());
    ASSERT_TRUE(err.IsOk()) << testing::PrintToString(err.GetText());
    ASSERT_TRUE(peer.WaitForCount(1, milliseconds(3000)));

    const std::string text = "{\"msg\":\"ping\",\"msg_id\":17}";
    std::vector<std::uint8_t> expected(text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(peer.Received()[0].bytes, expected);
    EXPECT_EQ(expected.size(), 27u);

    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].msg, ping);
    EXPECT_EQ(acks[0].from, endpoint_.get());
    EXPECT_EQ(acks[0].thread, platform::CurrentThreadId());
}

TEST_F(JsonUdpManagerTest, AttachmentBytesFollowTheTextAndTheDefaultAddressServesAnInvalidDestination) {
    ScriptedPeer peer;
    JsonUdpManagerInfo info;
    info.default_send_addr = peer.Address();
    StartEndpoint(info);
    EXPECT_EQ(endpoint_->GetDefaultSendAddr(), peer.Address());

    auto msg = std::make_shared<Network::JsonMsgFmFreq>();
    msg->freq = {87500, 107900};
    msg->att = Pattern(100);
    msg->att_size = msg->att.size();
    ASSERT_TRUE(endpoint_->SendDirect(msg, SockAddr()).IsOk());
    ASSERT_TRUE(peer.WaitForCount(1, milliseconds(3000)));

    const auto got = peer.Received()[0];
    ASSERT_TRUE(got.msg);
    EXPECT_EQ(got.msg->type, L"fm_freq");
    EXPECT_EQ(got.msg->msg_id, msg->msg_id);
    EXPECT_EQ(got.msg->att, msg->att);
    EXPECT_EQ(got.msg->att_size, 100u);
    const std::string text = TextOf(got.bytes);
    EXPECT_EQ(got.bytes.size(), text.size() + 1 + 100);
    EXPECT_EQ(dynamic_cast<Network::JsonMsgFmFreq&>(*got.msg).freq, msg->freq);
}

TEST_F(JsonUdpManagerTest, SendFailuresNameTheirCauseAndSendNothing) {
    ScriptedPeer peer;
    auto msg = std::make_shared<Network::JsonMsgIdle>();

    // Before Start there is no socket.
    ErrInfo noSocket = endpoint_->SendDirect(msg, peer.Address());
    EXPECT_EQ(noSocket.GetText(), L"Bad socket");
    EXPECT_EQ(std::string(noSocket.Method()), "Network::JsonUdpManager::SendDirect");
    noSocket.MarkHandled();

    StartEndpoint();
    // Neither a destination nor a default address.
    ErrInfo noAddress = endpoint_->SendDirect(msg, SockAddr());
    EXPECT_EQ(noAddress.GetText(), L"Bad send address");
    noAddress.MarkHandled();

    // Larger than the datagram limit: refused by the serialisation.
    auto big = std::make_shared<Network::JsonMsgIdle>();
    big->att = Pattern(1472);
    big->att_size = big->att.size();
    ErrInfo tooBig = endpoint_->SendDirect(big, peer.Address());
    EXPECT_EQ(tooBig.GetText(), L"Can not deserialize msg. Packet too small");
    tooBig.MarkHandled();

    EXPECT_TRUE(receiver_.Acks().empty());
    // A datagram sent afterwards is the first one the peer sees.
    ASSERT_TRUE(endpoint_->SendDirect(msg, peer.Address()).IsOk());
    ASSERT_TRUE(peer.WaitForCount(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(50));
    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(got[0].msg);
    EXPECT_EQ(got[0].msg->msg_id, msg->msg_id);
}

TEST_F(JsonUdpManagerTest, SendFilterDecidesPerMessageAndADroppedSendStillSucceeds) {
    ScriptedPeer peer;
    PredicateSendFilter filter([](const JsonMsg& m, int) { return m.type == L"idle"; });
    JsonUdpManagerInfo info;
    info.send_filter = &filter;
    StartEndpoint(info);

    auto dropped = std::make_shared<Network::JsonMsgIdle>();
    auto passed = std::make_shared<Network::JsonMsgPing>();
    EXPECT_TRUE(endpoint_->SendDirect(dropped, peer.Address()).IsOk());
    EXPECT_TRUE(endpoint_->SendDirect(passed, peer.Address()).IsOk());
    ASSERT_TRUE(peer.WaitForCount(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(50));

    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg->msg_id, passed->msg_id);
    EXPECT_EQ(filter.Dropped(), 1);
    EXPECT_EQ(filter.Passed(), 1);
    // Only the message that left is reported sent.
    const auto acks = receiver_.Acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].msg, passed);
}

TEST_F(JsonUdpManagerTest, ReceivedDatagramsBecomeMessagesOfTheirClassOnTheServiceThread) {
    ScriptedPeer peer;
    const SockAddr local = StartEndpoint();

    Network::JsonMsgFmFreq freq;
    freq.freq = {90100};
    Network::JsonMsgError error;
    error.code = 5;
    error.txt = L"t\u00e9st";
    peer.Send(freq, local);
    peer.Send(error, local);
    ASSERT_TRUE(receiver_.WaitMessages(2, milliseconds(3000)));

    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), 2u);
    auto* gotFreq = dynamic_cast<Network::JsonMsgFmFreq*>(messages[0].msg.get());
    ASSERT_NE(gotFreq, nullptr);
    EXPECT_EQ(gotFreq->freq, std::vector<std::int32_t>{90100});
    EXPECT_EQ(gotFreq->msg_id, freq.msg_id);
    EXPECT_EQ(messages[0].sender, peer.Address());
    EXPECT_EQ(gotFreq->peer, peer.Address());
    auto* gotError = dynamic_cast<Network::JsonMsgError*>(messages[1].msg.get());
    ASSERT_NE(gotError, nullptr);
    EXPECT_EQ(gotError->txt, L"t\u00e9st");
    EXPECT_NE(messages[0].thread, platform::CurrentThreadId());
    EXPECT_TRUE(receiver_.Errors().empty());
}

TEST_F(JsonUdpManagerTest, EachHostileDatagramCostsOneBadMessageAndTheEndpointKeepsServing) {
    ScriptedPeer peer;
    const SockAddr local = StartEndpoint();

    auto bytesOf = [](const std::string& s, bool zero = true) {
        std::vector<std::uint8_t> b(s.begin(), s.end());
        if (zero) {
            b.push_back(0);
        }
        return b;
    };
    const std::vector<std::vector<std::uint8_t>> hostile = {
        bytesOf("{\"msg\":\"ping\",\"msg_id\":1}", false),              // no terminating zero
        {0, 1, 2, 3},                                                   // zero first
        bytesOf("\xff\xfe\xfd"),                                        // not UTF-8
        bytesOf("[1,2,3]"),                                             // not an object
        bytesOf("{\"msg\":\"ping\"}"),                                  // no msg_id
        bytesOf("{\"msg\":\"ping\",\"msg_id\":\"x\"}"),                 // msg_id of the wrong kind
        bytesOf("{\"msg\":\"attach\",\"msg_id\":3,\"leader_id\":1}"),   // segment keys missing
        bytesOf("{\"msg\":\"no_such_type\",\"msg_id\":4}"),             // unknown type
        bytesOf("{\"msg\":\"ping\",\"msg_id\":5,\"att\":4000000000}"),  // 4 GB announced
        bytesOf("{\"msg\":\"error\",\"msg_id\":6,\"txt\":\"x\"}"),      // required "code" missing
        bytesOf("{\"msg\":"),                                           // truncated text
    };
    for (const auto& datagram : hostile) {
        peer.Send(datagram, local);
    }
    ASSERT_TRUE(receiver_.WaitErrors(hostile.size(), milliseconds(5000)));

    // The service thread survived all of them: a good message still comes through.
    Network::JsonMsgPing ping;
    peer.Send(ping, local);
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(50));

    const auto errors = receiver_.Errors();
    EXPECT_EQ(errors.size(), hostile.size());
    for (const auto& e : errors) {
        EXPECT_EQ(e.error, L"Bad message received");
        EXPECT_EQ(e.from, endpoint_.get());
    }
    const auto messages = receiver_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].msg->msg_id, ping.msg_id);
}

TEST_F(JsonUdpManagerTest, StopClosesTheSocketAndStartOpensItAgainWithTheSameSettings) {
    ScriptedPeer peer;
    const SockAddr local = StartEndpoint();
    ASSERT_TRUE(endpoint_->IsStarted());

    endpoint_->Stop();
    EXPECT_FALSE(endpoint_->IsStarted());
    ErrInfo stopped = endpoint_->SendDirect(std::make_shared<Network::JsonMsgPing>(), peer.Address());
    EXPECT_EQ(stopped.GetText(), L"Bad socket");
    stopped.MarkHandled();

    ASSERT_TRUE(endpoint_->Start().IsOk());
    Network::JsonMsgPing ping;
    peer.Send(ping, local);
    ASSERT_TRUE(receiver_.WaitMessages(1, milliseconds(3000)));
    EXPECT_EQ(receiver_.Messages()[0].msg->msg_id, ping.msg_id);

    // Init stops a started endpoint.
    JsonUdpManagerInfo info;
    info.local_addr = local;
    ASSERT_TRUE(endpoint_->Init(info).IsOk());
    EXPECT_FALSE(endpoint_->IsStarted());
}

TEST_F(JsonUdpManagerTest, StartFailsWhenThePortIsTakenAndLeavesTheEndpointStopped) {
    const SockAddr local = StartEndpoint();
    auto second = JsonUdpManager::Create(ComponentInfo{}, *service_);
    EXPECT_EQ(second->GetName(), L"JsonUdpManager");
    JsonUdpManagerInfo info;
    info.local_addr = local;
    ASSERT_TRUE(second->Init(info).IsOk());
    ErrInfo err = second->Start();
    EXPECT_FALSE(err.IsOk());
    err.MarkHandled();
    EXPECT_FALSE(second->IsStarted());
}

}  // namespace
