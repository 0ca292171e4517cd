#include "sim/sim_device.h"

#include <algorithm>
#include <cstdio>

#include "common/err_info.h"
#include "common/safe_text.h"
#include "json/value.h"
#include "platform/calendar_time.h"
#include "platform/utf8.h"
#include "protocol/packet.h"
#include "rtp/rtp_packet.h"

namespace Sim {

namespace {

// Resizes a list to `n` entries; new entries repeat the last one (or take `fill` when it is empty).
template <class T>
void Fit(std::vector<T>& list, std::size_t n, const T& fill) {
    const T extra = list.empty() ? fill : list.back();
    list.resize(n, extra);
}

// Datagrams of a hostile stream sent in one step at most, so that the simulator's thread still serves
// every socket between steps.
constexpr std::uint64_t kFloodBatch = 256;

// Seeds of a device's random sources: different per device and per purpose, fixed by the run's seed.
std::uint64_t SeedFor(std::uint64_t seed, std::size_t index, std::uint64_t purpose) {
    return MixHash(seed, static_cast<std::uint64_t>(index), purpose);
}

// A KX260 has a bypass relay from this control protocol on.
constexpr std::uint32_t kBypassControlProtocol = 2;

// A KX9's request interval; 0 (from code, the settings refuse it) counts as 1 ms, never a request per step.
std::chrono::milliseconds TimeRequestInterval(const DeviceConfig& config) {
    return std::chrono::milliseconds(std::max<std::uint32_t>(1, config.time_request_ms));
}

// The "td" and "utc" texts of a "cur_time" datagram, as kept: false unless both are times. The message
// class takes any 23 characters (a text that does not parse leaves its time at the moment of decoding), so
// the device reads the texts itself.
bool ReadTimeTexts(const std::vector<std::uint8_t>& bytes, std::string& td, std::string& utc) {
    const auto end = std::find(bytes.begin(), bytes.end(), 0);
    JSON::Value root;
    if (!JSON::ParseText(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<std::size_t>(end - bytes.begin())),
                         root)) {
        return false;
    }
    std::string texts[2];
    const wchar_t* keys[2] = {L"td", L"utc"};
    for (int i = 0; i < 2; ++i) {
        const JSON::Value* item = root.FindItem(keys[i]);
        Network::SystemTime time;
        if (item == nullptr || item->type != JSON::kString || !Network::ParseTimeText(item->string, time)) {
            return false;
        }
        texts[i] = WideToUtf8(Network::FormatTimeText(time));
    }
    td = std::move(texts[0]);
    utc = std::move(texts[1]);
    return true;
}

}  // namespace

std::string EndpointText(const Network::SockAddr& addr) {
    return platform::FormatEndpoint(addr.Native());
}

std::string DatagramText(const std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kMaxShown = 2000;
    const auto* begin = reinterpret_cast<const char*>(bytes.data());
    const std::size_t end =
        static_cast<std::size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin());
    // The sender's text, made safe for a terminal and a log line (a sequence cut at the limit shows as
    // U+FFFD like any other broken one).
    std::string text = SafeText(std::string_view(begin, std::min(end, kMaxShown)));
    if (end > kMaxShown) {
        text += "...";
    }
    if (end == bytes.size()) {
        return text + " (no end of text, " + std::to_string(bytes.size()) + " bytes)";
    }
    const std::size_t attachment = bytes.size() - end - 1;
    if (attachment > 0) {
        text += " +" + std::to_string(attachment) + " bytes";
    }
    return text;
}

