#include "devices/device_base.h"

#include <algorithm>
#include <utility>

#include "common/environment.h"
#include "common/usage_counters.h"
#include "devices/device_text.h"

namespace Norvane {

using Network::JsonMsg;
using Network::SockAddr;

namespace {

// The one message factory every device session decodes with; stateless.
const Network::AsioDriverJsonMsgFactory& MessageFactory() {
    static const Network::AsioDriverJsonMsgFactory factory;
    return factory;
}

// The RTP payload type of the device's streams at sample frequency `freq` with audio protocol
// `protocol` (both 2-channel 24-bit); 0 for a frequency the streams cannot have.
std::uint8_t ChoosePayloadType(std::uint32_t freq, std::uint32_t protocol) {
    const bool current = protocol >= 2;
    switch (freq) {
        case 44100:
            return current ? 101 : 74;
        case 48000:
            return current ? 100 : 72;
        default:
            return 0;
    }
}

// The device whose audio block the calling thread is running, if any.
thread_local const DeviceBase* audioBlockOf = nullptr;

class AudioBlockScope {
public:
    explicit AudioBlockScope(const DeviceBase* device) noexcept : previous_(audioBlockOf) {
        audioBlockOf = device;
    }
    ~AudioBlockScope() { audioBlockOf = previous_; }
    AudioBlockScope(const AudioBlockScope&) = delete;
    AudioBlockScope& operator=(const AudioBlockScope&) = delete;

private:
    const DeviceBase* previous_;
};

ErrInfo Expired(const char* method, const char* file, std::int32_t line) {
    ErrInfo err(method, file, line);
    err.SetError(L"Message response time has expired");
    return err;
}

}  // namespace

DeviceBase::DeviceBase(std::wstring name, Network::INetManager* control, Network::INetManager* audio)
    : name_(std::move(name)),
      log_(GetProcessDebugLog()),
      control_(control),
      audio_(audio),
      clock_(&RealClock()) {
    LiveDevices().Increment();
}

DeviceBase::~DeviceBase() {
    // The model's destructor has closed already; the session must not outlive its receiver.
    Disconnect();
    LiveDevices().Decrement();
}

cmn::UsageCounter& DeviceBase::LiveDevices() {
    static cmn::UsageCounter* const live = new cmn::UsageCounter("DeviceBase");
    return *live;
}

void DeviceBase::Log(std::uint32_t level, const std::wstring& text) {
    WriteAtLevel(log_, level, name_ + L": " + text);
}

// ---------------------------------------------------------------------------------------------------
// Session

ErrInfo DeviceBase::Init(const DeviceInitInfo& settings) {
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::Init"));
    if (CalledFromAudioBlock(L"Init")) {
        return result.SetError(L"Can not init object from within the audio callback");
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() != SDK::Disconnected) {
        return result.SetError(L"Can not init object, device already connected");
    }
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        description_ = DeviceDescription{};
    }
    std::shared_ptr<Network::IJsonUdpConnect> session;
    if (control_ != nullptr) {
        session = Network::JsonUdpConnect::Create(ComponentInfo{L"NorvaneDevice.JsonUdpConnect"}, *control_);
    }
    if (!session) {
        return result.SetError(L"Can not create objects");
    }

