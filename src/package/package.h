// The update package: container, directory and stream decoder (portable), and on Windows the
// lookup and extraction of entries.
#pragma once

#include "package/container.h"
#include "package/decoder.h"
#ifdef _WIN32
#include "package/entry_access.h"
#endif
