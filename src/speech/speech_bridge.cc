#include "speech/speech_bridge.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "devices/default_input.h"
#include "protocol/bridge_message.h"
#include "protocol/number_text.h"
#include "protocol/output.h"
#include "speech/audio_tap.h"
#include "speech/recognition_error.h"
#include "speech/transcript_text.h"

namespace tellwyn {
namespace {

constexpr std::uint32_t kTapBufferFrames = 1024;
constexpr double kMinimumFinalizeDelaySeconds = 0.1;

}  // namespace

Result<std::shared_ptr<SpeechBridge>> SpeechBridge::create(SpeechServices services,
                                                           std::optional<std::string> localeId,
                                                           double finalizeDelaySeconds) {
  std::unique_ptr<SpeechRecognizer> recognizer = services.speech.makeRecognizer(localeId);
  if (!recognizer) return Error{"SpeechBridge", 1, "Speech recognizer unavailable"};
  return std::make_shared<SpeechBridge>(ConstructionKey{}, services, std::move(recognizer),
                                        finalizeDelaySeconds);
}

SpeechBridge::SpeechBridge(ConstructionKey, SpeechServices services,
                           std::unique_ptr<SpeechRecognizer> recognizer,
                           double finalizeDelaySeconds)
    : services_(services),
      recognizer_(std::move(recognizer)),
      finalizeDelaySeconds_(finalizeDelaySeconds) {}

Status SpeechBridge::start(const std::optional<std::string>& deviceUID) {
  stop();

  lastTranscript_.clear();
  lastFinalTranscript_.clear();
  hasFinal_ = false;
  invalidateFinalizeTimer();

  if (deviceUID) {
    if (Status switched = setDefaultInputDevice(services_.devices, *deviceUID); !switched) {
      return switched;
    }
    stabilizeInputRoute(services_.devices, services_.sleeper, *deviceUID);
    emitDebug("active input uid=" +
              currentDefaultInputDeviceUID(services_.devices).value_or("unknown"));
  }

  request_ = recognizer_->makeRequest();
  request_->setShouldReportPartialResults(true);
  // The engine records the named device itself, so that a default that is
  // slow to change, or that someone else changes, cannot move the capture.
  auto engine = services_.audio.makeEngine(deviceUID);
  if (!engine) return engine.error();
  audioEngine_ = std::move(engine).value();

  const AudioFormat inputFormat = audioEngine_->inputFormat();
  emitDebug("input format sampleRate=" + shortestDecimal(inputFormat.sampleRate) +
            " channels=" + std::to_string(inputFormat.channelCount));
  if (inputFormat.channelCount > 1) {
    emitDebug("downmix enabled sourceChannels=" + std::to_string(inputFormat.channelCount) +
              " targetChannels=1");
  }

  audioEngine_->installTap(
      kTapBufferFrames, inputFormat,
      [self = shared_from_this(), inputFormat](const PcmBuffer& buffer, AudioTime) {
        self->handleAudioBuffer(buffer, inputFormat);
      });
  audioEngine_->prepare();
  if (Status started = audioEngine_->start(); !started) return started;

  recognitionTask_ = recognizer_->startTask(
      request_, [self = shared_from_this()](std::optional<RecognitionResult> result,
                                            std::optional<Error> error) {
        self->handleRecognitionResult(std::move(result), std::move(error));
      });
  return {};
}

void SpeechBridge::stop() {
  invalidateFinalizeTimer();

  if (!hasFinal_ && !lastTranscript_.empty()) {
    emitFinal(lastTranscript_);
    lastTranscript_.clear();
    hasFinal_ = false;
  }

  // The engine stops and the tap goes before the request is released: once
  // they return, the capture thread no longer reads `request_` or
  // `hasLoggedPreferredChannel_`.
  if (audioEngine_) {
    audioEngine_->stop();
    audioEngine_->removeTap();
  }
  if (request_) request_->endAudio();
  if (recognitionTask_) recognitionTask_->cancel();

  recognitionTask_.reset();
  request_.reset();
  audioEngine_.reset();

  hasLoggedPreferredChannel_ = false;
}

void SpeechBridge::handleAudioBuffer(const PcmBuffer& buffer, const AudioFormat& inputFormat) {
  tellwyn::handleAudioBuffer(buffer, inputFormat, request_.get(), hasLoggedPreferredChannel_);
}

void SpeechBridge::handleRecognitionResult(std::optional<RecognitionResult> result,
                                           std::optional<Error> error) {
  if (result) {
    lastTranscript_ = result->bestTranscription;
    if (result->isFinal) {
      hasFinal_ = true;
      invalidateFinalizeTimer();
      emitDebug("final source=native");
      emitFinal(result->bestTranscription);
      lastTranscript_.clear();
      hasFinal_ = false;
    } else {
      hasFinal_ = false;
      emitBridgeJson(BridgeMessage::partial(result->bestTranscription));
      scheduleFinalization();
    }
  }
  if (error) {
    const RecognitionErrorClass kind = classifyRecognitionError(error->description);
    emitBridgeJson(
        BridgeMessage::error(std::string(kind.code), std::string(kind.reason), error->description));
  }
}

std::string SpeechBridge::extractNewFinalText(std::string_view text) {
  std::string trimmed = trimWhitespaceAndNewlines(text);
  if (trimmed.empty()) return trimmed;
  if (lastFinalTranscript_.empty()) {
    lastFinalTranscript_ = trimmed;
    return trimmed;
  }
  const CharacterPrefix prefix = commonCharacterPrefix(lastFinalTranscript_, trimmed);
  if (prefix.empty()) {
    lastFinalTranscript_ = trimmed;
    return trimmed;
  }
  std::string remainder =
      trimWhitespaceAndNewlines(std::string_view(trimmed).substr(prefix.secondBytes));
  lastFinalTranscript_ = trimmed;
  return remainder.empty() ? trimmed : remainder;
}

void SpeechBridge::scheduleFinalization() {
  services_.mainQueue.post([self = shared_from_this()] { self->armFinalizeTimer(); });
}

void SpeechBridge::armFinalizeTimer() {
  invalidateFinalizeTimer();
  finalizeTimer_ =
      services_.mainQueue.scheduleTimer(finalizeDelaySeconds_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finalizeTimerFired();
      });
}

void SpeechBridge::finalizeTimerFired() {
  if (hasFinal_ || lastTranscript_.empty()) return;
  hasFinal_ = true;
  emitDebug("final source=timer");
  emitFinal(lastTranscript_);
  lastTranscript_.clear();
  hasFinal_ = false;
}

void SpeechBridge::updateFinalizeDelay(double seconds) {
  // NaN fails the comparison and so falls to the floor as well.
  finalizeDelaySeconds_ =
      seconds > kMinimumFinalizeDelaySeconds ? seconds : kMinimumFinalizeDelaySeconds;
  scheduleFinalization();
}

void SpeechBridge::invalidateFinalizeTimer() {
  if (finalizeTimer_) finalizeTimer_->invalidate();
}

void SpeechBridge::emitFinal(std::string_view transcript) {
  emitBridgeJson(BridgeMessage::final(extractNewFinalText(transcript)));
}

}  // namespace tellwyn
