#pragma once

#include <cstdint>

// What a caller asks the protocol engine for (PayloadHandler::onMessage and generateResponse).
enum MessageType : std::int32_t {
    MSG_NONE = 0,
    MSG_SEARCH_DEVICES = 7,
    MSG_ALL_FIELDS = 8,
    MSG_FIELD_INFO = 9,
    MSG_SET_FIELD = 10,
    MSG_GET_FIELD = 11,
    MSG_FILE_INFO = 12,
    MSG_FILE_WRITE = 13,
    MSG_FILE_READ = 14,
    MSG_DFU = 19,
    MSG_FIRMWARE_WRITE = 20,
};
