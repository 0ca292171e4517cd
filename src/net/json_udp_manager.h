// JsonUdpManager: one UDP socket as an endpoint for control messages.
//
// A message goes out as one datagram (JsonMsg::ToPacket) and every received datagram is decoded with a
// message factory (JsonMsg::FromPacket) and handed to an IJsonUdpReceiver. The endpoint has no
// reliability of its own: no acknowledgement, no repetition, no ordering (that is JsonUdpConnect, which
// wraps one endpoint).
//
// Threads: SendDirect runs on the caller's thread and sends at once (the socket is synchronous). Received
// datagrams are decoded on the socket service thread, with the socket's lock held, and OnMessage and the
// "Bad message received" OnError are called there. Decoding never throws. An undecodable datagram is
// counted in the endpoint's drop report (one summary line per sender and minute in the debug log); only
// a sender's first one of each minute raises the OnError, so a flood multiplies neither calls nor lines.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/debug_log.h"
#include "common/err_info.h"
#include "net/drop_report.h"
#include "net/inet.h"
#include "protocol/json_msg.h"
#include "protocol/sock_addr.h"

namespace Network {

class IJsonUdpManager;

// The consumer of an endpoint's messages (devices, discovery, the reliable session).
class IJsonUdpReceiver {
public:
    virtual ~IJsonUdpReceiver() = default;
    // A message has been sent (endpoint) or acknowledged by the peer (session).
    virtual void OnAck(IJsonUdpManager* from, const std::shared_ptr<JsonMsg>& msg) = 0;
    // A message has arrived from `sender`.
    virtual void OnMessage(IJsonUdpManager* from, std::shared_ptr<JsonMsg> msg, const SockAddr& sender) = 0;
    // A failure: an undecodable datagram, a socket error, a send that failed or was given up.
    virtual void OnError(IJsonUdpManager* from, const ErrInfo& error) = 0;
    // Asked for every datagram before it is decoded: false drops it at the cost of its receipt alone, so
    // a flood from a host the receiver does not talk to cannot outrun the socket (the receiver counts it).
    virtual bool AcceptsFrom(IJsonUdpManager* /*from*/, const SockAddr& /*sender*/) { return true; }
};

// Asked before each send of an endpoint: false keeps the message from being sent (the send still
// reports success). Tests use it to lose datagrams on the sending side.
class IJsonUdpSendFilter {
public:
    virtual ~IJsonUdpSendFilter() = default;
    virtual bool Filter(IJsonUdpManager* from, const std::shared_ptr<JsonMsg>& msg) = 0;
};

// The endpoint's settings, copied whole at Init.
struct JsonUdpManagerInfo {
    IJsonUdpReceiver* receiver = nullptr;       // not owned
    const IJsonMsgFactory* factory = nullptr;   // not owned; null: only the transport kinds decode
    IJsonUdpSendFilter* send_filter = nullptr;  // not owned; null: every message is sent
    SockAddr default_send_addr;                 // destination when a send names none
    SockAddr local_addr;                        // address and port the socket binds to
    bool broadcast = false;                     // open the socket with SO_BROADCAST
    std::uint32_t max_datagram_size = 1472;     // serialisation limit and receive buffer size
    std::uint32_t socket_recv_buffer = 0;       // the socket's UdpSockInfo::socket_recv_buffer
};

class IJsonUdpManager {
public:
    virtual ~IJsonUdpManager() = default;
    // Stop(), then take the settings. Always succeeds.
    virtual ErrInfo Init(const JsonUdpManagerInfo& info) = 0;
    // Opens the socket with the settings of the last Init.
    virtual ErrInfo Start() = 0;
    // Closes and drops the socket, if any.
    virtual void Stop() = 0;
    [[nodiscard]] virtual bool IsStarted() = 0;
    virtual ErrInfo SetDefaultSendAddr(const SockAddr& addr) = 0;
    [[nodiscard]] virtual SockAddr GetDefaultSendAddr() = 0;
    // The address the socket is bound to, with the port the system chose when the settings asked for
    // port 0; cleared while stopped.
    [[nodiscard]] virtual SockAddr GetLocalAddress() = 0;
    // Sends `msg` as one datagram to `dest`, or to the default send address when `dest` is not valid.
    virtual ErrInfo SendDirect(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) = 0;
};

class JsonUdpManager : public IJsonUdpManager, public IUdpReceiver {
public:
    // The name of `info` (or "JsonUdpManager" when it is empty) starts every log line.
    static std::shared_ptr<JsonUdpManager> Create(const ComponentInfo& info, INetManager& manager);

    JsonUdpManager(const ComponentInfo& info, INetManager& manager);
    ~JsonUdpManager() override;
    JsonUdpManager(const JsonUdpManager&) = delete;
    JsonUdpManager& operator=(const JsonUdpManager&) = delete;

    ErrInfo Init(const JsonUdpManagerInfo& info) override;
    ErrInfo Start() override;
    void Stop() override;
    [[nodiscard]] bool IsStarted() override;
    ErrInfo SetDefaultSendAddr(const SockAddr& addr) override;
    [[nodiscard]] SockAddr GetDefaultSendAddr() override;
    [[nodiscard]] SockAddr GetLocalAddress() override;
    ErrInfo SendDirect(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) override;

    // IUdpReceiver (socket service thread).
    void OnDatagramReceived(IUdpSock* sock, std::shared_ptr<Packet> datagram, const SockAddr& from) override;
    void OnSocketError(const ErrInfo& error, IUdpSock* sock) override;

    [[nodiscard]] const std::wstring& GetName() const noexcept { return name_; }
    // What the endpoint dropped (undecodable datagrams); the session above it reports its own drops here
    // too, so that one line per sender and minute sums up both.
    [[nodiscard]] DropReport& Drops() noexcept { return drops_; }

private:
    [[nodiscard]] std::shared_ptr<IUdpSock> Socket();
    [[nodiscard]] JsonUdpManagerInfo Settings();

    const std::wstring name_;
    INetManager& manager_;
    std::shared_ptr<IDebugLog> log_;
    DropReport drops_;

    // Guards the settings and the socket pointer. Never held while the socket is called: the socket's
    // lock is held while it calls us back, so holding ours while calling it could deadlock.
    std::mutex mutex_;
    JsonUdpManagerInfo info_;
    std::shared_ptr<IUdpSock> sock_;
};

}  // namespace Network
