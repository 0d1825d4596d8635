// Where the interpreter keeps its own code, for the filter's --exclude-stdlib and
// --exclude-site-packages (core/code_filter.h takes the directories as plain strings).
#pragma once

#include "core/code_filter.h"

namespace vespra {

// The standard library's directories (sysconfig's stdlib and platstdlib), those of installed
// packages (purelib, platlib, the site module's global and user directories), the current
// directory and the home directory. What cannot be read is left out. Attached; clears every
// Python error it meets.
Filter::Places interpreter_places();

}  // namespace vespra
