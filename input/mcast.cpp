#include "input/mcast.h"
