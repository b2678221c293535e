#include "link/SerialPort.h"

SerialPort::~SerialPort() = default;