SimDevice::SimDevice(std::size_t index, const DeviceConfig& config, const SimConfig& sim,
                     std::shared_ptr<const Band> band, TimePoint start)
    : index_(index),
      unit_id_(config.unit_id.empty() ? DefaultUnitId(index, config.model) : config.unit_id),
      config_(config),
      tuners_(config.tuners),
      discovery_spread_ms_(sim.discovery_spread_ms),
      max_sends_(sim.max_sends),
      band_(std::move(band)),
      start_(start),
      faults_(config.faults),
      in_line_(SeedFor(sim.seed, index, 1)),
      out_line_(SeedFor(sim.seed, index, 2)),
      spread_random_(SeedFor(sim.seed, index, 3)),
      outbox_(std::chrono::milliseconds(sim.repeat_ms), sim.max_sends),
      device_freq_(config.device_freq),
      inputs_(config.model == Model::kKx260 ? config.tuners : 0,
              Network::InputEntry{Network::InputEntry::kSelectAnalog, Network::InputEntry::kGainPlus4dBu,
                                  config.device_freq}),
      payload_type_(StreamPayloadType(config.device_freq, config.audio_protocol)),
      rtp_line_(SeedFor(sim.seed, index, 4)),
      pacer_(payload_type_ != 0 ? config.device_freq : 0),
      noise_(SeedFor(sim.seed, index, 5)),
      programmes_(config.tuners),
      // Streams start at a sequence number of the seed's choosing, as real senders do.
      block_(Random(SeedFor(sim.seed, index, 6)).Next() & 0xFFFFFFFFu),
      left_(kFramesPerPacket),
      right_(kFramesPerPacket),
      output_packets_(config.outputs) {
    in_line_.SetFaults(faults_.in);
    out_line_.SetFaults(faults_.out);
    rtp_line_.SetFaults(faults_.out);
    const std::vector<Station>& stations = band_->Stations();
    for (std::uint32_t i = 0; i < tuners_; ++i) {
        if (i < config.freqs.size()) {
            freqs_.push_back(config.freqs[i]);
        } else if (!stations.empty()) {
            freqs_.push_back(stations[i % stations.size()].freq);
        } else {
            freqs_.push_back(100500);
        }
    }
    routes_.resize(tuners_);
}

std::int64_t SimDevice::ElapsedMs(TimePoint now) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
}

std::string SimDevice::LogPrefix(TimePoint now) const {
    const std::int64_t ms = ElapsedMs(now);
    char buffer[48];
    std::snprintf(buffer, sizeof(buffer), "[%6lld.%03lld] ", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return buffer + unit_id_;
}

void SimDevice::FromWire(const std::uint8_t* data, std::size_t size, const Network::SockAddr& from,
                         bool via_discovery, TimePoint now, std::vector<std::string>* log) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.datagrams_in;
    Datagram d{std::vector<std::uint8_t>(data, data + size), from};
    // A discovery request reaches each device of the LAN at its own moment.
    TimePoint arrival = now;
    if (via_discovery && discovery_spread_ms_ > 0) {
        arrival += std::chrono::milliseconds(spread_random_.NextUpTo(discovery_spread_ms_));
    }
    const std::string text = log != nullptr ? DatagramText(d.bytes) : std::string();
    const Fate fate = in_line_.Submit(std::move(d), arrival);
    counters_.lost_in += fate.lost ? 1 : 0;
    counters_.duplicated_in += fate.duplicated ? 1 : 0;
    counters_.reordered_in += fate.reordered ? 1 : 0;
    if (log != nullptr) {
        log->push_back(LogPrefix(now) + " <- " + EndpointText(from) +
                       (via_discovery ? " (discovery) " : " ") + text + fate.Describe());
    }
}

void SimDevice::Step(TimePoint now, std::vector<std::string>* log) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Datagram> due;
    in_line_.TakeDue(now, due);
    for (const Datagram& d : due) {
        Deliver(d, now, log);
    }

    PumpFlood(dev_info_flood_, faults_.dev_info_flood, true, now);
    PumpFlood(get_time_flood_, faults_.get_time_flood, false, now);
    PumpAudio(now);
    RequestTime(now, log);

    std::vector<Datagram> polled;
    const std::uint64_t repeats = outbox_.Repeats();
    const std::uint64_t give_ups = outbox_.GiveUps();
    outbox_.Poll(now, polled);
    counters_.repeats_out += outbox_.Repeats() - repeats;
    counters_.give_ups += outbox_.GiveUps() - give_ups;
    if (log != nullptr && outbox_.GiveUps() != give_ups) {
        log->push_back(LogPrefix(now) + ": an answer was given up after " + std::to_string(max_sends_) +
                       " sends without acknowledgement");
    }
    for (Datagram& d : polled) {
        SubmitOut(std::move(d), now, log);
    }

    std::vector<Datagram> wire;
    out_line_.TakeDue(now, wire);
    Transmit(wire, &DeviceCounters::datagrams_out, now, log);
    wire.clear();
    rtp_line_.TakeDue(now, wire);
    Transmit(wire, &DeviceCounters::rtp_out, now, log);
}

