// A sink's identity and the UUID made from it: the EDID's vendor, product and serial, so that one
// display keeps one UUID on every run, on every connector it is plugged into and on every Linux
// backend that can read its EDID.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace df::edid {

// The EDID's manufacturer, product code and serial number (bytes 8 to 15) as they are; empty
// when the bytes are no EDID.
std::string identityOf(std::span<const std::uint8_t> edid);

// A name-derived UUID (version 8, RFC 9562 variant), upper-case: the same name gives the same
// UUID on every run and machine.
std::string uuidFromName(std::string_view name);

// The UUID of a sink with this identity. When another connected sink has the same identity
// (two monitors of one model without serial numbers), the connector tells them apart.
std::string sinkUuid(std::string_view identity, std::string_view connector, bool shared);

}  // namespace df::edid
