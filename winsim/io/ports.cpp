// Filter communication ports: the driver's server ports and client ports, and the
// client side a test (or, later, fltlib) uses to connect, send and disconnect.
//
// Every callback into the driver is counted on its filter and port while it runs,
// so closing a port or unregistering the filter waits until callbacks running on
// other threads have returned (a callback closing its own port does not wait for
// itself).
#include <algorithm>

#include "winsim/io/fltmgr.h"

using winsim::detail::Violation;

namespace winsim::io {
namespace {

// Connections whose message callback runs on this thread now: a callback that
// closes its own client port must not wait for itself.
thread_local std::vector<const PortConnection*> t_messages;

int MessagesOwnedByThisThread(const PortConnection* c) {
    return (int)std::count(t_messages.begin(), t_messages.end(), c);
}

_FLT_PORT* FindPortLocked(PFLT_PORT port, _FLT_PORT::Kind kind) {
    for (auto& p : Flt().ports)
        if (p.get() == port) return p->kind == kind ? p.get() : nullptr;
    return nullptr;
}

std::string PortName(const _FLT_PORT* server) { return detail::ToUtf8(server->name); }

// Ends the connection's share of the server's connection limit (once).
void Uncount(PortConnection* c) {
    if (!c->counted) return;
    c->counted = false;
    --c->clientPort->server->liveConnections;
}

// Runs a filter callback for a port; the caller already counted it in flight.
template <class Fn>
auto PortCallback(_FLT_FILTER* filter, _FLT_PORT* server, PEPROCESS process, Fn&& fn) {
    FilterCallback guard(filter, server);
    ProcessScope asProcess(process);
    DriverScope scope(&filter->service);
    return fn();
}

}  // namespace

void PortsDisconnect(_FLT_FILTER* filter) {
    FltState& s = Flt();
    std::vector<PortConnection*> connected;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& c : s.connections) {
            _FLT_PORT* cp = c->clientPort;
            if (cp->filter != filter) continue;
            if (c->connected && !c->clientClosed && !cp->driverClosed && !c->disconnectNotified &&
                cp->server->disconnect) {
                c->disconnectNotified = true;
                ++filter->callbacksInFlight;
                ++cp->server->inFlight;
                connected.push_back(c.get());
            }
        }
    }
    for (PortConnection* c : connected) {
        _FLT_PORT* server = c->clientPort->server;
        PortCallback(filter, server, detail::CurrentProcess(), [&] { server->disconnect(c->cookie); });
    }
    // From now on sends fail and nobody new connects.
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& c : s.connections)
        if (c->clientPort->filter == filter) c->serverGone = true;
}

std::vector<std::string> PortsLeftOpen(_FLT_FILTER* filter) {
    FltState& s = Flt();
    std::vector<std::string> leaks;
    const std::string who = detail::ToUtf8(filter->service);
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& c : s.connections) {
        if (c->clientPort->filter != filter) continue;
        c->serverGone = true;
        Uncount(c.get());
    }
    for (auto& p : s.ports) {
        if (p->filter != filter) continue;
        if (p->kind == _FLT_PORT::Kind::Server && !p->closed) {
            leaks.push_back("communication port " + PortName(p.get()) + " of " + who +
                            " still open when its filter went away (FltCloseCommunicationPort missing)");
            p->closed = true;
        } else if (p->kind == _FLT_PORT::Kind::Client && !p->driverClosed) {
            leaks.push_back("client port of a connection to " + PortName(p->server) + " never closed by " + who +
                            " (FltCloseClientPort missing)");
            p->driverClosed = true;
        }
    }
    return leaks;
}

}  // namespace winsim::io

// ---------------------------------------------------------------- client side
namespace winsim {

NTSTATUS Machine::ConnectPort(PEPROCESS client, const std::u16string& portName, PortConnection** connection) {
    return ConnectPort(client, portName, nullptr, 0, connection);
}

NTSTATUS Machine::ConnectPort(PEPROCESS client, const std::u16string& portName, const void* context,
                              uint16_t contextSize, PortConnection** connection) {
    if (!connection) return STATUS_INVALID_PARAMETER;
    *connection = nullptr;
    if (!client) client = SystemProcess();
    io::FltState& s = io::Flt();
    _FLT_PORT* server = nullptr;
    _FLT_PORT* clientPort = nullptr;
    PortConnection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& p : s.ports)
            if (p->kind == _FLT_PORT::Kind::Server && !p->closed && !p->filter->gone && !p->filter->unregistering &&
                detail::EqualsNoCase(p->name, portName))
                server = p.get();
        if (!server) return STATUS_OBJECT_NAME_NOT_FOUND;
        // The default descriptor admits System and Administrators only.
        if (!client->administrator) return STATUS_ACCESS_DENIED;
        if (server->liveConnections >= server->maxConnections) return STATUS_CONNECTION_COUNT_LIMIT;

