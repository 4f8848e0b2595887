// "SaveData": appends the report of what the window shows to a file the user
// chooses, whole or not at all.
#pragma once

#include "runtime/FormsRuntime.h"

namespace report {

// The Click of "SaveData", working on the window's controls through `runtime`.
void SaveReport(runtime::FormsRuntime &runtime);

} // namespace report
