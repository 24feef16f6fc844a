// Batch output of rows. The batch job log itself lives with the data provider log
// (logs/qdvplmsg.cpp); row batch output comes with record processing.
#include "../include/qdvp_services.h"
