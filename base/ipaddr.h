// Recognising IP literals and converting them to and from their bytes.
#pragma once

#include "base/text.h"

namespace tessaly {

// Decimal digits only, value 0..255 (leading zeros allowed).
bool IsOctetText(const Text& text);
// Four octets separated by "."; spaces around the parts are tolerated.
bool IsIPv4Text(const Text& text);
// Colon-separated hex groups with at most one "::" and an optional hex zone after "%".
bool IsIPv6Text(const Text& text);

// The four bytes of an IPv4 text (each part through ParseIntDefault with default 0).
Text IPv4TextToBytes(const Text& text);
// The sixteen bytes of an IPv6 text (zero bytes for what cannot be read).
Text IPv6TextToBytes(const Text& text);
// Lower-case IPv6 text of sixteen bytes, the longest run of zero groups written as "::".
Text IPv6BytesToText(const Text& bytes);

}  // namespace tessaly
