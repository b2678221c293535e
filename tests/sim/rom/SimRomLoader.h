#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavisk::sim {

// The commands the model knows, by their opcode on the wire.
enum class SimRomOpcode : std::uint8_t {
    FlashBegin = 0x02,
    FlashData = 0x03,
    FlashEnd = 0x04,
    MemBegin = 0x05,
    MemEnd = 0x06,
    MemData = 0x07,
    Sync = 0x08,
    WriteReg = 0x09,
    ReadReg = 0x0A,
    SpiSetParams = 0x0B,
    SpiAttach = 0x0D,
    ReadFlashSlow = 0x0E,
    ChangeBaudrate = 0x0F,
    FlashDeflBegin = 0x10,
    FlashDeflData = 0x11,
    FlashDeflEnd = 0x12,
    SpiFlashMd5 = 0x13,
    GetSecurityInfo = 0x14,
    EraseFlash = 0xD0,
    EraseRegion = 0xD1,
    ReadFlash = 0xD2,
};

enum class SimRomSecurityForm {
    Full20,      // 20 data bytes with the chip id
    Short12,     // 12 data bytes (the form of the first chip that answered it)
    Silent,      // no answer at all
    ErrorStatus, // an answer with a failure status (the first ESP32 does this)
};

struct SimRomConfig {
    unsigned statusBytes = 4; // 2 or 4 status bytes after the response data
    SimRomSecurityForm security = SimRomSecurityForm::ErrorStatus;
    std::uint32_t securityChipId = 0;
    std::uint32_t flashId = 0x164020; // JEDEC identification: capacity id 0x16 = 4 MiB
    std::uint32_t flashSize = 4 * 1024 * 1024;
    std::uint8_t flashFill = 0xA5; // what the simulated flash holds before any erase
    // Registers that read back something other than 0 (magic value, eFuse words).
    std::map<std::uint32_t, std::uint32_t> registers{{0x40001000, 0x00F01D83}};
    // Addresses of the SPI controller's command, user 2 and data registers.
    std::uint32_t spiCmd = 0x3FF42000;
    std::uint32_t spiUsr2 = 0x3FF42024;
    std::uint32_t spiW0 = 0x3FF42080;
    // Reads of the command register that still show the busy bit after a start (-1: always).
    int busyReads = 1;
    // What the loaded stub says once it runs.
    std::string stubGreeting = "OHAI";
    // Line-rate emulation: bytes in and out take 10 bits each at this rate; 0 = no pacing.
    std::uint32_t baud = 0;
    // Whether a data block must carry the expected sequence number (the previous one is taken
    // as the same block sent again). Without the check every accepted block goes to the next
    // place, whatever number it carries.
    bool checkSequence = true;
};

// Answers to an opcode that come late; the answers after them wait behind them, in order.
struct SimRomLate {
    std::uint8_t opcode = 0;
    int after = 0; // commands of the opcode answered in time first
    int times = 1; // then this many answered late
    std::chrono::milliseconds by{0};
};

// Answers to an opcode that go missing on the way (the command is carried out all the same), or
// that arrive garbled: noise turned their opcode byte into the escape character, so that the frame
// no longer decodes.
struct SimRomLost {
    std::uint8_t opcode = 0;
    int after = 0; // commands of the opcode answered first
    int times = 1; // then this many answers lost
    bool garbled = false;
};