void SimDevice::Transmit(const std::vector<Datagram>& wire, std::uint64_t DeviceCounters::*sent,
                         TimePoint now, std::vector<std::string>* log) {
    for (const Datagram& d : wire) {
        const platform::SocketIo io =
            platform::SendTo(socket_, d.bytes.data(), d.bytes.size(), d.peer.Native());
        if (io.ok()) {
            ++(counters_.*sent);
        } else {
            ++counters_.send_errors;
            if (log != nullptr) {
                log->push_back(LogPrefix(now) + ": send to " + EndpointText(d.peer) +
                               " failed: " + platform::SocketErrorKindName(io.result.kind) + " (" +
                               std::to_string(io.result.code) + ")");
            }
        }
    }
}

std::optional<TimePoint> SimDevice::NextDeadline(TimePoint now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<TimePoint> next = outbox_.NextDeadline(now);
    for (const std::optional<TimePoint>& t :
         {in_line_.NextDue(), out_line_.NextDue(), FloodDue(dev_info_flood_, faults_.dev_info_flood, now),
          FloodDue(get_time_flood_, faults_.get_time_flood, now), pacer_.NextDue(), rtp_line_.NextDue(),
          next_time_request_}) {
        if (t && (!next || *t < *next)) {
            next = t;
        }
    }
    return next;
}

void SimDevice::Deliver(const Datagram& d, TimePoint now, std::vector<std::string>* log) {
    const std::unique_ptr<Network::JsonMsg> msg =
        Network::JsonMsg::FromDatagram(d.bytes.data(), d.bytes.size(), &factory_, &d.peer);
    if (!msg) {
        ++counters_.bad_datagrams;
        if (log != nullptr) {
            log->push_back(LogPrefix(now) + ": not a message, dropped (" + std::to_string(d.bytes.size()) +
                           " bytes from " + EndpointText(d.peer) + ")");
        }
        return;
    }
    if (msg->type == L"ack") {
        if (outbox_.OnAck(d.peer, msg->ack_msg_id)) {
            ++counters_.acks_in;
        } else {
            ++counters_.stray_acks_in;
        }
        return;
    }
    if (!faults_.no_ack) {
        Network::JsonMsgAck ack(msg->msg_id);
        ++counters_.acks_out;
        SendDirect(ack, d.peer, now, log);
    }
    if (faults_.get_time_flood != 0 && !(get_time_flood_.active && get_time_flood_.peer == d.peer)) {
        StartFlood(get_time_flood_, d.peer, 0, now);
    }
    auto last = last_ids_.find(d.peer);
    if (last != last_ids_.end() && last->second == msg->msg_id) {
        ++counters_.duplicates_in;
        return;
    }
    if (last == last_ids_.end() && last_ids_.size() >= 4096) {
        last_ids_.clear();  // many short-lived senders: forget them rather than grow without end
    }
    last_ids_[d.peer] = msg->msg_id;
    ++counters_.messages_in;
    Handle(*msg, d.bytes, d.peer, now, log);
}

std::vector<std::uint8_t> SimDevice::Serialize(const Network::JsonMsg& msg) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("Sim::SimDevice::Serialize"));
    msg.ToPacket(err, packet);
    if (!err.IsOk()) {
        err.MarkHandled();
        ++counters_.send_errors;
        return {};
    }
    return packet.Bytes();
}

void SimDevice::SubmitOut(Datagram d, TimePoint now, std::vector<std::string>* log) {
    const std::string text = log != nullptr ? DatagramText(d.bytes) : std::string();
    const Network::SockAddr peer = d.peer;
    const Fate fate = out_line_.Submit(std::move(d), now);
    counters_.lost_out += fate.lost ? 1 : 0;
    counters_.duplicated_out += fate.duplicated ? 1 : 0;
    counters_.reordered_out += fate.reordered ? 1 : 0;
    if (log != nullptr) {
        log->push_back(LogPrefix(now) + " -> " + EndpointText(peer) + " " + text + fate.Describe());
    }
}

void SimDevice::SendDirect(Network::JsonMsg& msg, const Network::SockAddr& to, TimePoint now,
                           std::vector<std::string>* log) {
    std::vector<std::uint8_t> bytes = Serialize(msg);
    if (!bytes.empty()) {
        SubmitOut(Datagram{std::move(bytes), to}, now, log);
    }
}

