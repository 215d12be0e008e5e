#include "sync/hostmessagehandler.h"

HostMessageHandler::~HostMessageHandler() = default;
