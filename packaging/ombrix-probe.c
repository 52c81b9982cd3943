/*
 * ombrix-probe COM: opens a scanner through the installed link library, as
 * a program built against the installed header would, and closes it again.
 * Prints the device the COM number resolves to and the handle it got.
 * Exit status 0 only when the port opened (the scanner answered the
 * greeting) and closed cleanly.
 */
#include <ombrix.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ombrix-probe COM-number\n");
        return 2;
    }
    const int32_t com = (int32_t)strtol(argv[1], NULL, 10);

    char device[4096];
    const int32_t length = Ombrix_PortName(com, device, (int32_t)sizeof device);
    if (length <= 0) {
        fprintf(stderr, "Ombrix_PortName(%d) = %d\n", (int)com, (int)length);
        return 1;
    }

    /* 9600 baud, 8 data bits, one stop bit, no parity, no flow control. */
    const int32_t handle = Ombrix_PortOpen(com, 5, 1, 0, 0, 0);
    printf("COM%d -> %s: handle %d\n", (int)com, device, (int)handle);
    if (handle < 0) return 1;

    const int32_t closed = Ombrix_PortClose(handle);
    if (closed != OMBRIX_OK) {
        fprintf(stderr, "Ombrix_PortClose(%d) = %d\n", (int)handle, (int)closed);
        return 1;
    }
    return 0;
}
