// kxctl record, the audio tap it shares with monitor --levels, and the interrupt flag of the process.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kxctl/audio.h"
#include "kxctl/kxctl_lib.h"
#include "platform/utf8.h"

namespace Kxctl {

using Norvane::SDK::StreamStatistics;

namespace {

// How long a recording may wait for audio beyond its own length before it ends with what it has.
constexpr std::chrono::seconds kAudioGrace{10};
// How often the main thread looks for blocks, the interrupt and the end; the queue holds far more.
constexpr std::chrono::milliseconds kPollInterval{10};
constexpr std::chrono::milliseconds kProgressInterval{100};
constexpr std::size_t kBarWidth = 30;

std::string Fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// A dBFS figure for JSON: rounded to 0.01, null for silence (JSON has no infinity).
void PutDbfs(JSON::Value& value, double level) {
    if (level > 0.0) {
        value.SetDouble(std::round(Dbfs(level) * 100.0) / 100.0);
    } else {
        value.SetLiteral(JSON::kNull);
    }
}

struct RecordResult {
    std::string file;
    std::uint32_t rate = 0;
    std::uint64_t frames = 0;
    std::uint64_t target = 0;
    std::uint64_t dropped = 0;
    bool interrupted = false;
    std::vector<LevelMeter> levels;
    std::vector<StreamStatistics> streams;
};

std::vector<std::pair<const wchar_t*, std::uint64_t>> StreamFields(const StreamStatistics& s) {
    return {{L"packets_received", s.packets_received},
            {L"duplicate_packets", s.duplicate_packets},
            {L"late_packets", s.late_packets},
            {L"foreign_dropped", s.foreign_dropped},
            {L"malformed_dropped", s.malformed_dropped},
            {L"blocks_played", s.blocks_played},
            {L"silent_blocks", s.silent_blocks},
            {L"fill_blocks", s.fill_blocks},
            {L"bad_blocks", s.bad_blocks},
            {L"relocks", s.relocks}};
}

std::string SummaryText(const RecordResult& r) {
    const double seconds = r.rate != 0 ? static_cast<double>(r.frames) / r.rate : 0.0;
    std::string text = r.interrupted ? "Interrupted: recorded " : "Recorded ";
    text += Fixed(seconds, 2) + " s (" + std::to_string(r.frames) + " frames at " + std::to_string(r.rate) +
            " Hz, " + std::to_string(r.levels.size()) + " channels, 24-bit PCM) to " + r.file + ".\n";
    text += LevelsTable(r.levels, false);
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < r.streams.size(); ++i) {
        std::vector<std::string> row = {"tuner " + std::to_string(i + 1)};
        for (const auto& field : StreamFields(r.streams[i])) {
            row.push_back(std::to_string(field.second));
        }
        rows.push_back(std::move(row));
    }
    text += FormatTable({"STREAM", "RECEIVED", "DUPLICATE", "LATE", "FOREIGN", "MALFORMED", "PLAYED",
                         "SILENT", "FILL", "BAD", "RELOCKS"},
                        rows);
    text += "Blocks dropped because the writer fell behind: " + std::to_string(r.dropped) + ".\n";
    return text;
}

JSON::Value SummaryJson(const RecordResult& r) {
    JSON::Value root;
    root[L"file"].SetString(Utf8ToWide(r.file));
    root[L"sample_rate"].SetInt(r.rate);
    root[L"frames"].SetInt(r.frames);
    root[L"interrupted"].SetBool(r.interrupted);
    root[L"dropped_blocks"].SetInt(r.dropped);
    root[L"channels"] = LevelsJson(r.levels);
    JSON::Value& streams = root[L"streams"];
    streams.ClearArray();
    for (std::size_t i = 0; i < r.streams.size(); ++i) {
        for (const auto& [name, value] : StreamFields(r.streams[i])) {
            streams[static_cast<std::uint64_t>(i)][name].SetInt(value);
        }
    }
    return root;
}

}  // namespace

std::string LevelsTable(const std::vector<LevelMeter>& meters, bool bar) {
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < meters.size(); ++i) {
        const bool heard = meters[i].Samples() != 0;
        std::vector<std::string> row = {ChannelName(i)};
        if (bar) {
            row.push_back(LevelBar(meters[i].Peak(), meters[i].Rms(), kBarWidth));
        }
        row.push_back(heard ? FormatDbfs(meters[i].Peak()) : "-");
        row.push_back(heard ? FormatDbfs(meters[i].Rms()) : "-");
        rows.push_back(std::move(row));
    }
    std::vector<std::string> headers = {"CHANNEL", "PEAK dBFS", "RMS dBFS"};
    if (bar) {
        headers.insert(headers.begin() + 1, "LEVEL (-60 to 0 dBFS)");
    }
    return FormatTable(headers, rows);
}

JSON::Value LevelsJson(const std::vector<LevelMeter>& meters) {
    JSON::Value list;
    list.ClearArray();
    for (std::size_t i = 0; i < meters.size(); ++i) {
        JSON::Value& item = list[static_cast<std::uint64_t>(i)];
        item[L"channel"].SetString(Utf8ToWide(ChannelName(i)));
        PutDbfs(item[L"peak_dbfs"], meters[i].Peak());
        PutDbfs(item[L"rms_dbfs"], meters[i].Rms());
    }
    return list;
}

// ---- the audio tap ----

