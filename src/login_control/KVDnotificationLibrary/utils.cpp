// utils: persistent logon-control state, paused-distribution lists, popups and completion.
#include "utils.h"
#include "notify_trace.h"
#include "registry_schema.h"
#include "registry_util.h"

// ---------------------------------------------------------------------------
// Persistent logon-control state
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Paused-distribution lists
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Popups and shutdown at completion
// ---------------------------------------------------------------------------