void SimDevice::SendReliable(Network::JsonMsg& msg, const Network::SockAddr& to) {
    std::vector<std::uint8_t> bytes = Serialize(msg);
    if (!bytes.empty()) {
        counters_.answers_refused += outbox_.Enqueue(to, msg.msg_id, std::move(bytes)) ? 0 : 1;
    }
}

std::size_t SimDevice::ListLength(const char* key) const {
    if (faults_.list_length_delta == 0 || (!faults_.list_keys.empty() && faults_.list_keys.count(key) == 0)) {
        return tuners_;
    }
    const std::int64_t n = static_cast<std::int64_t>(tuners_) + faults_.list_length_delta;
    return static_cast<std::size_t>(std::max<std::int64_t>(0, n));
}

std::unique_ptr<Network::JsonMsgDevInfo> SimDevice::MakeDevInfo() const {
    auto info = std::make_unique<Network::JsonMsgDevInfo>();
    info->unit_id = Utf8ToWide(unit_id_);
    info->unit_type =
        Utf8ToWide(faults_.type_text.empty() ? ModelTypeText(config_.model) : faults_.type_text);
    info->hardware = config_.hardware;
    info->firmware = config_.firmware;
    info->software = config_.software;
    info->audio_protocol = config_.audio_protocol;
    info->control_protocol = config_.control_protocol;
    info->rtp_port = config_.rtp_port;
    info->inputs = tuners_;
    info->outputs = config_.outputs;
    return info;
}

std::unique_ptr<Network::JsonMsgState> SimDevice::MakeState() const {
    auto state = std::make_unique<Network::JsonMsgState>();
    state->device_freq = faults_.zero_device_freq ? 0 : device_freq_;
    if (config_.model == Model::kKx260) {
        state->inputs = inputs_;
        Fit(state->inputs, ListLength("inputs"), Network::InputEntry{});
    }
    return state;
}

std::unique_ptr<Network::JsonMsgFmQuality> SimDevice::MakeQuality(TimePoint now) const {
    auto q = std::make_unique<Network::JsonMsgFmQuality>();
    const std::int64_t elapsed = ElapsedMs(now);
    for (std::uint32_t i = 0; i < tuners_; ++i) {
        const TunerQuality t = band_->Quality(freqs_[i], i, elapsed);
        q->rssi.push_back(t.rssi);
        q->snr.push_back(t.snr);
        q->multipath.push_back(t.multipath);
        q->pilot.push_back(t.pilot);
        q->valid.push_back(t.valid);
    }
    Fit(q->rssi, ListLength("rssi"), 0);
    Fit(q->snr, ListLength("snr"), 0);
    Fit(q->multipath, ListLength("multipath"), 0);
    Fit(q->pilot, ListLength("pilot"), 0);
    Fit(q->valid, ListLength("valid"), 0);
    return q;
}

std::unique_ptr<Network::JsonMsgRdsData> SimDevice::MakeRds(TimePoint now) const {
    auto r = std::make_unique<Network::JsonMsgRdsData>();
    const std::int64_t elapsed = ElapsedMs(now);
    const std::string clock = WideToUtf8(Network::FormatTimeText(platform::LocalTimeNow()));
    for (std::uint32_t i = 0; i < tuners_; ++i) {
        const TunerRds t = band_->Rds(freqs_[i], i, elapsed, clock);
        r->psrv.push_back(Utf8ToWide(t.psrv));
        r->text.push_back(Utf8ToWide(t.text));
        r->time.push_back(Utf8ToWide(t.time));
    }
    Fit(r->psrv, ListLength("psrv"), std::wstring());
    Fit(r->text, ListLength("text"), std::wstring());
    Fit(r->time, ListLength("time"), std::wstring());
    return r;
}

