#include "net/json_udp_manager.h"

#include <utility>

#include "common/environment.h"
#include "protocol/packet.h"

namespace Network {

namespace {

std::wstring EndpointName(const ComponentInfo& info) {
    return info.name.empty() ? std::wstring(L"JsonUdpManager") : info.name;
}

}  // namespace

std::shared_ptr<JsonUdpManager> JsonUdpManager::Create(const ComponentInfo& info, INetManager& manager) {
    return std::make_shared<JsonUdpManager>(info, manager);
}

JsonUdpManager::JsonUdpManager(const ComponentInfo& info, INetManager& manager)
    : name_(EndpointName(info)),
      manager_(manager),
      log_(GetProcessDebugLog()),
      drops_(name_, DropReport::ToLog(log_)) {}

JsonUdpManager::~JsonUdpManager() {
    Stop();
}

ErrInfo JsonUdpManager::Init(const JsonUdpManagerInfo& info) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        info_ = info;
    }
    return ErrInfo(ERR_PLACE("Network::JsonUdpManager::Init"));
}

ErrInfo JsonUdpManager::Start() {
    Stop();
    const JsonUdpManagerInfo settings = Settings();

    UdpSockInfo sockInfo;
    sockInfo.bind_addr = settings.local_addr;
    sockInfo.broadcast = settings.broadcast;
    sockInfo.recv_buffer_size = settings.max_datagram_size;
    sockInfo.socket_recv_buffer = settings.socket_recv_buffer;
    sockInfo.receiver = this;

    std::shared_ptr<IUdpSock> sock = manager_.CreateUdpSock();
    if (!sock) {
        ErrInfo err(ERR_PLACE("Network::JsonUdpManager::Start"));
        err.SetError(L"Bad socket");
        return err;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sock_ = sock;
    }
    ErrInfo result = sock->Open(sockInfo);
    if (!result.IsOk()) {
        Stop();
    }
    return result;
}

void JsonUdpManager::Stop() {
    std::shared_ptr<IUdpSock> sock;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sock.swap(sock_);
    }
    // Closing takes the socket's lock, which the service thread holds while it calls us back: our own
    // lock must not be held here.
    if (sock) {
        sock->Close();
    }
}

bool JsonUdpManager::IsStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sock_ != nullptr;
}

ErrInfo JsonUdpManager::SetDefaultSendAddr(const SockAddr& addr) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        info_.default_send_addr = addr;
    }
    return ErrInfo(ERR_PLACE("Network::JsonUdpManager::SetDefaultSendAddr"));
}

SockAddr JsonUdpManager::GetDefaultSendAddr() {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_.default_send_addr;
}

SockAddr JsonUdpManager::GetLocalAddress() {
    std::shared_ptr<IUdpSock> sock = Socket();
    return sock ? sock->GetInfo().bind_addr : SockAddr();
}

std::shared_ptr<IUdpSock> JsonUdpManager::Socket() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sock_;
}

JsonUdpManagerInfo JsonUdpManager::Settings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_;
}

ErrInfo JsonUdpManager::SendDirect(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) {
    ErrInfo result(ERR_PLACE("Network::JsonUdpManager::SendDirect"));
    const JsonUdpManagerInfo settings = Settings();
    if (!msg) {
        return result.SetError(L"Bad message");
    }
    if (settings.send_filter != nullptr && !settings.send_filter->Filter(this, msg)) {
        return result;
    }

    Packet packet(settings.max_datagram_size);
    ErrInfo serialised(ERR_PLACE("Network::JsonMsg::ToPacket"));
    msg->ToPacket(serialised, packet, false, settings.max_datagram_size);
    if (!serialised.IsOk()) {
        return serialised;
    }

    std::shared_ptr<IUdpSock> sock = Socket();
    if (!sock) {
        return result.SetError(L"Bad socket");
    }
    SockAddr destination;
    if (dest.IsValid()) {
        destination = dest;
    } else if (settings.default_send_addr.IsValid()) {
        destination = settings.default_send_addr;
    } else {
        return result.SetError(L"Bad send address");
    }

    result = sock->Send(packet.Data(), packet.Size(), destination);
    if (result.IsOk()) {
        if (settings.receiver != nullptr) {
            settings.receiver->OnAck(this, msg);
        }
        if (log_ && log_->GetLoggingLevel() >= kLogMessages) {
            WriteAtLevel(
                log_, kLogMessages,
                FormatLine(L"%ls: MSG: -> (%ls) %ls : %ls", name_.c_str(), destination.ToString().c_str(),
                           msg->type.c_str(), msg->ToText().c_str()));
        }
    }
    return result;
}

void JsonUdpManager::OnDatagramReceived(IUdpSock* /*sock*/, std::shared_ptr<Packet> datagram,
                                        const SockAddr& from) {
    const JsonUdpManagerInfo settings = Settings();
    if (settings.receiver != nullptr && !settings.receiver->AcceptsFrom(this, from)) {
        return;
    }
    // The decoder never throws: a hostile datagram of any content gives no message. The catch keeps
    // anything else of this step (an allocation, the log line) off the service thread as well.
    std::shared_ptr<JsonMsg> msg;
    try {
        if (datagram) {
            msg = JsonMsg::FromPacket(*datagram, settings.factory, &from);
        }
        if (msg && log_ && log_->GetLoggingLevel() >= kLogMessages) {
            WriteAtLevel(log_, kLogMessages,
                         FormatLine(L"%ls: MSG: <- (%ls) %ls : %ls", name_.c_str(), from.ToString().c_str(),
                                    msg->type.c_str(), msg->ToText().c_str()));
        }
    } catch (...) {
        msg.reset();
    }
    if (!msg) {
        // Counted and summed up once a minute by the drop report, which is this error's log line.
        if (drops_.Count(from, kDropUndecodable) && settings.receiver != nullptr) {
            ErrInfo err(ERR_PLACE("Network::JsonUdpManager::OnDatagramReceived"));
            err.SetError(L"Bad message received");
            err.MarkHandled();
            settings.receiver->OnError(this, err);
        }
        return;
    }
    if (settings.receiver != nullptr) {
        settings.receiver->OnMessage(this, std::move(msg), from);
    }
}

void JsonUdpManager::OnSocketError(const ErrInfo& error, IUdpSock* /*sock*/) {
    const JsonUdpManagerInfo settings = Settings();
    if (settings.receiver != nullptr) {
        settings.receiver->OnError(this, error);
    }
}

}  // namespace Network
