#pragma once

namespace tellwyn::testing {

// Recorded speech from Debian's pocketsphinx-testdata: 16 kHz 16-bit mono
// little-endian samples without a header.
inline constexpr char kGoForward[] = "/usr/share/pocketsphinx/test/data/goforward.raw";
inline constexpr char kNumbers[] = "/usr/share/pocketsphinx/test/data/numbers.raw";

}  // namespace tellwyn::testing
