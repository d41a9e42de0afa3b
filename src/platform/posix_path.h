#pragma once
// The POSIX layer's path and errno helpers under their former single name;
// new code includes platform/path_posix.h and platform/error_posix.h itself.
#include "platform/error_posix.h"
#include "platform/path_posix.h"
