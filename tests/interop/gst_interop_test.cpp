// The RTP session against a stack written elsewhere: GStreamer's command-line pipelines, one per test,
// run as a child program. Its L24 stream (payload type 100, 192 frames a packet) becomes the application's
// blocks with each channel's tone, and the stream the library sends plays in its pipeline with each
// channel's tone, level and length. Skipped where gst-launch-1.0 or one of its elements is missing.
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "net/net_manager.h"
#include "rtp/rtp.h"
#include "temp_folder.h"
#include "udp_peer.h"
#include "wait.h"

namespace {

using namespace testing_support;
using Samples = std::vector<std::vector<float>>;  // one vector per channel

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 192;  // 4 ms
constexpr float kAmplitude = 0.5f;
constexpr double kTones[2][2] = {{440, 1000}, {750, 1250}};  // Hz left and right: theirs, then ours

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
        if (Running()) {
            kill(pid, sig);
            if (!WaitUntil([this] { return !Running(); }, milliseconds(30000))) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Each channel's tone at -6 dBFS: frequency (by zero crossings) and level are medians over the 100 ms
// windows that carry sound (at least 5), so a gap of missing packets changes neither. Two channels.
void ExpectTones(const Samples& channels, const double (&hz)[2]) {
    constexpr std::size_t kWindow = kRate / 10;
    for (std::size_t c = 0; c < 2; ++c) {
        std::vector<std::pair<double, double>> w;
        for (std::size_t start = 0; start + kWindow <= channels[c].size(); start += kWindow) {
            const float* x = channels[c].data() + start;
            double energy = 0;
            int crossings = 0;
            for (std::size_t i = 0; i < kWindow; ++i) {
                energy += double{x[i]} * x[i];
                crossings += i > 0 && (x[i - 1] < 0) != (x[i] < 0);
            }
            if (std::sqrt(energy / kWindow) > 0.05) {
                w.emplace_back(crossings * double{kRate} / (2.0 * kWindow), std::sqrt(energy / kWindow));
            }
        }
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
    std::shared_ptr<Network::NetManager> net = Network::NetManager::Create(ComponentInfo{L"net"}, true);
    std::shared_ptr<Network::IRtpAudioManager> rtp =
        Network::CreateRtpAudioManager(ComponentInfo{L"interop rtp"}, net.get());
    std::mutex mutex;
    Samples got{2};  // the blocks the application read

    Session(bool receive, std::uint16_t port) {
        Network::RtpManagerInfo info;
        info.SampleFreq = kRate;
        info.PacketSmplSize = kFrames;
        Network::RtpRecvChanInfo& chan =
            receive ? info.recv_chans.emplace_back() : info.send_chans.emplace_back();
        chan.Set(L"127.0.0.1", L"", port);
        chan.payload_type = 100;
        EXPECT_TRUE(rtp->Init(info).IsOk());
        rtp->AddTarget(this);
        EXPECT_TRUE(rtp->Start().IsOk());
    }
    ~Session() override { rtp->Stop(); }
    void OnSync(Network::ISyncSource*, std::int64_t position, std::uint32_t) override {
        if (position >= 0) {  // not a (re)lock, where reading is not allowed
            float block[2][kFrames];
            rtp->RecvAudio({block[0], block[1]}, kFrames);
            std::lock_guard<std::mutex> lock(mutex);
            got[0].insert(got[0].end(), block[0], block[0] + kFrames);
            got[1].insert(got[1].end(), block[1], block[1] + kFrames);
        }
    }
    Samples Got() {
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
};

// The samples of a 16-bit 2-channel 48 kHz PCM WAV file, per channel, read to the end of the file; empty
// when it is none.
Samples ReadWav(const std::string& path) {
    const std::string b = FileText(path);
    const std::size_t fmt = b.find("fmt ");
    const std::size_t data = b.find("data");
    const auto u16 = [&b](std::size_t at) { return std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8; };
    if (fmt == b.npos || data == b.npos || u16(fmt + 10) != 2 || u16(fmt + 12) != kRate ||
        u16(fmt + 22) != 16) {
        return {};
    }
    Samples s(2);
    for (std::size_t at = data + 8; at + 4 <= b.size(); at += 2) {
        s[(at - data) / 2 % 2].push_back(static_cast<std::int16_t>(u16(at)) / 32768.0f);
    }
    return s;
}

// Skips where gst-launch-1.0 or one of the elements the pipelines use is missing (the shell names it).
class GstInterop : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool complete =
            std::system(
                "command -v gst-launch-1.0 >/dev/null && for e in audiotestsrc interleave audioconvert "
                "rtpL24pay udpsink udpsrc rtpjitterbuffer rtpL24depay audiorate wavenc filesink; do "
                "gst-inspect-1.0 --exists $e || { echo \"GStreamer lacks $e\" >&2; exit 1; }; done") == 0;
        if (!complete) {
            GTEST_SKIP() << "GStreamer is not complete here";
        }
    }
    TempFolder folder{"gst"};
    const std::string log = (folder / "gst.log").string();
};

TEST_F(GstInterop, ItsL24StreamBecomesBlocksWithEachChannelsTone) {
    Session session(true, 0);
    const std::uint16_t port = session.rtp->GetRecvChanAddr(0).GetPort();
    ASSERT_NE(port, 0);
    // A live source per channel, one 192-frame buffer each; the payloader is held to 4 ms packets too.
    const std::string src = " audiotestsrc is-live=true volume=0.5 samplesperbuffer=192 freq=";
    const std::string toMixer = " ! audio/x-raw,rate=48000,channels=1 ! i.";
    Child gst(
        "gst-launch-1.0 interleave name=i ! audioconvert ! audio/x-raw,format=S24BE,rate=48000,channels=2"
        " ! rtpL24pay pt=100 min-ptime=4000000 max-ptime=4000000 ! udpsink host=127.0.0.1 port=" +
            std::to_string(port) + src + "440" + toMixer + src + "1000" + toMixer,
        log);
    // 2 s of blocks, or the end of the pipeline.
    WaitUntil([&] { return !gst.Running() || session.Got()[0].size() >= 500 * kFrames; },
              milliseconds(60000));
    EXPECT_TRUE(gst.Running()) << "the sending pipeline ended early:\n" << FileText(log);
    gst.Stop(SIGKILL);
    const Network::RtpStreamStats stats = session.rtp->GetRecvStreamStats(0);  // gone with the channels
    session.rtp->Stop();
    ExpectTones(session.Got(), kTones[0]);
    EXPECT_EQ(stats.malformed_dropped, 0u);
    EXPECT_EQ(stats.bad_blocks, 0u) << "packets of a frame count other than 192";
    EXPECT_GT(stats.blocks_played, 300u);
}

TEST_F(GstInterop, OurStreamPlaysInItsPipelineWithEachChannelsTone) {
    constexpr int kBlocks = 500;  // 2 s at the real rate
    const std::string wav = (folder / "out.wav").string();
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
        if (gst.Running()) {
            Session session(false, port);
            float block[2][kFrames];
            const Clock::time_point start = Clock::now();
            for (int b = 0; b < kBlocks; ++b) {
                for (std::uint32_t i = 0; i < kFrames; ++i) {
                    const double phase = 2 * M_PI * double(b * kFrames + i) / kRate;
                    block[0][i] = kAmplitude * static_cast<float>(std::sin(kTones[1][0] * phase));
                    block[1][i] = kAmplitude * static_cast<float>(std::sin(kTones[1][1] * phase));
                }
                session.rtp->SendAudio({block[0], block[1]}, kFrames);
                std::this_thread::sleep_until(start + std::chrono::microseconds(4000) * (b + 1));
            }
            session.rtp->Stop();
            // An interrupt makes gst-launch end the stream, so the recording is complete.
            EXPECT_EQ(gst.Stop(SIGINT), 0) << FileText(log);
        }
        got = ReadWav(wav);
    }
    ASSERT_EQ(got.size(), 2u) << "no 2-channel 48 kHz recording; the pipeline said:\n" << FileText(log);
    EXPECT_NEAR(double(got[0].size()), 0.875 * kBlocks * kFrames, 0.175 * kBlocks * kFrames) << "frames";
    ExpectTones(got, kTones[1]);
}

}  // namespace