// Faults on demand of the simulated ROM loader. Each counts down as it strikes; an `...After`
// count lets that many commands of the opcode pass untouched first.
struct SimRomFaults {
    int silentSyncs = 0;           // SYNC commands that get no answer
    int badChecksumBlocks = 0;     // data blocks answered with BAD_DATA_CHECKSUM (as if noise hit them)
    std::uint8_t decoyOpcode = 0;  // before the answer to this opcode ...
    int decoys = 0;                // ... send a frame of another opcode and one of the request direction
    std::uint8_t errorOpcode = 0;  // answer this opcode with a failure status ...
    int errors = 0;                // ... this many times
    std::uint8_t errorCode = 0x06; // the error byte of that status (also of a refused block)
    std::vector<SimRomLate> lateAnswers;
    std::vector<SimRomLost> lostAnswers; // besides the silent opcode below
    std::uint8_t silentOpcode = 0;       // carry out this opcode but never answer it ...
    int silentAfter = 0;
    int silents = 0;               // ... this many times
    int refuseBlock = -1;          // refuse to write this block of the flash write (failure status) ...
    int refusals = 0;              // ... this many times
    int flipByteAt = -1;           // FLASH_END flips the lowest bit of the flash byte at this address
    std::uint8_t hangUpOpcode = 0; // hang the line up on this opcode (instead of answering)
    int hangUpAfter = 0;           // ... after that many of them were answered
    bool md5Mismatch = false;      // a streamed read ends with a wrong digest
    bool shortDigest = false;      // ... or with a digest of 15 bytes
    int streamBreakAfter = -1;     // a streamed read sends a short packet after this many packets
};

// A simulated ESP32 ROM serial loader: a transport-free model. Bytes go in with the time they
// arrived, framed answers come out with the time they are due; a transcript records every
// command it decoded. Written on its own (its own SLIP and packet code), so that it checks the
// production client instead of mirroring it.
//
// Time is a duration since an epoch that the transport chooses (real time for a
// pseudo-terminal, a virtual clock for unit tests). Not thread-safe: one transport drives it.
class SimRomLoader {
public:
    using Time = std::chrono::nanoseconds;

    using SecurityForm = SimRomSecurityForm;
    using Config = SimRomConfig;
    using Faults = SimRomFaults;

    struct Command {
        std::uint8_t opcode = 0;
        std::uint16_t size = 0;
        std::uint32_t checksum = 0;
        std::vector<std::uint8_t> data;
        // The words of the data field (the first four for the data commands).
        std::vector<std::uint32_t> words() const;
    };

    explicit SimRomLoader(Config config = Config{});

    Config& config() { return cfg; }
    Faults& faults() { return flt; }

    // Bytes that arrived from the client.
    void receive(const std::uint8_t* data, std::size_t size, Time now);
    // Output bytes due by `now` (taken from the model), at most `max`.
    std::vector<std::uint8_t> takeOutput(Time now, std::size_t max = SIZE_MAX);
    // When the next output byte is due, or Time::max() when nothing is waiting.
    Time nextOutputAt() const;
    bool hasOutput() const { return !output.empty(); }
    // Set when a hang-up fault strikes; the transport hangs the line up and clears it.
    bool hangUpRequested() const { return hangUp; }
    void clearHangUp() { hangUp = false; }

    // What the loader decoded, in order.
    const std::vector<Command>& commands() const { return transcript; }
    // One line per command: "SYNC", "READ_REG 0x40001000", "FLASH_DATA seq=3 size=1024", ...
    std::vector<std::string> transcriptLines() const;
    // Frames that could not be decoded as commands (bad escape, too short).
    int malformedFrames() const { return malformed; }

    const std::vector<std::uint8_t>& flash() const { return flashMemory; }
    std::uint32_t reg(std::uint32_t address) const;
    // Blocks written since the last FLASH_BEGIN and the flag of the last FLASH_END (-1: none).
    std::uint32_t blocksWritten() const { return written; }
    int flashEndFlag() const { return endFlag; }
    // Whether a stub was loaded and greeted; the bytes it was loaded with.
    bool stubRunning() const { return stub; }
    std::uint32_t memoryBytes() const { return memReceived; }
    // The compressed data of the last compressed write, in order.
    const std::vector<std::uint8_t>& deflateStream() const { return deflated; }
    // Words of the last CHANGE_BAUDRATE (new rate, old rate).
    const std::vector<std::uint32_t>& baudChange() const { return baud; }
    // Whether the loader still runs: a FLASH_END that asks for a reboot leaves it, and nothing
    // is answered afterwards.
    bool running() const { return !rebooted; }
    // MD5 of bytes (RFC 1321), written for the model on its own.
    static std::vector<std::uint8_t> md5(const std::uint8_t* data, std::size_t size);

