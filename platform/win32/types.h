// The Win32 base types under their short include name; see win32_types.h.
#pragma once

#include "platform/win32/win32_types.h"
