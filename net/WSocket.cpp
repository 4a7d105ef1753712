#include "net/WSocket.h"
