// kxctl's audio: WAV files of 24-bit PCM, channel levels in dBFS, and the bounded queue that carries
// blocks from the SDK's audio thread to the thread that writes and measures them.
//
// The audio callback only copies a block into a free slot of the queue (no allocation, no lock, no file);
// when every slot is taken the block is dropped and counted. The main thread takes the blocks in order,
// writes them to the file and feeds the level meters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <norvane/sdk.h>

#include "json/value.h"

namespace Kxctl {

// The extremes of a 24-bit sample.
inline constexpr std::int32_t kPcm24Max = 8388607;
inline constexpr std::int32_t kPcm24Min = -8388608;

// A path as UTF-8 text, for messages.
[[nodiscard]] std::string PathText(const std::filesystem::path& path);

// A float sample (full scale +-1.0, as the SDK delivers it) as the 24-bit value it came from: scaled by
// 8388607, rounded to the nearest, clamped to the 24-bit range; NaN gives 0.
[[nodiscard]] std::int32_t FloatToPcm24(float sample) noexcept;

// Writes one WAV file of 24-bit PCM, frames of interleaved samples. Close completes the header; a writer
// destroyed without Close closes the file the same way, so an interrupted recording leaves a file every
// reader takes.
class IWavWriter {
public:
    virtual ~IWavWriter() = default;
    // Appends `frames` frames of `channels` samples each (24-bit values, see FloatToPcm24). False, with
    // the reason in Error(), when the file cannot take them (a full disk, the 4 GiB limit of the format).
    virtual bool Write(const std::int32_t* interleaved, std::size_t frames) = 0;
    // Writes the sizes into the header and closes the file; false when that fails. Further calls do
    // nothing and return the first result.
    virtual bool Close() = 0;
    [[nodiscard]] virtual std::string Error() const = 0;
};

// The writer kxctl uses: libsndfile's where kxctl was built with it, the built-in one otherwise. Null,
// with the reason in `error`, when the file cannot be created.
std::unique_ptr<IWavWriter> OpenWavWriter(const std::filesystem::path& path, std::uint32_t channels,
                                          std::uint32_t sample_rate, std::string& error);
// The built-in writer: a 44-byte RIFF/WAVE header (PCM, 24 bits) and the data chunk, whose sizes are
// written when the file is closed.
std::unique_ptr<IWavWriter> OpenBuiltInWavWriter(const std::filesystem::path& path, std::uint32_t channels,
                                                 std::uint32_t sample_rate, std::string& error);
// "libsndfile" or "built-in".
[[nodiscard]] const char* WavWriterName();

// Peak and RMS of one channel over the samples added since the last Reset.
class LevelMeter {
public:
    void Add(const float* samples, std::size_t count, std::size_t stride = 1) noexcept;
    void Reset() noexcept { *this = LevelMeter{}; }
    [[nodiscard]] double Peak() const noexcept { return peak_; }
    [[nodiscard]] double Rms() const noexcept;
    [[nodiscard]] std::uint64_t Samples() const noexcept { return count_; }

private:
    double sum_squares_ = 0.0;
    double peak_ = 0.0;
    std::uint64_t count_ = 0;
};

// 20*log10(level), full scale 1.0; -infinity for 0.
[[nodiscard]] double Dbfs(double level) noexcept;
// Dbfs with one decimal ("-6.0"), or "-inf" for silence.
[[nodiscard]] std::string FormatDbfs(double level);
// A meter line: "[####----......]" `width` cells wide over -60..0 dBFS, '#' up to the RMS, '-' on to
// the peak.
[[nodiscard]] std::string LevelBar(double peak, double rms, std::size_t width);
// One row per channel: its name, with `bar` the LevelBar, the peak and the RMS in dBFS ("-" for a
// channel that had no samples).
[[nodiscard]] std::string LevelsTable(const std::vector<LevelMeter>& meters, bool bar);
// [{"channel","peak_dbfs","rms_dbfs"}, ...]: dBFS to 0.01, null for silence or no samples.
[[nodiscard]] JSON::Value LevelsJson(const std::vector<LevelMeter>& meters);
// "tuner 1 left", "tuner 1 right", "tuner 2 left", ...: channel `index` counted from 0.
[[nodiscard]] std::string ChannelName(std::size_t index);

// Blocks of audio from one producer thread (the SDK's audio callback) to one consumer thread. Every slot
// is allocated up front and holds one block of up to `max_frames` frames of every channel.
class BlockQueue {
public:
    BlockQueue(std::size_t channels, std::size_t max_frames, std::size_t slots);