void SimDevice::Handle(const Network::JsonMsg& msg, const std::vector<std::uint8_t>& bytes,
                       const Network::SockAddr& from, TimePoint now, std::vector<std::string>* log) {
    const std::wstring& type = msg.type;
    std::unique_ptr<Network::JsonMsg> answer;
    bool reliable = true;
    const bool tuner = config_.model == Model::kKx410;
    if (config_.model == Model::kKx9 && type != L"dev_find") {
        host_ = from;
        if (!next_time_request_) {
            next_time_request_ = now + TimeRequestInterval(config_);
        }
    }
    if (type == L"dev_find") {
        if (faults_.dev_info_flood != 0) {
            StartFlood(dev_info_flood_, from, msg.msg_id, now);
        }
        answer = MakeDevInfo();
        reliable = false;  // discovery: one datagram, never repeated
    } else if (type == L"get_dev_info") {
        answer = MakeDevInfo();
    } else if (type == L"get_state") {
        answer = MakeState();
    } else if (tuner && type == L"get_fm_freq") {
        auto f = std::make_unique<Network::JsonMsgFmFreq>();
        f->freq = freqs_;
        Fit(f->freq, ListLength("freq"), 0);
        answer = std::move(f);
    } else if (tuner && type == L"set_fm_freq") {
        const auto* set = dynamic_cast<const Network::JsonMsgSetFmFreq*>(&msg);
        for (std::size_t i = 0; set != nullptr && i < freqs_.size() && i < set->freq.size(); ++i) {
            freqs_[i] = set->freq[i];
        }
        ++counters_.set_fm_freq;
    } else if (tuner && type == L"get_fm_quality") {
        answer = MakeQuality(now);
    } else if (tuner && type == L"get_rds_data") {
        answer = MakeRds(now);
    } else if (type == L"get_inputs") {
        auto in = std::make_unique<Network::JsonMsgInputs>();
        in->inputs = routes_;
        Fit(in->inputs, ListLength("inputs"), Network::SockAddr());
        answer = std::move(in);
    } else if (type == L"set_inputs") {
        const auto* set = dynamic_cast<const Network::JsonMsgSetInputs*>(&msg);
        const std::vector<Network::SockAddr> before = routes_;
        for (std::size_t i = 0; set != nullptr && i < routes_.size() && i < set->inputs.size(); ++i) {
            if (set->inputs[i].active) {
                routes_[i] = set->inputs[i].addr;  // cleared for "off"
            }
        }
        UpdateStreams(before, now, log);
        ++counters_.set_inputs;
    } else if (!HandleModel(msg, bytes, answer, now, log)) {
        ++counters_.unhandled;
    }
    if (!answer) {
        return;
    }
    answer->ack_msg_id = msg.msg_id;
    ++counters_.answers_out;
    if (reliable) {
        SendReliable(*answer, from);
    } else {
        SendDirect(*answer, from, now, log);
    }
}

bool SimDevice::HandleModel(const Network::JsonMsg& msg, const std::vector<std::uint8_t>& bytes,
                            std::unique_ptr<Network::JsonMsg>& answer, TimePoint now,
                            std::vector<std::string>* log) {
    const std::wstring& type = msg.type;
    if (config_.model == Model::kKx9) {
        if (type != L"cur_time") {
            return false;
        }
        // Malformed times are the sender's fault like any undecodable datagram, and counted as such.
        if (!ReadTimeTexts(bytes, kx9_.last_td, kx9_.last_utc)) {
            ++counters_.bad_datagrams;
            if (log != nullptr) {
                log->push_back(LogPrefix(now) + ": \"cur_time\" from " + EndpointText(msg.peer) +
                               " without two valid times, dropped");
            }
            return true;
        }
        ++kx9_.times_received;
        return true;
    }
    if (config_.model != Model::kKx260) {
        return false;
    }
    if (const auto* set = dynamic_cast<const Network::JsonMsgSetState*>(&msg)) {
        if (set->device_freq != 0 && set->device_freq != device_freq_) {
            SetDeviceFreq(set->device_freq, now, log);
        }
        // One entry per input; entries beyond the inputs are ignored, 0 leaves a value as it is.
        for (std::size_t i = 0; i < inputs_.size() && i < set->inputs.size(); ++i) {
            const Network::InputEntry& e = set->inputs[i];
            inputs_[i].select =
                e.select != Network::InputEntry::kSelectUndefined ? e.select : inputs_[i].select;
            inputs_[i].gain = e.gain != Network::InputEntry::kGainUndefined ? e.gain : inputs_[i].gain;
            inputs_[i].freq = e.freq != 0 ? e.freq : inputs_[i].freq;
        }
        ++set_state_count_;
        return true;
    }
    // Without a bypass relay both requests are only acknowledged.
    if (config_.control_protocol < kBypassControlProtocol ||
        (type != L"get_bypass" && type != L"set_bypass")) {
        return false;
    }
    if (const auto* set = dynamic_cast<const Network::JsonMsgSetBypass*>(&msg)) {
        bypass_on_ = set->bypass;
        ++set_bypass_count_;
    }
    auto bypass = std::make_unique<Network::JsonMsgBypass>();
    bypass->bypass = bypass_on_;
    answer = std::move(bypass);
    return true;
}

