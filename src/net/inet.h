// The socket service and its UDP sockets as their users see them: INetManager, IUdpSock, IUdpReceiver,
// UdpSockInfo and the socket event bits.
//
// A socket service (INetManager) owns one service thread that waits for network events of all sockets
// registered with it and runs their event handling. Sockets are made only by a service
// (CreateUdpSock), are shared through std::shared_ptr and get their events only from that service's
// thread. Received datagrams reach the socket's IUdpReceiver on the service thread, without the socket's
// lock held: a receiver may send on the same socket, or close it, from its callback, and other threads
// may use the socket meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/debug_log.h"
#include "common/err_info.h"
#include "protocol/packet.h"
#include "protocol/sock_addr.h"

namespace Network {

// Socket event bits, used in both directions between a service and its sockets. The names in log lines
// are IDLE, FD_READ, FD_WRITE, FD_OOB, FD_CLOSE, FD_ACCEPT, FD_CONNECT and SOCK_ERR.
inline constexpr std::uint32_t kSockEvIdle = 0x0001;     // added by the service when the socket IsIdle()
inline constexpr std::uint32_t kSockEvRead = 0x0002;     // data to read
inline constexpr std::uint32_t kSockEvWrite = 0x0004;    // sending possible again
inline constexpr std::uint32_t kSockEvOob = 0x0008;      // out-of-band data
inline constexpr std::uint32_t kSockEvClose = 0x0010;    // connection closed
inline constexpr std::uint32_t kSockEvAccept = 0x0020;   // incoming connection
inline constexpr std::uint32_t kSockEvConnect = 0x0040;  // connect completed
inline constexpr std::uint32_t kSockEvError = 0x8000;    // socket error

class BaseSock;
class IUdpSock;
class ITcpSock;
class ITcpListenSock;
class INetManager;

// Receives what a UDP socket gets. Called on the service thread, one call at a time, without the socket's
// lock held; once the socket's Close has returned on another thread, no call runs or comes.
class IUdpReceiver {
public:
    virtual ~IUdpReceiver() = default;
    // One datagram of at least one byte from `from`.
    virtual void OnDatagramReceived(IUdpSock* sock, std::shared_ptr<Packet> datagram,
                                    const SockAddr& from) = 0;
    // A failure of the socket found on the service thread (a failed read, a failed queued send).
    virtual void OnSocketError(const ErrInfo& error, IUdpSock* sock) = 0;
    // The socket has been closed by the system (not by the owner's Close).
    virtual void OnSocketClosed(const ErrInfo& error, IUdpSock* sock) {
        (void)error;
        (void)sock;
    }
};

// The settings a UDP socket is opened with; copied whole into the socket at Open.
struct UdpSockInfo {
    // Local address and port; an invalid address means the socket is not bound. Only a socket bound to an
    // address with a port reads datagrams. Port 0 binds a port of the system's choice, which GetInfo()
    // then reports.
    SockAddr bind_addr;
    // Default destination when a send gives no valid one.
    SockAddr send_addr;
    // Enable SO_BROADCAST.
    bool broadcast = false;
    // The bind address is a multicast group to join.
    bool multicast = false;
    // Interface for multicast; invalid means the loopback interface 127.0.0.1.
    SockAddr multicast_iface;
    // Bytes allocated for each received datagram; longer datagrams are cut.
    std::uint32_t recv_buffer_size = 1472;
    // Bytes the system is asked to hold for the socket while datagrams wait to be read (SO_RCVBUF); 0
    // leaves the system's default. A socket many peers answer at once needs room for the whole burst:
    // what does not fit is lost before the socket sees it. The system may give more (Linux doubles the
    // value for its bookkeeping) or less (its limit, on Linux net.core.rmem_max); the first socket of the
    // process that gets less says so in the log.
    std::uint32_t socket_recv_buffer = 0;
    // What the socket adds to its service's GetWeight().
    std::uint32_t weight = 1000;
    // Gets received datagrams and socket errors; not owned. Cleared by Close: no callback after it.
    IUdpReceiver* receiver = nullptr;
    // All sends are made at once on the caller's thread; no send queue.
    bool sync_only = true;
    // Places in the queue of datagrams sent later by the service thread (when sync_only is false).
    std::uint32_t send_queue_capacity = 100;
    // When sending would block, keep the datagram and wait rather than drop it.
    bool wait_when_blocked = true;
};

// A UDP socket served by a socket service.
class IUdpSock {
public:
    virtual ~IUdpSock() = default;