    // Producer: copies one block (one pointer per channel, null or missing channels as silence). False,
    // and counted as dropped, when every slot is full or the block is longer than `max_frames`.
    bool Push(const std::vector<float*>& channels, std::size_t frames) noexcept;

    // Consumer: the oldest block, channel c at Samples() + c * MaxFrames(); null when the queue is empty.
    // Pop frees it.
    struct Block {
        const float* samples = nullptr;
        std::size_t frames = 0;
    };
    [[nodiscard]] Block Front() const noexcept;
    void Pop() noexcept;

    [[nodiscard]] std::size_t Channels() const noexcept { return channels_; }
    [[nodiscard]] std::size_t MaxFrames() const noexcept { return max_frames_; }
    [[nodiscard]] std::size_t Slots() const noexcept { return frames_.size(); }
    [[nodiscard]] std::uint64_t Dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    std::size_t channels_;
    std::size_t max_frames_;
    std::vector<float> samples_;          // slot s at s * channels_ * max_frames_
    std::vector<std::size_t> frames_;     // frames of each slot
    std::atomic<std::uint64_t> head_{0};  // blocks pushed
    std::atomic<std::uint64_t> tail_{0};  // blocks popped
    std::atomic<std::uint64_t> dropped_{0};
};

// The slots a queue for `channels` x `max_frames` gets: 2 seconds of 4 ms blocks (500) where that fits
// in 16 MiB, fewer for many channels, at least 16.
[[nodiscard]] std::size_t QueueSlotsFor(std::size_t channels, std::size_t max_frames);

// A device's audio on its way to kxctl: Start has the SDK's callback fill a BlockQueue; Drain, on the
// caller's thread, feeds the level meters and hands the frames on.
class AudioTap {
public:
    AudioTap() = default;
    AudioTap(const AudioTap&) = delete;
    AudioTap& operator=(const AudioTap&) = delete;
    ~AudioTap() { Stop(); }

    // Starts audio on `device`, which must outlive the tap, receiving on local ports from `rtp_port` (0:
    // the system's choice). False, with the reason, when the device does not start.
    bool Start(Norvane::SDK::IKx410& device, std::uint16_t rtp_port, std::string& reason);
    // Reads the streams' counters into `stats` (when given) while audio still runs, then stops it. Does
    // nothing once stopped.
    void Stop(std::vector<Norvane::SDK::StreamStatistics>* stats = nullptr);
    // Takes the queued blocks, at most `frame_limit` frames in all (the rest of a block cut there is
    // discarded): adds them to the meters and, when `sink` is given, hands them on as interleaved 24-bit
    // samples; a sink that returns false ends the drain. Returns the frames taken.
    using Sink = std::function<bool(const std::int32_t* interleaved, std::size_t frames)>;
    std::uint64_t Drain(std::uint64_t frame_limit, const Sink& sink);

    [[nodiscard]] std::vector<LevelMeter>& Meters() noexcept { return meters_; }
    [[nodiscard]] std::size_t Channels() const noexcept { return meters_.size(); }
    [[nodiscard]] std::uint64_t Dropped() const noexcept { return queue_ ? queue_->Dropped() : 0; }

private:
    Norvane::SDK::IKx410* device_ = nullptr;
    std::unique_ptr<BlockQueue> queue_;
    std::vector<LevelMeter> meters_;
    std::vector<std::int32_t> interleaved_;
};

}  // namespace Kxctl
