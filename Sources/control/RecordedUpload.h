#pragma once

#include "core/WholeFile.h"
#include "link/FirmwareTarget.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The target and the image of the upload that runs, recorded when it starts. The image is read
// into memory then, before anything is sent: the device receives exactly the bytes that were
// checked, whatever happens to the file afterwards, and an image that cannot be read whole is
// refused before the device is erased or switched to its bootloader.
class RecordedUpload {
public:
    // The largest STM32 image: the largest STM32 parts carry 4 MiB of flash, so a larger file
    // cannot be an STM32 image (and would take hours at 115200 baud).
    static constexpr std::uint64_t kMaxStm32ImageSize = std::uint64_t{4} << 20;

    using Image = std::shared_ptr<const std::vector<std::uint8_t>>;

    struct Record {
        FirmwareTarget target = FirmwareTarget::STM32;
        std::string path; // UTF-8; empty until an upload is recorded
        Image image;      // the bytes read at the start; null until an upload is recorded
    };

    // Why an image was not recorded.
    struct Refusal {
        // How the read ended: READ for a file that was read but is empty (or no path at all).
        WholeFile::Status status = WholeFile::READ;
        std::string cause; // for a line: "<path>: the file does not exist", "no file is chosen", ...
    };

    // The WARNING that refuses the target's image: "STM32 image refused: <cause>".
    static std::string refusedLine(FirmwareTarget target, const std::string& cause);

    // The largest image for the target.
    static std::uint64_t limitFor(FirmwareTarget target);

    // Reads the image at the UTF-8 `path` and records it for `target`. A missing file, one that
    // is no regular file, an empty one, one over the target's limit or one that does not fit
    // in memory is refused: nothing is recorded, the answer is false and `refusal` says why.
    bool record(FirmwareTarget target, const std::string& path, Refusal& refusal);
    Record get() const;

private:
    // Guards `current`: recorded on the GUI thread, read on the listener and flash threads.
    mutable std::mutex mutex;
    Record current;
};
