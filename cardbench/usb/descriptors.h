// How an FT2232H describes itself on the bus: its device and configuration descriptors
// (two vendor-specific interfaces, each with one bulk IN and one bulk OUT endpoint of
// 512-byte packets) and its string descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardbench::usb {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVendorFtdi = 0x0403;
constexpr std::uint16_t kProductFt2232H = 0x6010;
constexpr std::uint16_t kDeviceRelease = 0x0700;  // bcdDevice of the FT2232H
constexpr std::size_t kPacketSize = 512;

// Endpoint addresses: interface 0 (channel A) and interface 1 (channel B).
constexpr std::uint8_t kEndpointInA = 0x81;
constexpr std::uint8_t kEndpointOutA = 0x02;
constexpr std::uint8_t kEndpointInB = 0x83;
constexpr std::uint8_t kEndpointOutB = 0x04;

// The 18-byte device descriptor followed by the whole configuration, as the kernel shows
// them in sysfs ("descriptors") and as GET_DESCRIPTOR returns them.
Bytes deviceDescriptor();
Bytes configurationDescriptor();
// A string descriptor: UTF-16LE text behind its length and type.
Bytes stringDescriptor(const std::string& text);
// String index 0: the one language the chip speaks, US English.
Bytes languageDescriptor();

// The channel (0: A, 1: B) an endpoint belongs to.
inline int channelOfEndpoint(std::uint8_t endpoint) { return (endpoint & 0x0F) <= 2 ? 0 : 1; }

}  // namespace cardbench::usb
