#include "device/records.h"
