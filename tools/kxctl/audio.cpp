// WAV writers, level meters and the audio block queue of kxctl (see audio.h).

#include "kxctl/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#ifdef NORVANE_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace Kxctl {

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::int32_t FloatToPcm24(float sample) noexcept {
    if (!(sample == sample)) {
        return 0;
    }
    const double scaled = std::round(static_cast<double>(sample) * kPcm24Max);
    return static_cast<std::int32_t>(std::clamp(scaled, double{kPcm24Min}, double{kPcm24Max}));
}

namespace {

constexpr std::size_t kHeaderSize = 44;
constexpr std::uint64_t kMaxRiffSize = 0xFFFFFFFFull;

void PutLe(unsigned char* at, std::uint32_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

class BuiltInWavWriter final : public IWavWriter {
public:
    BuiltInWavWriter(std::uint32_t channels, std::uint32_t rate) : channels_(channels), rate_(rate) {}
    ~BuiltInWavWriter() override { (void)Close(); }

    bool Open(const std::filesystem::path& path, std::string& error) {
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) {
            error = "cannot create '" + PathText(path) + "'";
            return false;
        }
        path_ = PathText(path);
        unsigned char header[kHeaderSize] = {};
        WriteHeader(header);
        file_.write(reinterpret_cast<const char*>(header), kHeaderSize);
        if (!file_) {
            error = "cannot write to '" + path_ + "'";
            return false;
        }
        return true;
    }

    bool Write(const std::int32_t* interleaved, std::size_t frames) override {
        if (closed_ || !error_.empty()) {
            return false;
        }
        const std::size_t samples = frames * channels_;
        // The RIFF size counts the header after its first 8 bytes, the data and a pad byte.
        if (kHeaderSize - 8 + data_bytes_ + samples * 3 + 1 > kMaxRiffSize) {
            error_ = "'" + path_ + "' would pass the 4 GiB limit of a WAV file";
            return false;
        }
        buffer_.resize(samples * 3);
        for (std::size_t i = 0; i < samples; ++i) {
            PutLe(&buffer_[i * 3], static_cast<std::uint32_t>(interleaved[i]), 3);
        }
        file_.write(reinterpret_cast<const char*>(buffer_.data()),
                    static_cast<std::streamsize>(buffer_.size()));
        if (!file_) {
            error_ = "cannot write to '" + path_ + "'";
            return false;
        }
        data_bytes_ += buffer_.size();
        return true;
    }

    bool Close() override {
        if (closed_) {
            return close_result_;
        }
        closed_ = true;
        if (data_bytes_ % 2 != 0) {
            file_.put('\0');  // chunks are padded to an even size
        }
        unsigned char header[kHeaderSize] = {};
        WriteHeader(header);
        file_.seekp(0);
        file_.write(reinterpret_cast<const char*>(header), kHeaderSize);
        file_.close();
        close_result_ = !file_.fail() && error_.empty();
        if (!close_result_ && error_.empty()) {
            error_ = "cannot complete '" + path_ + "'";
        }
        return close_result_;
    }

    [[nodiscard]] std::string Error() const override { return error_; }

private:
    void WriteHeader(unsigned char* h) const {
        const std::uint32_t block_align = channels_ * 3;
        const auto data = static_cast<std::uint32_t>(data_bytes_);
        std::memcpy(h, "RIFF", 4);
        PutLe(h + 4, static_cast<std::uint32_t>(kHeaderSize - 8 + data_bytes_ + data_bytes_ % 2), 4);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        PutLe(h + 16, 16, 4);  // fmt chunk size
        PutLe(h + 20, 1, 2);   // PCM
        PutLe(h + 22, channels_, 2);
        PutLe(h + 24, rate_, 4);
        PutLe(h + 28, rate_ * block_align, 4);
        PutLe(h + 32, block_align, 2);
        PutLe(h + 34, 24, 2);
        std::memcpy(h + 36, "data", 4);
        PutLe(h + 40, data, 4);
    }

    std::uint32_t channels_;
    std::uint32_t rate_;
    std::ofstream file_;
    std::string path_;
    std::uint64_t data_bytes_ = 0;
    std::vector<unsigned char> buffer_;
    std::string error_;
    bool closed_ = false;
    bool close_result_ = false;
};

#ifdef NORVANE_HAVE_SNDFILE
class SndfileWavWriter final : public IWavWriter {
public:
    explicit SndfileWavWriter(std::uint32_t channels) : channels_(channels) {}
    ~SndfileWavWriter() override { (void)Close(); }

    bool Open(const std::filesystem::path& path, std::uint32_t rate, std::string& error) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(rate);
        info.channels = static_cast<int>(channels_);
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        path_ = PathText(path);
        file_ = sf_open(path_.c_str(), SFM_WRITE, &info);
        if (file_ == nullptr) {
            error = "cannot create '" + path_ + "': " + sf_strerror(nullptr);
            return false;
        }
        return true;
    }

    bool Write(const std::int32_t* interleaved, std::size_t frames) override {
        if (file_ == nullptr || !error_.empty()) {
            return false;
        }
        // libsndfile's int samples are 32-bit: the 24-bit value in the upper three bytes.
        buffer_.resize(frames * channels_);
        for (std::size_t i = 0; i < buffer_.size(); ++i) {
            buffer_[i] = static_cast<int>(static_cast<std::uint32_t>(interleaved[i]) << 8);
        }
        const sf_count_t written = sf_writef_int(file_, buffer_.data(), static_cast<sf_count_t>(frames));
        if (written != static_cast<sf_count_t>(frames)) {
            error_ = "cannot write to '" + path_ + "': " + sf_strerror(file_);
            return false;
        }
        return true;
    }

