#include "net/WSockBuf.h"
