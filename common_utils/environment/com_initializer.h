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
  // raising init_exception when asked to, else leaving the object
  // uninitialised.
  void Initialize(unsigned mode, bool raiseOnFailure);
  // CoUninitialize when initialised by S_OK or S_FALSE; afterwards the
  // object is not initialised in any case.
  void Uninitialize();

  HRESULT status() const noexcept { return status_; }
  bool initialized() const noexcept { return initialized_; }
  unsigned mode() const noexcept { return mode_; }

 private:
  HRESULT status_ = 0;
  bool initialized_ = false;
  unsigned mode_;
};

}  // namespace kvtr::environment