    bool Close() override {
        if (file_ != nullptr) {
            const int result = sf_close(file_);
            file_ = nullptr;
            if (result != 0 && error_.empty()) {
                error_ = "cannot complete '" + path_ + "': " + sf_error_number(result);
            }
        }
        return error_.empty();
    }

    [[nodiscard]] std::string Error() const override { return error_; }

private:
    std::uint32_t channels_;
    SNDFILE* file_ = nullptr;
    std::string path_;
    std::vector<int> buffer_;
    std::string error_;
};
#endif

}  // namespace

std::unique_ptr<IWavWriter> OpenBuiltInWavWriter(const std::filesystem::path& path, std::uint32_t channels,
                                                 std::uint32_t sample_rate, std::string& error) {
    auto writer = std::make_unique<BuiltInWavWriter>(channels, sample_rate);
    if (!writer->Open(path, error)) {
        return nullptr;
    }
    return writer;
}

std::unique_ptr<IWavWriter> OpenWavWriter(const std::filesystem::path& path, std::uint32_t channels,
                                          std::uint32_t sample_rate, std::string& error) {
#ifdef NORVANE_HAVE_SNDFILE
    auto writer = std::make_unique<SndfileWavWriter>(channels);
    if (!writer->Open(path, sample_rate, error)) {
        return nullptr;
    }
    return writer;
#else
    return OpenBuiltInWavWriter(path, channels, sample_rate, error);
#endif
}

const char* WavWriterName() {
#ifdef NORVANE_HAVE_SNDFILE
    return "libsndfile";
#else
    return "built-in";
#endif
}

// ---- levels ----

void LevelMeter::Add(const float* samples, std::size_t count, std::size_t stride) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double v = samples[i * stride];
        sum_squares_ += v * v;
        peak_ = std::max(peak_, std::abs(v));
    }
    count_ += count;
}

double LevelMeter::Rms() const noexcept {
    return count_ == 0 ? 0.0 : std::sqrt(sum_squares_ / static_cast<double>(count_));
}

double Dbfs(double level) noexcept {
    return level > 0.0 ? 20.0 * std::log10(level) : -std::numeric_limits<double>::infinity();
}

std::string FormatDbfs(double level) {
    if (!(level > 0.0)) {
        return "-inf";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", Dbfs(level));
    return text;
}

std::string LevelBar(double peak, double rms, std::size_t width) {
    // Cells lit for a level: none at or below -60 dBFS, all at 0 dBFS.
    auto cells = [width](double level) {
        const double fraction = std::clamp((Dbfs(level) + 60.0) / 60.0, 0.0, 1.0);
        return static_cast<std::size_t>(std::lround(fraction * static_cast<double>(width)));
    };
    const std::size_t lit = cells(rms);
    const std::size_t to_peak = std::max(lit, cells(peak));
    std::string bar;
    bar.reserve(width + 2);
    bar += '[';
    bar.append(lit, '#');
    bar.append(to_peak - lit, '-');
    bar.append(width - to_peak, ' ');
    bar += ']';
    return bar;
}

std::string ChannelName(std::size_t index) {
    return "tuner " + std::to_string(index / 2 + 1) + (index % 2 == 0 ? " left" : " right");
}

// ---- the queue ----

BlockQueue::BlockQueue(std::size_t channels, std::size_t max_frames, std::size_t slots)
    : channels_(channels), max_frames_(max_frames), samples_(channels * max_frames * slots), frames_(slots) {}

bool BlockQueue::Push(const std::vector<float*>& channels, std::size_t frames) noexcept {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (frames > max_frames_ || head - tail_.load(std::memory_order_acquire) >= frames_.size()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const std::size_t slot = static_cast<std::size_t>(head % frames_.size());
    float* out = samples_.data() + slot * channels_ * max_frames_;
    for (std::size_t c = 0; c < channels_; ++c, out += max_frames_) {
        if (c < channels.size() && channels[c] != nullptr) {
            std::memcpy(out, channels[c], frames * sizeof(float));
        } else {
            std::fill_n(out, frames, 0.0f);
        }
    }
    frames_[slot] = frames;
    head_.store(head + 1, std::memory_order_release);
    return true;
}

BlockQueue::Block BlockQueue::Front() const noexcept {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) {
        return {};
    }
    const std::size_t slot = static_cast<std::size_t>(tail % frames_.size());
    return {samples_.data() + slot * channels_ * max_frames_, frames_[slot]};
}

void BlockQueue::Pop() noexcept {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail != head_.load(std::memory_order_acquire)) {
        tail_.store(tail + 1, std::memory_order_release);
    }
}

std::size_t QueueSlotsFor(std::size_t channels, std::size_t max_frames) {
    constexpr std::size_t kBudgetBytes = 16u << 20;
    const std::size_t slot_bytes = std::max<std::size_t>(1, channels * max_frames * sizeof(float));
    return std::clamp<std::size_t>(kBudgetBytes / slot_bytes, 16, 500);
}

}  // namespace Kxctl
