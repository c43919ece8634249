// utils: persistent logon-control state, paused-distribution lists, popups and completion.
#include "registry_schema.h"
