#include "link/AbstractProtocolHandler.h"

AbstractProtocolHandler::~AbstractProtocolHandler() = default;
