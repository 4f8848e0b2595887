#pragma once

#include "Services.h"

namespace platform {

// The real services: QMessageBox, QFileDialog, an event-loop pause and the
// local clock.
Services qtServices();

} // namespace platform
