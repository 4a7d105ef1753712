#include "platform/qtbridge/QtBridge.h"
