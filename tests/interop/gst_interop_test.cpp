// The RTP session against a stack written elsewhere: GStreamer's command-line pipelines, one per test,
// run as a child program. Its L24 stream (payload type 100, 192 frames a packet) becomes the application's
// blocks with each channel's tone, and the stream the library sends plays in its pipeline with each
// channel's tone, level and length. Skipped where gst-launch-1.0 or one of its elements is missing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "net/net_manager.h"
#include "rtp/rtp.h"
#include "temp_folder.h"
#include "wait.h"

namespace {

using namespace testing_support;
using Network::RtpManagerInfo;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 192;  // 4 ms
constexpr double kPi = 3.14159265358979323846;
constexpr float kAmplitude = 0.5f;
const std::string kRtpCaps =
    "application/x-rtp,media=audio,clock-rate=48000,encoding-name=L24,channels=2,payload=100";

// Empty when gst-launch-1.0 and every element the pipelines use are there; else what is missing.
std::string MissingGst() {
    static const std::string missing = [] {
        if (FindOnPath("gst-launch-1.0").empty()) {
            return std::string("gst-launch-1.0");
        }
        for (const char* e : {"audiotestsrc", "interleave", "audioconvert", "rtpL24pay", "udpsink", "udpsrc",
                              "rtpjitterbuffer", "rtpL24depay", "audiorate", "wavenc", "filesink"}) {
            if (RunProgram({"gst-inspect-1.0", "--exists", e}) != 0) {
                return std::string(e);
            }
        }
        return std::string();
    }();
    return missing;
}

// A command line split at spaces (no argument here has one).
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

std::string FileText(const std::string& path) {
    std::ifstream f(path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

#define SKIP_WITHOUT_GST()                                                            \
    if (const std::string missing = MissingGst(); !missing.empty()) {                 \
        GTEST_SKIP() << "GStreamer is not complete here (" << missing << " missing)"; \
    }

struct Channel {
    double hz = 0;   // median over the windows that carry sound; 0 when none does
    double rms = 0;  // median of those windows
    std::size_t windows = 0;
};

// Frequency by zero crossings and level, in 100 ms windows, skipping windows of near silence (gaps where
// packets were missing): a gap changes neither figure.
Channel Measure(const std::vector<float>& x) {
    constexpr std::size_t kWindow = kRate / 10;
    std::vector<double> hz;
    std::vector<double> rms;
    for (std::size_t start = 0; start + kWindow <= x.size(); start += kWindow) {
        double energy = 0;
        int crossings = 0;
        for (std::size_t i = start; i < start + kWindow; ++i) {
            energy += double{x[i]} * x[i];
            crossings += i > start && (x[i - 1] < 0) != (x[i] < 0);
        }
        const double level = std::sqrt(energy / kWindow);
        if (level > 0.05) {
            hz.push_back(crossings * double{kRate} / (2.0 * kWindow));
            rms.push_back(level);
        }
    }
    if (hz.empty()) {
        return {};
    }
    std::sort(hz.begin(), hz.end());
    std::sort(rms.begin(), rms.end());
    return {hz[hz.size() / 2], rms[rms.size() / 2], hz.size()};
}

void ExpectTone(const Channel& c, double hz, const char* which) {
    if (c.windows < 5) {
        ADD_FAILURE() << which << ": " << c.windows << " windows of 100 ms with sound, 5 at least expected";
        return;
    }
    EXPECT_NEAR(c.hz, hz, hz * 0.03) << which;
    EXPECT_NEAR(c.rms, kAmplitude / std::sqrt(2.0), 0.035) << which << ": level";
}

// A port the system gives a UDP socket on 127.0.0.1, free again when this returns (another program may
// take it first: callers retry once).
std::uint16_t FreeUdpPort() {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : 0;
}

// Whether process `pid` holds a socket bound to UDP port `port`: the kernel's table of IPv4 UDP sockets
// names the socket's inode, and the process's descriptors link to it.
bool UdpPortBoundBy(pid_t pid, std::uint16_t port) {
    char local[16];
    std::snprintf(local, sizeof local, "%04X", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
            inode;
        if (address.substr(address.find(':') + 1) != local) {
            continue;
        }
        std::error_code ec;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            if (std::filesystem::read_symlink(fd.path(), ec).string() == "socket:[" + inode + "]") {
                return true;
            }
        }
    }
    return false;
}

// The samples of a PCM WAV file of 16, 24 or 32 bits, one vector per channel. A data chunk whose size is
// missing or past the end (a recording cut short) is read to the end of the file.
struct Wav {
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t rate = 0;
    std::vector<std::vector<float>> samples;
};

bool ReadWav(const std::string& path, Wav& wav) {
    std::ifstream f(path, std::ios::binary);
    const std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto u16 = [&b](std::size_t at) { return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8)); };
    const auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
        std::string(b.begin() + 8, b.begin() + 12) != "WAVE") {
        return false;
    }
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::string id(b.begin() + static_cast<std::ptrdiff_t>(at),
                             b.begin() + static_cast<std::ptrdiff_t>(at + 4));
        std::size_t size = u32(at + 4);
        at += 8;
        if (id == "fmt " && size >= 16 && at + 16 <= b.size()) {
            if (u16(at) != 1) {
                return false;  // not integer PCM
            }
            wav.channels = static_cast<std::uint16_t>(u16(at + 2));
            wav.rate = u32(at + 4);
            wav.bits = static_cast<std::uint16_t>(u16(at + 14));
        } else if (id == "data") {
            const std::size_t bytes = wav.bits / 8;
            if (wav.channels == 0 || (bytes != 2 && bytes != 3 && bytes != 4)) {
                return false;
            }
            size = std::min(size == 0 ? b.size() : size, b.size() - at);
            wav.samples.assign(wav.channels, {});
            for (std::size_t p = at; p + bytes * wav.channels <= at + size;) {
                for (auto& channel : wav.samples) {
                    std::uint32_t word = 0;
                    for (std::size_t k = 0; k < bytes; ++k) {
                        word |= std::uint32_t{b[p++]} << (32 - 8 * (bytes - k));
                    }
                    channel.push_back(static_cast<float>(static_cast<std::int32_t>(word) / 2147483648.0));
                }
            }
            return true;
        }
        at += size + (size & 1);
    }
    return false;
}