bool AudioTap::Start(Norvane::SDK::IKx410& device, std::uint16_t rtp_port, std::string& reason) {
    Stop();
    const std::size_t channels = std::size_t{2} * device.GetInputs();
    // A block longer than the device announced is dropped and counted; 1024 frames when it announced none.
    const std::size_t max_frames = device.GetFramesPerBlock() != 0 ? device.GetFramesPerBlock() : 1024;
    queue_ = std::make_unique<BlockQueue>(channels, max_frames, QueueSlotsFor(channels, max_frames));
    meters_.assign(channels, LevelMeter{});
    Norvane::SDK::DeviceStartSettings start;
    start.rtp_base_port = rtp_port;
    BlockQueue* queue = queue_.get();
    start.on_audio = [queue](const std::vector<float*>& samples, std::size_t frames) {
        (void)queue->Push(samples, frames);
    };
    if (!device.Start(start)) {
        reason = "starting audio failed (local RTP base port " +
                 (rtp_port != 0 ? std::to_string(rtp_port) : std::string("of the system's choice")) + ")";
        return false;
    }
    device_ = &device;
    return true;
}

void AudioTap::Stop(std::vector<StreamStatistics>* stats) {
    if (device_ == nullptr) {
        return;
    }
    if (stats != nullptr) {
        (void)Norvane::SDK::GetStreamStatistics(device_, *stats);
    }
    device_->Stop();
    device_ = nullptr;
}

std::uint64_t AudioTap::Drain(std::uint64_t frame_limit, const Sink& sink) {
    std::uint64_t taken = 0;
    if (!queue_) {
        return 0;
    }
    const std::size_t channels = queue_->Channels();
    const std::size_t stride = queue_->MaxFrames();
    for (BlockQueue::Block block = queue_->Front(); block.samples != nullptr && taken < frame_limit;
         block = queue_->Front()) {
        const auto frames =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.frames, frame_limit - taken));
        for (std::size_t c = 0; c < channels; ++c) {
            meters_[c].Add(block.samples + c * stride, frames);
        }
        bool more = true;
        if (sink) {
            interleaved_.resize(frames * channels);
            for (std::size_t f = 0; f < frames; ++f) {
                for (std::size_t c = 0; c < channels; ++c) {
                    interleaved_[f * channels + c] = FloatToPcm24(block.samples[c * stride + f]);
                }
            }
            more = sink(interleaved_.data(), frames);
        }
        queue_->Pop();
        taken += frames;
        if (!more) {
            break;
        }
    }
    return taken;
}

// ---- record ----

int RecordAudio(Norvane::SDK::IKx410& device, double seconds, const std::filesystem::path& out,
                std::uint16_t rtp_port, bool json, Console& console) {
    AudioTap tap;
    std::string reason;
    if (!tap.Start(device, rtp_port, reason)) {
        return Fail(console, reason);
    }
    RecordResult result;
    result.file = PathText(out);
    result.rate = device.GetSampleFreq();
    if (result.rate == 0) {
        return Fail(console, "the device runs audio but reports no sample rate");
    }
    std::unique_ptr<IWavWriter> writer =
        OpenWavWriter(out, static_cast<std::uint32_t>(tap.Channels()), result.rate, reason);
    if (!writer) {
        return Fail(console, reason);
    }
    result.target = static_cast<std::uint64_t>(std::llround(seconds * result.rate));
    bool write_failed = false;
    const AudioTap::Sink sink = [&](const std::int32_t* samples, std::size_t frames) {
        write_failed = !writer->Write(samples, frames);
        return !write_failed;
    };

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto deadline =
        started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
        kAudioGrace;
    auto next_progress = started;
    std::size_t progress_width = 0;
    auto pending = [&] { return result.target - result.frames; };
    while (true) {
        const std::uint64_t taken = tap.Drain(pending(), sink);
        result.frames += taken;
        result.interrupted = console.interrupted && console.interrupted();
        if (pending() == 0 || write_failed || result.interrupted || Clock::now() >= deadline) {
            break;
        }
        if (console.out_is_terminal && Clock::now() >= next_progress) {
            next_progress += kProgressInterval;
            const double done = static_cast<double>(result.frames) / static_cast<double>(result.target);
            const auto lit = std::min(kBarWidth, static_cast<std::size_t>(done * kBarWidth));
            std::string line = "[";
            line.append(lit, '#');
            line.append(kBarWidth - lit, ' ');
            line += "] " + Fixed(static_cast<double>(result.frames) / result.rate, 1) + " of " +
                    Fixed(seconds, 1) + " s";
            progress_width = std::max(progress_width, line.size());
            console.out << '\r' << line << std::flush;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    tap.Stop(&result.streams);
    if (!write_failed) {
        const std::uint64_t taken = tap.Drain(pending(), sink);  // what came before the streams stopped
        result.frames += taken;
    }
    const bool closed = writer->Close();
    result.dropped = tap.Dropped();
    result.levels = tap.Meters();
    if (progress_width != 0) {
        console.out << '\r' << std::string(progress_width, ' ') << '\r';
    }
    console.out << (json ? JsonText(SummaryJson(result)) + "\n" : SummaryText(result)) << std::flush;
    if (write_failed || !closed) {
        return Fail(console, writer->Error());
    }
    if (!result.interrupted && pending() != 0) {
        return Fail(console, "the audio stopped: " + std::to_string(result.frames) + " of " +
                                 std::to_string(result.target) + " frames arrived within " +
                                 Fixed(std::chrono::duration<double>(Clock::now() - started).count(), 1) +
                                 " s");
    }
    return kExitOk;
}

int RunRecord(const Settings& settings, Console& console) {
    Session session;
    std::string reason;
    if (!Connect(settings.device, settings.local, session, reason)) {
        return Fail(console, reason);
    }
    return RecordAudio(*session.device, settings.seconds, settings.out, settings.rtp_port, settings.json,
                       console);
}

}  // namespace Kxctl