        auto port = std::make_unique<_FLT_PORT>();
        port->kind = _FLT_PORT::Kind::Client;
        port->filter = server->filter;
        port->server = server;
        auto conn = std::make_unique<PortConnection>();
        conn->client = client;
        conn->clientPort = port.get();
        conn->counted = true;
        if (context && contextSize)
            conn->context.assign(static_cast<const uint8_t*>(context), static_cast<const uint8_t*>(context) + contextSize);
        port->connection = conn.get();
        clientPort = port.get();
        c = conn.get();
        s.ports.push_back(std::move(port));
        s.connections.push_back(std::move(conn));
        ++server->liveConnections;
        ++server->filter->callbacksInFlight;
        ++server->inFlight;
    }
    _FLT_FILTER* filter = server->filter;
    NTSTATUS status = io::PortCallback(filter, server, client, [&]() -> NTSTATUS {
        PVOID cookie = nullptr;
        NTSTATUS st = server->connect(clientPort, server->cookie, c->context.empty() ? nullptr : c->context.data(),
                                      (ULONG)c->context.size(), &cookie);
        bool lateDisconnect = false, disconnected = false;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            c->cookie = cookie;
            if (!NT_SUCCESS(st)) {
                // Refused: the filter manager discards the client port itself.
                clientPort->driverClosed = true;
                c->clientClosed = true;
                io::Uncount(c);
                return st;
            }
            if (c->serverGone) {
                // The filter began unregistering while it accepted this client.
                lateDisconnect = !clientPort->driverClosed && server->disconnect;
                disconnected = true;
                c->disconnectNotified = true;
                c->clientClosed = true;
                io::Uncount(c);
            } else {
                c->connected = true;
            }
        }
        if (disconnected) {
            if (lateDisconnect) server->disconnect(cookie);
            return STATUS_PORT_DISCONNECTED;
        }
        return st;
    });
    if (NT_SUCCESS(status)) *connection = c;
    return status;
}

NTSTATUS Machine::SendMessage(PortConnection* connection, const void* input, uint32_t inputLength, void* output,
                              uint32_t outputLength, uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    if (!connection) return STATUS_INVALID_HANDLE;
    io::FltState& s = io::Flt();
    _FLT_PORT* server;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (connection->clientClosed) return STATUS_INVALID_HANDLE;
        _FLT_PORT* cp = connection->clientPort;
        server = cp->server;
        if (cp->driverClosed || connection->serverGone || cp->filter->gone) return STATUS_PORT_DISCONNECTED;
        if (!server->message) return STATUS_NOT_SUPPORTED;
        ++connection->inFlight;
        ++server->filter->callbacksInFlight;
        ++server->inFlight;
    }
    ULONG returned = 0;
    NTSTATUS status;
    auto finished = [&] {
        io::t_messages.pop_back();
        std::lock_guard<std::mutex> lock(s.mutex);
        --connection->inFlight;
        s.changed.notify_all();
    };
    io::t_messages.push_back(connection);
    try {
        status = io::PortCallback(server->filter, server, connection->client, [&] {
            return server->message(connection->cookie, const_cast<void*>(input), inputLength, output, outputLength,
                                   &returned);
        });
    } catch (...) {
        finished();
        throw;
    }
    finished();
    if (bytesReturned) *bytesReturned = returned;
    return status;
}

void Machine::ClosePort(PortConnection* connection) {
    if (!connection) return;
    io::FltState& s = io::Flt();
    _FLT_PORT* server;
    bool notify;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (connection->clientClosed) return;
        connection->clientClosed = true;  // no new messages
        // Like the last handle going away: messages already sent finish first.
        s.changed.wait(lock, [&] { return connection->inFlight == 0; });
        _FLT_PORT* cp = connection->clientPort;
        server = cp->server;
        notify = connection->connected && !cp->driverClosed && !connection->serverGone &&
                 !connection->disconnectNotified && server->disconnect && !cp->filter->gone;
        io::Uncount(connection);
        if (notify) {
            connection->disconnectNotified = true;
            ++server->filter->callbacksInFlight;
            ++server->inFlight;
        }
    }
    if (notify)
        io::PortCallback(server->filter, server, connection->client, [&] { server->disconnect(connection->cookie); });
}

