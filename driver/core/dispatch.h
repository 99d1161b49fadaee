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
_IRQL_requires_(PASSIVE_LEVEL)
void InitConnectionList();

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Kx4GrdPortConnect(_In_ PFLT_PORT clientPort, _In_opt_ PVOID serverPortCookie,
                           _In_reads_bytes_opt_(sizeOfContext) PVOID connectionContext, _In_ ULONG sizeOfContext,
                           _Outptr_result_maybenull_ PVOID* connectionCookie);
_IRQL_requires_(PASSIVE_LEVEL)
void Kx4GrdPortDisconnect(_In_opt_ PVOID connectionCookie);
// Closes every client port, waiting for each connection's messages in progress;
// afterwards no message reaches the driver. PASSIVE_LEVEL, no lock held.
_IRQL_requires_(PASSIVE_LEVEL)
void CloseClientPorts();
// Frees the connection records still listed. Only once the filter is unregistered,
// when no connection callback can run any more.
_IRQL_requires_max_(APC_LEVEL)
void ReleaseConnections();

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Kx4GrdMssageProc(_In_opt_ PVOID connectionCookie, _In_reads_bytes_opt_(inputBufferLength) PVOID inputBuffer,
                          _In_ ULONG inputBufferLength,
                          _Out_writes_bytes_to_opt_(outputBufferLength, *returnOutputBufferLength) PVOID outputBuffer,
                          _In_ ULONG outputBufferLength, _Out_ PULONG returnOutputBufferLength);