// The session under test on a socket service of its own.
struct Session {
    std::shared_ptr<Network::NetManager> net =
        Network::NetManager::Create(ComponentInfo{L"interop net"}, true);
    std::shared_ptr<Network::IRtpAudioManager> rtp =
        Network::CreateRtpAudioManager(ComponentInfo{L"interop rtp"}, net.get());

    static RtpManagerInfo Info() {
        RtpManagerInfo info;
        info.SampleFreq = kRate;
        info.PacketSmplSize = kFrames;
        return info;
    }
    ~Session() { rtp->Stop(); }
};

// The application: reads one block per notification and keeps both channels.
class Recorder : public Network::ISyncTarget {
public:
    Network::IRtpAudio* audio = nullptr;

    void OnSync(Network::ISyncSource*, std::int64_t position, std::uint32_t) override {
        if (position < 0) {
            return;  // a (re)lock: reading is not allowed within this call
        }
        std::vector<float> left(kFrames);
        std::vector<float> right(kFrames);
        audio->RecvAudio({left.data(), right.data()}, kFrames);
        std::lock_guard<std::mutex> lock(mutex_);
        left_.insert(left_.end(), left.begin(), left.end());
        right_.insert(right_.end(), right.begin(), right.end());
    }
    std::size_t Blocks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return left_.size() / kFrames;
    }
    std::vector<float> Left() {
        std::lock_guard<std::mutex> lock(mutex_);
        return left_;
    }
    std::vector<float> Right() {
        std::lock_guard<std::mutex> lock(mutex_);
        return right_;
    }

private:
    std::mutex mutex_;
    std::vector<float> left_;
    std::vector<float> right_;
};

TEST(GstInterop, ItsL24StreamBecomesBlocksWithEachChannelsTone) {
    SKIP_WITHOUT_GST();
    Recorder recorder;  // outlives the session that calls it
    Session session;
    recorder.audio = session.rtp.get();
    RtpManagerInfo info = Session::Info();
    info.recv_chans.resize(1);
    info.recv_chans[0].Set(L"127.0.0.1", L"", 0);
    info.recv_chans[0].payload_type = 100;
    ASSERT_TRUE(session.rtp->Init(info).IsOk());
    session.rtp->AddTarget(&recorder);
    ASSERT_TRUE(session.rtp->Start().IsOk());
    const std::uint16_t port = session.rtp->GetRecvChanAddr(0).GetPort();
    ASSERT_NE(port, 0);

    // A live source per channel (440 Hz left, 1000 Hz right), one 192-frame buffer each; the payloader
    // is held to 4 ms packets as well.
    TempFolder folder("gst-send");
    ChildProcess gst;
    const std::string source = " ! audio/x-raw,rate=48000,channels=1 ! i.";
    ASSERT_TRUE(gst.Start(
        Words("gst-launch-1.0 -q interleave name=i ! audioconvert"
              " ! audio/x-raw,format=S24BE,rate=48000,channels=2"
              " ! rtpL24pay pt=100 min-ptime=4000000 max-ptime=4000000"
              " ! udpsink host=127.0.0.1 port=" +
              std::to_string(port) + " audiotestsrc is-live=true freq=440 volume=0.5 samplesperbuffer=192" +
              source + " audiotestsrc is-live=true freq=1000 volume=0.5 samplesperbuffer=192" + source),
        (folder / "gst.log").string()));
    // 1.5 s of blocks after the first one with sound; a stream that never gives sound ends the wait after
    // 6 s of blocks, and the counters below say why.
    WaitUntil(
        [&] { return Measure(recorder.Left()).windows >= 15 || recorder.Blocks() >= 1500 || !gst.Running(); },
        milliseconds(60000));
    EXPECT_TRUE(gst.Running()) << "the sending pipeline ended early:\n" << FileText(folder / "gst.log");
    gst.Stop();
    const Network::RtpStreamStats stats = session.rtp->GetRecvStreamStats(0);  // gone with the channels
    session.rtp->Stop();

    ExpectTone(Measure(recorder.Left()), 440, "left");
    ExpectTone(Measure(recorder.Right()), 1000, "right");
    EXPECT_GT(stats.packets_received, 300u);
    EXPECT_EQ(stats.malformed_dropped, 0u);
    EXPECT_EQ(stats.bad_blocks, 0u) << "packets of a frame count other than 192";
    EXPECT_GT(stats.blocks_played, 300u);
}

