#pragma once

namespace tellwyn::testing {

// Recorded speech from Debian's pocketsphinx-testdata: 16 kHz 16-bit mono
// little-endian samples without a header.
inline constexpr char kGoForward[] = "/usr/share/pocketsphinx/test/data/goforward.raw";
inline constexpr char kNumbers[] = "/usr/share/pocketsphinx/test/data/numbers.raw";
// A WAV file (a 44-byte header, then the same kind of samples), 7.1 s of a
// librivox reading: "and mister john dashwood had then leisure to consider
// how much there might be prudently in his power to do for them".
inline constexpr char kDashwood[] =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav";

}  // namespace tellwyn::testing
