// Byte-exact USB descriptors for the plug-and-play tests: what a device answers
// to get-descriptor requests, laid out as on the wire (little-endian).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace usbt {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

struct Device {
    uint8_t deviceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint16_t vendor = 0x1234;
    uint16_t product = 0x5678;
    uint16_t bcdDevice = 0x0100;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerial = 0;
};

inline Bytes DeviceDescriptor(const Device& d) {
    Bytes b{18, 0x01};
    Put16(b, 0x0200);
    b.push_back(d.deviceClass);
    b.push_back(d.subClass);
    b.push_back(d.protocol);
    b.push_back(64);
    Put16(b, d.vendor);
    Put16(b, d.product);
    Put16(b, d.bcdDevice);
    b.push_back(d.iManufacturer);
    b.push_back(d.iProduct);
    b.push_back(d.iSerial);
    b.push_back(1);
    return b;
}

inline Bytes StringDescriptor(const std::u16string& s) {
    Bytes b{static_cast<uint8_t>(2 + 2 * s.size()), 0x03};
    for (char16_t c : s) {
        Put16(b, static_cast<uint16_t>(c));
    }
    return b;
}

inline Bytes Interface(uint8_t number, uint8_t cls, uint8_t subClass = 0, uint8_t protocol = 0,
                       uint8_t endpoints = 1, uint8_t alternate = 0) {
    return Bytes{9, 0x04, number, alternate, endpoints, cls, subClass, protocol, 0};
}

inline Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    Bytes b{7, 0x05, address, attributes};
    Put16(b, maxPacket);
    b.push_back(interval);
    return b;
}

inline Bytes Hid(uint16_t bcdHid, uint16_t reportLength, uint8_t descriptors = 1) {
    Bytes b{9, 0x21};
    Put16(b, bcdHid);
    b.push_back(0);
    b.push_back(descriptors);
    b.push_back(0x22);
    Put16(b, reportLength);
    return b;
}

// A configuration descriptor followed by the parts; wTotalLength covers them all
// unless a total is given.
inline Bytes Config(std::initializer_list<Bytes> parts, uint8_t interfaces = 1, int total = -1,
                    uint8_t maxPower = 50) {
    Bytes body;
    for (const Bytes& p : parts) {
        body.insert(body.end(), p.begin(), p.end());
    }
    Bytes b{9, 0x02};
    Put16(b, static_cast<uint16_t>(total >= 0 ? total : static_cast<int>(9 + body.size())));
    b.push_back(interfaces);
    b.push_back(1);
    b.push_back(0);
    b.push_back(0x80);
    b.push_back(maxPower);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) {
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

}  // namespace usbt
