// COM initialisation of the calling thread for one scope, and the exception
// raised when it fails. The owner undoes a successful initialisation with
// Uninitialize: nothing is undone when the object ends.
#pragma once

#include <exception>
#include <string>

#include "platform/win32.h"

namespace kvtr::environment {

class init_exception : public std::exception {
 public:
  init_exception(std::string text, HRESULT status) : text_(std::move(text)), status_(status) {}
  const char* what() const noexcept override { return text_.c_str(); }
  HRESULT status() const noexcept { return status_; }

 private:
  std::string text_;
  HRESULT status_;
};

class ComInitializer {
 public:
  // Stores the mode; unless deferred, initialises at once.
  ComInitializer(unsigned mode, bool deferred, bool raiseOnFailure);

  // Nothing when already initialised with the same mode. Otherwise calls
  // CoInitializeEx: S_OK and S_FALSE initialise; any other status fails,
  // raising init_exception when asked to, and leaves the object
  // uninitialised (also one that was initialised in another mode: a retry
  // calls CoInitializeEx again).
  void Initialize(unsigned mode, bool raiseOnFailure);
  // One CoUninitialize for each initialisation this object made (a refused
  // mode change leaves the earlier one to undo); afterwards the object is
  // not initialised in any case.
  void Uninitialize();

  HRESULT status() const noexcept { return status_; }
  bool initialized() const noexcept { return initialized_; }
  unsigned mode() const noexcept { return mode_; }

 private:
  HRESULT status_ = 0;
  bool initialized_ = false;
  unsigned mode_;
  int references_ = 0;  // successful CoInitializeEx calls not yet undone
};

}  // namespace kvtr::environment