    const SockAddr deviceAddr(settings.device_addr, settings.device_port);
    const SockAddr localAddr(settings.host_addr, settings.host_port);
    IClock* const clock = settings.clock != nullptr ? settings.clock : &RealClock();
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        initInfo_ = settings;
        deviceAddr_ = deviceAddr;
        refusal_.clear();
        clock_.store(clock);
        foreignDrops_.SetClock(clock);
    }
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        session_ = session;
    }
    if (!deviceAddr.IsValid()) {
        // Nothing could ever be sent: say so now rather than after the time-out.
        Disconnect();
        return result.SetError(L"Can not resolve device address '" + settings.device_addr + L"'");
    }

    Network::JsonUdpConnectInfo info;
    info.receiver = this;
    info.factory = &MessageFactory();
    info.default_send_addr = deviceAddr;
    info.local_addr = localAddr;
    info.clock = clock;
    if (ErrInfo err = session->Init(info); !err.IsOk()) {
        Disconnect();
        return err;
    }
    if (ErrInfo err = session->Start(); !err.IsOk()) {
        Disconnect();
        return err;
    }

    if (ErrInfo err = RequestDevInfo(true); !err.IsOk()) {
        Disconnect();
        return err;
    }
    if (!WaitForCondition([this] { return !description_.unit_id.empty() || !refusal_.empty(); })) {
        Disconnect();
        return Expired(ERR_PLACE("Norvane::DeviceBase::Init"));
    }
    std::wstring refusal;
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        refusal = refusal_;
    }
    if (!refusal.empty()) {
        Disconnect();
        return result.SetError(refusal);
    }
    if (ErrInfo err = RequestState(true); !err.IsOk()) {
        Disconnect();
        return err;
    }
    if (!WaitForCondition([this] { return description_.device_freq != 0; })) {
        Disconnect();
        return Expired(ERR_PLACE("Norvane::DeviceBase::Init"));
    }

    state_.store(SDK::Connected);
    OnConnected();

    const DeviceDescription d = GetDeviceInfo();
    Log(kLogErrors, FormatLine(L"Device connected: %ls type=%ls id=%ls; rec.chans=%u play.chans=%u",
                               deviceAddr.ToString().c_str(), DeviceTypeToText(GetType()).c_str(),
                               d.unit_id.c_str(), d.inputs, d.outputs));
    return result;
}

void DeviceBase::Close() {
    if (CalledFromAudioBlock(L"Close")) {
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() == SDK::Disconnected) {
        return;
    }
    if (state_.load() == SDK::RtpActive) {
        StopAudio();
        state_.store(SDK::Connected);
    }
    Disconnect();
    state_.store(SDK::Disconnected);
    OnDisconnected();
    LogDropTotals();
    Log(kLogThreads, L"Device closed");
}

void DeviceBase::Shutdown() {
    Close();
    Disconnect();
}

void DeviceBase::Disconnect() {
    std::shared_ptr<Network::IJsonUdpConnect> session;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        session.swap(session_);
    }
    if (session) {
        session->SetDefaultSendAddr(SockAddr()).MarkHandled();
        // Joins the worker: no handler runs after this.
        session->Stop();
        session.reset();
    }
    {
        std::lock_guard<std::mutex> lock(timeMutex_);
        pendingCurTime_.reset();
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    description_ = DeviceDescription{};
    initInfo_ = DeviceInitInfo{};
    deviceAddr_.Clear();
    inputRouting_.clear();
    recentIds_.clear();
    recentIdSet_.clear();
    duplicateReportMs_.reset();
    refusal_.clear();
    // The connection's clock need not outlive it.
    clock_.store(&RealClock());
    foreignDrops_.SetClock(&RealClock());
}

void DeviceBase::LogDropTotals() {
    const std::uint64_t foreign = droppedForeign_.load();
    const std::uint64_t duplicates = droppedDuplicates_.load();
    const std::uint64_t timeRequests = droppedTimeRequests_.load();
    if (foreign != 0 || duplicates != 0 || timeRequests != 0) {
        Log(kLogConfig,
            FormatLine(L"Dropped so far: %llu messages of other senders, %llu late duplicates, "
                       L"%llu \"get_time\" requests while a \"cur_time\" was on its way",
                       static_cast<unsigned long long>(foreign), static_cast<unsigned long long>(duplicates),
                       static_cast<unsigned long long>(timeRequests)));
    }
}

std::shared_ptr<Network::IJsonUdpConnect> DeviceBase::Session() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return session_;
}