void SimDevice::SetDeviceFreq(std::uint32_t freq, TimePoint now, std::vector<std::string>* log) {
    device_freq_ = freq;
    payload_type_ = StreamPayloadType(freq, config_.audio_protocol);
    pacer_ = StreamPacer(payload_type_ != 0 ? freq : 0);
    if (log != nullptr) {
        log->push_back(LogPrefix(now) + ": device frequency now " + std::to_string(freq) + " Hz" +
                       (payload_type_ != 0 ? ", payload type " + std::to_string(payload_type_)
                                           : std::string(", no audio at this frequency")));
    }
    UpdateStreams(routes_, now, log);  // running streams go on at the new rate
}

void SimDevice::RequestTime(TimePoint now, std::vector<std::string>* log) {
    if (!next_time_request_ || now < *next_time_request_) {
        return;
    }
    const auto interval = TimeRequestInterval(config_);
    // After a stall the requests go on from now, rather than one for each interval missed.
    *next_time_request_ += interval;
    if (*next_time_request_ <= now) {
        *next_time_request_ = now + interval;
    }
    if (outbox_.Holds(host_, time_request_id_)) {
        if (log != nullptr) {
            log->push_back(LogPrefix(now) + ": the last \"get_time\" to " + EndpointText(host_) +
                           " is still unacknowledged; no new one");
        }
        return;
    }
    Network::JsonMsgGetTime request;
    time_request_id_ = request.msg_id;
    ++kx9_.time_requests;
    SendReliable(request, host_);
}

void SimDevice::UpdateStreams(const std::vector<Network::SockAddr>& before, TimePoint now,
                              std::vector<std::string>* log) {
    bool any = false;
    for (std::size_t i = 0; i < routes_.size(); ++i) {
        const bool on = routes_[i].IsComplete();
        any = any || on;
        if (log != nullptr && routes_[i] != before[i]) {
            log->push_back(LogPrefix(now) + ": input " + std::to_string(i + 1) +
                           (!on ? std::string(" stopped")
                            : payload_type_ == 0
                                ? " routed to " + EndpointText(routes_[i]) + ", but no audio at " +
                                      std::to_string(device_freq_) + " Hz"
                                : " streams to " + EndpointText(routes_[i]) + " (payload type " +
                                      std::to_string(payload_type_) + ", " + std::to_string(device_freq_) +
                                      " Hz)"));
        }
    }
    if (!any) {
        pacer_.Stop();
    } else if (!pacer_.Running()) {
        pacer_.Start(now);
    }
}

void SimDevice::PumpAudio(TimePoint now) {
    const std::uint32_t blocks = pacer_.TakeDue(now);
    for (std::uint32_t b = 0; b < blocks; ++b, ++block_) {
        for (std::uint32_t i = 0; i < tuners_; ++i) {
            if (!routes_[i].IsComplete()) {
                continue;
            }
            // The programme advances whether or not the packet gets out, as a real tuner's would.
            programmes_[i].Render(band_->StationAt(freqs_[i]), device_freq_, noise_, left_.data(),
                                  right_.data(), kFramesPerPacket);
            if (faults_.audio_mute) {
                continue;
            }
            if (rtp_line_.Pending() >= kMaxRtpWaiting) {
                ++counters_.rtp_overflow;
                continue;
            }
            Network::RtpPacket packet = Network::RtpPacket::Create(payload_type_, kFramesPerPacket);
            packet.SetSequenceNumber(static_cast<std::uint16_t>(block_));
            packet.SetTimestamp(static_cast<std::uint32_t>(block_ * kFramesPerPacket));
            packet.WriteChannel(left_.data(), 0, 1, 0, kFramesPerPacket);
            packet.WriteChannel(right_.data(), 1, 1, 0, kFramesPerPacket);
            const Fate fate = rtp_line_.Submit(Datagram{packet.Datagram()->Bytes(), routes_[i]}, now);
            counters_.rtp_lost += fate.lost ? 1 : 0;
            counters_.rtp_duplicated += fate.duplicated ? 1 : 0;
            counters_.rtp_reordered += fate.reordered ? 1 : 0;
        }
    }
}

