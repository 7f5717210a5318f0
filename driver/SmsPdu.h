#pragma once
// Where an SMS in PDU mode goes (AT+CMGS=<length>, then the PDU in hex up to Ctrl-Z).
//
// The hex is read as 3GPP TS 27.005 and 23.040 lay it out: first the service centre part (its
// length octet, then that many octets; a length of 0 leaves the choice to the modem), then the
// message of <length> octets: its first octet (message type 01: SUBMIT), a reference, the
// destination's length in digits, its type of number, and its digits in swapped semi-octets
// padded with F (A is '*', B '#', C to E are the dial digits A to C). A '+' leads an
// international number (type of number 1); an alphanumeric destination is no number at all.
//
// Some modems take the message without a service centre part: where the announced length is
// the whole PDU, it is read that way too. Every reading that makes sense is returned, so that a
// caller can insist that all of them are allowed; none means the PDU cannot be read.
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::driver {

std::vector<std::string> SubmitDestinations(std::string_view hex, int announcedLength);

}  // namespace kestrine::driver
