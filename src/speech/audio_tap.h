#pragma once

#include "platform/audio_format.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

// The tap callback's work on one captured buffer. With one input channel, or
// a buffer it cannot reduce, the buffer goes to `request` unchanged. With two
// or more channels of 32-bit float or 16-bit integer samples it measures each
// channel's energy (sum of squares), picks the loudest (ties: lowest index),
// and sends that channel alone in a one-channel buffer made for this call.
// The first selection of a run is logged once, setting
// `hasLoggedPreferredChannel`. A null `request` drops the audio.
//
// Capture thread: takes no lock and never waits; allocates only the mono
// buffer and the one debug line.
void handleAudioBuffer(const PcmBuffer& buffer, const AudioFormat& inputFormat,
                       RecognitionRequest* request, bool& hasLoggedPreferredChannel);

}  // namespace tellwyn
