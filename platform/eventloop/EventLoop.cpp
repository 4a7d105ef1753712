#include "platform/eventloop/EventLoop.h"