void Machine::OnPortCreated(std::function<void(const std::u16string& portName)> fn) {
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.onPortCreated = std::move(fn);
}

size_t Machine::PortConnectionCount(const std::u16string& portName) const {
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    size_t count = 0;
    for (auto& p : s.ports)
        if (p->kind == _FLT_PORT::Kind::Server && !p->filter->gone && detail::EqualsNoCase(p->name, portName))
            count += (size_t)p->liveConnections;
    return count;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS FltCreateCommunicationPort(PFLT_FILTER filter, PFLT_PORT* serverPort, POBJECT_ATTRIBUTES objectAttributes,
                                    PVOID serverPortCookie, PFLT_CONNECT_NOTIFY connectNotifyCallback,
                                    PFLT_DISCONNECT_NOTIFY disconnectNotifyCallback,
                                    PFLT_MESSAGE_NOTIFY messageNotifyCallback, LONG maxConnections) {
    detail::RequirePassive("FltCreateCommunicationPort");
    if (!serverPort || !objectAttributes || !objectAttributes->ObjectName || !connectNotifyCallback ||
        !disconnectNotifyCallback || maxConnections <= 0)
        return STATUS_INVALID_PARAMETER;
    *serverPort = nullptr;
    if (detail::ShouldFail(FaultClass::Registration, "FltCreateCommunicationPort")) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = io::ToU16(objectAttributes->ObjectName);
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (!(objectAttributes->Attributes & OBJ_KERNEL_HANDLE))
        Violation("FltCreateCommunicationPort without OBJ_KERNEL_HANDLE in the object attributes (" +
                  detail::ToUtf8(name) + ")");

    io::FltState& s = io::Flt();
    std::function<void(const std::u16string&)> created;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_FILTER* f = io::FindFilterLocked(filter);
        if (!f || f->unregistering) return STATUS_INVALID_PARAMETER;
        for (auto& p : s.ports)
            if (p->kind == _FLT_PORT::Kind::Server && !p->closed && !p->filter->gone &&
                detail::EqualsNoCase(p->name, name))
                return STATUS_OBJECT_NAME_COLLISION;
        auto port = std::make_unique<_FLT_PORT>();
        port->kind = _FLT_PORT::Kind::Server;
        port->filter = f;
        port->name = name;
        port->cookie = serverPortCookie;
        port->connect = connectNotifyCallback;
        port->disconnect = disconnectNotifyCallback;
        port->message = messageNotifyCallback;
        port->maxConnections = maxConnections;
        *serverPort = port.get();
        s.ports.push_back(std::move(port));
        created = s.onPortCreated;
    }
    // The port takes clients from here on, before this routine has returned.
    if (created) created(name);
    return STATUS_SUCCESS;
}

void FltCloseCommunicationPort(PFLT_PORT serverPort) {
    detail::RequirePassive("FltCloseCommunicationPort");
    if (!serverPort) return;
    io::FltState& s = io::Flt();
    std::unique_lock<std::mutex> lock(s.mutex);
    _FLT_PORT* p = io::FindPortLocked(serverPort, _FLT_PORT::Kind::Server);
    if (!p || p->closed) {
        lock.unlock();
        Violation(p ? "FltCloseCommunicationPort on a port already closed"
                    : "FltCloseCommunicationPort on something that is not a server port");
        return;
    }
    p->closed = true;  // no new connections; the existing ones stay until closed
    s.changed.wait(lock, [&] { return p->inFlight <= io::FilterCallback::OwnedBy(p); });
}

void FltCloseClientPort(PFLT_FILTER filter, PFLT_PORT* clientPort) {
    detail::RequirePassive("FltCloseClientPort");
    if (!clientPort || !*clientPort) return;
    io::FltState& s = io::Flt();
    std::string problem;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        _FLT_PORT* p = io::FindPortLocked(*clientPort, _FLT_PORT::Kind::Client);
        if (!p) {
            problem = "FltCloseClientPort on something that is not a client port";
        } else if (p->driverClosed) {
            problem = "FltCloseClientPort on a client port already closed";
        } else {
            p->driverClosed = true;  // later sends from that client fail
            io::Uncount(p->connection);
            // Messages already delivered on this connection finish first (other
            // than one this thread is serving, which may close its own port).
            PortConnection* c = p->connection;
            s.changed.wait(lock, [&] { return c->inFlight <= io::MessagesOwnedByThisThread(c); });
        }
    }
    *clientPort = nullptr;
    if (!problem.empty()) Violation(problem);
}
