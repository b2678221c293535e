#pragma once

#include <cstdint>

// The command byte of a request, at payload offset 2. Answers carry a status byte there
// instead; they are read by the command of the last request framed.
enum PayloadCommand : std::uint8_t {
    DEVICE_INFO_REQ = 1,
    SET_FIELD_REQ = 3,
    GET_FIELD_REQ = 4,
    FIELD_INFO_REQ = 5,
    FILE_INFO_REQ = 7,
    FILE_WRITE_REQ = 8,
    FILE_READ_REQ = 9,
};
