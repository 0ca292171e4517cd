// One simulated device: its control protocol, its model's state and its two fault lines.
//
// The device keeps the peer contract from the device's side:
//  - every message but "ack" is acknowledged at once ("ack" with "ack_msg_id" = its "msg_id"), also a
//    repeated copy, which is then dropped (only the last message of each sender is remembered);
//  - its own answers go out reliably: one in flight per peer, repeated until acknowledged, given up
//    after a few sends; a "dev_find" is answered with one plain "dev_info" datagram, as in discovery;
//  - every request of its model is answered, each answer naming the request in "ack_msg_id"; a request
//    of another model is acknowledged only (counted as unhandled).
//
// The models (Model): a KX410 has FM tuners ("get_fm_freq", "set_fm_freq", "get_fm_quality",
// "get_rds_data"). A KX260 is an audio interface: each input has a select, an analog gain and a sample
// frequency ("get_state" lists them, "set_state" changes them and the device frequency), and with
// control_protocol 2 or more a bypass relay ("get_bypass", "set_bypass", each answered with "bypass").
// A KX9 asks its host (the sender of the last message other than "dev_find") for the time with
// "get_time" every time_request_ms, one request waiting at most, and keeps what "cur_time" brings. Every
// model answers "get_dev_info", "dev_find", "get_state", "get_inputs" and streams after "set_inputs".
//
// The simulator's thread feeds the device raw datagrams (FromWire) and steps it (Step), which delivers
// what the incoming fault line lets through, sends what is due and writes to the device's socket. All
// state sits behind one mutex, so tests and tools may read counters and tuners, and change faults, at
// any time. Step is also where the device's audio goes out: one RTP stream per tuner that "set_inputs"
// routed somewhere, paced by the device's block clock (NextDeadline tells the simulator when the next
// block is due), through a fault line of its own with the outgoing faults. The host's streams for the
// device's outputs are counted (FromRtp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "protocol/device_msgs.h"
#include "sim/audio.h"
#include "sim/config.h"
#include "sim/faults.h"
#include "sim/outbox.h"
#include "sim/random.h"
#include "sim/stations.h"

namespace Sim {

// What a device has seen and done; every figure counts from the simulator's start.
struct DeviceCounters {
    std::uint64_t datagrams_in = 0;    // read for this device (its socket, plus its copies of discovery)
    std::uint64_t datagrams_out = 0;   // written to the socket
    std::uint64_t bad_datagrams = 0;   // delivered but not a message
    std::uint64_t messages_in = 0;     // new messages (not "ack", not repeats)
    std::uint64_t duplicates_in = 0;   // repeated copies, acknowledged and dropped
    std::uint64_t acks_in = 0;         // acknowledgements of the device's message in flight
    std::uint64_t stray_acks_in = 0;   // acknowledgements matching nothing in flight
    std::uint64_t acks_out = 0;        // acknowledgements sent
    std::uint64_t answers_out = 0;     // answers made (each counted once, however often it is sent)
    std::uint64_t repeats_out = 0;     // repetitions of unacknowledged answers
    std::uint64_t give_ups = 0;        // answers given up without acknowledgement
    std::uint64_t answers_refused = 0; // answers dropped: too many already waiting for the host
    std::uint64_t lost_in = 0;         // fault line: dropped on the way in
    std::uint64_t lost_out = 0;        // fault line: dropped on the way out
    std::uint64_t duplicated_in = 0;   // fault line: extra copies made on the way in
    std::uint64_t duplicated_out = 0;  // ... on the way out
    std::uint64_t reordered_in = 0;    // fault line: held back to be overtaken, on the way in
    std::uint64_t reordered_out = 0;   // ... on the way out
    std::uint64_t send_errors = 0;     // datagrams the socket refused
    std::uint64_t set_fm_freq = 0;     // "set_fm_freq" messages applied
    std::uint64_t set_inputs = 0;      // "set_inputs" messages applied
    std::uint64_t unhandled = 0;       // messages the device has no use for (acknowledged only)
    std::uint64_t flood_out = 0;       // datagrams of the hostile streams (dev_info_flood, get_time_flood)
    // Audio. RTP packets are counted here only, not among the datagrams above.
    std::uint64_t rtp_out = 0;         // RTP packets written to the socket (all inputs)
    std::uint64_t rtp_lost = 0;        // fault line: RTP packets dropped on the way out
    std::uint64_t rtp_duplicated = 0;  // ... extra copies made
    std::uint64_t rtp_reordered = 0;   // ... held back to be overtaken
    std::uint64_t rtp_overflow = 0;    // dropped: kMaxRtpWaiting packets were already on their way
    std::uint64_t rtp_in = 0;          // RTP packets of the host's streams received (all outputs)
    std::uint64_t rtp_bad_in = 0;      // datagrams at an output port that are no RTP packet
};

// The most RTP packets of one device waiting in its fault line (delayed or held back); more are dropped
// and counted, so a long delay cannot grow memory without end.
inline constexpr std::size_t kMaxRtpWaiting = 4096;

// What one tuner is tuned to and receives.
struct TunerState {
    std::int32_t freq = 0;
    TunerQuality quality;
    TunerRds rds;
};

// What a KX260 holds, in the values of the wire ("state": select 2 analog / 1 digital, gain 2 +4dBu /
// 1 -10dBu).
struct Kx260Status {
    std::uint32_t device_freq = 48000;
    std::uint32_t input_select = 2;
    std::uint32_t analog_gain = 2;
    std::uint32_t input_freq = 48000;
    bool has_bypass = false;  // control_protocol >= 2
    bool bypass_on = false;
    std::uint64_t set_state_count = 0;   // "set_state" messages taken
    std::uint64_t set_bypass_count = 0;  // "set_bypass" messages taken
};

// What a KX9 asked for and got.
struct Kx9Status {
    std::uint64_t time_requests = 0;   // "get_time" messages sent (first sends, not repeats)
    std::uint64_t times_received = 0;  // well-formed "cur_time" messages taken
    std::string last_td;               // "td" of the last one taken
    std::string last_utc;              // "utc" of the last one taken
};

class SimDevice {
public:
    // `index` is the device's place in the simulator; `start` the simulator's start (radiotext clock).
    SimDevice(std::size_t index, const DeviceConfig& config, const SimConfig& sim,
              std::shared_ptr<const Band> band, TimePoint start);
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Fixed for the device's life.
    [[nodiscard]] const std::string& UnitId() const noexcept { return unit_id_; }
    [[nodiscard]] Model GetModel() const noexcept { return config_.model; }
    [[nodiscard]] std::size_t Index() const noexcept { return index_; }
    [[nodiscard]] std::uint32_t TunerCount() const noexcept { return tuners_; }

