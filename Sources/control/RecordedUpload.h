#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// The target and the image of the last upload, recorded when it starts. The STM32 image is
// sent only after the device has acknowledged the erase, on the listener thread: it is taken
// from here, not from the widgets, so that choosing another target or file during the erase
// wait cannot leave an erased device without its image.
class RecordedUpload {
public:
    // The values of SelectFirmwareBox::FirmwareTarget.
    enum Target : std::int32_t { STM32 = 0, ESP32 = 1 };

    struct Record {
        std::int32_t target = STM32;
        std::string path; // UTF-8; empty until an upload is recorded
    };

    // Whether the UTF-8 path names a regular file that can be opened for reading, holds at
    // least one byte and less than 4 GiB (the transfer's size field has 32 bits).
    static bool isUploadableImage(const std::string& path);

    // Records an upload. An STM32 upload needs an uploadable image: otherwise nothing is
    // recorded and the answer is false, before anything is erased.
    bool record(std::int32_t target, const std::string& path);
    Record get() const;

private:
    // Guards `current`: recorded on the GUI thread, read on the listener thread.
    mutable std::mutex mutex;
    Record current;
};
