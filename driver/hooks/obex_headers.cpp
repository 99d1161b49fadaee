// OBEX connect fields and the put header walk, bounded by the packet's length.
#include "driver/hooks/obex_headers.h"

namespace {

USHORT ReadBigEndian16(const UCHAR* p) { return (USHORT)(((USHORT)p[0] << 8) | (USHORT)p[1]); }

}  // namespace

BOOLEAN ObexParseConnect(const UCHAR* packet, ULONG length, POBEX_CONNECT_INFO info) {
    info->PacketLength = 0;
    info->Version = 0;
    info->Flags = 0;
    info->MaxPacketSize = 0;
    if (packet == NULL || length < OBEX_CONNECT_MIN_LENGTH) {
        return FALSE;
    }
    info->PacketLength = ReadBigEndian16(packet + 1);
    info->Version = packet[3];
    info->Flags = packet[4];
    info->MaxPacketSize = ReadBigEndian16(packet + 5);
    return TRUE;
}

BOOLEAN ObexFindName(const UCHAR* packet, ULONG length, POBEX_NAME name) {
    UCHAR* clear = (UCHAR*)name;
    for (SIZE_T i = 0; i < sizeof(*name); i++) {
        clear[i] = 0;
    }
    if (packet == NULL) {
        return FALSE;
    }
    // Offsets are kept in 64 bits: a header length added to an offset near the end
    // of a 4 GB packet must not wrap around to the start.
    ULONGLONG offset = OBEX_PUT_HEADERS_OFFSET;
    const ULONGLONG end = length;
    while (offset < end) {
        // Every form needs the id and (for the counted forms) its two length bytes.
        if (offset + 3 > end) {
            return FALSE;
        }
        const UCHAR id = packet[offset];
        if (id == OBEX_HEADER_NAME) {
            const ULONG headerLength = ReadBigEndian16(packet + offset + 1);
            if (headerLength <= 5 || offset + headerLength > end) {
                return FALSE;
            }
            ULONG bytes = headerLength - 3;
            if (bytes >= OBEX_NAME_BUFFER_BYTES) {
                bytes = OBEX_NAME_MAX_BYTES;
            }
            const UCHAR* source = packet + offset + 3;
            const ULONG units = bytes / 2;
            // Big-endian units to host order; an odd last byte is dropped, as the
            // terminator takes the unit it would have started.
            for (ULONG u = 0; u < units; u++) {
                name->Text[u] = (WCHAR)(((USHORT)source[2 * u] << 8) | (USHORT)source[2 * u + 1]);
            }
            name->Text[units] = 0;
            name->Units = units;
            name->HeaderOffset = (ULONG)offset;
            name->HeaderLength = headerLength;
            return TRUE;
        }
        switch (id & OBEX_HEADER_FORM_MASK) {
        case OBEX_HEADER_FORM_UNICODE:
        case OBEX_HEADER_FORM_BYTES: {
            const ULONG headerLength = ReadBigEndian16(packet + offset + 1);
            if (headerLength == 0) {
                return FALSE;
            }
            offset += headerLength;
            break;
        }
        case OBEX_HEADER_FORM_BYTE:
            offset += 2;
            break;
        default:  // OBEX_HEADER_FORM_QUAD
            offset += 5;
            break;
        }
    }
    return FALSE;
}