    // The socket the device writes to (set by the simulator before the first Step; not owned).
    void SetSocket(platform::SocketHandle socket) noexcept { socket_ = socket; }

    // A datagram that reached the device: from its own socket, or (via_discovery) one that arrived at
    // the discovery port. It enters the incoming fault line. Log lines are appended to `log` when given.
    void FromWire(const std::uint8_t* data, std::size_t size, const Network::SockAddr& from,
                  bool via_discovery, TimePoint now, std::vector<std::string>* log);

    // Does everything due at `now`: delivers incoming datagrams, queues acknowledgements and answers,
    // repeats or gives up answers, and writes what leaves the outgoing fault line to the socket.
    void Step(TimePoint now, std::vector<std::string>* log);

    // A datagram that arrived at the port of output `output`: counted when it is an RTP packet (version 2,
    // a known payload type, a whole header), else counted as bad. Any length is safe.
    void FromRtp(std::size_t output, const std::uint8_t* data, std::size_t size);

    // When Step has work next; empty when nothing waits.
    [[nodiscard]] std::optional<TimePoint> NextDeadline(TimePoint now) const;

    // ---- for tests and tools; any thread ----
    [[nodiscard]] DeviceCounters Counters() const;
    [[nodiscard]] Faults GetFaults() const;
    // Takes effect for the next datagram; datagrams already on their way keep their fates.
    void SetFaults(const Faults& faults);
    [[nodiscard]] std::vector<TunerState> Tuners(TimePoint now) const;
    // Where each input (tuner) stream is to go, as the last "set_inputs" left it (cleared: off).
    [[nodiscard]] std::vector<Network::SockAddr> InputRoutes() const;
    // RTP packets received per output.
    [[nodiscard]] std::vector<std::uint64_t> OutputPackets() const;
    // The model's state; the defaults for a device of another model.
    [[nodiscard]] Kx260Status Kx260() const;
    [[nodiscard]] Kx9Status Kx9() const;

private:
    // The caller holds mutex_ for all of these.
    void Deliver(const Datagram& d, TimePoint now, std::vector<std::string>* log);
    // `bytes`: the datagram the message came in.
    void Handle(const Network::JsonMsg& msg, const std::vector<std::uint8_t>& bytes,
                const Network::SockAddr& from, TimePoint now, std::vector<std::string>* log);
    // The requests only a KX260 or a KX9 takes; false when the model has no use for `msg`.
    bool HandleModel(const Network::JsonMsg& msg, const std::vector<std::uint8_t>& bytes,
                     std::unique_ptr<Network::JsonMsg>& answer, TimePoint now, std::vector<std::string>* log);
    // KX260: a new device frequency; the streams follow it (payload type, pacing).
    void SetDeviceFreq(std::uint32_t freq, TimePoint now, std::vector<std::string>* log);
    // KX9: sends "get_time" to the host when the interval has passed.
    void RequestTime(TimePoint now, std::vector<std::string>* log);
    void SendDirect(Network::JsonMsg& msg, const Network::SockAddr& to, TimePoint now,
                    std::vector<std::string>* log);
    void SendReliable(Network::JsonMsg& msg, const Network::SockAddr& to);
    void SubmitOut(Datagram d, TimePoint now, std::vector<std::string>* log);
    // Writes what left a fault line to the socket; each datagram written counts in `sent`.
    void Transmit(const std::vector<Datagram>& wire, std::uint64_t DeviceCounters::*sent, TimePoint now,
                  std::vector<std::string>* log);
    // Starts the block clock when an input has just been routed, stops it when none is.
    void UpdateStreams(const std::vector<Network::SockAddr>& before, TimePoint now,
                       std::vector<std::string>* log);
    // Sends the blocks that are due: one packet per routed input each.
    void PumpAudio(TimePoint now);
    [[nodiscard]] std::vector<std::uint8_t> Serialize(const Network::JsonMsg& msg);
    [[nodiscard]] std::size_t ListLength(const char* key) const;
    [[nodiscard]] std::int64_t ElapsedMs(TimePoint now) const;
    [[nodiscard]] std::string LogPrefix(TimePoint now) const;

