// The RTP manager: the sequence lock, the ring and what it drops, block delivery, Stop against a running
// notification, and the channels on real loopback sockets. Crafted packets go straight to OnRtpPacket or
// to a channel's datagram handler; time is a TestClock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "rtp/rtp_manager.h"
#include "support/test_clock.h"
#include "support/udp_peer.h"
#include "support/wait.h"

namespace {

using namespace Network;
using namespace testing_support;

constexpr std::uint32_t kFrames = 4;

std::shared_ptr<Packet> Pkt(std::uint16_t seq, std::uint32_t ts, float value = 0.25f, std::uint8_t pt = 100,
                            std::uint32_t frames = kFrames) {
    RtpPacket p = RtpPacket::Create(pt, frames);
    const std::vector<float> samples(frames, value);
    for (std::uint32_t c = 0; c < p.Channels(); ++c) {
        p.WriteChannel(samples.data(), c, 1, 0, frames);
    }
    p.SetSequenceNumber(seq);
    p.SetTimestamp(ts);
    return p.Datagram();
}

struct Recorder : ISyncTarget {
    void OnSync(ISyncSource*, std::int64_t position, std::uint32_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        positions.push_back(position);
    }
    std::mutex mutex;
    std::vector<std::int64_t> positions;
};

// A session of the device's settings (window 20, latency 10) whose channels listen nowhere unless told.
struct Session {
    explicit Session(std::vector<RtpRecvChanInfo> recv = {RtpRecvChanInfo{}}, std::uint32_t latency = 10,
                     INetManager* net = nullptr, std::vector<RtpSendChanInfo> send = {}) {
        audio = std::make_shared<RtpAudioManager>(ComponentInfo{L"S"}, net, &clock);
        info.SampleFreq = 48000;
        info.PacketSmplSize = 48;
        info.buffer_window = 20;
        info.start_latency = latency;
        info.recv_chans = std::move(recv);
        info.send_chans = std::move(send);
        audio->AddTarget(&target);
        init = audio->Init(info).IsOk();
    }
    void Feed(std::uint16_t seq, std::uint32_t ts, std::size_t chan = 0) {
        audio->Inner().OnRtpPacket(audio->Inner().GetRecvChan(chan).get(), Pkt(seq, ts));
    }
    // The sequence numbers of the next `n` reads of channel 0 (-1: nothing there).
    std::vector<int> Reads(int n) {
        std::vector<int> seqs;
        std::vector<std::shared_ptr<Packet>> packets;
        for (int i = 0; i < n; ++i) {
            audio->RecvPackets(packets);
            seqs.push_back(packets.at(0) ? RtpPacket(packets[0]).SequenceNumber() : -1);
        }
        return seqs;
    }
    RtpStreamStats Stats(std::size_t chan = 0) { return audio->GetRecvStreamStats(chan); }