ErrInfo DeviceBase::SendMessageToDevice(std::shared_ptr<JsonMsg> msg, bool wait) {
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::SendMessageToDevice"));
    if (!msg) {
        return result.SetError(L"Bad message");
    }
    std::shared_ptr<Network::IJsonUdpConnect> session = Session();
    if (!session) {
        return result.SetError(L"Device is not connected");
    }
    const std::uint32_t id = msg->msg_id;
    if (wait) {
        // Registered before the send: the acknowledgement may come before Send returns.
        acks_.Expect(id);
    }
    if (ErrInfo err = session->Send(std::move(msg), SockAddr()); !err.IsOk()) {
        acks_.Forget(id);
        return err;
    }
    if (wait && !acks_.Wait(id, kResponseTimeout)) {
        return result.SetError(L"Message response time has expired");
    }
    return result;
}

bool DeviceBase::WaitForCondition(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(dataMutex_);
    return dataCv_.wait_for(lock, kResponseTimeout, pred);
}

ErrInfo DeviceBase::RequestDevInfo(bool wait) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetDevInfo>(), wait);
}

ErrInfo DeviceBase::RequestState(bool wait) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetState>(), wait);
}

ErrInfo DeviceBase::RequestInputs(bool wait) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetInputs>(), wait);
}

ErrInfo DeviceBase::SendAndAwait(std::shared_ptr<JsonMsg> request, const std::uint32_t& lastId, bool wait,
                                 const char* method, const wchar_t* what) {
    std::uint32_t before = 0;
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        before = lastId;
    }
    if (ErrInfo err = SendMessageToDevice(std::move(request), true); !err.IsOk()) {
        return err;
    }
    ErrInfo result(method, __FILE__, __LINE__);
    if (wait && !WaitForCondition([&] { return lastId != before; })) {
        result.SetError(std::wstring(L"Device response timeout expired for expected \"") + what + L"\"");
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------
// Audio

ErrInfo DeviceBase::Start(const DeviceStartInfo& settings) {
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::Start"));
    if (CalledFromAudioBlock(L"Start")) {
        return result.SetError(L"Cannot start: called from within the audio callback");
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() != SDK::Connected) {
        return result.SetError(L"Cannot start: device not connected");
    }
    const std::uint8_t payloadType = ChoosePayloadType(GetSampleFreq(), GetDeviceInfo().audio_protocol);
    if (payloadType == 0) {
        return result.SetError(L"Cannot start: invalid sample frequency");
    }
    if (ErrInfo err = StartAudio(settings, payloadType); !err.IsOk()) {
        // Whatever was made goes again, and the device is told to stop sending.
        StopAudio();
        return err;
    }
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        statsManager_ = audioManager_;
    }
    state_.store(SDK::RtpActive);
    return result;
}

