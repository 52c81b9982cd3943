// virtual-scanner: serves a scanner on a pseudo-terminal until SIGINT or
// SIGTERM. See --help.
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "ombrix.h"
#include "vscanner/scanner.h"

namespace {

const char kHelp[] =
    "Usage: virtual-scanner [options]\n"
    "\n"
    "A 2D imaging scanner on a pseudo-terminal. It registers the terminal as\n"
    "COM<n> in the port directory ($XDG_RUNTIME_DIR/ombrix/, or /tmp/ombrix-<uid>/\n"
    "when XDG_RUNTIME_DIR is unset), prints one line \"COM<n> <device path>\" and\n"
    "serves until SIGINT or SIGTERM, then removes the alias. SIGUSR1 presses the\n"
    "trigger.\n"
    "\n"
    "Options:\n"
    "  --com N              register as COM N (1..256); default: the first free\n"
    "                       number from 200 up\n"
    "  --barcode TEXT       what a trigger scan reads and the label shows\n"
    "                       (default TAVORIN-0001); sent ended by CR\n"
    "  --line B,D,P,S       be a strict UART at speed B, D data bits, parity P\n"
    "                       (N, E or O), S stop bits, e.g. 9600,8,N,1: stay silent\n"
    "                       while the host's speed or stop bits differ (a\n"
    "                       pseudo-terminal hides data bits and parity). Default:\n"
    "                       answer any line settings, as a USB virtual COM port\n"
    "  --pace               send at the host's speed with this line's framing\n"
    "                       (10 bits a character unless --line says otherwise);\n"
    "                       the default\n"
    "  --no-pace            send as fast as the pseudo-terminal takes it\n"
    "  --trigger-after SEC  IMGSNP with 1T: press the trigger by itself SEC\n"
    "                       seconds after the command (default: wait for SIGUSR1\n"
    "                       or the host's trigger frame SYN 'T' CR)\n"
    "  --fault KIND         misbehave on purpose; KIND is one of\n"
    "                         none               behave (default)\n"
    "                         no-greeting        never answer the greeting\n"
    "                         bad-greeting       answer the greeting with NAK\n"
    "                         nak                answer every command with NAK '.'\n"
    "                         enq                answer every command with ENQ '.'\n"
    "                         drop-closing       ship images without the closing reply\n"
    "                         stop-mid-image     go silent after half of the image\n"
    "                         hang-up-mid-image  close the line after half of the image\n"
    "                         garbage            answer commands with random bytes\n"
    "                         slow               wait --slow-ms before every reply\n"
    "                       all but the first two answer the greeting normally\n"
    "  --slow-ms MS         the delay of --fault slow (default 1500)\n"
    "  --save-shipped FILE  write every image file shipped to FILE as well, whole,\n"
    "                       before it goes on the line (for tests to compare)\n"
    "  --help               show this text\n"
    "\n"
    "Commands: the greeting BEPBEP?; menu settings (six capitals and a value,\n"
    "or ? current, ^ default, * range); IMGSNP, IMGSHP, IMGBOX with their\n"
    "modifiers; SYN 'T' CR / SYN 'U' CR to start and stop a scan.\n"
    "Image formats (F): 0 KIM, 1 binary TIFF (Group 3), 2 binary TIFF (Group 4),\n"
    "3 grey-scale TIFF (LZW), 4 uncompressed binary TIFF, 5 uncompressed\n"
    "grey-scale TIFF, 6 JPEG, 8 BMP. The KIM layout is described in the tool's\n"
    "README.md.\n";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "virtual-scanner: " << problem << "\nTry 'virtual-scanner --help'.\n";
    std::exit(2);
}

long number(const std::string& option, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) usage("bad value for " + option);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    vscanner::Options opt;
    opt.pace = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--com") {
            opt.com = static_cast<int>(number(a, value(), 1, OMBRIX_COM_MAX));
        } else if (a == "--barcode") {
            opt.barcode = value();
        } else if (a == "--line") {
            auto line = vscanner::parseLine(value());
            if (!line) usage("--line wants e.g. 9600,8,N,1");
            opt.strictLine = line;
        } else if (a == "--pace") {
            opt.pace = true;
        } else if (a == "--no-pace") {
            opt.pace = false;
        } else if (a == "--trigger-after") {
            const char* text = value();
            char* end = nullptr;
            opt.triggerAfterSeconds = std::strtod(text, &end);
            if (end == text || *end || opt.triggerAfterSeconds < 0) usage("bad value for " + a);
        } else if (a == "--fault") {
            auto fault = vscanner::parseFault(value());
            if (!fault) usage("unknown fault kind");
            opt.fault = *fault;
        } else if (a == "--save-shipped") {
            opt.shippedFile = value();
        } else if (a == "--slow-ms") {
            opt.slowMs = static_cast<int>(number(a, value(), 0, 600000));
        } else {
            usage("unknown option " + a);
        }
    }

    // The signals are taken synchronously below; blocking them before the
    // engine starts its thread keeps them away from that thread.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    try {
        vscanner::Scanner scanner(opt);
        std::printf("COM%d %s\n", scanner.com(), scanner.devicePath().c_str());
        std::fflush(stdout);
        for (;;) {
            // Wake now and then to notice a hang-up the engine performed.
            const timespec tick{0, 200 * 1000 * 1000};
            const int sig = sigtimedwait(&set, nullptr, &tick);
            if (sig == SIGUSR1) {
                scanner.pressTrigger();
            } else if (sig == SIGINT || sig == SIGTERM) {
                break;
            }
            if (!scanner.running()) {
                std::fputs("virtual-scanner: the line was hung up\n", stderr);
                break;
            }
        }
        scanner.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "virtual-scanner: %s\n", e.what());
        return 1;
    }
    return 0;
}
