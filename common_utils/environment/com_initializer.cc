#include "common_utils/environment/com_initializer.h"

namespace kvtr::environment {

ComInitializer::ComInitializer(unsigned mode, bool deferred, bool raiseOnFailure) : mode_(mode) {
  if (!deferred) Initialize(mode, raiseOnFailure);
}

void ComInitializer::Initialize(unsigned mode, bool raiseOnFailure) {
  if (initialized_ && mode == mode_) return;
  status_ = CoInitializeEx(nullptr, mode);
  if (status_ == S_OK || status_ == S_FALSE) {
    mode_ = mode;
    initialized_ = true;
    ++references_;
    return;
  }
  initialized_ = false;
  if (!raiseOnFailure) return;
  if (status_ == RPC_E_CHANGED_MODE) {
    throw init_exception(
        "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
        "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
        status_);
  }
  throw init_exception("Could not initialize COM", status_);
}

void ComInitializer::Uninitialize() {
  for (; references_ > 0; --references_) CoUninitialize();
  initialized_ = false;
}

}  // namespace kvtr::environment
