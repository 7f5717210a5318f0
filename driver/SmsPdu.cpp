#include "driver/SmsPdu.h"

#include <cstdint>
#include <optional>

namespace kestrine::driver {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::vector<std::uint8_t>> Octets(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> octets;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        octets.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return octets;
}

// The destination of the SUBMIT that starts at `at`, or nothing.
std::optional<std::string> Destination(const std::vector<std::uint8_t>& pdu, std::size_t at) {
    if (at + 4 > pdu.size() || (pdu[at] & 0x03) != 0x01) {
        return std::nullopt;
    }
    const std::size_t digits = pdu[at + 2];
    const int typeOfNumber = (pdu[at + 3] >> 4) & 0x07;
    if (digits == 0 || digits > 20 || typeOfNumber == 5 || at + 4 + (digits + 1) / 2 > pdu.size()) {
        return std::nullopt;
    }
    static constexpr char kSemiOctet[] = "0123456789*#ABC";
    std::string number = typeOfNumber == 1 ? "+" : "";
    for (std::size_t k = 0; k < digits; ++k) {
        const std::uint8_t octet = pdu[at + 4 + k / 2];
        const int semi = k % 2 == 0 ? (octet & 0x0F) : (octet >> 4);
        if (semi == 0x0F) {
            return std::nullopt;  // filler inside the announced digits
        }
        number.push_back(kSemiOctet[semi]);
    }
    return number;
}

}  // namespace

std::vector<std::string> SubmitDestinations(std::string_view hex, int announcedLength) {
    std::vector<std::string> destinations;
    const auto pdu = Octets(hex);
    if (!pdu || pdu->empty()) {
        return destinations;
    }
    if (const auto withCentre = Destination(*pdu, 1 + std::size_t{(*pdu)[0]})) {
        destinations.push_back(*withCentre);
    }
    if (announcedLength > 0 && static_cast<std::size_t>(announcedLength) == pdu->size()) {
        if (const auto without = Destination(*pdu, 0)) {
            destinations.push_back(*without);
        }
    }
    return destinations;
}

}  // namespace kestrine::driver
