#include "devices/device_base.h"

#include <algorithm>
#include <utility>

#include "common/environment.h"
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
      clock_(&RealClock()) {}

DeviceBase::~DeviceBase() {
    // The model's destructor has closed already; the session must not outlive its receiver.
    Disconnect();
}

void DeviceBase::Log(std::uint32_t level, const std::wstring& text) {
    WriteAtLevel(log_, level, name_ + L": " + text);
}

// ---------------------------------------------------------------------------------------------------
// Session

ErrInfo DeviceBase::Init(const DeviceInitInfo& settings) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::Init"));
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
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() == SDK::Disconnected) {
        return;
    }
    if (state_.load() == SDK::RtpActive) {
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

// ---------------------------------------------------------------------------------------------------
// Audio

ErrInfo DeviceBase::Start(const DeviceStartInfo& settings) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    ErrInfo result(ERR_PLACE("Norvane::DeviceBase::Start"));
    if (state_.load() != SDK::Connected) {
        return result.SetError(L"Cannot start: device not connected");
    }
    const std::uint32_t freq = GetSampleFreq();
    if (freq != 44100 && freq != 48000) {
        return result.SetError(L"Cannot start: invalid sample frequency");
    }
    // The RTP layer is not part of this build yet: no stream could be received.
    (void)settings;
    return result.SetError(L"Cannot start: audio streaming is not available in this build");
}

void DeviceBase::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (state_.load() == SDK::RtpActive) {
        state_.store(SDK::Connected);
    }
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

void DeviceBase::OnGetTime(const Network::JsonMsgGetTime& /*msg*/, const SockAddr& from) {
    std::shared_ptr<JsonMsg> answer;
    {
        // One answer on its way at most: each would take its place in the session's queue, ahead of
        // the application's requests. A request while one is on its way costs nothing but the count.
        std::lock_guard<std::mutex> lock(timeMutex_);
        if (!pendingCurTime_.expired()) {
            droppedTimeRequests_.fetch_add(1);
            return;
        }
        answer = std::make_shared<Network::JsonMsgCurTime>();
        pendingCurTime_ = answer;
    }
    ErrInfo err = SendMessageToDevice(std::move(answer), false);
    if (!err.IsOk()) {
        Log(kLogErrors, FormatLine(L"\"cur_time\" for %ls not sent: %ls", from.ToString().c_str(),
                                   err.ToShortString().c_str()));
        err.MarkHandled();
    }
}

}  // namespace Norvane
