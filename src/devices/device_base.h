// DeviceBase: the control session with one device, shared by every model.
//
// Init opens a reliable message session to the device's control port and performs the handshake
// ("get_dev_info", then "get_state"); the description is then known and the model's OnConnected runs.
// Requests go out through SendMessageToDevice, which waits for the acknowledgement when asked to; a caller
// that wants data waits for the model's answer with WaitForCondition.
//
// Threads: the application's threads call Init, Close and the request operations and block in the waits
// (at most kResponseTimeoutMs each). The session's worker thread calls OnAck and OnMessage, so message
// handlers run there; they never wait for anything the worker itself would have to deliver. The data
// lock guards the description and the model's lists; handlers hold it while they write, readers while
// they copy, and the data condition is signalled after every message handled.
//
// Only messages whose sender has the device's address and port are handled; anything else is dropped and
// counted, with a log line at most once a minute per sender, so nobody else on the network can change
// the application's view of the device, nor flood the log.
//
// Whatever the device sends is bounded too: a description with more than kMaxDeviceChannels inputs or
// outputs is refused (Init fails with the reason), at most one "cur_time" answer to the device's
// "get_time" is on its way at a time, and the memory of message ids that drops late duplicates holds ids
// for kRecentIdMemory only, so that a device that restarted and counts its ids from 1 again is heard.
//
// Audio: Start creates the RTP audio manager on the audio service with one receive channel per device
// input and one send channel per output, registers the device as its sync target, and tells the device
// where to send each input stream ("set_inputs"). Each receive channel takes packets from the device's
// address only. The manager calls OnSync on the audio thread once per block; the device then reads one
// block of every input stream into the input buffers, calls the application's callback and sends the
// output buffers. Stop (and Close, and a failed Start) stops the manager first, which returns only when
// no block runs any more; then the device is told to stop sending and the buffers and callbacks are
// released. Init, Close, Start and Stop called from within a callback (on the audio thread) are refused
// with a log line: they would wait for the very block that calls them. An exception of a callback is
// caught and counted: the audio thread serves the other sockets too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/err_info.h"
#include "common/usage_counters.h"
#include "devices/ack_tracker.h"
#include "devices/device.h"
#include "net/drop_report.h"
#include "net/json_udp_connect.h"
#include "net/json_udp_manager.h"
#include "protocol/device_msgs.h"
#include "protocol/sock_addr.h"

namespace Norvane {

// How long a caller waits for an acknowledgement, and then again for an answer.
inline constexpr std::chrono::milliseconds kResponseTimeout{2000};
// How long the identifier of a device's message is remembered to drop late duplicates (a repeat that
// arrives after other messages, which the session no longer recognises). The device sends a message at
// most three times, 300 ms apart, so a copy arrives at the latest about 900 ms after the first; a device
// that restarted reuses identifiers, and its messages must not be taken for duplicates for longer.
inline constexpr std::chrono::milliseconds kRecentIdMemory{3000};
// At most this many identifiers are remembered (the oldest give way), whatever rate the device sends at.
inline constexpr std::size_t kRecentIdLimit = 1024;
// Late duplicates are logged at most once per this interval (foreign senders once a minute each, by the
// drop report).
inline constexpr std::int64_t kDropReportIntervalMs = Network::kDropReportPeriodMs;

class DeviceBase : public Network::IJsonUdpReceiver, public Network::ISyncTarget, public IDevice {
public:
    // `name` starts every log line of the device. The services are not owned and must outlive it.
    DeviceBase(std::wstring name, Network::INetManager* control, Network::INetManager* audio);
    // Disconnects. A model class calls Shutdown() in its own destructor, while its handlers still exist.
    ~DeviceBase() override;
    DeviceBase(const DeviceBase&) = delete;
    DeviceBase& operator=(const DeviceBase&) = delete;

    // Devices of the process not yet destroyed, in the usage statistics as "DeviceBase": one that lives on
    // after the application has let it go is a leak (of its sockets and threads too).
    static cmn::UsageCounter& LiveDevices();

    // IDevice
    ErrInfo Init(const DeviceInitInfo& settings) override;
    void Close() override;
    ErrInfo Start(const DeviceStartInfo& settings) override;
    void Stop() override;
    [[nodiscard]] std::uint32_t GetState() override { return state_.load(); }
    [[nodiscard]] std::wstring GetDeviceId() override;
    [[nodiscard]] DeviceDescription GetDeviceInfo() override;
    [[nodiscard]] std::uint32_t GetInputs() override;
    [[nodiscard]] std::uint32_t GetOutputs() override;
    [[nodiscard]] std::uint32_t GetFramesPerBlock() override { return kFramesPerBlock; }
    [[nodiscard]] std::uint32_t GetSampleFreq() override;
    bool GetStreamStats(std::vector<Network::RtpStreamStats>& stats) override;

