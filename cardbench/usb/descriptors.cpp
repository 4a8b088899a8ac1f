#include "descriptors.h"

namespace cardbench::usb {
namespace {

void put16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(std::uint8_t(value & 0xFF));
    bytes.push_back(std::uint8_t(value >> 8));
}

void appendInterface(Bytes& bytes, std::uint8_t number, std::uint8_t in, std::uint8_t out) {
    // Two endpoints, vendor-specific class, subclass and protocol; string index 2.
    bytes.insert(bytes.end(), {9, 4, number, 0, 2, 0xFF, 0xFF, 0xFF, 2});
    for (std::uint8_t endpoint : {in, out}) {
        bytes.insert(bytes.end(), {7, 5, endpoint, 2});  // bulk
        put16(bytes, kPacketSize);
        bytes.push_back(0);
    }
}

}  // namespace

Bytes deviceDescriptor() {
    Bytes bytes = {18, 1};
    put16(bytes, 0x0200);                      // USB 2.0
    bytes.insert(bytes.end(), {0, 0, 0, 64});  // class per interface, 64-byte control packets
    put16(bytes, kVendorFtdi);
    put16(bytes, kProductFt2232H);
    put16(bytes, kDeviceRelease);
    bytes.insert(bytes.end(), {1, 2, 3, 1});  // manufacturer, product, serial strings; one configuration
    return bytes;
}

Bytes configurationDescriptor() {
    Bytes body;
    appendInterface(body, 0, kEndpointInA, kEndpointOutA);
    appendInterface(body, 1, kEndpointInB, kEndpointOutB);
    Bytes bytes = {9, 2};
    put16(bytes, std::uint16_t(9 + body.size()));
    bytes.insert(bytes.end(), {2, 1, 0, 0x80, 0x32});  // two interfaces, bus powered, 100 mA
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

Bytes stringDescriptor(const std::string& text) {
    // The chip's strings are ASCII: each character becomes one UTF-16LE unit.
    Bytes bytes = {std::uint8_t(2 + 2 * text.size()), 3};
    for (unsigned char c : text) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    return bytes;
}

Bytes languageDescriptor() { return {4, 3, 0x09, 0x04}; }

}  // namespace cardbench::usb