ErrInfo DeviceBase::StartAudio(const DeviceStartInfo& settings, std::uint8_t payloadType) {
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::Start"));
    const DeviceDescription d = GetDeviceInfo();
    std::wstring hostText;
    SockAddr deviceAddr;
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        hostText = initInfo_.host_addr;
        deviceAddr = deviceAddr_;
    }
    const SockAddr hostAddr(hostText, 0);
    if (!hostAddr.IsValid()) {
        return result.SetError(
            L"Cannot start: the host address is not an IPv4 address the device could send its streams to");
    }
    // The highest receive port is rtp_base_port + 2 * inputs; it must not wrap around.
    if (settings.rtp_base_port != 0 && settings.rtp_base_port + 2u * d.inputs > 0xFFFFu) {
        return result.SetError(
            FormatLine(L"Cannot start: RTP port base %u leaves no room for %u input "
                       L"streams (ports up to %u needed, 65535 at most)",
                       settings.rtp_base_port, d.inputs, settings.rtp_base_port + 2u * d.inputs));
    }

    std::shared_ptr<Network::IRtpAudioManager> manager;
    if (audio_ != nullptr) {
        manager =
            Network::CreateRtpAudioManager(ComponentInfo{L"NorvaneDevice.RtpManager"}, audio_, clock_.load());
    }
    if (!manager) {
        return result.SetError(L"Can not create objects");
    }

    // Everything the block uses is in place before the manager opens its channels: packets are received,
    // and blocks run, from its Init on.
    audioManager_ = manager;
    refusalLogged_.store(false);
    callbackExceptions_.store(0);
    startInfo_ = settings;
    hasAudioIo_ = static_cast<bool>(settings.on_audio_io);
    hasBuffers_ = static_cast<bool>(settings.on_buffers);
    noOutputAlloc_ = !settings.alloc_output_buffers;
    const std::uint32_t frames = GetFramesPerBlock();
    const auto allocate = [&](std::vector<float*>& buffers, std::size_t count, bool own) {
        buffers.assign(count, nullptr);
        for (float*& b : buffers) {
            if (own) {
                ownBuffers_.push_back(std::make_unique<float[]>(frames));
                b = ownBuffers_.back().get();
            }
        }
    };
    allocate(inBuffers_, 2u * std::size_t{d.inputs}, !hasBuffers_);
    allocate(outBuffers_, 2u * std::size_t{d.outputs}, !noOutputAlloc_);
    manager->AddTarget(this);

    Network::RtpManagerInfo info;
    info.SampleFreq = d.device_freq;
    info.PacketSmplSize = frames;
    info.buffer_window = settings.buffer_window;
    info.start_latency = settings.start_latency;
    const std::wstring host = hostAddr.AddrToString();
    for (std::uint32_t i = 0; i < d.inputs; ++i) {
        Network::RtpRecvChanInfo chan;
        const std::uint16_t port =
            settings.rtp_base_port == 0 ? 0 : static_cast<std::uint16_t>(settings.rtp_base_port + 2 * i + 2);
        chan.Set(host, L"", port);
        chan.payload_type = payloadType;
        // Nobody but the device feeds the streams.
        chan.source = deviceAddr;
        chan.source.SetPort(0);
        info.recv_chans.push_back(std::move(chan));
    }
    const std::wstring device = deviceAddr.AddrToString();
    for (std::uint32_t i = 0; i < d.outputs; ++i) {
        Network::RtpSendChanInfo chan;
        chan.Set(device, L"", static_cast<std::uint16_t>(d.rtp_port + 2 * i));
        chan.payload_type = payloadType;
        info.send_chans.push_back(std::move(chan));
    }
    if (ErrInfo err = manager->Init(info); !err.IsOk()) {
        return err;
    }

    // Where each stream is to go: the port each receive channel listens on, chosen by the system when
    // the base is 0.
    auto setInputs = std::make_shared<Network::JsonMsgSetInputs>();
    std::wstring ports;
    for (std::uint32_t i = 0; i < d.inputs; ++i) {
        const SockAddr local = manager->GetRecvChanAddr(i);
        if (!local.IsComplete()) {
            return result.SetError(
                FormatLine(L"Cannot start: receive channel %u of %u has no local port", i, d.inputs));
        }
        SockAddr target = hostAddr;
        target.SetPort(local.GetPort());
        setInputs->inputs.push_back(Network::InputRoute{true, target});
        ports += (i == 0 ? L"" : L", ") + std::to_wstring(local.GetPort());
    }
    if (ErrInfo err = SendMessageToDevice(setInputs, true); !err.IsOk()) {
        return err;
    }
    if (ErrInfo err = RequestInputs(true); !err.IsOk()) {
        return err;
    }
    if (ErrInfo err = manager->Start(); !err.IsOk()) {
        return err;
    }
    Log(kLogThreads,
        FormatLine(L"Audio started: %u Hz, payload type %u, %u input streams to %ls port %ls, "
                   L"%u output streams",
                   d.device_freq, payloadType, d.inputs, host.c_str(), ports.c_str(), d.outputs));
    return result;
}

void DeviceBase::Stop() {
    if (CalledFromAudioBlock(L"Stop")) {
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() != SDK::RtpActive) {
        return;
    }
    StopAudio();
    state_.store(SDK::Connected);
}

