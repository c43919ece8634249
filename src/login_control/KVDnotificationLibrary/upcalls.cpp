// upcalls: asks the upcall program about the job queue and reads its answers.
#include "registry_schema.h"
