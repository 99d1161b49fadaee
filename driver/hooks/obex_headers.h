// OBEX packets as the Bluetooth RFCOMM and IrDA paths carry them: the operation
// codes, the connect header and the walk of a put's headers to its file name.
//
// Every routine here works on (packet, length) only: it reads no byte at or past
// packet[length], allocates nothing, takes no lock and prints nothing, so it runs
// at any IRQL. The packet may be a caller's buffer mapped into system space; the
// caller wraps the call in KX_TRY/KX_EXCEPT for faults of the mapping itself.
//
// Encoding: lengths are big-endian, text is big-endian UTF-16. Header ids carry
// their form in the top two bits: 0x00 Unicode text and 0x40 byte sequence (a
// two-byte length that counts the whole header follows the id), 0x80 a one-byte
// value (two bytes in all), 0xC0 a four-byte value (five bytes in all).
#pragma once

#include "platform/km.h"

#define OBEX_OPCODE_CONN_FLAGS 0x00
#define OBEX_OPCODE_NAME 0x01
#define OBEX_OPCODE_PUT 0x02
#define OBEX_OPCODE_VERSION 0x10
#define OBEX_OPCODE_BODY 0x48
#define OBEX_OPCODE_END_BODY 0x49
#define OBEX_OPCODE_CONNECT 0x80
#define OBEX_OPCODE_DISCONNECT 0x81
#define OBEX_OPCODE_PUT_FINAL 0x82
#define OBEX_OPCODE_CONTINUE 0x90
#define OBEX_OPCODE_OK 0xA0
#define OBEX_OPCODE_LENGTH 0xC3

#define OBEX_HEADER_NAME 0x01
#define OBEX_HEADER_FORM_MASK 0xC0
#define OBEX_HEADER_FORM_UNICODE 0x00
#define OBEX_HEADER_FORM_BYTES 0x40
#define OBEX_HEADER_FORM_BYTE 0x80
#define OBEX_HEADER_FORM_QUAD 0xC0

// A put's headers start after the operation code and the packet length.
#define OBEX_PUT_HEADERS_OFFSET 3
// A connect carries operation code, packet length, version, flags and maximum
// packet size: seven bytes.
#define OBEX_CONNECT_MIN_LENGTH 7

// The file-name buffer: 520 bytes, 260 UTF-16 units. A name is cut to 518 bytes
// (259 units) so the terminating unit always fits.
#define OBEX_NAME_BUFFER_BYTES 520
#define OBEX_NAME_BUFFER_CHARS (OBEX_NAME_BUFFER_BYTES / 2)
#define OBEX_NAME_MAX_BYTES (OBEX_NAME_BUFFER_BYTES - 2)

typedef struct _OBEX_CONNECT_INFO {
    USHORT PacketLength;   // bytes 1-2, as the sender declared it
    UCHAR Version;         // byte 3
    UCHAR Flags;           // byte 4
    USHORT MaxPacketSize;  // bytes 5-6
} OBEX_CONNECT_INFO, *POBEX_CONNECT_INFO;

typedef struct _OBEX_NAME {
    // Host-order UTF-16, zero-filled past the copied units and always terminated
    // at unit Units (an embedded zero unit may end the text earlier).
    WCHAR Text[OBEX_NAME_BUFFER_CHARS];
    ULONG Units;         // units copied (at most 259)
    ULONG HeaderOffset;  // where the name header starts in the packet
    ULONG HeaderLength;  // its declared length (fits in the packet)
} OBEX_NAME, *POBEX_NAME;

// The connect fields from bytes 1 to 6; FALSE (and *info zeroed) when the packet
// has fewer than seven bytes.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ObexParseConnect(_In_reads_bytes_(length) const UCHAR* packet, _In_ ULONG length,
                         _Out_ POBEX_CONNECT_INFO info);

// Walks the headers of a put from offset 3 to the first name header and copies its
// text into *name (zeroed first). FALSE when there is none or the walk stops first:
// a header whose id and length do not fit, a zero length, or a name header that
// declares 5 bytes or fewer or runs past the packet. Only the first name counts.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ObexFindName(_In_reads_bytes_(length) const UCHAR* packet, _In_ ULONG length, _Out_ POBEX_NAME name);
