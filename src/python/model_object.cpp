#include "python/model_object.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace nb = nanobind;

Claim::Claim(Model& model, const char* call) : model_(model) {
  const unsigned long thread = PyThread_get_thread_ident();
  while (model.running != nullptr) {
    if (model.running_thread == thread) {
      throw std::runtime_error(std::string("reentrant call: ") + call + " while " + model.running +
                               " is running on the same object");
    }
    // Another thread's call, paused in Python code: let it finish.
    nb::gil_scoped_release unlocked;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  model.running = call;
  model.running_thread = thread;
}
