// The RTP session against a stack written elsewhere: GStreamer's command-line pipelines, one per test,
// run as a child program. Its L24 stream (payload type 100, 192 frames a packet) becomes the application's
// blocks with each channel's tone, and the stream the library sends plays in its pipeline with each
// channel's tone, level and length. Skipped where gst-launch-1.0 or one of its elements is missing.
#include <arpa/inet.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_manager.h"
#include "rtp/rtp.h"
#include "temp_folder.h"
#include "udp_peer.h"
#include "wait.h"

namespace {

using namespace testing_support;
using Network::RtpManagerInfo;
using Samples = std::vector<std::vector<float>>;  // one vector per channel

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 192;  // 4 ms
constexpr float kAmplitude = 0.5f;
constexpr double kTones[2][2] = {{440, 1000}, {750, 1250}};  // Hz left and right: theirs, then ours

// The elements of the pipelines not found here, one a line; empty when everything is there.
std::string MissingGst() {
    static const std::string missing = [] {
        std::string out;
        FILE* p = popen(
            "command -v gst-launch-1.0 >/dev/null || echo gst-launch-1.0; for e in audiotestsrc "
            "interleave audioconvert rtpL24pay udpsink udpsrc rtpjitterbuffer rtpL24depay audiorate "
            "wavenc filesink; do gst-inspect-1.0 --exists $e 2>/dev/null || echo $e; done",
            "r");
        for (int c = 0; p != nullptr && (c = fgetc(p)) != EOF;) {
            out += static_cast<char>(c);
        }
        return p != nullptr && pclose(p) == 0 ? out : "the shell";
    }();
    return missing;
}

std::string FileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A shell command line run as a child (output and errors into `log`), killed with the thread that started
// it, and always ended and reaped, by the destructor at the latest.
struct Child {
    pid_t pid = -1;
    int status = -1;
    Child(const std::string& command, const std::string& log) {
        const std::string line = "exec " + command + " </dev/null >" + log + " 2>&1";
        if ((pid = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // none of the test's sockets goes with it
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Child() { Stop(SIGKILL); }
    bool Running() { return pid > 0 && waitpid(pid, &status, WNOHANG) == 0; }
    // Sends `sig`, kills the child if it has not ended 30 s later; its exit code (-1 when killed).
    int Stop(int sig) {
        if (pid > 0 && Running()) {
            kill(pid, sig);
            if (!WaitUntil([this] { return !Running(); }, milliseconds(30000))) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Frequency (by zero crossings) and level of each 100 ms window of `x` that carries sound: a gap of
// missing packets changes neither.
std::vector<std::pair<double, double>> SoundWindows(const std::vector<float>& x) {
    constexpr std::size_t kWindow = kRate / 10;
    std::vector<std::pair<double, double>> windows;
    for (std::size_t start = 0; start + kWindow <= x.size(); start += kWindow) {
        double energy = 0;
        int crossings = 0;
        for (std::size_t i = start; i < start + kWindow; ++i) {
            energy += double{x[i]} * x[i];
            crossings += i > start && (x[i - 1] < 0) != (x[i] < 0);
        }
        if (std::sqrt(energy / kWindow) > 0.05) {
            windows.emplace_back(crossings * double{kRate} / (2.0 * kWindow), std::sqrt(energy / kWindow));
        }
    }
    return windows;
}

// Each channel's tone at -6 dBFS: medians over at least 5 windows with sound.
void ExpectTones(const Samples& channels, const double (&hz)[2]) {
    ASSERT_EQ(channels.size(), 2u);
    for (std::size_t c = 0; c < 2; ++c) {
        std::vector<std::pair<double, double>> w = SoundWindows(channels[c]);
        ASSERT_GE(w.size(), 5u) << "windows of 100 ms with sound, channel " << c;
        const auto mid = w.begin() + static_cast<std::ptrdiff_t>(w.size() / 2);
        std::nth_element(w.begin(), mid, w.end());
        EXPECT_NEAR(mid->first, hz[c], hz[c] * 0.03) << "channel " << c;
        std::nth_element(w.begin(), mid, w.end(), [](auto& a, auto& b) { return a.second < b.second; });
        EXPECT_NEAR(mid->second, kAmplitude / std::sqrt(2.0), 0.035) << "level, channel " << c;
    }
}

// The session under test on a socket service of its own, of one channel to or from 127.0.0.1.
struct Session : Network::ISyncTarget {
    std::shared_ptr<Network::NetManager> net =
        Network::NetManager::Create(ComponentInfo{L"interop net"}, true);
    std::shared_ptr<Network::IRtpAudioManager> rtp =
        Network::CreateRtpAudioManager(ComponentInfo{L"interop rtp"}, net.get());
    std::mutex mutex;
    Samples got{2};  // the blocks the application read

    Session(bool receive, std::uint16_t port) {
        RtpManagerInfo info;
        info.SampleFreq = kRate;
        info.PacketSmplSize = kFrames;
        const auto one = [port](auto& chans) {
            chans.resize(1);
            chans[0].Set(L"127.0.0.1", L"", port);
            chans[0].payload_type = 100;
        };
        receive ? one(info.recv_chans) : one(info.send_chans);
        EXPECT_TRUE(rtp->Init(info).IsOk());
        rtp->AddTarget(this);
        EXPECT_TRUE(rtp->Start().IsOk());
    }
    ~Session() override { rtp->Stop(); }
    void OnSync(Network::ISyncSource*, std::int64_t position, std::uint32_t) override {
        if (position >= 0) {  // not a (re)lock, where reading is not allowed
            std::vector<float> l(kFrames);
            std::vector<float> r(kFrames);
            rtp->RecvAudio({l.data(), r.data()}, kFrames);
            std::lock_guard<std::mutex> lock(mutex);
            got[0].insert(got[0].end(), l.begin(), l.end());
            got[1].insert(got[1].end(), r.begin(), r.end());
        }
    }
    Samples Got() {
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
};

// The samples of a 16-bit PCM WAV file, per channel, read to the end of the file; empty when it is none.
Samples ReadWav(const std::string& path) {
    const std::string b = FileText(path);
    const std::size_t fmt = b.find("fmt ");
    const std::size_t data = b.find("data");
    const auto u16 = [&b](std::size_t at) { return std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8; };
    if (b.compare(0, 4, "RIFF") != 0 || fmt == b.npos || data == b.npos || data < fmt || u16(fmt + 8) != 1 ||
        u16(fmt + 10) != 2 || u16(fmt + 12) + (u16(fmt + 14) << 16) != int{kRate} || u16(fmt + 22) != 16) {
        return {};
    }
    const std::size_t size = u16(data + 4) + (std::size_t(u16(data + 6)) << 16);
    const std::size_t end = std::min(b.size(), size == 0 ? b.size() : data + 8 + size);
    Samples s(2);
    for (std::size_t at = data + 8; at + 4 <= end; at += 2) {
        s[(at - data) / 2 % 2].push_back(static_cast<std::int16_t>(u16(at)) / 32768.0f);
    }
    return s;
}

#define SKIP_WITHOUT_GST()                                                       \
    if (const std::string missing = MissingGst(); !missing.empty()) {            \
        GTEST_SKIP() << "GStreamer is not complete here; missing:\n" << missing; \
    }

TEST(GstInterop, ItsL24StreamBecomesBlocksWithEachChannelsTone) {
    SKIP_WITHOUT_GST();
    Session session(true, 0);
    const std::uint16_t port = session.rtp->GetRecvChanAddr(0).GetPort();
    ASSERT_NE(port, 0);
    // A live source per channel, one 192-frame buffer each; the payloader is held to 4 ms packets too.
    TempFolder folder("gst-send");
    const std::string log = (folder / "gst.log").string();
    const std::string src = " audiotestsrc is-live=true volume=0.5 samplesperbuffer=192 freq=";
    const std::string toMixer = " ! audio/x-raw,rate=48000,channels=1 ! i.";
    Child gst(
        "gst-launch-1.0 interleave name=i ! audioconvert ! audio/x-raw,format=S24BE,rate=48000,channels=2"
        " ! rtpL24pay pt=100 min-ptime=4000000 max-ptime=4000000 ! udpsink host=127.0.0.1 port=" +
            std::to_string(port) + src + "440" + toMixer + src + "1000" + toMixer,
        log);
    // 1.5 s of sound; a stream that never gives sound ends the wait after 6 s of blocks.
    WaitUntil(
        [&] {
            const std::vector<float> left = session.Got()[0];
            return !gst.Running() || left.size() >= 1500 * kFrames || SoundWindows(left).size() >= 15;
        },
        milliseconds(60000));
    EXPECT_TRUE(gst.Running()) << "the sending pipeline ended early:\n" << FileText(log);
    gst.Stop(SIGKILL);
    const Network::RtpStreamStats stats = session.rtp->GetRecvStreamStats(0);  // gone with the channels
    session.rtp->Stop();
    ExpectTones(session.Got(), kTones[0]);
    EXPECT_GT(stats.packets_received, 300u);
    EXPECT_EQ(stats.malformed_dropped, 0u);
    EXPECT_EQ(stats.bad_blocks, 0u) << "packets of a frame count other than 192";
    EXPECT_GT(stats.blocks_played, 300u);
}

TEST(GstInterop, OurStreamPlaysInItsPipelineWithEachChannelsTone) {
    SKIP_WITHOUT_GST();
    constexpr int kBlocks = 500;  // 2 s at the real rate
    TempFolder folder("gst-recv");
    const std::string wav = (folder / "out.wav").string();
    const std::string log = (folder / "gst.log").string();
    Samples got;
    // The port is free when chosen, but another program may take it before the pipeline binds it (without
    // address reuse, so that shows): then one more port is tried.
    for (int attempt = 0; attempt < 2 && got.empty(); ++attempt) {
        const std::uint16_t port = UdpPeer().Port();
        Child gst("gst-launch-1.0 -e udpsrc address=127.0.0.1 reuse=false port=" + std::to_string(port) +
                      " caps=application/x-rtp,media=audio,clock-rate=48000,encoding-name=L24,channels=2,"
                      "payload=100 ! rtpjitterbuffer ! rtpL24depay ! audiorate ! audioconvert"
                      " ! audio/x-raw,format=S16LE ! wavenc ! filesink location=" +
                      wav,
                  log);
        WaitUntil([&] { return FileText(log).find("PLAYING") != std::string::npos || !gst.Running(); },
                  milliseconds(30000));
        if (!gst.Running()) {
            continue;
        }
        Session session(false, port);
        std::vector<float> l(kFrames);
        std::vector<float> r(kFrames);
        const Clock::time_point start = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            for (std::uint32_t i = 0; i < kFrames; ++i) {
                const double phase = 2 * M_PI * double(b * kFrames + i) / kRate;
                l[i] = kAmplitude * static_cast<float>(std::sin(kTones[1][0] * phase));
                r[i] = kAmplitude * static_cast<float>(std::sin(kTones[1][1] * phase));
            }
            session.rtp->SendAudio({l.data(), r.data()}, kFrames);
            std::this_thread::sleep_until(start + std::chrono::microseconds(4000) * (b + 1));
        }
        session.rtp->Stop();
        // An interrupt makes gst-launch end the stream, so the recording is complete.
        EXPECT_EQ(gst.Stop(SIGINT), 0) << FileText(log);
        got = ReadWav(wav);
    }
    ASSERT_EQ(got.size(), 2u) << "no 2-channel 48 kHz recording; the pipeline said:\n" << FileText(log);
    const double sent = double{kBlocks} * kFrames;
    EXPECT_GE(got[0].size(), 0.7 * sent) << "of " << sent << " frames sent";
    EXPECT_LE(got[0].size(), 1.05 * sent) << "of " << sent << " frames sent";
    ExpectTones(got, kTones[1]);
}

}  // namespace