void DeviceBase::StopAudio() {
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        statsManager_.reset();
    }
    if (audioManager_) {
        // Returns only when no block runs any more: from here on the audio objects are ours alone.
        audioManager_->Stop();
        (void)audioManager_->DelTarget(this).MarkHandled();
    }
    if (Session()) {
        auto off = std::make_shared<Network::JsonMsgSetInputs>();
        off->inputs.assign(GetInputs(), Network::InputRoute{true, SockAddr()});
        ErrInfo err = SendMessageToDevice(off, true);
        if (err.IsOk()) {
            err = RequestInputs(true);
        }
        if (!err.IsOk()) {
            Log(kLogErrors,
                L"Audio stopped, but the device was not told to stop sending: " + err.ToShortString());
            err.MarkHandled();
        }
    }
    if (audioManager_) {
        Log(kLogThreads, FormatLine(L"Audio stopped; the callbacks threw %llu exceptions",
                                    static_cast<unsigned long long>(callbackExceptions_.exchange(0))));
    }
    audioManager_.reset();
    hasAudioIo_ = false;
    hasBuffers_ = false;
    noOutputAlloc_ = false;
    inBuffers_.clear();
    outBuffers_.clear();
    ownBuffers_.clear();
    startInfo_ = DeviceStartInfo{};
}

bool InAudioBlock(const IDevice* device) {
    return audioBlockOf != nullptr && static_cast<const IDevice*>(audioBlockOf) == device;
}

bool DeviceBase::CalledFromAudioBlock(const wchar_t* operation) {
    if (audioBlockOf != this) {
        return false;
    }
    // Once per start: a callback may try on every block.
    if (!refusalLogged_.exchange(true)) {
        Log(kLogErrors, FormatLine(L"%ls refused: called from within the audio callback, it would wait for "
                                   L"the block that calls it; call it from another thread (further refusals "
                                   L"until the next Start are not logged)",
                                   operation));
    }
    return true;
}

void DeviceBase::OnSync(Network::ISyncSource* /*source*/, std::int64_t position,
                        std::uint32_t /*sampleFreq*/) {
    if (position < 0) {
        return;
    }
    const AudioBlockScope scope(this);
    const std::uint32_t frames = GetFramesPerBlock();
    // The audio thread serves every socket of the audio service: an exception of the application's
    // callbacks must not end it. The block goes on as far as it can.
    try {
        if (hasBuffers_) {
            startInfo_.on_buffers(inBuffers_, frames);
        }
        audioManager_->RecvAudio(inBuffers_, frames);
        if (hasAudioIo_) {
            startInfo_.on_audio_io(inBuffers_, outBuffers_, frames);
        }
    } catch (...) {
        if (callbackExceptions_.fetch_add(1) == 0) {
            Log(kLogErrors,
                L"The audio callback threw an exception; the block is sent as it stands (further "
                L"ones are counted and reported when audio stops)");
        }
    }
    audioManager_->SendAudio(outBuffers_, frames);
    if (hasBuffers_) {
        std::fill(inBuffers_.begin(), inBuffers_.end(), nullptr);
    }
    if (noOutputAlloc_) {
        std::fill(outBuffers_.begin(), outBuffers_.end(), nullptr);
    }
}

bool DeviceBase::GetStreamStats(std::vector<Network::RtpStreamStats>& stats) {
    stats.clear();
    std::lock_guard<std::mutex> lock(statsMutex_);
    if (!statsManager_) {
        return false;
    }
    const std::size_t n = statsManager_->GetRecvChanCount();
    for (std::size_t i = 0; i < n; ++i) {
        stats.push_back(statsManager_->GetRecvStreamStats(i));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Description

std::wstring DeviceBase::GetDeviceId() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return description_.unit_id;
}

DeviceDescription DeviceBase::GetDeviceInfo() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return description_;
}

std::uint32_t DeviceBase::GetInputs() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return description_.inputs;
}

std::uint32_t DeviceBase::GetOutputs() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return description_.outputs;
}

std::uint32_t DeviceBase::GetSampleFreq() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return description_.device_freq;
}

