#include "support/offline_support.h"
