// The one application object of the process, built during static
// initialisation on the real services of this operating system.
#include "platform/env.h"
#include "shell/update_app.h"

namespace {
vorn::UpdateApp the_app(&vorn::platform::Env::Default());
}  // namespace