TEST(GstInterop, OurStreamPlaysInItsPipelineWithEachChannelsTone) {
    SKIP_WITHOUT_GST();
    TempFolder folder("gst-recv");
    const std::string wavPath = (folder / "out.wav").string();
    ChildProcess gst;
    std::uint16_t port = 0;
    // The port is free when chosen, but another program may take it before the pipeline binds it: then
    // the pipeline ends at once, and one more port is tried.
    for (int attempt = 0; attempt < 2 && port == 0; ++attempt) {
        const std::uint16_t candidate = FreeUdpPort();
        ASSERT_NE(candidate, 0);
        ASSERT_TRUE(gst.Start(
            Words("gst-launch-1.0 -e udpsrc address=127.0.0.1 reuse=false port=" + std::to_string(candidate) +
                  " caps=" + kRtpCaps + " ! rtpjitterbuffer ! rtpL24depay ! audiorate ! audioconvert" +
                  " ! audio/x-raw,format=S24LE ! wavenc ! filesink location=" + wavPath),
            (folder / "gst.log").string()));
        if (WaitUntil([&] { return UdpPortBoundBy(gst.Pid(), candidate) || !gst.Running(); },
                      milliseconds(30000)) &&
            gst.Running()) {
            port = candidate;
        } else {
            gst.Stop(SIGKILL);
        }
    }
    ASSERT_NE(port, 0) << "the receiving pipeline did not start:\n" << FileText(folder / "gst.log");

    Session session;
    RtpManagerInfo info = Session::Info();
    info.send_chans.resize(1);
    info.send_chans[0].Set(L"127.0.0.1", L"", port);
    info.send_chans[0].payload_type = 100;
    ASSERT_TRUE(session.rtp->Init(info).IsOk());
    ASSERT_TRUE(session.rtp->Start().IsOk());

    // 2 s at the real rate: 750 Hz left, 1250 Hz right.
    constexpr int kBlocks = 500;
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    const Clock::time_point start = Clock::now();
    for (int b = 0; b < kBlocks; ++b) {
        for (std::uint32_t i = 0; i < kFrames; ++i) {
            const double t = double(b * kFrames + i) / kRate;
            left[i] = kAmplitude * static_cast<float>(std::sin(2 * kPi * 750 * t));
            right[i] = kAmplitude * static_cast<float>(std::sin(2 * kPi * 1250 * t));
        }
        session.rtp->SendAudio({left.data(), right.data()}, kFrames);
        std::this_thread::sleep_until(start + std::chrono::microseconds(4000) * (b + 1));
    }
    session.rtp->Stop();
    // An interrupt makes gst-launch end the stream, so the recording is complete.
    EXPECT_EQ(gst.Stop(SIGINT, milliseconds(30000)), 0) << FileText(folder / "gst.log");

    Wav wav;
    ASSERT_TRUE(ReadWav(wavPath, wav)) << "no PCM recording; the pipeline said:\n"
                                       << FileText(folder / "gst.log");
    EXPECT_EQ(wav.rate, kRate);
    ASSERT_EQ(wav.channels, 2);
    const double sent = double{kBlocks} * kFrames;
    EXPECT_GE(wav.samples[0].size(), 0.7 * sent) << "of " << sent << " frames sent";
    EXPECT_LE(wav.samples[0].size(), 1.05 * sent) << "of " << sent << " frames sent";
    ExpectTone(Measure(wav.samples[0]), 750, "left");
    ExpectTone(Measure(wav.samples[1]), 1250, "right");
}

}  // namespace
