// What dendrograd requires of its host package (dendrolab), in one place. Every extension
// module reaches the host only through these headers:
//   python.h            conversions and interpreter helpers shared by every module;
//   names.h             every getter and attribute name of the host, as named constants;
//   settings.h          configuration getters on GDL.pc, read at the moment of use;
//   objects.h           the tracker, neuron/dendrite modules and value holders by attribute;
//   diagnostics.h       printing, the one debugger stop (sys.breakpointhook()), process exit;
//   walk.h              module-tree walks;
//   errors.h            the caller's mistakes as TypeError/ValueError "function: argument ...";
//   extension_module.h  each extension module's own handle, version check and classes.
#pragma once

#include "host/python.h"
#include "host/names.h"
#include "host/settings.h"
#include "host/objects.h"
#include "host/diagnostics.h"
#include "host/walk.h"
#include "host/errors.h"
#include "host/extension_module.h"