    TestClock clock;
    Recorder target;
    RtpManagerInfo info;
    std::shared_ptr<RtpAudioManager> audio;
    bool init = false;
};

std::vector<int> Gap(int n, std::vector<int> then = {}) {
    std::vector<int> v(static_cast<std::size_t>(n), -1);
    v.insert(v.end(), then.begin(), then.end());
    return v;
}

// The first packet locks the reader `latency` blocks behind it; the numbers go on across the wrap; a
// duplicate (from the second path) replaces its copy and notifies once.
TEST(RtpSyncTest, FirstPacketLocksLatencyBehindItAcrossTheWrapAndDuplicatesCount) {
    struct Row {
        std::vector<std::pair<std::uint16_t, std::uint32_t>> feeds;
        std::vector<std::int64_t> positions;
        std::vector<int> reads;
        std::uint64_t duplicates;
    };
    for (const Row& r : {Row{{{5, 500}}, {-1, 500}, Gap(10, {5}), 0},
                         Row{{{65535, 0}, {0, 48}}, {-1, 0, 48}, Gap(10, {65535, 0}), 0},
                         Row{{{5, 500}, {5, 500}}, {-1, 500}, Gap(10, {5, -1}), 1}}) {
        Session s;
        for (const auto& [seq, ts] : r.feeds) {
            s.Feed(seq, ts);
        }
        EXPECT_EQ(s.target.positions, r.positions);
        EXPECT_EQ(s.Reads(static_cast<int>(r.reads.size())), r.reads);
        EXPECT_EQ(s.Stats().packets_received, r.feeds.size());
        EXPECT_EQ(s.Stats().duplicate_packets, r.duplicates);
        EXPECT_EQ(s.Stats().relocks, 0u);
    }
}

TEST(RtpSyncTest, WindowEdgeRelocksAtOnceWithEmptyRingsAndLatePacketsAreDropped) {
    LogCapture log;
    Session s;
    s.Feed(110, 0);  // SeqNumPos 100
    s.Feed(119, 36);
    s.Feed(99, 0);  // older than the read position
    EXPECT_EQ(s.Stats().late_packets, 1u);
    EXPECT_EQ(s.Stats().relocks, 0u);
    s.Feed(120, 40);  // SeqNumPos + window
    EXPECT_EQ(log.Containing(L"S: RTP sync LOST: SeqNumPos=100, SeqNum=120, seq_num=120, old_seq_num=119, "
                             L"PosInBuf=20")
                  .size(),
              1u);
    EXPECT_EQ(log.Containing(L"S: RTP sync LOCK: SeqNumPos=110, SeqNum=120, PosInBuf=10").size(), 1u);
    EXPECT_EQ(s.target.positions, (std::vector<std::int64_t>{-1, 0, 36, -1, 40}));
    // 119 of the old timing is gone: it would be read as the block after 128.
    std::vector<int> reads = Gap(20);
    reads[10] = 120;
    EXPECT_EQ(s.Reads(20), reads);
    EXPECT_EQ(s.Stats().relocks, 1u);
}

TEST(RtpSyncTest, ReaderAheadOfEverythingReceivedRelocks) {
    Session s({RtpRecvChanInfo{}}, 0);
    s.Feed(5, 0);
    EXPECT_EQ(s.Reads(2), (std::vector<int>{5, -1}));  // the reader is at 7
    s.Feed(6, 48);
    EXPECT_EQ(s.Stats().relocks, 1u);
    EXPECT_EQ(s.Reads(1), (std::vector<int>{6}));
}

TEST(RtpSyncTest, SyncLinesStayWithinTheirBudgetAndTheRestIsCounted) {
    LogCapture log;
    Session s;
    for (int i = 0; i < 15; ++i) {
        s.Feed(static_cast<std::uint16_t>(i * 1000), static_cast<std::uint32_t>(i));  // each loses the lock
    }
    EXPECT_EQ(log.Containing(L"S: RTP sync L").size(), kRtpLinesPerMinute);
    s.clock.Step(std::chrono::minutes(1));
    s.Feed(30000, 100);
    EXPECT_EQ(
        log.Containing(L"S: 19 lines like the next left out in the last minute (at most 10 a minute)").size(),
        1u);
}

TEST(RtpSyncTest, StatisticsAreReportedOnTheMinutesOfTheClock) {
    LogCapture log;
    const std::uint32_t level = log.Log().SetLoggingLevel(kLogPeriodic);
    Session s;
    s.Feed(5, 0);
    s.Feed(6, 48);
    s.clock.Step(std::chrono::minutes(1));
    s.Feed(7, 96);
    log.Log().SetLoggingLevel(level);
    EXPECT_EQ(log.Containing(L"STATISTICS: S: SeqNumPos=-5, SeqNum=7, PosInBuf=12").size(), 1u);
    EXPECT_EQ(log.Containing(L"STATISTICS: S.Recv: N=1,").size(), 1u);
}

TEST(RtpAudioTest, EachStreamGetsItsAudioOrSilenceAndIsCounted) {
    Session s({RtpRecvChanInfo{}, RtpRecvChanInfo{}}, 0);
    RtpManager& m = s.audio->Inner();
    std::vector<float> bufs(4 * kFrames, 9.0f);
    const std::vector<float*> four = {&bufs[0], &bufs[4], &bufs[8], &bufs[12]};
    const auto at = [&](std::size_t k) { return bufs[k * kFrames + kFrames - 1]; };
    // Block 0: stream 0 of the wrong frame count, stream 1 good.
    m.OnRtpPacket(m.GetRecvChan(0).get(), Pkt(0, 0, 1.0f, 100, kFrames - 1));
    m.OnRtpPacket(m.GetRecvChan(1).get(), Pkt(0, 0, 1.0f));
    s.audio->RecvAudio(four, kFrames);
    EXPECT_EQ(std::vector<float>({at(0), at(1), at(2), at(3)}), std::vector<float>({0, 0, 1, 1}));
    // Block 1: stream 0 good, stream 1 missing.
    m.OnRtpPacket(m.GetRecvChan(0).get(), Pkt(1, 4, 1.0f));
    s.audio->RecvAudio(four, kFrames);
    EXPECT_EQ(std::vector<float>({at(0), at(1), at(2), at(3)}), std::vector<float>({1, 1, 0, 0}));
    // Block 2: a list of five buffers for four channels is not touched.
    std::fill(bufs.begin(), bufs.end(), 9.0f);
    s.Feed(2, 8);
    s.audio->RecvAudio({&bufs[0], &bufs[4], &bufs[8], &bufs[12], &bufs[12]}, kFrames);
    EXPECT_EQ(bufs, std::vector<float>(4 * kFrames, 9.0f));
    EXPECT_EQ(s.Stats(0).bad_blocks, 1u);
    EXPECT_EQ(s.Stats(0).blocks_played, 1u);
    EXPECT_EQ(s.Stats(1).blocks_played, 1u);
    EXPECT_EQ(s.Stats(1).silent_blocks, 1u);
}

TEST(RtpAudioTest, ReadsBeforeTheFirstPacketOfALockAreFillNotLoss) {
    Session s({RtpRecvChanInfo{}}, 3);
    s.Feed(7, 0);
    std::vector<float> left(kFrames), right(kFrames);
    for (int i = 0; i < 5; ++i) {
        s.audio->RecvAudio({left.data(), right.data()}, kFrames);
    }
    const RtpStreamStats st = s.Stats();
    EXPECT_EQ(std::vector<std::uint64_t>({st.fill_blocks, st.blocks_played, st.silent_blocks}),
              std::vector<std::uint64_t>({3, 1, 1}));
}

TEST(RtpChannelTest, ForeignAndMalformedDatagramsNeverReachTheRing) {
    RtpRecvChanInfo of100, any2;
    of100.payload_type = 100;
    of100.source = any2.source = SockAddr(L"127.0.0.1", 0);
    Session s({of100, any2});
    struct Row {
        std::size_t chan;
        std::vector<std::uint8_t> bytes;
        const wchar_t* from;
        std::uint64_t RtpStreamStats::*counter;
    };
    const std::vector<std::uint8_t> good = Pkt(1, 0)->Bytes();
    auto with = [&](std::size_t at, std::uint8_t b, std::size_t size = 0) {
        std::vector<std::uint8_t> v = good;
        v[at] = b;
        v.resize(size ? size : v.size());
        return v;
    };
    const Row rows[] = {
        {0, good, L"127.0.0.1:1234", &RtpStreamStats::packets_received},  // any port of the source
        {0, good, L"127.0.0.2:1234", &RtpStreamStats::foreign_dropped},
        {0, with(0, 0x80, 11), L"127.0.0.1:9", &RtpStreamStats::malformed_dropped},  // shorter than a header
        {0, with(0, 0x40), L"127.0.0.1:9", &RtpStreamStats::malformed_dropped},      // version 1
        {0, with(1, 72), L"127.0.0.1:9", &RtpStreamStats::malformed_dropped},        // another type
        {1, with(1, 94), L"127.0.0.1:9", &RtpStreamStats::packets_received},         // type 0: any 2-channel
        {1, with(1, 86), L"127.0.0.1:9", &RtpStreamStats::malformed_dropped},        // ... but 1 channel
    };
    for (const Row& r : rows) {
        const RtpStreamStats before = s.Stats(r.chan);
        auto datagram = std::make_shared<Packet>();
        datagram->Assign(r.bytes.data(), r.bytes.size());
        s.audio->Inner().GetRecvChan(r.chan)->OnDatagramReceived(nullptr, datagram, SockAddr(r.from));
        EXPECT_EQ(s.Stats(r.chan).*r.counter, before.*r.counter + 1) << r.from << " " << &r - rows;
        EXPECT_EQ(s.Stats(r.chan).packets_received + s.Stats(r.chan).foreign_dropped +
                      s.Stats(r.chan).malformed_dropped,
                  before.packets_received + before.foreign_dropped + before.malformed_dropped + 1);
    }
    LogCapture log;
    s.clock.Step(std::chrono::minutes(1));
    s.Reads(1);
    EXPECT_EQ(log.Containing(L"S.Recv[0]: dropped from 127.0.0.2:1234 in the last minute: 1 foreign").size(),
              1u);
}

// Blocks in OnSync until released; Stop on another thread must wait for it.
struct BlockingTarget : ISyncTarget {
    void OnSync(ISyncSource* source, std::int64_t position, std::uint32_t) override {
        if (position < 0) {
            return;
        }
        if (stopSelf) {
            static_cast<IRtpManager*>(source)->Stop();
            return;
        }
        entered = true;
        EXPECT_TRUE(WaitUntil([&] { return release.load(); }));
        returned = true;
    }
    bool stopSelf = false;
    std::atomic<bool> entered{false}, release{false}, returned{false};
};

TEST(RtpStopTest, StopWaitsForANotificationOnAnotherThread) {
    Session s;
    BlockingTarget t;
    s.audio->AddTarget(&t);
    std::thread feeder([&] { s.Feed(1, 0); });
    ASSERT_TRUE(WaitUntil([&] { return t.entered.load(); }));
    LogCapture log;
    std::atomic<int> stopped{0};  // 1: after OnSync returned, 2: before
    std::thread stopper([&] {
        s.audio->Stop();
        stopped = t.returned.load() ? 1 : 2;
    });
    EXPECT_TRUE(
        WaitUntil([&] { return !log.Containing(L"S\": Stop: waiting for the notifications").empty(); }));
    EXPECT_EQ(stopped.load(), 0);
    t.release = true;
    stopper.join();
    feeder.join();
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_EQ(s.audio->GetRecvChanCount(), 0u);
}

TEST(RtpStopTest, TargetMayStopItsSourceFromItsOwnNotification) {
    Session s;
    BlockingTarget t;
    t.stopSelf = true;
    s.audio->AddTarget(&t);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        s.Feed(1, 0);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    feeder.join();
    EXPECT_FALSE(s.audio->IsStarted());
    EXPECT_EQ(s.audio->GetRecvChanCount(), 0u);
}

TEST(RtpLoopbackTest, StreamFromTheSourceIsTakenAndBlocksGoOutNumbered) {
    auto service = NetManager::Create(ComponentInfo{L"rtp audio"}, true);
    UdpPeer peer;
    RtpRecvChanInfo rx;
    rx.addr = SockAddr(L"127.0.0.1", 0);
    rx.source = SockAddr(L"127.0.0.1", 0);
    RtpSendChanInfo tx;
    tx.addr = SockAddr(peer.Address());
    tx.payload_type = 100;
    Session s({rx}, 10, service.get(), {tx});
    ASSERT_TRUE(s.init);
    const SockAddr at = s.audio->GetRecvChanAddr(0);
    ASSERT_NE(at.GetPort(), 0);

    // The same port again cannot be had: Init fails, naming the address, and leaves nothing open.
    Session busy({rx}, 10, service.get());
    busy.info.recv_chans[0].addr = at;
    ErrInfo err = busy.audio->Init(busy.info);
    EXPECT_NE(
        err.GetText().find(L"S.Recv[0]\": Init: RTP input #0 at " + at.ToString() + L" cannot be opened: "),
        std::wstring::npos)
        << err.GetText();
    err.MarkHandled();
    EXPECT_EQ(busy.audio->GetRecvChanCount(), 0u);
    // With self-reopening sockets the input waits for its port instead: Init succeeds.
    busy.info.auto_sockets = true;
    EXPECT_TRUE(busy.audio->Init(busy.info).IsOk());
    EXPECT_EQ(busy.audio->GetRecvChanCount(), 1u);

    ASSERT_TRUE(peer.SendBytes(Pkt(1, 0)->Bytes(), at.Native()));
    ASSERT_TRUE(WaitUntil([&] { return s.Stats().packets_received == 1; }));

    std::vector<float> left(48, 0.5f);
    for (int block = 0; block < 3; ++block) {
        s.audio->SendAudio({left.data(), nullptr}, 48);
    }
    ASSERT_TRUE(peer.WaitForCount(3));
    for (std::uint8_t n = 0; n < 3; ++n) {
        const std::vector<std::uint8_t> d = peer.Received()[n].bytes;
        ASSERT_EQ(d.size(), 300u);
        EXPECT_EQ(std::vector<std::uint8_t>(d.begin(), d.begin() + 18),
                  (std::vector<std::uint8_t>{0x80, 0x64, 0, n, 0, 0, 0, static_cast<std::uint8_t>(48 * n), 0,
                                             0, 0, 0, 0x3F, 0xFF, 0xFF, 0, 0, 0}));
    }
    s.audio->Stop();
}

}  // namespace