    // ISyncTarget: one audio block (the audio thread). A negative position (the stream has just been
    // locked) does nothing.
    void OnSync(Network::ISyncSource* source, std::int64_t position, std::uint32_t sampleFreq) override;

    // IJsonUdpReceiver (the session's worker thread).
    void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<Network::JsonMsg>& msg) override;
    // Checks the sender and drops late duplicates, then HandleMessage, then wakes the data waiters and
    // calls the init settings' on_message.
    void OnMessage(Network::IJsonUdpManager* from, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) final;
    // Session errors change nothing: a device that falls silent stays connected until it is closed.
    void OnError(Network::IJsonUdpManager* from, const ErrInfo& error) override;

    // Sends one message to the device; with `wait`, waits up to kResponseTimeout for its acknowledgement
    // ("Message response time has expired").
    ErrInfo SendMessageToDevice(std::shared_ptr<Network::JsonMsg> msg, bool wait);
    // Waits up to kResponseTimeout, under the data lock, until `pred` holds. True when it does.
    bool WaitForCondition(const std::function<bool()>& pred);

    virtual ErrInfo RequestDevInfo(bool wait);
    ErrInfo RequestState(bool wait);
    ErrInfo RequestInputs(bool wait);
    // Sends `request`, always waits for its acknowledgement, and with `wait` also until `lastId` (an
    // answer's last accepted msg_id, written under the data lock) changes; the time-out error then reads
    // "Device response timeout expired for expected \"<what>\"". `method` names the caller in the error.
    ErrInfo SendAndAwait(std::shared_ptr<Network::JsonMsg> request, const std::uint32_t& lastId, bool wait,
                         const char* method, const wchar_t* what);

    // The input routing of the last "inputs" answer.
    [[nodiscard]] std::vector<Network::SockAddr> GetInputRouting();
    // Late duplicates dropped so far (for diagnostics and tests).
    [[nodiscard]] std::uint64_t GetDroppedDuplicates() const noexcept { return droppedDuplicates_.load(); }
    // Messages dropped because their sender was not the device.
    [[nodiscard]] std::uint64_t GetDroppedForeign() const noexcept { return droppedForeign_.load(); }
    // The device's "get_time" requests not answered because the previous "cur_time" was still on its way.
    [[nodiscard]] std::uint64_t GetDroppedTimeRequests() const noexcept {
        return droppedTimeRequests_.load();
    }
    // The device's "get_time" requests answered with a "cur_time".
    [[nodiscard]] std::uint64_t GetAnsweredTimeRequests() const noexcept {
        return answeredTimeRequests_.load();
    }

protected:
    // The model's work after a successful handshake (on the thread that called Init).
    virtual void OnConnected() = 0;
    // The model's clean-up after disconnection.
    virtual void OnDisconnected() = 0;

    // Handles one message from the device (worker thread). Models handle their own messages and then
    // call this one, which routes "dev_info", "state", "inputs" and "get_time".
    virtual void HandleMessage(const std::shared_ptr<Network::JsonMsg>& msg, const Network::SockAddr& from);
    virtual void OnDevInfo(const Network::JsonMsgDevInfo& msg, const Network::SockAddr& from);
    virtual void OnState(const Network::JsonMsgState& msg, const Network::SockAddr& from);
    virtual void OnInputs(const Network::JsonMsgInputs& msg, const Network::SockAddr& from);
    // Answers with "cur_time" without waiting: the acknowledgement is delivered by this very thread. While
    // an earlier answer is still on its way the request is only counted (GetDroppedTimeRequests).
    virtual void OnGetTime(const Network::JsonMsgGetTime& msg, const Network::SockAddr& from);
    // Sends a "cur_time" holding the current local and UTC time on the application's behalf and waits for
    // its acknowledgement. It counts as the "cur_time" on its way: the device's requests meanwhile are
    // only counted. Never from the worker thread, which delivers the acknowledgement.
    ErrInfo SendCurTime();

    // Close, then release the session whatever the state. For the destructors of model classes.
    void Shutdown();

