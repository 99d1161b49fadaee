// The control channel: the communication port's callbacks and the command
// dispatcher behind them.
//
// IRQL and locking: every routine runs at PASSIVE_LEVEL in the calling client's
// thread; several may run at once. The connection list has its own spin lock,
// held only to link, unlink or count a record; the first-client and last-client
// decisions and their effects on the global state are taken under it.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_CONNECTION KX_POOL_TAG("cnsc")  // port connection records

// Must run before the port is created: the connect callback links into the list.
void InitConnectionList();

NTSTATUS Kx4GrdPortConnect(PFLT_PORT clientPort, PVOID serverPortCookie, PVOID connectionContext,
                           ULONG sizeOfContext, PVOID* connectionCookie);
void Kx4GrdPortDisconnect(PVOID connectionCookie);
// Closes every client port, waiting for each connection's messages in progress;
// afterwards no message reaches the driver. PASSIVE_LEVEL, no lock held.
void CloseClientPorts();
// Frees the connection records still listed. Only once the filter is unregistered,
// when no connection callback can run any more.
void ReleaseConnections();

NTSTATUS Kx4GrdMssageProc(PVOID connectionCookie, PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                          ULONG outputBufferLength, PULONG returnOutputBufferLength);
