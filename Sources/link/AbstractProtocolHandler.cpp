#include "AbstractProtocolHandler.h"

AbstractProtocolHandler::~AbstractProtocolHandler() = default;
