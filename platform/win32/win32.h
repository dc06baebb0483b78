// The Win32 base services the system calls on, as Linux stand-ins: one include for all of them.
#pragma once

#include "platform/win32/win32_types.h"
#include "platform/win32/codepage.h"
#include "platform/win32/unicode.h"
#include "platform/win32/nls.h"
#include "platform/win32/file.h"
#include "platform/win32/path.h"
#include "platform/win32/error.h"
#include "platform/win32/thread.h"
#include "platform/win32/localtime.h"
#include "platform/win32/registry.h"
#include "platform/win32/registry.h"
