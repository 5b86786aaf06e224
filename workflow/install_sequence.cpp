#include "workflow/install_sequence.h"

#include "workflow/install_context.h"

namespace vm {
namespace {

// Closes the window whenever the sequence is left, however it is left.
class CloseOnExit {
 public:
  explicit CloseOnExit(ProgressView& view) : view_(view) {}
  ~CloseOnExit() { view_.close(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  ProgressView& view_;
};

}  // namespace

InstallResult runInstallation(InstallSystem& system, ProgressView& view) {
  CloseOnExit closer(view);
  InstallContext context;
  if (!resolveInstallContext(system, context)) return InstallFailed;
  return InstallSucceeded;
}

}  // namespace vm