    // The service that made the socket.
    [[nodiscard]] virtual INetManager& GetNetManager() = 0;
    // Opens (and binds, joins, registers) the socket with `info`. A closed socket may be opened again.
    virtual ErrInfo Open(const UdpSockInfo& info) = 0;
    // Closes the socket; the receiver gets no call after this returns. From another thread it waits for
    // a receiver call in progress to end; from within a receiver call it returns at once (that call is
    // the last).
    virtual void Close() = 0;
    // Sets the default destination ("UDP socket: Invalid socket" when the socket is closed).
    virtual ErrInfo SetSendAddr(const SockAddr& addr) = 0;
    // Sends one datagram to `dest`, or to the default destination when `dest` is not valid. With
    // sync_only the datagram is sent on the calling thread; otherwise it is queued and sent by the
    // service thread ("UDP socket: Send buffer overflow" when the queue is full). Any number of threads
    // may send on one socket at the same time.
    virtual ErrInfo Send(std::shared_ptr<Packet> packet, const SockAddr& dest) = 0;
    // The same; the packet is always consumed.
    virtual ErrInfo Send(std::unique_ptr<Packet> packet, const SockAddr& dest) = 0;
    // The same with a copy of `size` bytes at `data`.
    virtual ErrInfo Send(const std::uint8_t* data, std::size_t size, const SockAddr& dest) = 0;
    // The settings in use (a copy).
    [[nodiscard]] virtual UdpSockInfo GetInfo() = 0;
    // The service-side view of this socket.
    [[nodiscard]] virtual BaseSock* GetBaseSock() = 0;
};

// Receives what a TCP socket gets. Called on the service thread with the socket's lock held (the lock is
// recursive: a receiver may send on its socket and close it from the call); a Close on another thread
// waits for a call in progress to return, and no call comes after it.
class ITcpReceiver {
public:
    virtual ~ITcpReceiver() = default;
    // An outgoing connection has been made; data may flow.
    virtual void OnConnected(ITcpSock* sock) = 0;
    // One chunk of the stream, in order, at most the settings' recv_chunk_size bytes.
    virtual void OnDataReceived(ITcpSock* sock, std::shared_ptr<Packet> data) = 0;
    // A failure that ends the connection (a failed send); the socket closes after the call.
    virtual void OnSocketError(ITcpSock* sock, const ErrInfo& error) = 0;
    // The connection ended (peer close or reset, a failed read, a failed connect). The error's code is
    // the system's reason: 0 for an orderly close, "connection reset" for a reset.
    virtual void OnSocketClosed(ITcpSock* sock, const ErrInfo& error) = 0;
};

// The settings a TCP socket is opened with; copied whole into the socket at Open.
struct TcpSockInfo {
    // Local address to bind before connecting; invalid: the system chooses.
    SockAddr local_addr;
    // The peer (outgoing connections). For an accepted connection, the peer's address.
    SockAddr remote_addr;
    // What the socket adds to its service's GetWeight().
    std::uint32_t weight = 1000;
    // Bytes read at most per OnDataReceived call (1 to 1 MiB).
    std::uint32_t recv_chunk_size = 16384;
    // Bytes the send queue holds at most; a Send that would exceed it is refused (a peer that does not
    // read cannot make the queue grow without limit).
    std::size_t send_queue_limit = 4 * 1024 * 1024;
    // Gets the stream and the socket's fate; not owned. Cleared by Close.
    ITcpReceiver* receiver = nullptr;
};

// Connection states of GetState().
inline constexpr std::uint32_t kTcpDisconnected = 0;
inline constexpr std::uint32_t kTcpConnecting = 1;
inline constexpr std::uint32_t kTcpConnected = 2;

// A TCP stream socket served by a socket service. Nothing is written on the caller's thread: Send
// queues and the service thread writes.
class ITcpSock {
public:
    virtual ~ITcpSock() = default;
    [[nodiscard]] virtual INetManager& GetNetManager() = 0;
    // Starts a non-blocking connect to info.remote_addr; OnConnected follows once it completes.
    virtual ErrInfo Open(const TcpSockInfo& info) = 0;
    // Closes the connection; queued data not yet written is dropped.
    virtual void Close() = 0;
    // Queues bytes for the peer ("TCP send failure : ..." when closed, not yet connected or full).
    virtual ErrInfo Send(std::shared_ptr<Packet> packet) = 0;
    virtual ErrInfo Send(std::unique_ptr<Packet> packet) = 0;
    virtual ErrInfo Send(const std::uint8_t* data, std::size_t size) = 0;
    [[nodiscard]] virtual TcpSockInfo GetInfo() = 0;
    // Replaces the receiver (for an accepted socket, from within OnAccepted).
    virtual void SetReceiver(ITcpReceiver* receiver) = 0;
    // kTcpDisconnected, kTcpConnecting or kTcpConnected; kTcpDisconnected whenever closed.
    [[nodiscard]] virtual std::uint32_t GetState() = 0;
    // Bytes queued and not yet written.
    [[nodiscard]] virtual std::size_t QueuedBytes() = 0;
    // Sends refused because the queue was full, since the socket was made.
    [[nodiscard]] virtual std::uint64_t RefusedSends() = 0;
    [[nodiscard]] virtual BaseSock* GetBaseSock() = 0;
};

// Gets every connection a listening socket accepts, as an open, served ITcpSock in state kTcpConnected
// (called on the service thread, before the socket's first event). Its receiver is the settings'
// accepted.receiver unless OnAccepted sets another (SetReceiver). The service keeps the socket until it
// closes.
class ITcpListenReceiver {
public:
    virtual ~ITcpListenReceiver() = default;
    virtual void OnAccepted(ITcpListenSock* listener, std::shared_ptr<ITcpSock> sock) = 0;
};

struct TcpListenSockInfo {
    // Address and port to listen on; port 0: the system chooses, and GetInfo() reports the port.
    SockAddr local_addr;
    // Connections of this listener open at one time at most; one more is accepted and closed at once
    // (and counted), so a flood of connections cannot use up the service's sockets or its memory.
    std::uint32_t max_connections = 256;
    // Settings of every accepted socket (weight, chunk size, queue limit, receiver).
    TcpSockInfo accepted;
    ITcpListenReceiver* receiver = nullptr;
};

// A listening TCP socket: every accepted connection becomes a served ITcpSock of the same service.
class ITcpListenSock {
public:
    virtual ~ITcpListenSock() = default;
    [[nodiscard]] virtual INetManager& GetNetManager() = 0;
    virtual ErrInfo Open(const TcpListenSockInfo& info) = 0;
    // Stops listening; connections accepted before stay open.
    virtual void Close() = 0;
    [[nodiscard]] virtual TcpListenSockInfo GetInfo() = 0;
    // Connections closed at once because max_connections were open, since the socket was made.
    [[nodiscard]] virtual std::uint64_t RefusedConnections() = 0;
    [[nodiscard]] virtual BaseSock* GetBaseSock() = 0;
};

// Starts the socket library for the caller (paired with platform::StopSocketLibrary on success). A
// failure writes "Error init WinSocks; code = <code>" to the process debug log and gives false. On
// POSIX there is nothing to start and it never fails.
bool InitWinSock();
// The outcome of one start: true for success, otherwise the line above with the start's code.
bool ReportSocketLibraryStart(int code);

// A socket service: one thread serving the events of every socket made by it.
class INetManager {
public:
    // With `count` < 2 a single service (NetManager), otherwise a service spreading its sockets over
    // `count` inner services (NetManagerMulti). `autoStart` starts the service thread at once.
    static std::shared_ptr<INetManager> Create(const ComponentInfo& info, bool autoStart, std::size_t count);

    // Stops the service: every socket it still serves is closed.
    virtual ~INetManager() = default;

    // Starts the service thread; true when it runs (also when it already ran).
    virtual bool Start() = 0;
    // Stops the service thread and closes every socket it serves; nothing when not running.
    virtual void Stop() = 0;
    [[nodiscard]] virtual bool IsRunning() = 0;

    // A new, unopened UDP socket served by this service.
    virtual std::shared_ptr<IUdpSock> CreateUdpSock() = 0;
    // Stream sockets; empty where this build has none.
    virtual std::shared_ptr<ITcpSock> CreateTcpSock() = 0;
    // A socket kind this build does not carry: always empty.
    virtual std::shared_ptr<BaseSock> CreateOtherSock() = 0;
    virtual std::shared_ptr<ITcpListenSock> CreateTcpListenSock() = 0;

    // Detailed per-socket log lines are written.
    [[nodiscard]] virtual bool IsLogging() = 0;
    // Sockets served now.
    [[nodiscard]] virtual std::size_t GetNumSockets() = 0;
    // Sum of the weights of the sockets served now.
    [[nodiscard]] virtual std::size_t GetWeight() = 0;
};

}  // namespace Network