    // One hostile stream of Faults::dev_info_flood or Faults::get_time_flood.
    struct Flood {
        bool active = false;
        Network::SockAddr peer;
        TimePoint start;
        std::uint64_t sent = 0;
        std::uint32_t answers = 0;  // "ack_msg_id" of each datagram (the "dev_find" it answers)
    };
    void StartFlood(Flood& flood, const Network::SockAddr& peer, std::uint32_t answers, TimePoint now);
    void PumpFlood(Flood& flood, std::uint32_t rate, bool dev_info, TimePoint now);
    [[nodiscard]] static std::optional<TimePoint> FloodDue(const Flood& flood, std::uint32_t rate,
                                                           TimePoint now);

    std::unique_ptr<Network::JsonMsgDevInfo> MakeDevInfo() const;
    std::unique_ptr<Network::JsonMsgState> MakeState() const;
    std::unique_ptr<Network::JsonMsgFmQuality> MakeQuality(TimePoint now) const;
    std::unique_ptr<Network::JsonMsgRdsData> MakeRds(TimePoint now) const;

    const std::size_t index_;
    const std::string unit_id_;
    const DeviceConfig config_;
    const std::uint32_t tuners_;
    const std::uint32_t discovery_spread_ms_;
    const std::uint32_t max_sends_;
    const std::shared_ptr<const Band> band_;
    const TimePoint start_;
    platform::SocketHandle socket_ = platform::kInvalidSocket;
    const Network::AsioDriverJsonMsgFactory factory_;

    mutable std::mutex mutex_;
    Faults faults_;
    FaultLine in_line_;
    FaultLine out_line_;
    Random spread_random_;
    ReliableOutbox outbox_;
    std::map<Network::SockAddr, std::uint32_t> last_ids_;  // last new message id of each sender
    std::vector<std::int32_t> freqs_;
    std::vector<Network::SockAddr> routes_;
    DeviceCounters counters_;
    Flood dev_info_flood_;
    Flood get_time_flood_;

    // The device frequency ("state"); a KX260's "set_state" changes it.
    std::uint32_t device_freq_;
    // KX260: select, gain and frequency of each input, in the values of the wire; the bypass relay.
    std::vector<Network::InputEntry> inputs_;
    bool bypass_on_ = false;
    std::uint64_t set_state_count_ = 0;
    std::uint64_t set_bypass_count_ = 0;
    // KX9: where its requests go (cleared until a host has spoken), when the next is due, the id of the
    // last one (a new one waits while it is still queued or in flight), what it got.
    Network::SockAddr host_;
    std::optional<TimePoint> next_time_request_;
    std::uint32_t time_request_id_ = 0;
    Kx9Status kx9_;

    // Audio.
    std::uint8_t payload_type_;  // 0 when the device frequency allows none (it then sends no audio)
    FaultLine rtp_line_;
    StreamPacer pacer_;
    Random noise_;
    std::vector<TunerProgramme> programmes_;
    std::uint64_t block_;  // the device's block counter: sequence number and timestamp / 192
    std::vector<float> left_;
    std::vector<float> right_;
    std::vector<std::uint64_t> output_packets_;
};

// "a.b.c.d:port".
[[nodiscard]] std::string EndpointText(const Network::SockAddr& addr);
// The text part of a datagram for a log line: the bytes up to the zero byte (cut after 2000 bytes, made
// safe by SafeText: control characters and broken UTF-8 shown as U+FFFD), then " +N bytes" for an attachment.
[[nodiscard]] std::string DatagramText(const std::vector<std::uint8_t>& bytes);

}  // namespace Sim