void SimDevice::FromRtp(std::size_t output, const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (output >= output_packets_.size()) {
        return;
    }
    const int pt = Network::RtpHeaderPayloadType(data, size);
    if (pt < 0 || !Network::RtpIsValidPayloadType(static_cast<std::uint8_t>(pt))) {
        ++counters_.rtp_bad_in;
        return;
    }
    ++output_packets_[output];
    ++counters_.rtp_in;
}

void SimDevice::StartFlood(Flood& flood, const Network::SockAddr& peer, std::uint32_t answers,
                           TimePoint now) {
    flood = Flood{true, peer, now, 0, answers};
}

void SimDevice::PumpFlood(Flood& flood, std::uint32_t rate, bool dev_info, TimePoint now) {
    if (!flood.active || rate == 0) {
        return;
    }
    std::uint64_t due = flood.sent + kFloodBatch;
    if (rate != kFloodUnlimited) {
        // Datagram k is due at start + k / rate.
        const double elapsed = std::chrono::duration<double>(now - flood.start).count();
        due = std::min(due, static_cast<std::uint64_t>(elapsed * rate) + 1);
    }
    for (; flood.sent < due; ++flood.sent) {
        std::unique_ptr<Network::JsonMsg> msg;
        if (dev_info) {
            msg = MakeDevInfo();
            msg->ack_msg_id = flood.answers;
        } else {
            msg = std::make_unique<Network::JsonMsgGetTime>();
        }
        const std::vector<std::uint8_t> bytes = Serialize(*msg);
        const platform::SocketIo io =
            platform::SendTo(socket_, bytes.data(), bytes.size(), flood.peer.Native());
        ++(io.ok() ? counters_.flood_out : counters_.send_errors);
    }
}

std::optional<TimePoint> SimDevice::FloodDue(const Flood& flood, std::uint32_t rate, TimePoint now) {
    if (!flood.active || rate == 0) {
        return std::nullopt;
    }
    if (rate == kFloodUnlimited) {
        return now;
    }
    return flood.start + std::chrono::duration_cast<SimClock::duration>(
                             std::chrono::duration<double>(static_cast<double>(flood.sent) / rate));
}

DeviceCounters SimDevice::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

Faults SimDevice::GetFaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

void SimDevice::SetFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    in_line_.SetFaults(faults.in);
    out_line_.SetFaults(faults.out);
    rtp_line_.SetFaults(faults.out);
}

std::vector<TunerState> SimDevice::Tuners(TimePoint now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t elapsed = ElapsedMs(now);
    const std::string clock = WideToUtf8(Network::FormatTimeText(platform::LocalTimeNow()));
    std::vector<TunerState> out;
    for (std::uint32_t i = 0; i < tuners_; ++i) {
        TunerState t;
        t.freq = freqs_[i];
        t.quality = band_->Quality(freqs_[i], i, elapsed);
        t.rds = band_->Rds(freqs_[i], i, elapsed, clock);
        out.push_back(std::move(t));
    }
    return out;
}

std::vector<Network::SockAddr> SimDevice::InputRoutes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return routes_;
}

std::vector<std::uint64_t> SimDevice::OutputPackets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_packets_;
}

Kx260Status SimDevice::Kx260() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Kx260Status s;
    if (config_.model != Model::kKx260) {
        return s;
    }
    s.device_freq = device_freq_;
    if (!inputs_.empty()) {
        s.input_select = inputs_[0].select;
        s.analog_gain = inputs_[0].gain;
        s.input_freq = inputs_[0].freq;
    }
    s.has_bypass = config_.control_protocol >= kBypassControlProtocol;
    s.bypass_on = bypass_on_;
    s.set_state_count = set_state_count_;
    s.set_bypass_count = set_bypass_count_;
    return s;
}

Kx9Status SimDevice::Kx9() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kx9_;
}

}  // namespace Sim