std::vector<SockAddr> DeviceBase::GetInputRouting() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return inputRouting_;
}

// ---------------------------------------------------------------------------------------------------
// Receiving (the session's worker thread)

void DeviceBase::OnAck(Network::IJsonUdpManager* /*from*/, const std::shared_ptr<JsonMsg>& msg) {
    if (msg) {
        acks_.OnAck(msg->msg_id);
    }
}

void DeviceBase::OnError(Network::IJsonUdpManager* /*from*/, const ErrInfo& /*error*/) {}

bool DeviceBase::SeenBefore(std::uint32_t msgId, std::int64_t nowMs) {
    while (!recentIds_.empty() && nowMs - recentIds_.front().atMs >= kRecentIdMemory.count()) {
        recentIdSet_.erase(recentIds_.front().id);
        recentIds_.pop_front();
    }
    if (recentIdSet_.count(msgId) != 0) {
        return true;
    }
    if (recentIds_.size() >= kRecentIdLimit) {
        recentIdSet_.erase(recentIds_.front().id);
        recentIds_.pop_front();
    }
    recentIds_.push_back(RecentId{msgId, nowMs});
    recentIdSet_.insert(msgId);
    return false;
}

void DeviceBase::OnMessage(Network::IJsonUdpManager* /*from*/, std::shared_ptr<JsonMsg> msg,
                           const SockAddr& sender) {
    if (!msg) {
        return;
    }
    const std::int64_t nowMs = clock_.load()->NowMs();
    std::function<void(const std::shared_ptr<JsonMsg>&)> onMessage;
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        if (!deviceAddr_.IsValid() || sender != deviceAddr_) {
            droppedForeign_.fetch_add(1);
            if (foreignDrops_.Count(sender, Network::kDropForeign)) {
                const std::wstring device = deviceAddr_.ToString();
                Log(kLogErrors, FormatLine(L"Message \"%ls\" from %ls dropped: the device is %ls",
                                           msg->type.c_str(), sender.ToString().c_str(), device.c_str()));
            }
            return;
        }
        if (SeenBefore(msg->msg_id, nowMs)) {
            const std::uint64_t dropped = droppedDuplicates_.fetch_add(1) + 1;
            Log(kLogMessages, FormatLine(L"Late duplicate \"%ls\" msg_id=%u from %ls dropped",
                                         msg->type.c_str(), msg->msg_id, sender.ToString().c_str()));
            if (!duplicateReportMs_ || nowMs - *duplicateReportMs_ >= kDropReportIntervalMs) {
                duplicateReportMs_ = nowMs;
                Log(kLogConfig, FormatLine(L"Late duplicate \"%ls\" msg_id=%u from %ls dropped; %llu late "
                                           L"duplicates so far (this line comes at most once a minute)",
                                           msg->type.c_str(), msg->msg_id, sender.ToString().c_str(),
                                           static_cast<unsigned long long>(dropped)));
            }
            return;
        }
        onMessage = initInfo_.on_message;
    }
    HandleMessage(msg, sender);
    dataCv_.notify_all();
    if (onMessage) {
        onMessage(msg);
    }
}

void DeviceBase::HandleMessage(const std::shared_ptr<JsonMsg>& msg, const SockAddr& from) {
    if (const auto* info = dynamic_cast<const Network::JsonMsgDevInfo*>(msg.get())) {
        OnDevInfo(*info, from);
    } else if (const auto* state = dynamic_cast<const Network::JsonMsgState*>(msg.get())) {
        OnState(*state, from);
    } else if (const auto* inputs = dynamic_cast<const Network::JsonMsgInputs*>(msg.get())) {
        OnInputs(*inputs, from);
    } else if (const auto* getTime = dynamic_cast<const Network::JsonMsgGetTime*>(msg.get())) {
        OnGetTime(*getTime, from);
    }
}

