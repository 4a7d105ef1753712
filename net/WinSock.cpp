#include "net/WinSock.h"
