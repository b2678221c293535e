#include "espflash/protocol_uart.h"

#include "espflash/loader_port.h"
#include "espflash/protocol_serial.h"

namespace {
constexpr std::uint32_t kPauseBetweenSyncsMs = 100;
}

LoaderResult loader_initialize_conn(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    // A count of 0 still makes one attempt: the chip gets at least one chance to answer.
    std::uint32_t left = args->trials;
    for (;;) {
        loader_port_start_timer(args->sync_timeout_ms);
        const LoaderResult r = loader_sync_cmd();
        if (r != LOADER_TIMEOUT)
            return r;
        if (left <= 1)
            return LOADER_TIMEOUT;
        --left;
        loader_port_delay_ms(kPauseBetweenSyncsMs);
    }
}
