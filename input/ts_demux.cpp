// placeholder
#include "input/ts_demux.h"
