// The virtual scanner: a 2D imaging scanner that lives on a pseudo-terminal.
//
// A Scanner opens a pty pair, registers the slave as COM<n> in the port
// directory ($XDG_RUNTIME_DIR/ombrix/, or /tmp/ombrix-<uid>/ when that
// variable is unset) and serves the scanner's side of the serial protocol on
// its own thread until stop() or destruction, which remove the alias again.
// It shares no code with the link library on purpose: it is the other end of
// the wire, and a fault on one side must not be hidden by the same fault on
// the other.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vscanner {

// Misbehaviour on demand, so that tests can see how the host copes.
// Every fault except NoGreeting and BadGreeting answers the greeting
// normally, so that a host can connect and then meet the fault.
enum class Fault {
    None,
    NoGreeting,      // never answer "BEPBEP?" (the host's open times out)
    BadGreeting,     // answer "BEPBEP?" with NAK in place of ACK
    NakAll,          // answer every other command with NAK '.'
    EnqAll,          // answer every other command with ENQ '.'
    DropClosing,     // ship images without the closing reply
    StopMidImage,    // go silent after half of the image data
    HangUpMidImage,  // close the line after half of the image data
    Garbage,         // answer every other command with random bytes
    Slow,            // wait slowMs before every reply
};

// The framing of a real UART: speed, data bits, parity ('N', 'E', 'O') and
// stop bits.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    char parity = 'N';
    int stopBits = 1;

    // Bits on the wire for one character: start bit, data, parity, stop.
    int bitsPerChar() const { return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits; }
};

struct Options {
    // COM number to register; 0 takes the first free number from 200 up.
    int com = 0;
    // What a trigger scan reads; sent as unsolicited data ended by CR.
    std::string barcode = "TAVORIN-0001";
    // When set, the scanner is a strict UART at these settings: it stays
    // silent while the host's speed or stop bits differ. Unset, it answers
    // whatever the host chose, as a USB virtual COM port does.
    std::optional<LineSettings> strictLine;
    // Send at the host's speed (with the strict line's framing, else 10 bits
    // a character), so that transfers take as long as on a real line.
    bool pace = false;
    // IMGSNP with 1T: press the trigger by itself this many seconds after
    // the command; 0 or less waits for a press (pressTrigger(), or the raw
    // trigger frame SYN 'T' CR).
    double triggerAfterSeconds = 0;
    Fault fault = Fault::None;
    // Delay before each reply under Fault::Slow.
    int slowMs = 1500;
    // When set, every image file shipped is also written here, whole, before
    // it goes on the line: a test in another process (a Windows program
    // under Wine) compares what it received with it.
    std::string shippedFile;
};

class Scanner {
  public:
    // Opens the pty, registers the alias and starts serving. Throws
    // std::runtime_error when the pty or the alias cannot be made.
    explicit Scanner(Options options);
    // Stops as stop() does.
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    int com() const;
    // The slave's device path (/dev/pts/N), which the alias points to.
    std::string devicePath() const;
    // The alias's path in the port directory.
    std::string aliasPath() const;

    // Presses the scanner's trigger: takes a waiting IMGSNP 1T picture, or
    // else starts a bar code scan. Safe from any thread.
    void pressTrigger();

    // False once the scanner stopped or hung up (Fault::HangUpMidImage).
    bool running() const;

    // The image file of the last picture shipped (as it went on the line,
    // between the sub-header and the closing reply); empty before the first.
    std::vector<unsigned char> lastShipped() const;

    // Number of command frames served so far (greeting included).
    std::uint64_t commandsServed() const;

    // Ends the serving thread, closes the pty and removes the alias.
    // Idempotent; safe to call from any thread but the serving one.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The path of the port directory this process uses.
std::string portDirectory();

// Parses "9600,8,N,1"; nullopt when the text is not such a line.
std::optional<LineSettings> parseLine(const std::string& text);

// Parses a fault's option name ("none", "no-greeting", ...).
std::optional<Fault> parseFault(const std::string& text);

}  // namespace vscanner