void DeviceBase::OnDevInfo(const Network::JsonMsgDevInfo& msg, const SockAddr& from) {
    Log(kLogConfig,
        FormatLine(L"Unit %ls : \"dev_info\" from %ls type=%ls id=%ls; rec.chans=%u play.chans=%u",
                   msg.unit_id.c_str(), from.ToString().c_str(), msg.unit_type.c_str(), msg.unit_id.c_str(),
                   msg.inputs, msg.outputs));
    // The exact text: an unknown text must not pass for the model whose number is 0.
    if (msg.unit_type != DeviceTypeToText(GetType())) {
        Log(kLogErrors, FormatLine(L"Unexpected device type: '%ls' instead of '%ls'", msg.unit_type.c_str(),
                                   DeviceTypeToText(GetType()).c_str()));
        return;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    if (msg.inputs > kMaxDeviceChannels || msg.outputs > kMaxDeviceChannels) {
        // The lists would be sized by these counts. Logged once per connection attempt: the device may
        // send such answers at any rate.
        if (refusal_.empty()) {
            refusal_ = FormatLine(
                L"Device %ls announces %u inputs and %u outputs; at most %u of each are "
                L"supported",
                from.ToString().c_str(), msg.inputs, msg.outputs, kMaxDeviceChannels);
            Log(kLogErrors, L"\"dev_info\" refused: " + refusal_);
        }
        return;
    }
    if (state_.load() != SDK::Disconnected &&
        (msg.inputs != description_.inputs || msg.outputs != description_.outputs)) {
        // The model's lists were sized by the counts of the handshake; the application sizes its arrays by
        // them too.
        Log(kLogErrors, FormatLine(L"\"dev_info\" from %ls changes the channel counts of a connected device "
                                   L"(%u/%u instead of %u/%u); ignored",
                                   from.ToString().c_str(), msg.inputs, msg.outputs, description_.inputs,
                                   description_.outputs));
        return;
    }
    description_.unit_id = CutDeviceText(msg.unit_id);
    description_.hardware = msg.hardware;
    description_.firmware = msg.firmware;
    description_.software = msg.software;
    description_.audio_protocol = msg.audio_protocol;
    description_.control_protocol = msg.control_protocol;
    description_.rtp_port = msg.rtp_port;
    description_.inputs = msg.inputs;
    description_.outputs = msg.outputs;
}

void DeviceBase::OnState(const Network::JsonMsgState& msg, const SockAddr& /*from*/) {
    std::lock_guard<std::mutex> lock(dataMutex_);
    description_.device_freq = msg.device_freq;
}

void DeviceBase::OnInputs(const Network::JsonMsgInputs& msg, const SockAddr& /*from*/) {
    std::lock_guard<std::mutex> lock(dataMutex_);
    inputRouting_ = msg.inputs;
}

std::shared_ptr<JsonMsg> DeviceBase::NewCurTime(bool onlyIfNone) {
    std::lock_guard<std::mutex> lock(timeMutex_);
    if (onlyIfNone && !pendingCurTime_.expired()) {
        return nullptr;
    }
    auto answer = std::make_shared<Network::JsonMsgCurTime>();
    pendingCurTime_ = answer;
    return answer;
}

ErrInfo DeviceBase::SendCurTime() {
    return SendMessageToDevice(NewCurTime(false), true);
}

void DeviceBase::OnGetTime(const Network::JsonMsgGetTime& /*msg*/, const SockAddr& from) {
    // One answer on its way at most: each would take its place in the session's queue, ahead of the
    // application's requests. A request while one is on its way costs nothing but the count.
    std::shared_ptr<JsonMsg> answer = NewCurTime(true);
    if (!answer) {
        droppedTimeRequests_.fetch_add(1);
        return;
    }
    ErrInfo err = SendMessageToDevice(std::move(answer), false);
    if (!err.IsOk()) {
        Log(kLogErrors, FormatLine(L"\"cur_time\" for %ls not sent: %ls", from.ToString().c_str(),
                                   err.ToShortString().c_str()));
        err.MarkHandled();
        return;
    }
    answeredTimeRequests_.fetch_add(1);
}

}  // namespace Norvane
