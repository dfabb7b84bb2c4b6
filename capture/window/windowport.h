// The main window as the capture core sees it: its six settings fields, the controls that a
// series locks, the caption, the modal boxes, the bell, the periodic timer and a way onto the
// window thread. Everything but PostToWindowThread is called on the window thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "base/text.h"

namespace tessaly {

// The controls that Start and Stop switch on and off.
enum class TControl {
  Edit1,
  Button1_Start,
  Button2_Stop,
  Edit2_Timer,
  ComboBox1_Time,
  Edit3_Directory,
  Button_Selct_Dir,
  Edit_counter,
};

class TWindowPort {
 public:
  virtual ~TWindowPort() = default;

  // Edit1: the image address, any text.
  virtual Text AddressText() const = 0;
  virtual void SetAddressText(const Text& text) = 0;
  // Edit2_Timer: the interval; setting it runs the field's digit filter.
  virtual Text IntervalText() const = 0;
  virtual void SetIntervalText(const Text& text) = 0;
  // ComboBox1_Time: 0 "Sec", 1 "Min", -1 nothing selected. Setting anything else selects nothing.
  virtual int UnitIndex() const = 0;
  virtual void SetUnitIndex(int index) = 0;
  // CheckBox_bell.
  virtual bool BellOn() const = 0;
  virtual void SetBellOn(bool on) = 0;
  // Edit3_Directory: the target directory, any text.
  virtual Text DirectoryText() const = 0;
  virtual void SetDirectoryText(const Text& text) = 0;
  // Edit_counter: the counter's start value; setting it runs the field's digit filter.
  virtual Text CounterText() const = 0;
  virtual void SetCounterText(const Text& text) = 0;

  virtual void SetControlEnabled(TControl control, bool enabled) = 0;
  virtual void SetCaption(const Text& text) = 0;

  // Modal box: the application title as caption, "OK" only, no icon. Returns once dismissed.
  virtual void ShowMessage(const Text& text) = 0;
  // Modal error box with a stop icon; shows text exactly as given (see ErrorDisplayText).
  virtual void ShowError(const Text& text) = 0;
  // The system's default beep.
  virtual void Beep() = 0;

  // Sets Timer1's interval and enables it. An interval of 0 leaves it enabled but silent.
  // False when the system has no timer to give.
  virtual bool StartTimer(int32_t interval_ms) = 0;
  virtual void StopTimer() = 0;

  // Queues fn to run on the window thread and returns at once; callable from any thread.
  virtual void PostToWindowThread(std::function<void()> fn) = 0;
};

}  // namespace tessaly
