// Feeds arbitrary datagrams into the RTP receive path: a session with one or two receive streams takes
// each datagram through a channel's checks (from the source or from another sender) or straight into the
// manager, and reads blocks in between. Every datagram that passes a channel must be counted exactly once
// (taken, late, foreign or malformed), every read must count one block per stream, and every sample
// handed out must be silence or a level within the 24-bit or 16-bit range.
//
// Input: three bytes of session settings (streams and their payload types, window, latency), then
// records of [length][flags][length bytes]. Flags: bit 0 the stream, bit 1 straight into the manager,
// bit 2 from another sender, bit 3 read a block afterwards, bit 4 a block of 192 frames (else 4), bit 5
// a minute passes first.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/environment.h"
#include "rtp/rtp_manager.h"

namespace {

using namespace Network;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "rtp_fuzz: %s\n", what);
    std::abort();
}

class StepClock final : public IClock {
public:
    std::int64_t NowMs() noexcept override { return now_.load(); }
    void Step(std::int64_t ms) { now_.fetch_add(ms); }

private:
    std::atomic<std::int64_t> now_{1000000};
};

// The process log goes to a folder of the fuzzer's own, not next to the binary.
const bool kLogReady = UseProcessDebugLogFolder(std::filesystem::temp_directory_path() / "norvane-rtp-fuzz");

std::uint64_t Counted(const RtpStreamStats& s) {
    return s.packets_received + s.late_packets + s.foreign_dropped + s.malformed_dropped;
}

std::uint64_t Blocks(const RtpStreamStats& s) {
    return s.blocks_played + s.silent_blocks + s.bad_blocks + s.fill_blocks;
}

void Read(RtpAudioManager& audio, std::size_t channels, std::uint32_t frames) {
    std::vector<std::vector<float>> buffers(channels, std::vector<float>(frames, 9.0f));
    std::vector<float*> pointers;
    for (auto& b : buffers) {
        pointers.push_back(b.data());
    }
    std::vector<std::uint64_t> before;
    for (std::size_t i = 0; i < audio.GetRecvChanCount(); ++i) {
        before.push_back(Blocks(audio.GetRecvStreamStats(i)));
    }
    audio.RecvAudio(pointers, frames);
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (Blocks(audio.GetRecvStreamStats(i)) != before[i] + 1) {
            Fail("a read did not count exactly one block per stream");
        }
    }
    for (const auto& b : buffers) {
        for (const float v : b) {
            if (!std::isfinite(v) || std::fabs(v) > 1.0001f) {
                Fail("a sample out of range was handed out");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)kLogReady;
    if (size < 3) {
        return 0;
    }
    static const std::uint8_t kTypes[] = {0, 100, 72, 94};
    StepClock clock;
    RtpManagerInfo info;
    info.SampleFreq = 48000;
    info.PacketSmplSize = 192;
    info.buffer_window = 1u + data[1] % 32u;
    info.start_latency = data[2] % info.buffer_window;
    const std::size_t streams = 1u + (data[0] & 1u);
    for (std::size_t i = 0; i < streams; ++i) {
        RtpRecvChanInfo rec;
        rec.payload_type = kTypes[(data[0] >> (1 + 2 * i)) & 3u];
        rec.source = SockAddr(L"127.0.0.1", 0);
        info.recv_chans.push_back(rec);
    }
    RtpAudioManager audio(ComponentInfo{L"fuzz"}, nullptr, &clock);
    ErrInfo init = audio.Init(info);
    if (!init.IsOk()) {
        Fail("a valid session did not start");
    }
    const SockAddr source(L"127.0.0.1", 5004), other(L"127.0.0.2", 5004);

    std::size_t at = 3;
    while (at + 2 <= size) {
        const std::size_t length = data[at];
        const std::uint8_t flags = data[at + 1];
        at += 2;
        const std::size_t n = length < size - at ? length : size - at;
        auto datagram = std::make_shared<Packet>();
        datagram->Assign(data + at, n);
        at += n;
        if (flags & 0x20u) {
            clock.Step(61000);
        }
        const std::size_t stream = (flags & 1u) % streams;
        const std::shared_ptr<RtpRecvChan> chan = audio.Inner().GetRecvChan(stream);
        const std::uint64_t before = Counted(chan->Stats());
        if (flags & 2u) {
            audio.Inner().OnRtpPacket(chan.get(), datagram);
            if (Counted(chan->Stats()) != before + (n >= kRtpHeaderSize ? 1 : 0)) {
                Fail("a packet handed to the manager was not counted once");
            }
        } else if (n > 0) {
            chan->OnDatagramReceived(nullptr, datagram, (flags & 4u) ? other : source);
            if (Counted(chan->Stats()) != before + 1) {
                Fail("a datagram was not counted exactly once");
            }
        }
        if (flags & 8u) {
            std::size_t channels = 0;
            for (std::size_t i = 0; i < streams; ++i) {
                channels += audio.Inner().GetRecvChan(i)->ExpectedChannels();
            }
            Read(audio, channels, (flags & 0x10u) ? 192u : 4u);
        }
    }
    audio.Stop();
    return 0;
}
