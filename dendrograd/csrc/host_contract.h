// The host layer as one include; see host/host.h.
#pragma once

#include "host/host.h"