    static const char* opcodeName(std::uint8_t opcode);

private:
    // What becomes of a command's answer on the way.
    enum class Fate { Sent, Lost, Garbled };
    // How a command is answered once the faults have had their say: at the time `at`, unless its
    // answer is lost (the command is carried out all the same) or garbled.
    class Reply {
    public:
        Reply(SimRomLoader& rom, std::uint8_t opcode, Time at, Fate fate)
            : rom(rom), opcode(opcode), at(at), fate(fate) {}
        void ok(std::uint32_t value = 0, const std::vector<std::uint8_t>& data = {}) const;
        void fail(std::uint8_t error) const;
        Time time() const { return at; }

    private:
        SimRomLoader& rom;
        std::uint8_t opcode;
        Time at;
        Fate fate;
    };
    using Handler = void (SimRomLoader::*)(const Command& c, const std::vector<std::uint32_t>& w,
                                           const Reply& reply);
    // How the transcript shows a command's data.
    enum class Shown { Words, DataHeader, Nothing };
    struct CommandKind {
        SimRomOpcode opcode;
        const char* name;
        Handler handler;
        Shown shown;
    };
    static const CommandKind kinds[];
    static const CommandKind* kindOf(std::uint8_t opcode);

    void frameComplete();
    void streamNext(Time at);
    void sendRaw(const std::vector<std::uint8_t>& bytes, Time at);
    // The faults that strike every command, then the command's handler.
    void handle(const Command& c, Time at);

    void sync(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void securityInfo(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void readReg(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void writeReg(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void spiAttach(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void spiSetParams(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void flashBegin(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void flashData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void flashEnd(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void flashMd5(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void memBegin(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void memData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void memEnd(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void readFlashSlow(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void changeBaudrate(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void deflateBegin(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void deflateData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void deflateEnd(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void eraseFlash(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void eraseRegion(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void readFlash(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply);
    void respond(std::uint8_t opcode, std::uint32_t value, const std::vector<std::uint8_t>& data,
                 std::uint8_t status, std::uint8_t error, Time at, std::uint8_t direction = 0x01,
                 bool garbled = false);
    void queue(const std::vector<std::uint8_t>& frame, Time at, bool garbled = false);
    Time byteTime() const;

    Config cfg;
    Faults flt;

    // Receiver
    std::vector<std::uint8_t> frame;
    bool inFrame = false;
    bool escaped = false;
    bool badFrame = false;
    Time rxDoneAt{0};

    struct Byte {
        std::uint8_t value;
        Time due;
    };
    std::vector<Byte> output; // in order of due time
    std::size_t outputHead = 0;
    Time txFreeAt{0};

    std::vector<Command> transcript;
    int malformed = 0;
    bool hangUp = false;
    std::map<std::uint8_t, int> answered;

    std::map<std::uint32_t, std::uint32_t> registers;
    int busyLeft = 0;
    std::vector<std::uint8_t> flashMemory;
    bool flashOpen = false;
    std::uint32_t flashOffset = 0;
    std::uint32_t flashBlockSize = 0;
    std::uint32_t flashBlocks = 0;
    std::uint32_t nextSequence = 0;
    std::uint32_t written = 0;
    int endFlag = -1;
    bool rebooted = false;
    bool stub = false;
    bool memOpen = false;
    std::uint32_t memSize = 0;
    std::uint32_t memReceived = 0;
    std::uint32_t memSequence = 0;
    std::vector<std::uint8_t> deflated;
    std::uint32_t deflateSequence = 0;
    bool deflateOpen = false;
    std::vector<std::uint32_t> baud;
    // Streamed read in progress.
    bool streaming = false;
    std::vector<std::uint8_t> streamData;
    std::size_t streamSent = 0;
    std::uint32_t streamPacket = 0;
    int streamPackets = 0;
};

} // namespace tavisk::sim