    // Writes one line "<name>: <text>" when the log's level is `level` or more.
    void Log(std::uint32_t level, const std::wstring& text);

    [[nodiscard]] const std::wstring& Name() const noexcept { return name_; }
    [[nodiscard]] Network::INetManager* ControlService() const noexcept { return control_; }
    [[nodiscard]] Network::INetManager* AudioService() const noexcept { return audio_; }

    // Guards the description, the input routing and the model's lists.
    std::mutex dataMutex_;

private:
    void Disconnect();
    // The audio objects undone: the manager stopped (no block runs any more), the device told to stop
    // sending, buffers and callbacks released. Under lifecycleMutex_; errors are logged and dropped.
    void StopAudio();
    // Start's work after the state and frequency checks; its errors leave the audio objects in place.
    ErrInfo StartAudio(const DeviceStartInfo& settings, std::uint8_t payloadType);
    // True when the calling thread is inside this device's audio block; the first refusal of a start is
    // logged.
    bool CalledFromAudioBlock(const wchar_t* operation);
    [[nodiscard]] std::shared_ptr<Network::IJsonUdpConnect> Session();
    // True when the message was handled less than kRecentIdMemory before `nowMs` (a late duplicate);
    // otherwise remembers it. Under dataMutex_.
    bool SeenBefore(std::uint32_t msgId, std::int64_t nowMs);
    // One line with the drop counters, when any is not 0.
    void LogDropTotals();
    // A new "cur_time", taken as the one on its way; null when `onlyIfNone` and one is on its way already.
    std::shared_ptr<Network::JsonMsg> NewCurTime(bool onlyIfNone);

    const std::wstring name_;
    std::shared_ptr<IDebugLog> log_;

    AckTracker acks_;
    std::condition_variable dataCv_;

    Network::INetManager* const control_;
    Network::INetManager* const audio_;

    // Init, Close, Start and Stop, one at a time.
    std::mutex lifecycleMutex_;
    std::mutex sessionMutex_;
    std::shared_ptr<Network::IJsonUdpConnect> session_;

    std::atomic<std::uint32_t> state_{SDK::Disconnected};

    // Under dataMutex_.
    DeviceInitInfo initInfo_;
    Network::SockAddr deviceAddr_;
    DeviceDescription description_;
    std::vector<Network::SockAddr> inputRouting_;
    struct RecentId {
        std::uint32_t id;
        std::int64_t atMs;
    };
    std::deque<RecentId> recentIds_;                 // in arrival order
    std::unordered_set<std::uint32_t> recentIdSet_;  // the same identifiers, for the look-up
    std::optional<std::int64_t> duplicateReportMs_;  // when a late duplicate was last logged
    // Foreign senders' drops: its Count says when a sender's line is due (once a minute each).
    Network::DropReport foreignDrops_{L"", Network::DropReport::Sink(), &RealClock()};
    std::wstring refusal_;  // why the device's description was refused; empty: not refused

    // The clock of the connection (the real one when Init was given none).
    std::atomic<IClock*> clock_;

    // The "cur_time" on its way: the session holds it until it is acknowledged or given up.
    std::mutex timeMutex_;
    std::weak_ptr<Network::JsonMsg> pendingCurTime_;

    std::atomic<std::uint64_t> droppedDuplicates_{0};
    std::atomic<std::uint64_t> droppedForeign_{0};
    std::atomic<std::uint64_t> droppedTimeRequests_{0};
    std::atomic<std::uint64_t> answeredTimeRequests_{0};

    // Audio. Written by Start and StopAudio only while no block can run (before the manager's Init,
    // after its Stop); the block reads them without a lock.
    std::shared_ptr<Network::IRtpAudioManager> audioManager_;
    DeviceStartInfo startInfo_;
    std::vector<float*> inBuffers_;
    std::vector<float*> outBuffers_;
    std::vector<std::unique_ptr<float[]>> ownBuffers_;  // the buffers the library allocated
    bool hasAudioIo_ = false;
    bool hasBuffers_ = false;
    bool noOutputAlloc_ = false;
    std::atomic<bool> refusalLogged_{false};            // a call from within the callback refused since Start
    std::atomic<std::uint64_t> callbackExceptions_{0};  // thrown by the callbacks since Start
    // The manager whose counters GetStreamStats reads: set once audio runs, cleared before it stops.
    std::mutex statsMutex_;
    std::shared_ptr<Network::IRtpAudioManager> statsManager_;
};

}  // namespace Norvane
