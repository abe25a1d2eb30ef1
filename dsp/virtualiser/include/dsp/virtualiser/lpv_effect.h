// The headphone virtualiser wrapper: owns one engine and drives it from two parameter
// sets, one for headphone listening and one for a speaker mode with crosstalk
// cancellation. Each set is a room value (0, 1, 2: filter rooms 3, 2, 1), an angle index
// or code and a wide flag; the set in force (the speaker set while crosstalk
// cancellation is on) selects the engine's filters through MapSpeakerAngle.
//
// The owner allocates the wrapper zero-filled under "DUNQ" (DspNew, DspDelete); the
// wrapper allocates its engine under "LPVP" and works on without one (setters only
// store, SetFormat gives -1, Process folds down) when that fails.
//
// Process always takes the virtualiser node's eight planar channels and leaves the
// stereo result in channels 0 and 1. The engine is configured for two outputs whatever
// the stream's channel count (the convolver makes exactly two), and it runs only while
// its last SetFormat succeeded; otherwise Process folds down.
//
// No lock: the control serialises its setters and keeps them from overlapping Process
// (a filter or crosstalk selection rewrites what the engine reads).
#pragma once

#include <cstdint>

#include "dsp/wave_format.h"

class CHeadphoneApp;

// The engine's angle code of (wide, angle): angle is an index 0..3 or one of the codes
// 25, 30, 31, 35, 40 themselves; -1 for anything else.
std::int32_t MapSpeakerAngle(std::int32_t wide, std::uint32_t angle);

class CLpvEffect {
 public:
  CLpvEffect();
  virtual ~CLpvEffect();
  CLpvEffect(const CLpvEffect&) = delete;
  CLpvEffect& operator=(const CLpvEffect&) = delete;

  // Configures the engine for the format's rate, 8 inputs and 2 outputs: 1 on success,
  // 0 when the engine refuses it (or format is null), -1 without an engine.
  std::int32_t SetFormat(const dsp::WAVEFORMATEX* format);

  void SetEnable(std::uint32_t value) { m_enabled = value; }
  void SetCtcEnable(std::int32_t value);
  // Index 0..4: 5, 10, 15, 20, 30 degrees; any other value is the angle in degrees.
  void SetCtcAngle(std::uint32_t index);
  void SetHeadphoneAngle(std::uint32_t value);
  void SetHeadphoneWide(std::uint32_t value);
  void SetHeadphoneRoom(std::uint32_t value);
  void SetSpeakerAngle(std::uint32_t value);
  void SetSpeakerWide(std::uint32_t value);
  void SetSpeakerRoom(std::uint32_t value);

  std::uint32_t GetHeadphoneWide() const { return m_headphoneWide; }
  std::uint32_t GetHeadphoneRoom() const { return m_headphoneRoom; }
  std::uint32_t GetSpeakerWide() const { return m_speakerWide; }
  std::uint32_t GetSpeakerRoom() const { return m_speakerRoom; }
  std::int32_t IsCtcEnabled() const { return m_ctcEnabled; }

  // Further state, for the owner's diagnostics and tests.
  std::uint32_t IsEnabled() const { return m_enabled; }
  std::uint32_t GetHeadphoneAngle() const { return m_headphoneAngle; }
  std::uint32_t GetSpeakerAngle() const { return m_speakerAngle; }
  std::uint32_t GetCtcAngle() const { return m_ctcAngle; }
  CHeadphoneApp* Engine() { return m_pEngine; }
  // True when Process would run the engine.
  bool IsProcessing() const;

  // channels: eight planar buffers of frames samples; the result is in channels 0 and 1.
  // A null array or buffer, or no frames, leaves everything untouched.
  void Process(float** channels, std::uint32_t frames);

 private:
  void ApplyHeadphoneSet();
  void ApplySpeakerSet();

  CHeadphoneApp* m_pEngine;
  std::int32_t m_ctcEnabled;
  std::uint32_t m_enabled;
  std::uint32_t m_speakerRoom;
  std::uint32_t m_headphoneRoom;
  std::uint32_t m_speakerAngle;
  std::uint32_t m_headphoneAngle;
  std::uint32_t m_ctcAngle;
  std::uint32_t m_speakerWide;
  std::uint32_t m_headphoneWide;
  // Set by a successful SetFormat, cleared by a refused one.
  bool m_engineFormatted;
};
